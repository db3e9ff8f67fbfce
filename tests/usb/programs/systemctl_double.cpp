// The systemctl of the tests' systemd stand-in (service_manager.py): it
// lies as <root>/usr/bin/systemctl (a link) and hands its arguments to the
// manager at <root>/run/systemd-double.sock, which learns the caller's user
// from the socket, does the work and answers with the exit code and the
// output. Without a manager it answers as systemctl does on a machine
// that was not booted with systemd.
//
// Request: the arguments, each ended by a NUL, then one more NUL.
// Reply: "<exit code> <output bytes> <error output bytes>\n", the output,
// the error output.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string parent(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

int unavailable() {
    std::fputs("System has not been booted with systemd as init system (PID 1). Can't operate.\n"
               "Failed to connect to bus: Host is down\n",
               stderr);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // <root>/usr/bin/systemctl
    const std::string root = parent(parent(parent(argv[0])));
    const std::string socketPath = root + "/run/systemd-double.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || socketPath.size() >= sizeof address.sun_path) return unavailable();
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (::connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0) return unavailable();

    std::string request;
    for (int i = 1; i < argc; ++i) {
        request += argv[i];
        request += '\0';
    }
    request += '\0';
    if (!writeAll(fd, request)) return unavailable();

    std::string reply;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    int code = 1;
    std::size_t outLength = 0;
    std::size_t errLength = 0;
    const std::string::size_type header = reply.find('\n');
    if (header == std::string::npos ||
        std::sscanf(reply.c_str(), "%d %zu %zu", &code, &outLength, &errLength) != 3 ||
        reply.size() != header + 1 + outLength + errLength) {
        std::fputs("Failed to connect to bus: Connection reset by peer\n", stderr);
        return 1;
    }
    std::fwrite(reply.data() + header + 1, 1, outLength, stdout);
    std::fwrite(reply.data() + header + 1 + outLength, 1, errLength, stderr);
    return code;
}
