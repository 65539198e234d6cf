#include "trace/tracer.h"

#include "inputs/keyboard.h"
#include "terminal/terminal.h"
#include "trace/byte_words.h"
#include "trace/telnet_words.h"

#include <QStringList>

#include <chrono>

namespace {

using Kind = TraceRecord::Kind;
using Direction = TraceRecord::Direction;
using Warning = commandwords::Warning;

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

QString keyName(int index)
{
    if (index < 0 || index >= Keyboard::kKeyCount)
        return QStringLiteral("?");
    return Keyboard::scriptName(static_cast<Keyboard::Key>(index));
}

} // namespace

Tracer::Tracer(Terminal &terminal, Sink sink, QObject *parent)
    : QObject(parent), m_terminal(terminal), m_sink(std::move(sink))
{
    // The end of each read closes the fold of its commands.
    connect(&m_terminal.connections(), &ConnectionManager::hostDataDelivered, this, &Tracer::flush);
    m_terminal.addObserver(this);
}

Tracer::~Tracer()
{
    m_terminal.removeObserver(this);
    flush();
}

const TraceSummary &Tracer::summary()
{
    flush();
    return m_summary;
}

void Tracer::record(Kind kind, Direction direction, const QString &peer, const QByteArray &bytes,
                    const QString &text, const QString &tag, const QString &warning, qint64 repeated)
{
    // Records keep their order: a fold still open is written before anything that follows it.
    if (m_fold.folded > 0)
        flush();
    // A row of alike commands goes on across reads: a host that streams them
    // in small reads would otherwise get a handful of single records per read.
    if (kind != Kind::Command && kind != Kind::Received)
        m_fold.inARow = 0;

    TraceRecord r;
    r.number = m_summary.records + 1;
    r.timeUs = nowUs();
    r.deltaUs = m_lastTimeUs ? r.timeUs - m_lastTimeUs : 0;
    m_lastTimeUs = r.timeUs;
    r.kind = kind;
    r.direction = direction;
    r.peer = peer;
    r.bytes = bytes;
    r.text = text;
    r.tag = tag;
    r.warning = warning;
    r.repeated = repeated;
    m_summary.count(r);
    if (m_sink)
        m_sink(r);
}

void Tracer::flush()
{
    if (m_fold.folded <= 0)
        return;
    const qint64 folded = std::exchange(m_fold.folded, 0);
    const QString words = commandwords::words(m_fold.delivery, m_fold.last, m_fold.lastScene);
    const QByteArray bytes = m_fold.delivery.mid(m_fold.last.begin, m_fold.last.size());
    m_fold.delivery = QByteArray();
    record(Kind::Command, Direction::FromHost, m_readPeer, bytes,
           QStringLiteral("… %1 more commands like the one before; the last: %2").arg(folded).arg(words), {},
           commandwords::warningName(m_fold.warning), folded);
}

CommandScene Tracer::scene() const
{
    const TerminalState &state = m_terminal.state();
    CommandScene scene;
    scene.row = m_terminal.display().CursorRow();
    scene.col = m_terminal.display().CursorCol();
    scene.comutadora = state.comutadoraMode;
    scene.address = state.comutadoraAddress;
    scene.busy = state.busy;
    scene.cts = state.cts;
    scene.printDestination = m_terminal.interpreter().PrintDestination();
    scene.serialRelay = state.serialRelayEnabled;
    scene.scaleAnswers = m_terminal.scale().isOn() && !state.comPortBoxTicked;
    return scene;
}

// ---- Host commands ----

void Tracer::hostCommandStarts(const HostDelivery &delivery, const HostCommand &command)
{
    const CommandScene now = scene();
    const Warning warning = commandwords::warning(delivery.bytes, command, now);
    const int shape = commandwords::shape(command, now);
    const bool cutAtEnd = warning == Warning::CutCommand && command.end >= delivery.bytes.size();
    // A fold names the bytes of its last command, so it stays within one delivery.
    const bool alike = shape == m_fold.shape && warning == m_fold.warning &&
                       (m_fold.folded == 0 || m_fold.sequence == delivery.sequence);
    if (alike && m_fold.inARow >= kSingleInARow) {
        if (m_fold.folded++ == 0) {
            m_fold.delivery = delivery.bytes;
            m_fold.sequence = delivery.sequence;
        }
        m_fold.last = command;
        m_fold.lastScene = now;
        m_previousCut = cutAtEnd;
        return;
    }
    flush();
    const int inARow = alike ? m_fold.inARow + 1 : 1;

    QString words = commandwords::words(delivery.bytes, command, now);
    if (command.begin == 0 && warning == Warning::StrayBytes && m_previousCut)
        words += QStringLiteral(": the rest of the command cut at the end of the read before");
    m_previousCut = cutAtEnd;
    record(Kind::Command, Direction::FromHost, m_readPeer, delivery.bytes.mid(command.begin, command.size()), words,
           {}, commandwords::warningName(warning));
    m_fold.shape = shape;
    m_fold.warning = warning;
    m_fold.inARow = inARow;
}

