#pragma once

#include "conversation/conversation_file.h"
#include "conversation/junit_report.h"
#include "engine/frames.h"
#include "engine/prompts.h"
#include "terminal/terminal.h"

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class ConversationReplay;
class Fleet;

// The headless replay of conversation files (--replay): the files are read
// and checked first, all of them, and nothing runs when one is bad. Then
// each file in turn gets fresh terminals, built from the working folder's
// "Config.ini" (or one per fleet folder, all replaying at once, each on its
// own), which open their connections and replay the file. Reports of what did
// not match go to standard error, one result line per file to standard
// output; JUnit XML and a JSON summary on request; updated copies (FILE.new)
// beside the files that failed, when updating.
class ConversationRun : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QStringList files;
        QStringList folders; // one terminal each
        bool namedByFolder = false;
        bool comutadora = false;
        qint64 stepTimeoutMs = 10000;
        bool update = false;
        bool paceReal = false;
        QString junit;   // empty: none
        QString results; // empty: none
    };

    // Exit statuses.
    static constexpr int kAllPassed = 0;
    static constexpr int kFailed = 1;
    static constexpr int kBadInput = 2;

    ConversationRun(const Settings &settings, Prompts &prompts, Terminal::AddressSource localAddressText,
                    QObject *parent = nullptr);
    ~ConversationRun() override;

    // Reads every file and makes sure each folder has its "Config.ini"; false
    // (and the messages on standard error) when one is bad or missing.
    bool load();
    // Starts the first file; the run ends with QCoreApplication::quit().
    void start();
    // The exit status once the event loop has returned.
    int finish();

private:
    void startFile();
    void fileDone();

    Settings m_settings;
    Prompts &m_prompts;
    Terminal::AddressSource m_localAddressText;
    std::vector<conversation::Conversation> m_conversations;
    std::size_t m_file = 0;
    std::unique_ptr<Fleet> m_fleet;
    std::vector<std::unique_ptr<ConversationReplay>> m_replays;
    QList<conversation::CaseResult> m_results;
    QJsonArray m_summary;
    bool m_done = false;
    bool m_anyFailed = false;
};
