// Whether root may run a program as a system service that ordinary users
// can start: only when nobody but root can change what runs. The program
// must be a regular file that, like every folder above it, belongs to root
// and may be written by root alone (a sticky folder such as /tmp does not
// count as safe: its users can still add files to it). A path that holds a
// control character is refused too: it cannot stand in a unit file as it is.
#pragma once

#include <string>

// Empty when the program is safe; otherwise why not, naming the path at
// fault (the program's real path, symbolic links resolved).
std::string unsafeServiceProgram(const std::string& program);

bool holdsControlCharacter(const std::string& text);

// The path as it may be shown: control characters and bytes that are not
// printable written as \n, \t or \xNN.
std::string printablePath(const std::string& path);
