#include "engine/outputs.h"

#include "engine/frames.h"
#include "engine/ports.h"
#include "engine/terminal_state.h"

#include <array>
#include <cstring>

namespace {

using frames::kEnq;
constexpr char kLineFeed = frames::kLf;

constexpr quint32 kRed = 0xFF0000;
constexpr quint32 kLime = 0x00FF00;
constexpr quint32 kBlue = 0x0000FF;
constexpr quint32 kYellow = 0xFFFF00;
constexpr quint32 kFuchsia = 0xFF00FF;

constexpr std::array<quint32, 4> kUnlit = {kLime, kBlue, kYellow, kFuchsia};
// The window's layout colours, shown until the first relay command.
constexpr std::array<quint32, 4> kBeforeFirstCommand = {kFuchsia, kYellow, kBlue, kLime};

// Shown forms of all 256 bytes as plain characters, built at compile time
// and each ended by a NUL: printer lines are assembled from them without any
// reference counting or static-initialisation check per byte.
struct ShownChars {
    char text[6];
    int size;
};

constexpr std::array<ShownChars, 256> kShownChars = [] {
    std::array<ShownChars, 256> out{};
    for (int b = 0; b < 256; ++b) {
        ShownChars &s = out[static_cast<size_t>(b)];
        if (b >= 0x20 && b <= 0x7F) {
            s.text[0] = static_cast<char>(b);
            s.size = 1;
            continue;
        }
        s.text[s.size++] = '(';
        if (b >= 100)
            s.text[s.size++] = static_cast<char>('0' + b / 100);
        if (b >= 10)
            s.text[s.size++] = static_cast<char>('0' + b / 10 % 10);
        s.text[s.size++] = static_cast<char>('0' + b % 10);
        s.text[s.size++] = ')';
    }
    return out;
}();

// The same forms as byte strings over that table. They own no data and count
// no references, so a line of the serial log (one per byte) costs neither an
// allocation nor an atomic operation, however many logs share it.
const std::array<QByteArray, 256> &shownForms()
{
    static const std::array<QByteArray, 256> forms = [] {
        std::array<QByteArray, 256> out;
        for (size_t b = 0; b < out.size(); ++b)
            out[b] = QByteArray::fromRawData(kShownChars[b].text, kShownChars[b].size);
        return out;
    }();
    return forms;
}

const QByteArray &shown(char b)
{
    return shownForms()[static_cast<unsigned char>(b)];
}

const QByteArray &shownOrEmpty(int byte)
{
    static const QByteArray none;
    return byte < 0 ? none : shownForms()[static_cast<size_t>(byte)];
}

} // namespace

Outputs::Outputs(TerminalState &state, QObject *parent) : QObject(parent), m_state(state) {}

Outputs::SignalBatch::~SignalBatch()
{
    if (--m_outputs.m_batchDepth == 0)
        m_outputs.emitPending();
}

void Outputs::setComPort(ComPortWriter *port)
{
    m_port = port;
}

void Outputs::setEnqResponder(EnqResponder *scale)
{
    m_scale = scale;
}

QByteArray Outputs::shownForm(char b)
{
    return shown(b);
}

void Outputs::emitPending()
{
    if (m_batchDepth > 0)
        return;
    if (m_parallelPending) {
        m_parallelPending = false;
        emit parallelChanged();
    }
    if (m_serialPending) {
        m_serialPending = false;
        emit serialChanged();
    }
    if (m_ledsPending) {
        m_ledsPending = false;
        emit ledsChanged();
    }
}

void Outputs::appendLine(std::deque<QByteArray> &log, QByteArray line)
{
    log.push_back(std::move(line));
    if (log.size() > static_cast<size_t>(kMaxLogLines))
        log.pop_front();
}

const QByteArray &Outputs::lastParallel() const
{
    return shownOrEmpty(m_lastParallel);
}

const QByteArray &Outputs::lastSerial() const
{
    return shownOrEmpty(m_lastSerial);
}

void Outputs::ParallelOut(char b)
{
    const ShownChars &form = kShownChars[static_cast<unsigned char>(b)];
    m_lastParallel = static_cast<unsigned char>(b);
    const qsizetype at = m_parallelLine.size();
    m_parallelLine.resize(at + form.size);
    std::memcpy(m_parallelLine.data() + at, form.text, static_cast<size_t>(form.size));
    if (b == kLineFeed || m_parallelLine.size() >= kMaxLineLength) {
        // An exact-size copy goes to the log; the line keeps its buffer for the next one.
        appendLine(m_parallelLog, QByteArray(m_parallelLine.constData(), m_parallelLine.size()));
        ++m_parallelAdded;
        m_parallelLine.resize(0);
    }
    m_parallelPending = true;
    emitPending();
}

void Outputs::SerialOut(char b)
{
    m_lastSerial = static_cast<unsigned char>(b);
    appendLine(m_serialLog, shown(b));
    ++m_serialAdded;
    m_serialPending = true;
    if (b == kEnq) {
        // The scale's answer may wait with the event loop running; the window
        // shows the ENQ line before that.
        const int depth = m_batchDepth;
        m_batchDepth = 0;
        emitPending();
        m_batchDepth = depth;
        if (m_scale)
            m_scale->answerEnq();
    }
    emitPending();
}

void Outputs::RelayOut(unsigned char mask)
{
    m_relayed = true;
    m_mask = mask & 0x0F;
    m_ledsPending = true;
    emitPending();
}

void Outputs::ComRelay(const QByteArray &bytes)
{
    if (m_port)
        m_port->writeToPort(bytes);
}

void Outputs::SerialOutAndRelay(char b)
{
    SerialOut(b);
    if (m_state.serialRelayEnabled)
        ComRelay(QByteArray(1, b));
}

quint32 Outputs::ledColor(int led) const
{
    if (led < 0 || led > 3)
        return 0;
    if (!m_relayed)
        return kBeforeFirstCommand[static_cast<size_t>(led)];
    return (m_mask >> led) & 1 ? kRed : kUnlit[static_cast<size_t>(led)];
}

void Outputs::clearLogs()
{
    m_parallelLog.clear();
    m_serialLog.clear();
    m_parallelPending = true;
    m_serialPending = true;
    emitPending();
}

void Outputs::resetForNewWindow()
{
    m_parallelLine.clear();
    m_parallelPending = true;
    emitPending();
}
