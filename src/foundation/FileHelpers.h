// The helpers every file access of the client goes through: the attribute
// test, the guarded open and the names of operating-system commands.
#pragma once

#include "FileHandle.h"

#include <string>

// Results of checkFileAttributes; exactly one of them is returned.
namespace FileAttributes {
constexpr int Usable = 0;
constexpr int Missing = 1;        // nothing there, or the status read failed for a known reason
constexpr int NotRegularFile = 2;
constexpr int EmptyFile = 4;
constexpr int NotExecutable = 8;
constexpr int NotReadable = 16;
constexpr int NotWritable = 32;
constexpr int NotDirectory = 128;
constexpr int Failed = 2048;      // empty path, invalid argument or unexpected error
} // namespace FileAttributes

// Kinds of test for checkFileAttributes (other values: a regular file exists).
namespace FileKind {
constexpr int RegularFile = 0;
constexpr int NonEmptyFile = 1;
constexpr int ExecutableFile = 2;
constexpr int Directory = 3;
constexpr int ReadableFile = 4;
constexpr int WritableFile = 5; // 6 tests the same
} // namespace FileKind

// Tests the path (following links) for the kind; permissions are those of
// this process (effective ids).
int checkFileAttributes(const std::string& path, int kind);

// Open modes: 0 read, 1 write (create, truncate), 2 append (create); any other
// mode is refused by openFileWithMode.
//
// Files: the path must not be a symbolic link, a directory or a character
// device; the stream is binary when binaryOrServer is set. Named pipes: the
// server side (binaryOrServer set) creates the pipe and holds it open so that
// it never waits for a client; the client side opens an existing pipe. Mode 1
// makes the end a writing end, any other mode a reading end. The server end
// removes a pipe it created when it is closed.
// An empty handle on failure; the reason is logged.
FileHandle openFileWithMode(const std::string& path, int mode, bool binaryOrServer, bool namedPipe = false);

// The guarded open that openFileWithMode uses for files: sets streamMode for
// the mode ("" for an undefined mode) and returns the descriptor, -1 on failure.
int openFileSafely(const std::string& path, int mode, std::string& streamMode, bool binary);

// The name of an operating-system command by its key; "" (with a critical
// line) for an undefined key.
std::string osCommandName(int key);
