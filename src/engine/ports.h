#pragma once

#include <QByteArray>

// Small interfaces through which the terminal engine reaches the parts of the
// system that are built elsewhere (the host link, the status report, the PC COM
// port, the scale, INI files). Tests implement them with recorders.

// The one send operation towards the host. Never reports a failure.
class HostSender {
public:
    virtual ~HostSender() = default;
    virtual void SendToHost(const QByteArray &bytes) = 0;
};

// Builds and sends the status frame that answers the Zorvane "T" command.
class StatusReporter {
public:
    virtual ~StatusReporter() = default;
    virtual void StatusReport() = 0;
};

// The PC COM port as seen by the serial output: returns false when the port is
// not open or the write fails.
class ComPortWriter {
public:
    virtual ~ComPortWriter() = default;
    virtual bool writeToPort(const QByteArray &bytes) = 0;
};

// Answers an ENQ that the host sent to the serial interface (the emulated scale).
class EnqResponder {
public:
    virtual ~EnqResponder() = default;
    virtual void answerEnq() = 0;
};

// Read side of an INI profile file: case-insensitive names, trimmed values,
// one pair of enclosing quotes removed, at most 2047 characters.
class ProfileReader {
public:
    virtual ~ProfileReader() = default;
    virtual bool exists() const = 0;
    virtual QByteArray readString(const QByteArray &section, const QByteArray &key,
                                  const QByteArray &defaultValue) const = 0;
};
