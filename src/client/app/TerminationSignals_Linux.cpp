// The signal handler only writes the signal number into a pipe; the Qt
// event loop reads it and closes the windows on the GUI thread.
#include "TerminationSignals.h"

#include "Logging.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent), notifier_(nullptr) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::handleSignal);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
}

void TerminationSignals::handleSignal() {
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) {
    }
    logNotice("Received signal " + std::to_string(number) + ", closing all windows");
    QApplication::closeAllWindows();
    // Windows that refuse to close must not keep the client alive.
    QApplication::quit();
}
