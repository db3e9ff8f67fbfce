// Peers of the link tests: the Python fake daemon (written from the framing
// table alone), the real daemon vhproxy, and Python commands run as an
// ordinary user. They listen on the fixed port 7679: every test runs in a
// network namespace of its own.
#pragma once

#include "CommandProcess.h"
#include "PeerProcess.h"
#include "QorMessage.h"
#include "TestPaths.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The command that runs a program as the ordinary user 65534 (nobody,
// group nogroup, no other groups).
std::vector<std::string> asOrdinaryUser(const std::vector<std::string>& command);

// The client's link, as the user with that id (no groups), from another
// process: its reply, or "no reply". With sendAndClose it closes its end
// right after the request and prints the port it sent from.
std::string requestAs(unsigned int userId, const std::string& text, bool sendAndClose = false);

// The user and group files of a machine on which alice has the group
// plugdev as her primary group, bob has it as a supplementary group and
// carol has it not at all (for the daemon run with_private_accounts.sh).
extern const char* const privatePasswd;
extern const char* const privateGroup;

// The daemon's device list of server "desk-7": an optical mouse at 1.1
// (exported) and a flash drive at 1.2 (bound).
extern const std::string twoDevices;

// True when something accepts connections on 127.0.0.1:7679.
bool linkPortOpen();
// Waits up to timeoutMs for the port to open (or, with open false, to close).
bool waitForLinkPort(bool open, int timeoutMs);

// SIGSTOP, and waits up to timeoutMs until every thread of the process is
// stopped: the stop reaches the threads one by one, and one that still
// runs may answer a request.
bool pauseProcess(std::uint32_t processId, int timeoutMs);

// One row of the kernel's TCP table (/proc/net/tcp, this network
// namespace's): addresses and state in hex, queues as "tx:rx".
struct TcpRow {
    std::string own, peer, state, queues, uid;
};

// Waits up to timeoutMs until a row of the TCP table matches.
bool waitForTcpRow(const std::function<bool(const TcpRow&)>& matches, int timeoutMs);

// Waits until the kernel lists the client's socket from 127.0.0.1:port to
// the listener at 127.0.0.1:serverPort (the link's by default) as closed
// (FIN_WAIT2 or TIME_WAIT) and without an owner.
bool waitForOwnerlessClose(int port, int timeoutMs, int serverPort = 7679);

class FakeDaemon {
public:
    // Starts the fake with the mode; as the ordinary user when asked.
    explicit FakeDaemon(const std::string& mode, bool ordinaryUser = false);
    void setMode(const std::string& mode);

private:
    TempDir dir_;
    std::unique_ptr<PeerProcess> process_;
};

class DaemonProcess {
public:
    // Starts program (the real daemon by default) with --service and the
    // extra arguments, its device list (none: the USB server) and its log
    // file in dir, and waits until it listens. A launcher, when given, runs
    // the program (its command with the program and arguments appended).
    // Its error output is kept; a daemon that does not end with code 0
    // when it is stopped (a sanitizer's report, say) fails the test.
    DaemonProcess(const std::string& devicesFile, const std::vector<std::string>& extra = {},
                  const std::string& program = VHPROXY_PROGRAM, const std::vector<std::string>& launcher = {});
    ~DaemonProcess();
    std::string log() const;
    std::uint32_t processId() const { return command_.processId(); }
    // SIGTERM, then waits for the end; the exit code, -1 when it did not end.
    int stop();

private:
    TempDir dir_;
    CommandProcess command_;
    FILE* output_ = nullptr;
    bool stopped_ = false;
    int exitCode_ = -1;
};

// A device object of a device file (of the USB server or the daemon's
// stand-in), its path in the USB tree made from the address.
std::string usbDeviceJson(const std::string& address, int vendorId, int productId, const std::string& name);

// "address=state" for each device of a reply's VHDevList ("<no list>"
// without one).
std::string states(const QorMessage& reply);

// Runs a command to its end (at most 120 s) and returns its output.
std::string runToEnd(const std::vector<std::string>& command, int* exitCode = nullptr);
