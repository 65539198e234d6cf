#pragma once

// What the in-process benchmarks share: an offscreen platform that keeps its
// notes to itself, a user who never answers, and a whole emulator built in a
// fresh working folder from a prepared "Config.ini" and started as the program
// starts. Header only: it needs the ui library, which only these programs link.

#include "engine/prompts.h"
#include "ui/emulator_app.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace bench
{

// Before the QApplication: offscreen unless told otherwise, and only critical
// messages printed, so the figures are not lost among the platform's notes.
inline void quietOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
}

// Keeps any message (a run should show none) and cancels input boxes.
class QuietPrompts : public Prompts
{
public:
    void showMessage(const QString &, const QString &text, Icon) override { messages.append(text); }
    std::optional<QString> inputBox(const QString &, const QString &, const QString &) override { return {}; }
    void requestTerminate() override {}
    QStringList messages;
};

// A whole emulator whose working folder holds `config` as its "Config.ini".
class InProcessEmulator
{
public:
    // Writes the folder and starts the emulator; app() is null when the folder could not be written.
    explicit InProcessEmulator(const QByteArray &config)
    {
        QFile file(m_folder.filePath(QStringLiteral("Config.ini")));
        if (!m_folder.isValid() || !file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
            return;
        file.close();
        EmulatorApp::Platform platform;
        platform.localAddressText = [] { return QStringLiteral("127.0.0.1"); };
        platform.openFolder = [](const QUrl &) { return false; };
        m_app = std::make_unique<EmulatorApp>(m_folder.path(), prompts, platform);
        m_app->startUp();
    }

    EmulatorApp *app() const { return m_app.get(); }
    QuietPrompts prompts;

private:
    QTemporaryDir m_folder;
    std::unique_ptr<EmulatorApp> m_app;
};

} // namespace bench
