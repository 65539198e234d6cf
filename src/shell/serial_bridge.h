#pragma once

#include "engine/ports.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <functional>

struct TerminalState;
class Prompts;

// The bridge between the terminal's serial interface and a real PC COM port
// (objSerial). It opens the port with the "Serial" settings of "Config.ini",
// takes the bytes the host sends to the serial interface (writeToPort, called
// by the serial output while "Habilitado" is on) and hands every byte received
// on the port to sendKey, which sends it to the host like a typed key.
//
// "COM<n>" maps to a file or link of that name in the folder of "Config.ini"
// when one exists (so "ln -s /dev/ttyUSB0 COM5" binds any device), otherwise to
// /dev/ttyS<n-1>. A port that keeps failing to read (its device went away) is
// closed and "Habilitado" switched off, so a vanished device never makes the
// program spin.
class SerialBridge : public QObject, public ComPortWriter {
    Q_OBJECT
public:
    // Consecutive read failures after which the port is given up.
    static constexpr int kReadErrorLimit = 3;

    SerialBridge(TerminalState &state, Prompts &prompts, const QString &configPath,
                 std::function<void(char)> sendKey, QObject *parent = nullptr);

    // Closes the port, then reopens it with the stored settings. Does nothing
    // more when "Config.ini" is missing; shows the opening message and switches
    // "Habilitado" off when the port cannot be opened.
    void SerialPortOpen();
    bool isOpen() const { return m_port.isOpen(); }

    // False when the port is not open or the bytes could not be handed to the device.
    bool writeToPort(const QByteArray &bytes) override;

    // "Habilitado": toggles the relay mark; switching it on (re)opens the port.
    void ckHabilitaSerialClick();
    // "Porta COM": ticking the box runs the "Habilitado" command.
    void cbPortaCOMClick(bool ticked);

    QString deviceNameFor(const QByteArray &porta) const;
    const QSerialPort &port() const { return m_port; }

signals:
    void relayEnabledChanged(bool on);

private:
    void objSerialRxChar();
    void portError(QSerialPort::SerialPortError error);
    void setRelayEnabled(bool on);
    void giveUpPort();

    TerminalState &m_state;
    Prompts &m_prompts;
    QString m_configPath;
    std::function<void(char)> m_sendKey;
    QSerialPort m_port;
    int m_readErrors = 0;
};
