#pragma once

#include "conversation/recorder.h"
#include "conversation/screen_reading.h"
#include "engine/terminal_observer.h"
#include "shell/new_file.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>

#include <memory>

class Terminal;

// The recording of one terminal's conversation, from start() to stop(): the
// operator actions, as OperatorActions announces them, and before each what
// the terminal showed, read from the terminal at that moment; the host's reads
// come from the observer stream (keys typed with no read between them make
// one "type" line). Every line reaches the file as it is written.
//
// A write the file refuses ends the recording and tells the user once through
// the terminal's prompts; the terminal goes on.
class ConversationRecording : public QObject, private TerminalObserver {
    Q_OBJECT
public:
    explicit ConversationRecording(Terminal &terminal, QObject *parent = nullptr);
    ~ConversationRecording() override;

    // A new file at path, a relative one taken from workingFolder; an existing
    // regular file only with replace, a link or special file never. False with
    // a sentence in *error and the reason in *refusal; a recording already
    // running goes on then.
    bool start(const QString &workingFolder, const QString &path, bool replace, QString *error,
               NewFile::Refusal *refusal = nullptr);
    // Writes what the terminal shows now and closes the file. False with a
    // sentence when the file refused a write; nothing when not recording.
    bool stop(QString *error = nullptr);
    bool isRecording() const { return m_recorder != nullptr; }
    const QString &path() const { return m_path; }
    int actions() const { return m_recorder ? m_recorder->actions() : m_lastActions; }

    // The settings a conversation's header names: what changes what the host sees.
    static QJsonObject settingsOf(Terminal &terminal);

signals:
    void recordingChanged(bool recording);

private:
    void hostDataReceived(const QByteArray &bytes) override;
    void action(const QString &command, const QJsonObject &args);
    bool writeLine(const QByteArray &line);
    void fail();
    conversation::Screen screenNow() const;

    Terminal &m_terminal;
    std::unique_ptr<conversation::Recorder> m_recorder;
    std::unique_ptr<QFile> m_file;
    QString m_path;
    QElapsedTimer m_clock;
    conversation::LogMarks m_marks;
    quint64 m_reads = 0;
    int m_lastActions = 0;
    bool m_failing = false;
    int m_listener = 0;
};
