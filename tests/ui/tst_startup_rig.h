#pragma once

// One whole emulator in a temporary working folder, offscreen, with a recorder
// for every message and a test host on loopback.

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/terminal_state.h"
#include "link/connection_manager.h"
#include "shell/ini_store.h"
#include "shell/main_commands.h"
#include "ui/choice_group.h"
#include "ui/emulator_app.h"
#include "ui/form2.h"
#include "ui/frm_client.h"
#include "ui/frm_protocolo.h"
#include "ui/frm_serial.h"
#include "ui/main_window.h"
#include "ui/splash.h"

#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct EmulatorRig {
    QTemporaryDir folder;
    RecordingPrompts prompts;
    QString localAddress = QStringLiteral("10.9.8.7");
    int lookups = 0;
    QList<QUrl> opened;
    bool folderOpens = true;
    std::unique_ptr<EmulatorApp> app;
    QTcpServer host;

    EmulatorRig() { host.listen(QHostAddress::LocalHost, 0); }

    QString configPath() const { return folder.filePath(QStringLiteral("Config.ini")); }
    quint16 hostPort() const { return host.serverPort(); }

    void writeConfig(const QByteArray &text) const
    {
        QFile file(configPath());
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot prepare Config.ini");
    }
    QByteArray configText() const
    {
        QFile file(configPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray stored(const char *section, const char *key) const
    {
        return IniStore(configPath()).readString(section, key, "<missing>");
    }

    // Builds the emulator and runs its start-up step at once instead of after the splash's 500 ms.
    void start()
    {
        EmulatorApp::Platform platform;
        platform.localAddressText = [this] {
            ++lookups;
            return localAddress;
        };
        platform.openFolder = [this](const QUrl &url) {
            opened.append(url);
            return folderOpens;
        };
        app = std::make_unique<EmulatorApp>(folder.path(), prompts, platform);
        app->startUp();
    }

    TForm1 &form1() const { return *app->form1(); }
    TFrmProtocolo &protocolo() const { return *app->protocolo(); }
    TFrmClient &client() const { return *app->client(); }
    TForm2 &form2() const { return *app->form2(); }

    std::unique_ptr<QTcpSocket> nextHostConnection()
    {
        if (!host.hasPendingConnections() && !host.waitForNewConnection(5000))
            return nullptr;
        return std::unique_ptr<QTcpSocket>(host.nextPendingConnection());
    }
};
