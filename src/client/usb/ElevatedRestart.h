// Starting the client again with administrator rights, for the service
// commands that need them.
#pragma once

#include <string>

// Returns false at once when this process is elevated already. Otherwise
// runs file with the parameters (arguments separated by blanks) elevated,
// in the current directory, and ends this process: with code 1 when
// elevation was refused or failed, else with the exit code of the elevated
// run.
bool restartElevated(std::string logName, const char* file, const char* parameters);
