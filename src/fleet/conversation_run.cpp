#include "fleet/conversation_run.h"

#include "control/conversation_replay.h"
#include "fleet/fleet.h"
#include "shell/new_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace {

void writeOut(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

bool writeWhole(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// FILE.new, by the rule of every file written for someone else: no link is
// followed (FILE.new may well be a link to FILE, which must keep its matchers),
// and what is there is written over only when it is a regular file.
bool writeUpdatedCopy(const QString &path, const QByteArray &content, QString *error)
{
    NewFile opened = openNewFile(QDir::currentPath(), path, true);
    if (!opened.file) {
        *error = opened.error;
        return false;
    }
    if (opened.file->write(content) != content.size()) {
        *error = QStringLiteral("cannot write \"%1\": %2").arg(path, opened.file->errorString());
        return false;
    }
    return true;
}

} // namespace

ConversationRun::ConversationRun(const Settings &settings, Prompts &prompts, Terminal::AddressSource localAddressText,
                                 QObject *parent)
    : QObject(parent), m_settings(settings), m_prompts(prompts), m_localAddressText(std::move(localAddressText))
{
}

ConversationRun::~ConversationRun()
{
    m_replays.clear();
    m_fleet.reset();
}

bool ConversationRun::load()
{
    bool good = true;
    for (const QString &file : m_settings.files) {
        QString error;
        std::optional<conversation::Conversation> read = conversation::readFile(file, &error);
        if (!read) {
            writeOut(stderr, QStringLiteral("ethernet: %1\n").arg(error));
            good = false;
            continue;
        }
        m_conversations.push_back(std::move(*read));
    }
    // Without it the terminal would write its first-start settings and replay against them.
    if (!m_settings.namedByFolder)
        for (const QString &folder : m_settings.folders)
            if (!QFileInfo(QDir(folder).filePath(QStringLiteral("Config.ini"))).isFile()) {
                writeOut(stderr, QStringLiteral("ethernet: \"%1\" has no \"Config.ini\"; a replay takes the "
                                                "terminal's settings from it (--folder DIR names another folder)\n")
                                     .arg(QDir::toNativeSeparators(folder)));
                good = false;
            }
    return good;
}

void ConversationRun::start()
{
    m_file = 0;
    QMetaObject::invokeMethod(this, &ConversationRun::startFile, Qt::QueuedConnection);
}

void ConversationRun::startFile()
{
    m_replays.clear();
    m_fleet.reset();
    if (m_file >= m_conversations.size()) {
        m_done = true;
        QCoreApplication::quit();
        return;
    }
    Fleet::Plan plan;
    plan.folders = m_settings.folders;
    plan.namedByFolder = m_settings.namedByFolder;
    plan.comutadora = m_settings.comutadora;
    m_fleet = std::make_unique<Fleet>(plan, m_prompts, m_localAddressText);
    // The settings are compared before any connection opens.
    const conversation::Conversation &conversation = m_conversations[m_file];
    for (int i = 0; i < m_fleet->size(); ++i) {
        ConversationReplay::Options options;
        options.stepTimeoutMs = m_settings.stepTimeoutMs;
        options.update = m_settings.update;
        options.paceReal = m_settings.paceReal;
        if (m_fleet->size() > 1)
            options.terminalName = m_fleet->members().at(std::size_t(i)).name;
        auto replay = std::make_unique<ConversationReplay>(m_fleet->terminal(i), conversation, options);
        connect(replay.get(), &ConversationReplay::finished, this, [this] {
            for (const auto &r : m_replays)
                if (!r->isFinished())
                    return;
            QMetaObject::invokeMethod(this, &ConversationRun::fileDone, Qt::QueuedConnection);
        });
        m_replays.push_back(std::move(replay));
    }
    m_fleet->start();
    for (const auto &replay : m_replays)
        replay->start();
}

void ConversationRun::fileDone()
{
    const conversation::Conversation &conversation = m_conversations[m_file];
    const std::vector<ControlServer::Member> members = m_fleet->members();
    QByteArray updated;
    for (std::size_t i = 0; i < m_replays.size(); ++i) {
        const ConversationReplay &replay = *m_replays[i];
        conversation::CaseResult result;
        result.name = conversation.fileName;
        result.suite = m_replays.size() > 1 ? members.at(i).name : QString();
        result.passed = replay.passed();
        result.seconds = double(replay.elapsedMs()) / 1000.0;
        result.steps = replay.expectationsMet();
        QJsonObject summary{{QStringLiteral("file"), conversation.fileName},
                            {QStringLiteral("passed"), result.passed},
                            {QStringLiteral("expectations"), conversation.expectationCount()},
                            {QStringLiteral("met"), replay.expectationsMet()},
                            {QStringLiteral("ms"), replay.elapsedMs()}};
        if (!result.suite.isEmpty())
            summary.insert(QStringLiteral("terminal"), result.suite);
        const QString who = result.suite.isEmpty() ? QString() : QStringLiteral(" on terminal %1").arg(result.suite);
        if (!replay.settingsError().isEmpty()) {
            result.message = replay.settingsError();
            result.report = replay.settingsError() + QLatin1Char('\n');
            summary.insert(QStringLiteral("settings"), replay.settingsError());
        } else if (!replay.mismatches().empty()) {
            result.message = conversation::headline(replay.mismatches().front());
            QJsonArray mismatches;
            for (const conversation::Mismatch &mismatch : replay.mismatches()) {
                result.report += conversation::reportText(mismatch);
                mismatches.append(conversation::toJson(mismatch));
            }
            summary.insert(QStringLiteral("mismatches"), mismatches);
            if (updated.isEmpty())
                updated = replay.updatedText();
        }
        if (!result.passed) {
            m_anyFailed = true;
            writeOut(stderr, result.report);
        }
        writeOut(stdout, QStringLiteral("%1 %2%3: %4 of %5 expectations met in %6 ms\n")
                             .arg(result.passed ? QStringLiteral("PASS") : QStringLiteral("FAIL"), conversation.fileName,
                                  who)
                             .arg(replay.expectationsMet())
                             .arg(conversation.expectationCount())
                             .arg(replay.elapsedMs()));
        m_results.append(result);
        m_summary.append(summary);
    }
    if (!updated.isEmpty()) {
        const QString path = conversation.fileName + QStringLiteral(".new");
        QString error;
        if (writeUpdatedCopy(path, updated, &error)) {
            writeOut(stdout, QStringLiteral("updated copy: %1\n").arg(path));
            QJsonObject last = m_summary.last().toObject();
            last.insert(QStringLiteral("new_file"), QFileInfo(path).absoluteFilePath());
            m_summary.replace(m_summary.size() - 1, last);
        } else {
            writeOut(stderr, QStringLiteral("ethernet: %1\n").arg(error));
            m_anyFailed = true;
        }
    }
    ++m_file;
    startFile();
}

int ConversationRun::finish()
{
    m_replays.clear();
    m_fleet.reset();
    if (!m_done) {
        writeOut(stderr, QStringLiteral("ethernet: the replay was interrupted; %1 of %2 files replayed\n")
                             .arg(m_file)
                             .arg(m_conversations.size()));
        m_anyFailed = true;
    }
    QString error;
    if (!m_settings.junit.isEmpty() && !writeWhole(m_settings.junit, conversation::junitXml(m_results), &error)) {
        writeOut(stderr, QStringLiteral("ethernet: %1\n").arg(error));
        m_anyFailed = true;
    }
    if (!m_settings.results.isEmpty() &&
        !writeWhole(m_settings.results,
                    QJsonDocument(QJsonObject{{QStringLiteral("passed"), !m_anyFailed},
                                              {QStringLiteral("files"), m_summary}})
                        .toJson(),
                    &error)) {
        writeOut(stderr, QStringLiteral("ethernet: %1\n").arg(error));
        m_anyFailed = true;
    }
    return m_anyFailed ? kFailed : kAllPassed;
}