// ---- Reads and layers ----

void Tracer::hostReadFrom(const QString &peer)
{
    m_readPeer = peer;
}

void Tracer::hostDataReceived(const QByteArray &bytes)
{
    record(Kind::Received, Direction::FromHost, m_readPeer, bytes,
           QStringLiteral("%1 byte%2 read").arg(bytes.size()).arg(bytes.size() == 1 ? "" : "s"));
}

void Tracer::comutadoraFiltered(const QByteArray &read, const QByteArray &kept)
{
    // The filter's own walk, named: frames for this terminal's address kept,
    // frames for other addresses and bytes outside any frame dropped.
    constexpr char kStx = 0x02;
    constexpr char kEtx = 0x03;
    const frames::BusAddress ours = m_terminal.state().comutadoraAddress;
    const QByteArray ourAddress(ours.data(), 2);
    qsizetype keptFrames = 0;
    qsizetype strays = 0;
    std::map<QByteArray, int> others;
    const qsizetype size = read.size();
    qsizetype pos = 0;
    const auto frameStart = [&](qsizetype at) { return read[at] == kStx && at + 3 < size; };
    while (pos < size) {
        if (frameStart(pos) && read[pos + 2] == ours[0] && read[pos + 3] == ours[1]) {
            const qsizetype etx = read.indexOf(kEtx, pos + 1);
            pos = etx < 0 ? size : etx + 1;
            ++keptFrames;
            continue;
        }
        if (frameStart(pos)) {
            // A frame for another terminal: dropped byte by byte up to its ETX,
            // unless an STX inside it starts a frame for 00.
            ++others[read.mid(pos + 2, 2)];
            ++pos;
            while (pos < size && read[pos] != kEtx &&
                   !(frameStart(pos) && read[pos + 2] == ours[0] && read[pos + 3] == ours[1]))
                ++pos;
            if (pos < size && read[pos] == kEtx)
                ++pos;
            continue;
        }
        ++strays;
        ++pos;
    }
    QStringList parts;
    parts.append(QStringLiteral("kept %1 frame%2 for address %3 (%4 bytes)")
                     .arg(keptFrames)
                     .arg(keptFrames == 1 ? "" : "s")
                     .arg(QString::fromLatin1(ourAddress))
                     .arg(kept.size()));
    for (const auto &[address, count] : others)
        parts.append(QStringLiteral("dropped %1 frame%2 for address %3")
                         .arg(count)
                         .arg(count == 1 ? "" : "s")
                         .arg(bytewords::quoted(address)));
    if (strays > 0)
        parts.append(QStringLiteral("dropped %1 stray byte%2 outside any frame").arg(strays).arg(strays == 1 ? "" : "s"));
    record(Kind::Comutadora, Direction::FromHost, m_readPeer, kept, parts.join(QStringLiteral("; ")), {},
           strays > 0 ? warnings::kStrayBytes : QString());
}

void Tracer::telnetCommand(const QByteArray &command, const QList<QByteArray> &answers)
{
    QString text = telnetwords::command(command);
    if (answers.isEmpty()) {
        text += QStringLiteral("  no answer");
    } else {
        QStringList written;
        for (const QByteArray &answer : answers)
            written.append(telnetwords::command(answer));
        text += QStringLiteral("  answer ") + written.join(QStringLiteral(", then "));
    }
    QString warning;
    const bool request = command.size() == 3 && static_cast<unsigned char>(command[1]) >= 0xFB &&
                         static_cast<unsigned char>(command[1]) <= 0xFE;
    if (request && ++m_requests[command] == kNegotiationRepeats) {
        warning = warnings::kNegotiationLoop;
        text += QStringLiteral("; asked %1 times on this connection: the negotiation repeats without end")
                    .arg(kNegotiationRepeats);
    }
    if (command.size() > 2 && static_cast<unsigned char>(command[1]) == 0xFA)
        m_subnegotiationReported = false;
    record(Kind::Telnet, Direction::FromHost, m_readPeer, command, text, {}, warning);
}

void Tracer::telnetSubnegotiationOpen(const QByteArray &collected)
{
    if (m_subnegotiationReported || collected.size() < kEndlessSubnegotiation)
        return;
    m_subnegotiationReported = true;
    const QString option =
        collected.isEmpty() ? QString() : telnetwords::optionName(static_cast<unsigned char>(collected[0]));
    record(Kind::Telnet, Direction::FromHost, m_readPeer, collected.left(16),
           QStringLiteral("IAC SB %1 … has not ended after %2 bytes: everything the host sent since is held back "
                          "from the interpreter until the settings are confirmed again")
               .arg(option)
               .arg(collected.size()),
           {}, warnings::kEndlessSubnegotiation);
}

// ---- Sends ----

void Tracer::sendStarts(SendOrigin origin, int detail, const QByteArray &data)
{
    m_origins.push_back({origin, detail, data});
}

