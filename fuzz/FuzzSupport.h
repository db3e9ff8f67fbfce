// What the fuzzing harnesses share: quiet logging that still runs every
// log statement, splitting one input into several texts, and a scratch
// folder of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Installs the client logger at the level (POCO level names) with a channel
// that drops every line, so that the code builds its log texts as it does
// with a log file, without the cost of writing them.
void discardLogs(const std::string& level = "trace");

// The input cut at each occurrence of the separator, at most maxParts
// parts (the last one keeps the rest).
std::vector<std::string> splitInput(const std::uint8_t* data, std::size_t size, const std::string& separator,
                                    std::size_t maxParts);

// A folder of this process below the system's temporary folder, made on
// the first call and removed when the process ends normally.
const std::string& scratchDirectory();

// Moves the process into a network namespace of its own with its loopback
// up (needs root, as the tests that do the same): fixed ports such as the
// vhproxy link's are free there, and the kernel's socket table holds only
// this process's sockets. Call before any thread starts.
void useOwnNetwork();

// Ends the process with a message when a property of the code under test
// does not hold: libFuzzer reports it with the input as a crash.
[[noreturn]] void fail(const std::string& what);

} // namespace fuzz
