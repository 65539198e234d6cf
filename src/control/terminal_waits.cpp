#include "control/terminal_waits.h"

#include "control/control_request.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"

#include <QJsonObject>
#include <QTimer>

#include <limits>
#include <vector>

using control::badArgument;

namespace {

QRegularExpression patternArg(const QJsonValue &value, const QString &what)
{
    if (!value.isString())
        badArgument(QStringLiteral("\"%1\" must be a regular expression string").arg(what));
    QRegularExpression pattern(value.toString());
    if (!pattern.isValid())
        badArgument(QStringLiteral("\"%1\" is not a valid regular expression: %2").arg(what, pattern.errorString()));
    pattern.optimize();
    return pattern;
}

} // namespace

WaitCondition WaitCondition::fromJson(const QJsonValue &until)
{
    if (!until.isObject() || until.toObject().isEmpty())
        badArgument(QStringLiteral("\"until\" must be an object with at least one condition"));
    WaitCondition condition;
    const QJsonObject conditions = until.toObject();
    for (auto it = conditions.begin(); it != conditions.end(); ++it) {
        const QString &name = it.key();
        if (name == QLatin1String("display")) {
            condition.display = patternArg(it.value(), name);
        } else if (name == QLatin1String("printer")) {
            condition.printer = patternArg(it.value(), name);
        } else if (name == QLatin1String("connected")) {
            if (!it.value().isBool())
                badArgument(QStringLiteral("\"connected\" must be true or false"));
            condition.connected = it.value().toBool();
        } else if (name == QLatin1String("sent") || name == QLatin1String("received")) {
            if (!it.value().isString())
                badArgument(QStringLiteral("\"%1\" must be a hex string").arg(name));
            const QByteArray pattern = control::fromHex(it.value().toString(), name);
            if (pattern.size() > kMaxPatternBytes)
                badArgument(QStringLiteral("\"%1\" may be at most %2 bytes").arg(name).arg(kMaxPatternBytes));
            (name == QLatin1String("sent") ? condition.sent : condition.received) = pattern;
        } else {
            badArgument(QStringLiteral("unknown wait condition \"%1\"; conditions are display, printer, connected, "
                                       "sent and received")
                            .arg(name));
        }
    }
    return condition;
}

// ---- One wait ----

void WaitProgress::StreamMatch::feed(const QByteArray &bytes)
{
    if (found || pattern.isEmpty()) {
        found = true;
        return;
    }
    const QByteArray window = tail + bytes;
    if (window.contains(pattern)) {
        found = true;
        tail.clear();
        return;
    }
    tail = window.right(pattern.size() - 1);
}

WaitProgress::WaitProgress(Terminal &terminal, WaitCondition condition) : m_condition(std::move(condition))
{
    if (m_condition.sent)
        m_sent = StreamMatch{*m_condition.sent, {}, false};
    if (m_condition.received)
        m_received = StreamMatch{*m_condition.received, {}, false};
    if (m_condition.printer)
        for (const QByteArray &line : terminal.outputs().parallelLog())
            sawPrinterLine(fromCp1252(line));
}

void WaitProgress::sawSent(const QByteArray &bytes)
{
    if (m_sent)
        m_sent->feed(bytes);
}

void WaitProgress::sawReceived(const QByteArray &bytes)
{
    if (m_received)
        m_received->feed(bytes);
}

void WaitProgress::sawPrinterLine(const QString &line)
{
    if (m_condition.printer && !m_printerFound && m_condition.printer->match(line).hasMatch())
        m_printerFound = true;
}

bool WaitProgress::holds(Terminal &terminal) const
{
    if (m_condition.display) {
        const DisplayModel &display = terminal.display();
        if (!m_condition.display->match(fromCp1252(display.view1())).hasMatch() &&
            !m_condition.display->match(fromCp1252(display.view2())).hasMatch())
            return false;
    }
    if (m_condition.printer && !m_printerFound)
        return false;
    if (m_condition.connected && *m_condition.connected != terminal.connections().isHostConnected())
        return false;
    if (m_sent && !m_sent->found)
        return false;
    if (m_received && !m_received->found)
        return false;
    if (m_condition.shows && !m_condition.shows(terminal))
        return false;
    return true;
}

// ---- The waits of one terminal ----

