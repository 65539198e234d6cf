#pragma once

#include <QByteArray>
#include <QObject>

#include <deque>

struct TerminalState;
class ComPortWriter;
class EnqResponder;

// The terminal's parallel (printer), serial and relay outputs. The interpreter
// hands each byte for an interface to ParallelOut, SerialOut or RelayOut; this
// object keeps what the main window shows of them (the last byte and a log per
// interface, the four LED colours) and tells the window through signals. Bytes
// for the serial interface also reach the emulated scale (an ENQ is answered
// through the EnqResponder) and, through ComRelay, the PC COM port.
//
// Memory stays flat however long the host prints: each log keeps its last
// kMaxLogLines lines, and a printer line that never sees a line feed is broken
// into log lines of kMaxLineLength characters.
class Outputs : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxLogLines = 10000;
    static constexpr int kMaxLineLength = 1024;

    explicit Outputs(TerminalState &state, QObject *parent = nullptr);

    void setComPort(ComPortWriter *port);
    void setEnqResponder(EnqResponder *scale);

    void ParallelOut(char b);
    void SerialOut(char b);
    void RelayOut(unsigned char mask);
    // Forwards bytes to the PC COM port. A port that is not open or a failed
    // write loses only these bytes: the host's delivery goes on.
    void ComRelay(const QByteArray &bytes);
    // SerialOut, then ComRelay while "Habilitado" (serialRelayEnabled) is checked.
    void SerialOutAndRelay(char b);

    // 0x20..0x7F as the character, anything else as "(decimal)".
    static QByteArray shownForm(char b);

    const QByteArray &ParallelLine() const { return m_parallelLine; }
    const std::deque<QByteArray> &parallelLog() const { return m_parallelLog; }
    const std::deque<QByteArray> &serialLog() const { return m_serialLog; }
    // Lines ever added to each log, so a view can append only what is new
    // even when older lines have been dropped from the front.
    quint64 parallelLinesAdded() const { return m_parallelAdded; }
    quint64 serialLinesAdded() const { return m_serialAdded; }
    // Shown form of the last byte of each interface, empty before the first.
    const QByteArray &lastParallel() const;
    const QByteArray &lastSerial() const;

    // led 0..3; colour as 0xRRGGBB.
    quint32 ledColor(int led) const;

    // "Reset Terminal" and closing the main window: both logs emptied; a
    // partial printer line survives and is completed by the next line feed.
    void clearLogs();
    // Main window creation: no partial printer line.
    void resetForNewWindow();

    // While one of these lives, the change signals are collected and emitted
    // once when the outermost one ends, so a delivery of many bytes repaints
    // the window once instead of once per byte.
    class SignalBatch {
    public:
        explicit SignalBatch(Outputs &outputs) : m_outputs(outputs) { ++m_outputs.m_batchDepth; }
        ~SignalBatch();
        SignalBatch(const SignalBatch &) = delete;
        SignalBatch &operator=(const SignalBatch &) = delete;

    private:
        Outputs &m_outputs;
    };

signals:
    void parallelChanged();
    void serialChanged();
    void ledsChanged();

private:
    void emitPending();
    void appendLine(std::deque<QByteArray> &log, QByteArray line);

    TerminalState &m_state;
    ComPortWriter *m_port = nullptr;
    EnqResponder *m_scale = nullptr;

    QByteArray m_parallelLine;
    std::deque<QByteArray> m_parallelLog;
    std::deque<QByteArray> m_serialLog;
    quint64 m_parallelAdded = 0;
    quint64 m_serialAdded = 0;
    int m_lastParallel = -1; // byte value, -1 before the first
    int m_lastSerial = -1;

    bool m_relayed = false;
    unsigned char m_mask = 0;

    int m_batchDepth = 0;
    bool m_parallelPending = false;
    bool m_serialPending = false;
    bool m_ledsPending = false;
};
