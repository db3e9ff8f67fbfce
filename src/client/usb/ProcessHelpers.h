// Helpers with which USB forwarding finds and starts other programs: the
// test whether a program with a given executable name runs, the test whether
// this process runs elevated, starting a program detached, the command-line
// text of an argument list and a bounded copy of a C string. Running a
// command with its output captured is CommandProcess.
//
// Programs are named by their executable file name as the platform writes
// it ("vhproxy" here, "vhproxy.exe" on Windows). Commands run from an
// argument vector, never through a command interpreter: the command-line
// text serves log lines only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The id of a running process, other than this one, whose executable file
// name is name; 0 when there is none (or the process table cannot be read).
// The first match in the process table's order is taken. Processes that
// have ended but not been collected yet do not count.
std::uint32_t findProcessId(const std::string& name);

// True when findProcessId finds a process for the file-name part of path
// (a full path or a bare file name): wherever the file lies, any running
// process of that executable name counts.
bool isProcessRunning(std::string path);

// Whether this process runs with administrator rights. The first call
// decides for the whole run and logs "Process is elevated" or "Process is
// not elevated" at debug; later calls return that answer.
bool isProcessElevated();

// Starts file with the arguments, without a window, detached from this
// process (its own session), in the current directory. Nothing is returned:
// a start that fails is logged ("Can't start '<file>' in '<directory>'").
void shellExecuteCommand(const std::string& file, const std::vector<std::string>& arguments);

// The arguments joined by single blanks, each quoted with
// quoteCommandArgument; an empty first argument adds nothing.
std::string buildCommandLine(const std::vector<std::string>& arguments);

// One argument as a Windows command line writes it: unchanged when empty,
// when it holds no blank, tab, line feed, vertical tab or double quote, or
// when it already begins and ends with a double quote; otherwise enclosed in
// double quotes with embedded quotes and the backslashes before them escaped.
std::string quoteCommandArgument(const std::string& argument);

// A malloc'd copy of at most maxLength characters of text, always ended by
// a NUL; null when the allocation fails. A negative maxLength counts as 0.
// The caller releases it with free.
char* copyCString(const char* text, int maxLength);
