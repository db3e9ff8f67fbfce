// Termination requests from outside (SIGTERM, SIGINT, SIGHUP on Linux) end
// the client as closing its windows does: the windows close, the event loop
// ends, the clean-up runs and the exit code is the event loop's.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one instance per process, after the
    // application object exists.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

private slots:
    void handleSignal();

private:
    QSocketNotifier* notifier_;
};
