// The USB server's configuration file (vhserver.cnf): one "Key=Value" per
// line; comments (#) and unknown keys are kept as they stand when the file
// is written back. The USB module writes it before it starts the server,
// which reads it.
//
// Keys: TCPPort (the port on 127.0.0.1, default 17570), ServerName (the name
// the server reports), DeviceFixture (a device-list file that replaces the
// machine's USB devices, for tests and demonstrations), SystemRoot (where
// the machine's sys and dev trees are, "/" by default).
#pragma once

#include <string>
#include <utility>
#include <vector>

class VHServerConfig {
public:
    static constexpr int defaultPort = 17570;

    // Reads the file; false with the reason when it cannot be read (a file
    // that is not there leaves the configuration empty and is no failure).
    bool load(const std::string& path, std::string& reason);
    // Writes the file (owner read and write, others read); false with the reason.
    bool save(const std::string& path, std::string& reason) const;

    // The value of the key, or the fallback when the file does not set it.
    std::string value(const std::string& key, const std::string& fallback = "") const;
    void set(const std::string& key, const std::string& value);

    // TCPPort, or the default when missing or not a port number.
    int port() const;

private:
    // Each line: the key ("" for comments and blank lines) and the text.
    std::vector<std::pair<std::string, std::string>> lines_;
};
