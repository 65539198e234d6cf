#pragma once

// The real headless program as the control benchmarks drive it: a VT100
// Client of a loopback host (the benchmark holds the host's end of the
// connection), its control interface on a local socket in a temporary
// working folder, connected and greeted. Sockets are blocking; reply lines
// are read whole.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <string>

namespace bench
{

class HeadlessControl
{
public:
    HeadlessControl() = default;
    ~HeadlessControl();
    HeadlessControl(const HeadlessControl &) = delete;
    HeadlessControl &operator=(const HeadlessControl &) = delete;

    // Starts the program (BENCH_PROGRAM, else the given binary), accepts its
    // host connection and waits for it over the control socket. False with
    // the reason in error().
    bool start(const QString &binary);
    int host() const { return m_host; }
    int control() const { return m_control; }
    long long pid() const { return m_process.processId(); }
    QString error() const { return m_error; }

    // The next line from the control socket, without its newline.
    bool line(std::string &out, int timeoutMs = 10000);
    // Stops the program; the host connection stays open for reading what is left.
    void stop();

private:
    QTemporaryDir m_folder;
    QProcess m_process;
    int m_listener = -1;
    int m_host = -1;
    int m_control = -1;
    std::string m_buffer;
    QString m_error;
};

// Writes all of data to a blocking socket.
bool writeAll(int fd, const std::string &data);

} // namespace bench
