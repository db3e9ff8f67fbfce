// The log set-up of the client: the rotating log file and, when the client
// runs interactively, the console, both behind the client logger "QOR";
// the first log line and the level changes of the start-up.
#pragma once

#include <string>

// The resolved path of the log file; set by registerLogSettings.
extern std::string logFilePath;

// Registers the log settings, builds the channels, sets the level from
// Client.LogLevel, creates the client logger, writes the first line and
// reports the run paths. False only when failOnWriteError is set and the
// first line could not be written.
bool setupLogChannels(const std::string& firstLine, bool failOnWriteError, const std::string& logFileName);

// Registers and loads the five log settings, applies the command-line log
// file name and resolves logFilePath against the log directory.
bool registerLogSettings(const std::string& logFileName);

// Logs the line at information. When the log file cannot be written the
// file is detached (later lines go to the console only) and false returned.
bool writeFirstLogLine(const std::string& line, bool failOnWriteError);

// Validates and stores the level in Client.LogLevel and applies it to the
// client logger ("none" silences it).
void setLogLevel(const std::string& level);
