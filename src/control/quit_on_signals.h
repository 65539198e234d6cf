#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the event loop cleanly on SIGINT and SIGTERM: the handler only writes a
// byte to a socket pair, and the event loop, woken by it, quits, so every
// destructor runs (sockets closed, the control socket file removed). One
// instance per process.
class QuitOnSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitOnSignals(QObject *parent = nullptr);
    ~QuitOnSignals() override;

    // Whether an instance holds the signals now.
    static bool installed();

    // The signal that ended the run, 0 while none has.
    int received() const { return m_received; }

private:
    QSocketNotifier *m_notifier = nullptr;
    int m_received = 0;
};
