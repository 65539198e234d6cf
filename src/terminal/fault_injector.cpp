#include "terminal/fault_injector.h"

#include "engine/frames.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"
#include "terminal/operator_actions.h"

#include <QDateTime>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<std::pair<FaultSpec::Kind, const char *>, 11> kKindNames{{
    {FaultSpec::Kind::Split, "split"},
    {FaultSpec::Kind::Delay, "delay"},
    {FaultSpec::Kind::DropReply, "drop_reply"},
    {FaultSpec::Kind::Reset, "reset"},
    {FaultSpec::Kind::Close, "close"},
    {FaultSpec::Kind::Stall, "stall"},
    {FaultSpec::Kind::Refuse, "refuse"},
    {FaultSpec::Kind::PrinterBusy, "printer_busy"},
    {FaultSpec::Kind::SerialBlocked, "serial_blocked"},
    {FaultSpec::Kind::Scale, "scale"},
    {FaultSpec::Kind::TelnetSilent, "telnet_silent"},
}};

bool isBox(FaultSpec::Kind kind)
{
    return kind == FaultSpec::Kind::PrinterBusy || kind == FaultSpec::Kind::SerialBlocked;
}

// Kinds whose turns are deliveries from the host.
bool onDeliveries(FaultSpec::Kind kind)
{
    switch (kind) {
    case FaultSpec::Kind::Split:
    case FaultSpec::Kind::Reset:
    case FaultSpec::Kind::Close:
    case FaultSpec::Kind::Stall:
    case FaultSpec::Kind::Refuse:
    case FaultSpec::Kind::PrinterBusy:
    case FaultSpec::Kind::SerialBlocked: return true;
    default: return false;
    }
}

