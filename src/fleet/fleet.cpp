#include "fleet/fleet.h"

#include "fleet/address_list.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTimer>

#include <chrono>

namespace {

// Messages of one terminal among several: its name first, so that a line on
// standard error says which terminal it concerns.
class NamedPrompts : public Prompts {
public:
    NamedPrompts(Prompts &inner, QString name) : m_inner(inner), m_name(std::move(name)) {}

    void showMessage(const QString &caption, const QString &text, Icon icon) override
    {
        m_inner.showMessage(m_name + QLatin1String(": ") + caption, text, icon);
    }
    std::optional<QString> inputBox(const QString &caption, const QString &prompt, const QString &value) override
    {
        return m_inner.inputBox(caption, prompt, value);
    }
    void requestTerminate() override { m_inner.requestTerminate(); }

private:
    Prompts &m_inner;
    QString m_name;
};

} // namespace


QStringList Fleet::fleetFolders(const QString &dir, QString *error)
{
    const QDir root(dir);
    QStringList folders;
    const QStringList names = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        if (QFileInfo(root.filePath(name) + QStringLiteral("/Config.ini")).isFile())
            folders.append(QFileInfo(root.filePath(name)).absoluteFilePath());
        if (folders.size() > kMaxTerminals) {
            *error = QStringLiteral("%1 holds more than %2 terminal folders").arg(dir).arg(kMaxTerminals);
            return {};
        }
    }
    if (folders.isEmpty())
        *error = QStringLiteral("%1 has no subfolder with a \"Config.ini\"; make one with --make-fleet").arg(dir);
    return folders;
}

Fleet::Unit Fleet::makeUnit(const QString &folder, const QString &name, bool alone)
{
    Unit unit;
    unit.name = name;
    if (!alone)
        unit.prompts = std::make_unique<NamedPrompts>(m_prompts, unit.name);
    unit.terminal = std::make_unique<Terminal>(folder, alone ? m_prompts : *unit.prompts, m_localAddressText);
    return unit;
}

Fleet::Fleet(const Plan &plan, Prompts &prompts, Terminal::AddressSource localAddressText, QObject *parent)
    : QObject(parent), m_prompts(prompts), m_localAddressText(localAddressText), m_root(plan.root),
      m_comutadora(plan.comutadora)
{
    const bool several = plan.comutadora && plan.addresses.size() > 1;
    const std::size_t perFolder = plan.comutadora ? std::max<std::size_t>(plan.addresses.size(), 1) : 1;
    m_units.reserve(std::size_t(plan.folders.size()) * perFolder);
    for (const QString &folder : plan.folders) {
        const QString folderName = QFileInfo(folder).fileName();
        Terminal *carrier = nullptr;
        for (std::size_t i = 0; i < perFolder; ++i) {
            const frames::BusAddress address = plan.comutadora && !plan.addresses.empty()
                                                   ? plan.addresses[i] : frames::kDefaultAddress;
            QString name = folderName;
            if (several)
                name = plan.namedByFolder ? folderName + QLatin1Char('/') + addressText(address) : addressText(address);
            Unit unit = makeUnit(folder, name, plan.folders.size() == 1 && !several);
            unit.terminal->state().comutadoraAddress = address;
            if (!carrier)
                carrier = unit.terminal.get();
            else
                carrier->connections().carry(unit.terminal->connections());
            unit.metrics = std::make_unique<LoadMetrics>(*unit.terminal, unit.name);
            if (plan.folders.size() > 1 || several)
                unit.terminal->connections().setImmediateSends(true);
            m_units.push_back(std::move(unit));
        }
    }
}

Fleet::~Fleet()
{
    // Figures first: they watch the terminals.
    for (Unit &unit : m_units)
        unit.metrics.reset();
}

int Fleet::size() const
{
    return int(m_units.size());
}

Terminal &Fleet::terminal(int index)
{
    return *m_units.at(std::size_t(index)).terminal;
}

std::vector<ControlServer::Member> Fleet::members() const
{
    std::vector<ControlServer::Member> members;
    for (const Unit &unit : m_units)
        members.push_back({unit.name, unit.terminal.get()});
    return members;
}

void Fleet::start()
{
    for (Unit &unit : m_units)
        unit.terminal->startWithoutWindows(m_comutadora);
}

QStringList Fleet::setPlaybackAll(bool on, qint64 rampMs)
{
    const std::uint64_t run = ++m_rampRun;
    const qint64 count = qint64(m_units.size());
    QStringList withoutScript;
    for (qint64 i = 0; i < count; ++i) {
        Terminal *terminal = m_units[std::size_t(i)].terminal.get();
        if (on && !QFileInfo(terminal->filePath("Digitacoes.ini")).isFile())
            withoutScript.append(m_units[std::size_t(i)].name);
        const qint64 delay = on ? rampMs * i / count : 0;
        if (delay == 0) {
            terminal->actions().setPlayback(on);
            continue;
        }
        QTimer::singleShot(std::chrono::milliseconds(delay), this, [this, run, terminal] {
            if (run == m_rampRun)
                terminal->actions().setPlayback(true);
        });
    }
    return withoutScript;
}

void Fleet::setAnswering(Terminal &terminal, bool on)
{
    terminal.connections().setAnswering(on);
}

Fleet::Unit *Fleet::unitOf(const Terminal *terminal)
{
    for (Unit &unit : m_units)
        if (unit.terminal.get() == terminal)
            return &unit;
    return nullptr;
}

const Fleet::Unit *Fleet::unitOf(const Terminal *terminal) const
{
    return const_cast<Fleet *>(this)->unitOf(terminal);
}

QJsonObject Fleet::metrics(const Terminal *only) const
{
    if (only) {
        const Unit *unit = unitOf(only);
        return unit ? unit->metrics->toJson() : QJsonObject();
    }
    std::vector<const LoadMetrics *> all;
    all.reserve(m_units.size());
    for (const Unit &unit : m_units)
        all.push_back(unit.metrics.get());
    return fleetMetricsJson(all, m_retired, m_retiredCount);
}

bool Fleet::writeMetrics(const QString &path, QString *error) const
{
    QSaveFile file(path);
    const QByteArray text = QJsonDocument(metrics()).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        *error = QStringLiteral("cannot write the figures to %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QByteArray Fleet::prometheusMetrics(bool perTerminal) const
{
    PrometheusScrape scrape;
    scrape.perTerminal = perTerminal;
    scrape.retired = m_retired;
    scrape.terminals.reserve(m_units.size());
    for (const Unit &unit : m_units)
        scrape.terminals.push_back(unit.metrics.get());
    return prometheusText(scrape);
}
