// The displays of Linux: an X server (DISPLAY, Qt's platform "xcb", its
// default) and a Wayland compositor (WAYLAND_DISPLAY, the platform
// "wayland"). QT_QPA_PLATFORM may name one platform or several to try in
// turn ("wayland;xcb"), each with options after a colon. A display counts
// when a connection to it succeeds; it is closed at once.
#include "DisplayCheck.h"

#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Empty when the X server at DISPLAY accepts a connection, else why not.
std::string xProblem() {
    const std::string display = environment("DISPLAY");
    if (display.empty()) return "DISPLAY is not set";
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (error == 0) return "";
    return "the X display DISPLAY=" + display + " can't be opened" +
           (error == XCB_CONN_CLOSED_PARSE_ERR ? " (not a display name)" : "");
}

// Empty when the Wayland compositor at WAYLAND_DISPLAY accepts a
// connection (a socket in XDG_RUNTIME_DIR, or an absolute path), else why
// not. A socket handed over in WAYLAND_SOCKET is taken as it is.
std::string waylandProblem() {
    if (!environment("WAYLAND_SOCKET").empty()) return "";
    const std::string name = environment("WAYLAND_DISPLAY");
    if (name.empty()) return "WAYLAND_DISPLAY is not set";
    std::string path = name;
    if (name[0] != '/') {
        const std::string runtime = environment("XDG_RUNTIME_DIR");
        if (runtime.empty()) return "WAYLAND_DISPLAY=" + name + " is set, but XDG_RUNTIME_DIR, where its socket is, is not";
        path = runtime + "/" + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return "the Wayland socket path " + path + " is too long";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("can't make a socket: ") + std::strerror(errno);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    const int error = errno;
    ::close(fd);
    if (connected) return "";
    return "the Wayland display WAYLAND_DISPLAY=" + name + " can't be reached (" + path + ": " + std::strerror(error) +
           ")";
}

} // namespace

bool displayReachable(std::string& reason) {
    // The platforms Qt will try; none named: its default, X, or Wayland in
    // a session that says it is one.
    std::vector<std::string> platforms;
    std::istringstream list(environment("QT_QPA_PLATFORM"));
    for (std::string entry; std::getline(list, entry, ';');)
        if (!entry.empty()) platforms.push_back(entry.substr(0, entry.find(':')));
    bool triesX = platforms.empty();
    bool triesWayland = platforms.empty() && environment("XDG_SESSION_TYPE") == "wayland";
    for (const std::string& platform : platforms) {
        if (platform == "xcb")
            triesX = true;
        else if (platform.compare(0, 7, "wayland") == 0)
            triesWayland = true;
        else
            return true; // offscreen, vnc, eglfs, ...: no display of ours to check
    }
    std::vector<std::string> problems;
    if (triesX) {
        const std::string problem = xProblem();
        if (problem.empty()) return true;
        problems.push_back(problem);
    }
    if (triesWayland) {
        const std::string problem = waylandProblem();
        if (problem.empty()) return true;
        problems.push_back(problem);
    }
    reason = "No display could be opened: ";
    for (std::size_t i = 0; i < problems.size(); ++i) reason += (i == 0 ? "" : ", and ") + problems[i];
    reason += ". The client shows its windows on an X server or a Wayland compositor: set DISPLAY to the X "
              "display (for example DISPLAY=:0; Wayland sessions offer one through Xwayland), or WAYLAND_DISPLAY "
              "to the Wayland display (for example WAYLAND_DISPLAY=wayland-0) with QT_QPA_PLATFORM=wayland.";
    return false;
}