QString spaced(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

QString FaultSpec::kindName(Kind kind)
{
    for (const auto &[k, name] : kKindNames)
        if (k == kind)
            return QString::fromLatin1(name);
    return QString();
}

std::optional<FaultSpec::Kind> FaultSpec::kindFromName(const QString &name)
{
    for (const auto &[k, text] : kKindNames)
        if (name == QLatin1String(text))
            return k;
    return std::nullopt;
}

FaultInjector::FaultInjector(ConnectionManager &link, TerminalState &state, EnqResponder &scale, QObject *parent)
    : QObject(parent), m_link(link), m_state(state), m_scale(scale)
{
    m_delayTimer.setSingleShot(true);
    connect(&m_delayTimer, &QTimer::timeout, this, &FaultInjector::flushDelayed);
    connect(&m_link, &ConnectionManager::hostDataDelivered, this, &FaultInjector::endBoxFaults);
    connect(&m_link, &ConnectionManager::hostConnectionEnded, this, &FaultInjector::dropDelayed);
}

// ---- The list ----

int FaultInjector::add(const FaultSpec &spec)
{
    if (int(m_faults.size()) >= kMaxFaults)
        return -1;
    Fault fault;
    fault.id = m_nextId++;
    fault.spec = spec;
    fault.remaining = isBox(spec.kind) ? 1 : spec.count;
    fault.commandsLeft = spec.count;
    fault.toSkip = spec.after;
    fault.armed = spec.whenReceived.isEmpty();
    fault.random.seed(spec.seed);
    m_faults.push_back(std::move(fault));
    m_link.setFaults(this);
    Fault &added = m_faults.back();
    const int id = added.id;
    if (actsAtOnce(spec))
        actNow(added);
    retire();
    return id;
}

FaultInjector::Fault *FaultInjector::find(int id)
{
    for (Fault &fault : m_faults)
        if (fault.id == id)
            return &fault;
    return nullptr;
}

bool FaultInjector::clear(int id)
{
    Fault *fault = find(id);
    if (!fault)
        return false;
    // A box ticked by the fault goes back as it was before.
    if (isBox(fault->spec.kind) && fault->fired > 0 && fault->commandsLeft != 0 && m_actions) {
        if (fault->spec.kind == FaultSpec::Kind::PrinterBusy)
            m_actions->setBusy(false);
        else
            m_actions->setCts(false);
    }
    std::erase_if(m_faults, [id](const Fault &f) { return f.id == id; });
    if (m_faults.empty())
        m_link.setFaults(nullptr);
    return true;
}

void FaultInjector::clearAll()
{
    QList<int> ids;
    for (const Fault &fault : m_faults)
        ids.append(fault.id);
    for (const int id : ids)
        clear(id);
}

QList<FaultInjector::Status> FaultInjector::list() const
{
    QList<Status> out;
    for (const Fault &fault : m_faults)
        out.append({fault.id, fault.spec, isBox(fault.spec.kind) ? fault.commandsLeft : fault.remaining, fault.fired});
    return out;
}

void FaultInjector::fire(Fault &fault, const QString &what)
{
    ++fault.fired;
    if (fault.remaining > 0)
        --fault.remaining;
    if (m_observer)
        if (TerminalObserver *observer = m_observer())
            observer->faultFired(fault.id, FaultSpec::kindName(fault.spec.kind), what);
}

void FaultInjector::retire()
{
    std::erase_if(m_faults, [](const Fault &f) {
        if (isBox(f.spec.kind))
            return f.boxEnded;
        return f.remaining == 0;
    });
    if (m_faults.empty())
        m_link.setFaults(nullptr);
}

// ---- Triggers ----

bool FaultInjector::actsAtOnce(const FaultSpec &spec) const
{
    return onDeliveries(spec.kind) && spec.kind != FaultSpec::Kind::Split && spec.after == 0 &&
           spec.whenReceived.isEmpty();
}

qsizetype FaultInjector::arm(Fault &fault, const QByteArray &read)
{
    if (fault.armed)
        return 0;
    const QByteArray &pattern = fault.spec.whenReceived;
    const QByteArray window = fault.tail + read;
    const qsizetype at = window.indexOf(pattern);
    if (at < 0) {
        fault.tail = window.right(pattern.size() - 1);
        return -1;
    }
    fault.armed = true;
    fault.tail.clear();
    return at + pattern.size() - (window.size() - read.size());
}

bool FaultInjector::takeTurn(Fault &fault)
{
    if (!fault.armed || fault.remaining == 0)
        return false;
    if (fault.toSkip > 0) {
        --fault.toSkip;
        return false;
    }
    return true;
}

void FaultInjector::actNow(Fault &fault)
{
    const FaultSpec &spec = fault.spec;
    switch (spec.kind) {
    case FaultSpec::Kind::Reset:
    case FaultSpec::Kind::Close:
        // With no connection open the fault waits for the next one's first delivery.
        if (m_link.dropHostConnection(spec.kind == FaultSpec::Kind::Reset))
            fire(fault, spec.kind == FaultSpec::Kind::Reset ? QStringLiteral("reset the connection (RST)")
                                                            : QStringLiteral("closed the connection (FIN)"));
        break;
    case FaultSpec::Kind::Stall:
        m_link.holdReading(spec.ms);
        fire(fault, QStringLiteral("stopped reading from the host for %1 ms").arg(spec.ms));
        break;
    case FaultSpec::Kind::Refuse:
        m_link.refuseConnections(spec.ms);
        fire(fault, m_state.connectionRole == TerminalState::kServer
                        ? QStringLiteral("refuses new connections for %1 ms").arg(spec.ms)
                        : QStringLiteral("puts the next connection attempt off by %1 ms").arg(spec.ms));
        break;
    case FaultSpec::Kind::PrinterBusy:
    case FaultSpec::Kind::SerialBlocked: {
        const bool printer = spec.kind == FaultSpec::Kind::PrinterBusy;
        if (m_actions) {
            if (printer)
                m_actions->setBusy(true);
            else
                m_actions->setCts(true);
        }
        const QString box = printer ? QStringLiteral("\"Busy\"") : QStringLiteral("\"CTS\"");
        fire(fault, spec.count == FaultSpec::kAlways
                        ? QStringLiteral("ticked %1 until the fault is cleared").arg(box)
                        : QStringLiteral("ticked %1 for the next %2 commands").arg(box).arg(spec.count));
        break;
    }
    default:
        break;
    }
}

// ---- Reads from the host ----

QList<QByteArray> FaultInjector::cut(Fault &fault, const QByteArray &read)
{
    QList<qsizetype> ends;
    const FaultSpec &spec = fault.spec;
    if (spec.random) {
        for (qsizetype at = 0; at < read.size();) {
            std::uniform_int_distribution<qsizetype> size(1, read.size() - at);
            at += size(fault.random);
            ends.append(at);
        }
    } else if (!spec.sizes.isEmpty()) {
        for (qsizetype at = 0, i = 0; at < read.size(); ++i) {
            at = std::min(read.size(), at + spec.sizes.at(i % spec.sizes.size()));
            ends.append(at);
        }
    } else {
        for (const int offset : spec.offsets)
            if (offset > 0 && offset < read.size() && (ends.isEmpty() || offset > ends.last()))
                ends.append(offset);
        ends.append(read.size());
    }
    QList<QByteArray> pieces;
    qsizetype start = 0;
    for (const qsizetype end : ends) {
        pieces.append(read.mid(start, end - start));
        start = end;
    }
    return pieces;
}

void FaultInjector::received(const QByteArray &read, const std::function<void(const QByteArray &)> &deliver)
{
    Fault *splitter = nullptr;
    qsizetype dropAt = -1;
    bool dropWithReset = false;
    std::vector<int> acting; // faults that act once this read is delivered

    for (Fault &fault : m_faults) {
        const qsizetype armedAt = arm(fault, read);
        if (armedAt < 0 || !onDeliveries(fault.spec.kind))
            continue;
        if (isBox(fault.spec.kind) && fault.fired > 0)
            continue;
        if (!takeTurn(fault))
            continue;
        switch (fault.spec.kind) {
        case FaultSpec::Kind::Split:
            if (!splitter)
                splitter = &fault;
            break;
        case FaultSpec::Kind::Reset:
        case FaultSpec::Kind::Close: {
            // Cut just past the awaited bytes, which may be in the middle of a frame.
            const qsizetype at = armedAt > 0 ? armedAt : read.size();
            if (dropAt < 0 || at < dropAt) {
                dropAt = at;
                dropWithReset = fault.spec.kind == FaultSpec::Kind::Reset;
            }
            fire(fault, QStringLiteral("%1 the connection after %2 of %3 bytes of a delivery")
                            .arg(fault.spec.kind == FaultSpec::Kind::Reset ? QStringLiteral("reset (RST)")
                                                                           : QStringLiteral("closed (FIN)"))
                            .arg(at)
                            .arg(read.size()));
            break;
        }
        default:
            acting.push_back(fault.id);
            break;
        }
    }

    // A box fault ticks before the delivery that triggered it is interpreted.
    for (const int id : acting)
        if (Fault *fault = find(id); fault && isBox(fault->spec.kind))
            actNow(*fault);

    const QByteArray data = dropAt >= 0 ? read.left(dropAt) : read;
    QList<QByteArray> pieces{data};
    if (splitter && !data.isEmpty()) {
        pieces = cut(*splitter, data);
        QStringList sizes;
        for (const QByteArray &piece : pieces)
            sizes.append(QString::number(piece.size()));
        fire(*splitter, QStringLiteral("handed a delivery of %1 bytes on in pieces of %2")
                            .arg(data.size())
                            .arg(sizes.join(QLatin1Char(','))));
    }
    for (const QByteArray &piece : pieces)
        if (!piece.isEmpty())
            deliver(piece);
    if (dropAt >= 0)
        m_link.dropHostConnection(dropWithReset);
    for (const int id : acting)
        if (Fault *fault = find(id); fault && !isBox(fault->spec.kind))
            actNow(*fault);
    retire();
}

bool FaultInjector::telnetAnswer(const QByteArray &answer)
{
    // Every fault counts the request, also when another one keeps the answer back.
    Fault *actor = nullptr;
    for (Fault &fault : m_faults)
        if (fault.spec.kind == FaultSpec::Kind::TelnetSilent && takeTurn(fault) && !actor)
            actor = &fault;
    if (!actor)
        return true;
    fire(*actor, QStringLiteral("kept back the Telnet answer %1").arg(spaced(answer)));
    retire();
    return false;
}

// ---- Sends ----

bool FaultInjector::matches(FaultSpec::What what, SendClass origin)
{
    switch (what) {
    case FaultSpec::What::Replies: return origin == SendClass::Reply || origin == SendClass::Scale;
    case FaultSpec::What::Keys: return origin == SendClass::Key;
    case FaultSpec::What::All: return true;
    }
    return false;
}

char FaultInjector::replyLetter(const QByteArray &frame)
{
    // STX ESC status letter ETX, with "00" after the ESC behind a Comutadora.
    if (frame.size() < 5 || frame.front() != frames::kStx || frame.back() != frames::kEtx)
        return 0;
    return frame.at(frame.size() - 2);
}

void FaultInjector::send(SendClass origin, const QByteArray &bytes)
{
    if (m_faults.empty() && m_delayed.empty()) {
        m_link.SendToHost(bytes);
        return;
    }
    // Every fault counts the send it applies to, also when another one acts on it.
    Fault *dropper = nullptr;
    Fault *delayer = nullptr;
    for (Fault &fault : m_faults) {
        switch (fault.spec.kind) {
        case FaultSpec::Kind::PrinterBusy:
        case FaultSpec::Kind::SerialBlocked: {
            const char letter = fault.spec.kind == FaultSpec::Kind::PrinterBusy ? 'P' : 'S';
            if (origin != SendClass::Reply || fault.fired == 0 || fault.commandsLeft == 0 ||
                replyLetter(bytes) != letter)
                break;
            if (fault.commandsLeft > 0)
                --fault.commandsLeft;
            // The box goes back once the delivery holding the last command is done.
            if (fault.commandsLeft == 0)
                m_boxesToEnd = true;
            break;
        }
        case FaultSpec::Kind::DropReply:
            if (origin == SendClass::Reply && takeTurn(fault) && !dropper)
                dropper = &fault;
            break;
        case FaultSpec::Kind::Delay:
            if (matches(fault.spec.what, origin) && takeTurn(fault) && !delayer)
                delayer = &fault;
            break;
        default:
            break;
        }
    }
    if (dropper) {
        fire(*dropper, QStringLiteral("did not send the reply %1").arg(spaced(bytes)));
        retire();
        return;
    }
    int delayMs = 0;
    if (delayer) {
        delayMs = delayer->spec.ms;
        fire(*delayer, QStringLiteral("held %1 back for %2 ms").arg(spaced(bytes)).arg(delayMs));
    }
    retire();
    // A send of an origin that has sends held back waits behind them, so their order stays.
    const bool behind = std::any_of(m_delayed.begin(), m_delayed.end(),
                                    [origin](const Delayed &held) { return held.origin == origin; });
    if (!delayer && !behind) {
        m_link.SendToHost(bytes);
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 due = now + delayMs;
    int faultId = delayer ? delayer->id : 0;
    for (const Delayed &held : m_delayed)
        if (held.origin == origin && held.due >= due) {
            due = held.due;
            faultId = delayer ? faultId : held.faultId;
        }
    m_delayed.push_back({due, origin, bytes, faultId});
    std::stable_sort(m_delayed.begin(), m_delayed.end(),
                     [](const Delayed &a, const Delayed &b) { return a.due < b.due; });
    m_delayTimer.start(int(std::max<qint64>(0, m_delayed.front().due - now)));
}

void FaultInjector::flushDelayed()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    while (!m_delayed.empty() && m_delayed.front().due <= now) {
        const QByteArray bytes = std::move(m_delayed.front().bytes);
        m_delayed.pop_front();
        m_link.SendToHost(bytes);
    }
    if (!m_delayed.empty())
        m_delayTimer.start(int(std::max<qint64>(0, m_delayed.front().due - now)));
}

void FaultInjector::dropDelayed()
{
    if (m_delayed.empty())
        return;
    m_delayTimer.stop();
    // What each delay held, in the order it was sent, told once per delay.
    std::vector<std::pair<int, QByteArray>> dropped;
    for (const Delayed &held : std::exchange(m_delayed, {})) {
        auto it = std::find_if(dropped.begin(), dropped.end(),
                               [&held](const auto &entry) { return entry.first == held.faultId; });
        if (it == dropped.end())
            dropped.emplace_back(held.faultId, held.bytes);
        else
            it->second += held.bytes;
    }
    TerminalObserver *observer = m_observer ? m_observer() : nullptr;
    if (!observer)
        return;
    for (const auto &[id, bytes] : dropped)
        observer->faultFired(id, FaultSpec::kindName(FaultSpec::Kind::Delay),
                             QStringLiteral("dropped %1 held back (%2 bytes): the connection they were made on ended")
                                 .arg(spaced(bytes))
                                 .arg(bytes.size()));
}

void FaultInjector::endBoxFaults()
{
    if (!std::exchange(m_boxesToEnd, false))
        return;
    for (Fault &fault : m_faults) {
        if (!isBox(fault.spec.kind) || fault.fired == 0 || fault.commandsLeft != 0 || fault.boxEnded)
            continue;
        if (!m_actions) {
            fault.boxEnded = true;
            continue;
        }
        if (fault.spec.kind == FaultSpec::Kind::PrinterBusy)
            m_actions->setBusy(false);
        else
            m_actions->setCts(false);
        fault.boxEnded = true;
    }
    retire();
}

// ---- The scale ----

void FaultInjector::answerEnq()
{
    Fault *actor = nullptr;
    for (Fault &fault : m_faults)
        if (fault.spec.kind == FaultSpec::Kind::Scale && takeTurn(fault) && !actor)
            actor = &fault;
    if (!actor) {
        m_scale.answerEnq();
        return;
    }
    QByteArray reading;
    if (actor->spec.readings.isEmpty()) {
        fire(*actor, QStringLiteral("gave no reading for an ENQ"));
    } else {
        reading = actor->spec.readings.at(actor->fired % actor->spec.readings.size());
        fire(*actor, QStringLiteral("answered an ENQ with %1").arg(spaced(reading)));
    }
    retire();
    sendReading(reading);
}

void FaultInjector::sendReading(const QByteArray &reading)
{
    // One byte per send, framed behind a Comutadora, as the scale itself sends.
    const bool framed = m_state.comutadoraMode && m_state.protocolKind == TerminalState::kZorvane;
    for (const char c : reading)
        send(SendClass::Scale, framed ? frames::comutadoraData(c) : QByteArray(1, c));
}