void Tracer::sendEnds()
{
    if (!m_origins.empty())
        m_origins.pop_back();
}

void Tracer::hostSendTo(const QString &peer)
{
    m_sendPeer = peer;
}

QString Tracer::originWords(const QByteArray &bytes, QString *tag) const
{
    if (m_origins.empty()) {
        *tag = QStringLiteral("other");
        return QStringLiteral("sent");
    }
    const Origin &o = m_origins.back();
    switch (o.origin) {
    case SendOrigin::Key:
        *tag = QStringLiteral("key");
        return QStringLiteral("key %1").arg(keyName(o.detail));
    case SendOrigin::FunctionKey:
        *tag = QStringLiteral("function-key");
        return QStringLiteral("function-key sequence of %1").arg(keyName(o.detail));
    case SendOrigin::InputReport:
        *tag = QStringLiteral("input-report");
        return QStringLiteral("report of \"Input %1\"").arg(o.detail);
    case SendOrigin::StatusReport:
        *tag = QStringLiteral("status-report");
        return QStringLiteral("status report");
    case SendOrigin::Reply:
        *tag = QStringLiteral("reply");
        return QStringLiteral("reply to \"%1\"").arg(QLatin1Char(char(o.detail)));
    case SendOrigin::Barcode:
        *tag = QStringLiteral("barcode");
        return QStringLiteral("barcode %1").arg(bytewords::quoted(o.data));
    case SendOrigin::ScaleReading:
        *tag = QStringLiteral("scale-reading");
        return QStringLiteral("scale reading %1: %2").arg(o.detail).arg(bytewords::quoted(o.data));
    case SendOrigin::PlaybackStep:
        *tag = QStringLiteral("playback");
        return QStringLiteral("playback, input %1: %2").arg(o.detail).arg(bytewords::quoted(o.data));
    case SendOrigin::ComPort:
        *tag = QStringLiteral("com-port");
        return QStringLiteral("byte %1 from the PC COM port")
            .arg(o.data.isEmpty() ? QString() : bytewords::operand(o.data[0]));
    case SendOrigin::TelnetAnswer:
        *tag = QStringLiteral("telnet-answer");
        return QStringLiteral("Telnet answer %1").arg(telnetwords::command(bytes));
    }
    *tag = QStringLiteral("other");
    return QStringLiteral("sent");
}

void Tracer::hostDataSent(const QByteArray &bytes)
{
    QString tag;
    const QString words = originWords(bytes, &tag);
    record(Kind::Sent, Direction::ToHost, m_sendPeer, bytes, words, tag);
}

// ---- Connections, operator, messages ----

void Tracer::forgetNegotiation()
{
    m_requests.clear();
    m_subnegotiationReported = false;
}

void Tracer::linkChanged(LinkEvent event, const QString &peer, const QString &detail)
{
    QString tag;
    QString text;
    switch (event) {
    case LinkEvent::Listening:
        tag = QStringLiteral("listening");
        text = QStringLiteral("listening on port %1").arg(detail);
        break;
    case LinkEvent::Accepted:
        tag = QStringLiteral("accepted");
        text = QStringLiteral("host connected");
        forgetNegotiation();
        break;
    case LinkEvent::Connected:
        tag = QStringLiteral("connected");
        text = QStringLiteral("connected to the host");
        forgetNegotiation();
        break;
    case LinkEvent::Refused:
        tag = QStringLiteral("refused");
        text = QStringLiteral("connection refused (%1); trying again").arg(detail);
        break;
    case LinkEvent::Closed:
        tag = QStringLiteral("closed");
        text = detail.isEmpty() ? QStringLiteral("connection closed")
                                : QStringLiteral("connection closed (%1)").arg(detail);
        break;
    case LinkEvent::Error:
        tag = QStringLiteral("error");
        text = QStringLiteral("socket error: %1").arg(detail);
        break;
    }
    record(Kind::Link, Direction::Local, peer, {}, text, tag);
}

void Tracer::identPortEvent(const QString &what, const QString &peer)
{
    record(Kind::Link, Direction::Local, peer, {}, QStringLiteral("ident port: %1").arg(what),
           QStringLiteral("ident"));
}

void Tracer::messageShown(const QString &caption, const QString &text)
{
    record(Kind::Message, Direction::Local, {}, {}, QStringLiteral("%1: %2").arg(caption, text));
}

void Tracer::operatorAction(const QString &what)
{
    record(Kind::Operator, Direction::Local, {}, {}, what);
}

void Tracer::note(const QString &kind, const QString &text)
{
    record(Kind::Note, Direction::Local, {}, {}, text, kind);
}

void Tracer::faultFired(int id, const QString &kind, const QString &what)
{
    record(Kind::Note, Direction::Local, {}, {}, QStringLiteral("fault %1 (%2): %3").arg(id).arg(kind, what),
           QStringLiteral("fault"));
}