TerminalWaits::TerminalWaits(Terminal &terminal, Feed feed)
    : m_terminal(terminal), m_feed(feed), m_printerSeen(terminal.outputs().parallelLinesAdded())
{
    if (m_feed == Feed::ObserveTerminal)
        m_terminal.addObserver(this);
}

TerminalWaits::~TerminalWaits()
{
    *m_alive = false;
    if (m_feed == Feed::ObserveTerminal)
        m_terminal.removeObserver(this);
}

TerminalWaits::Id TerminalWaits::add(WaitProgress progress, qint64 timeoutMs, Done done)
{
    const Id id = m_next++;
    Pending pending{std::make_unique<WaitProgress>(std::move(progress)), std::move(done), new QTimer(m_timers.get())};
    pending.timer->setSingleShot(true);
    QObject::connect(pending.timer, &QTimer::timeout, pending.timer,
                     [this, id] { finish(id, WaitOutcome::TimedOut); });
    pending.timer->start(int(std::clamp<qint64>(timeoutMs, 0, std::numeric_limits<int>::max())));
    m_waits.emplace(id, std::move(pending));
    return id;
}

void TerminalWaits::finish(Id id, WaitOutcome outcome)
{
    const auto it = m_waits.find(id);
    if (it == m_waits.end())
        return;
    Pending pending = std::move(it->second);
    m_waits.erase(it);
    // The timer may be the one calling: it goes once control is back in the event loop.
    pending.timer->stop();
    pending.timer->deleteLater();
    if (pending.done)
        pending.done(outcome);
}

bool TerminalWaits::end(Id id, bool callBack)
{
    const auto it = m_waits.find(id);
    if (it == m_waits.end())
        return false;
    if (!callBack)
        it->second.done = nullptr;
    finish(id, WaitOutcome::Ended);
    return true;
}

void TerminalWaits::endAll()
{
    const std::shared_ptr<bool> alive = m_alive;
    while (*alive && !m_waits.empty())
        finish(m_waits.begin()->first, WaitOutcome::Ended);
}

void TerminalWaits::check()
{
    std::vector<Id> held;
    for (const auto &[id, pending] : m_waits)
        if (pending.progress->holds(m_terminal))
            held.push_back(id);
    // A callback may end other waits or destroy this object.
    const std::shared_ptr<bool> alive = m_alive;
    for (const Id id : held) {
        if (!*alive)
            return;
        finish(id, WaitOutcome::Held);
    }
}

void TerminalWaits::passedHost(bool sent, const QByteArray &bytes)
{
    bool fed = false;
    for (auto &[id, pending] : m_waits) {
        const WaitCondition &condition = pending.progress->condition();
        if (sent ? !condition.sent : !condition.received)
            continue;
        if (sent)
            pending.progress->sawSent(bytes);
        else
            pending.progress->sawReceived(bytes);
        fed = true;
    }
    if (fed)
        check();
}

void TerminalWaits::hostDataReceived(const QByteArray &bytes)
{
    passedHost(false, bytes);
}

void TerminalWaits::hostDataSent(const QByteArray &bytes)
{
    passedHost(true, bytes);
}

void TerminalWaits::linkChanged(LinkEvent event, const QString &peer, const QString &detail)
{
    Q_UNUSED(event);
    Q_UNUSED(peer);
    Q_UNUSED(detail);
    check();
}

void TerminalWaits::displayChanged()
{
    check();
}

void TerminalWaits::printerChanged()
{
    const Outputs &outputs = m_terminal.outputs();
    const std::deque<QByteArray> &log = outputs.parallelLog();
    const quint64 added = outputs.parallelLinesAdded();
    const quint64 first = added - log.size();
    bool watched = false;
    for (const auto &[id, pending] : m_waits)
        watched = watched || pending.progress->condition().printer.has_value();
    if (watched) {
        for (quint64 index = std::max(m_printerSeen, first); index < added; ++index) {
            const QString line = fromCp1252(log.at(std::size_t(index - first)));
            for (auto &[id, pending] : m_waits)
                pending.progress->sawPrinterLine(line);
        }
    }
    m_printerSeen = added;
    if (watched)
        check();
    else
        checkOwnConditions();
}

void TerminalWaits::ledsChanged()
{
    checkOwnConditions();
}

void TerminalWaits::serialChanged()
{
    checkOwnConditions();
}

void TerminalWaits::checkOwnConditions()
{
    for (const auto &[id, pending] : m_waits)
        if (pending.progress->condition().shows) {
            check();
            return;
        }
}
