#include "shell/serial_bridge.h"

#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "shell/ini_store.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

const QByteArray kSerial = "Serial";

// Bytes the port may hold for us before it stops reading from the device, so a
// flooding device cannot grow memory while the program is busy elsewhere.
constexpr qint64 kReadBufferSize = 4096;
// Bytes waiting for the device after which further writes are refused.
constexpr qint64 kMaxPendingWrite = 64 * 1024;
// How long a write may wait for a device that does not take its bytes.
constexpr int kWriteWaitMs = 100;

} // namespace

SerialBridge::SerialBridge(TerminalState &state, Prompts &prompts, const QString &configPath,
                           std::function<void(char)> sendKey, QObject *parent)
    : QObject(parent), m_state(state), m_prompts(prompts), m_configPath(configPath),
      m_sendKey(std::move(sendKey)), m_port(this)
{
    m_port.setPortName(deviceNameFor("1"));
    m_port.setBaudRate(9600);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setReadBufferSize(kReadBufferSize);
    connect(&m_port, &QSerialPort::readyRead, this, &SerialBridge::objSerialRxChar);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialBridge::portError);
}

QString SerialBridge::deviceNameFor(const QByteArray &porta) const
{
    const QString folder = QFileInfo(m_configPath).absolutePath();
    const QString local = QDir(folder).filePath(QStringLiteral("COM") + QString::fromLatin1(porta));
    const QFileInfo localInfo(local);
    // A dangling link still names the device the user meant; opening it fails
    // with a message that names the link.
    if (localInfo.exists() || localInfo.isSymLink())
        return local;
    bool ok = false;
    const int number = porta.size() <= 9 ? porta.toInt(&ok, 10) : 0;
    const bool digitsOnly = !porta.isEmpty()
        && std::all_of(porta.begin(), porta.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (ok && digitsOnly && number >= 1)
        return QStringLiteral("/dev/ttyS%1").arg(number - 1);
    // No device has this name; opening fails and the message shows what was tried.
    return local;
}

void SerialBridge::setRelayEnabled(bool on)
{
    m_state.serialRelayEnabled = on;
    emit relayEnabledChanged(on);
}

void SerialBridge::SerialPortOpen()
{
    m_port.close();
    m_readErrors = 0;
    const IniStore store(m_configPath);
    if (!store.exists())
        return;

    const QString device = deviceNameFor(store.readString(kSerial, "Porta", "1"));
    const int baud = store.readInteger(kSerial, "Baud_Rate", 9600);
    const int paridade = store.readInteger(kSerial, "Paridade", 0);
    const int stopBit = store.readInteger(kSerial, "Stop_Bit", 0);
    const int nBits = store.readInteger(kSerial, "NBits", 0);

    m_port.setPortName(device);
    bool ok = baud > 0 && m_port.setBaudRate(baud);
    ok = ok && m_port.setParity(paridade == 0   ? QSerialPort::NoParity
                                : paridade == 1 ? QSerialPort::EvenParity
                                                : QSerialPort::OddParity);
    ok = ok && m_port.setStopBits(stopBit == 0 ? QSerialPort::OneStop : QSerialPort::TwoStop);
    ok = ok && m_port.setDataBits(nBits == 0 ? QSerialPort::Data8 : QSerialPort::Data7);
    ok = ok && m_port.setFlowControl(QSerialPort::NoFlowControl);
    ok = ok && m_port.open(QIODevice::ReadWrite);
    if (ok) {
        // Opening raises DTR and RTS on most drivers; the lines stay inactive. A
        // device without modem lines (a pseudo-terminal) refuses this, harmlessly.
        m_port.setDataTerminalReady(false);
        m_port.setRequestToSend(false);
        m_port.clearError();
        return;
    }

    m_port.close();
    setRelayEnabled(false);
    m_prompts.showMessage(QStringLiteral("Erro de configuração"),
                          QStringLiteral("Erro ao abrir a porta ") + device
                              + QStringLiteral(". Verifique se ela existe ou se não está sendo")
                              + QChar(u'\r') + QStringLiteral("utilizada por outro aplicativo."),
                          Prompts::Icon::Error);
}

bool SerialBridge::writeToPort(const QByteArray &bytes)
{
    if (!m_port.isOpen() || m_port.bytesToWrite() > kMaxPendingWrite)
        return false;
    if (m_port.write(bytes) != bytes.size())
        return false;
    if (m_port.bytesToWrite() > 0 && !m_port.waitForBytesWritten(kWriteWaitMs))
        return m_port.isOpen() && m_port.bytesToWrite() == 0;
    return true;
}

void SerialBridge::ckHabilitaSerialClick()
{
    setRelayEnabled(!m_state.serialRelayEnabled);
    if (m_state.serialRelayEnabled)
        SerialPortOpen();
}

void SerialBridge::cbPortaCOMClick(bool ticked)
{
    m_state.comPortBoxTicked = ticked;
    if (ticked)
        ckHabilitaSerialClick();
}

void SerialBridge::objSerialRxChar()
{
    guarded(m_prompts, [this] {
        const QByteArray bytes = m_port.readAll();
        if (!bytes.isEmpty())
            m_readErrors = 0;
        for (const char c : bytes)
            m_sendKey(c);
    });
}

void SerialBridge::portError(QSerialPort::SerialPortError error)
{
    if (!m_port.isOpen())
        return;
    switch (error) {
    case QSerialPort::ResourceError:
        giveUpPort();
        break;
    case QSerialPort::ReadError:
    case QSerialPort::UnknownError:
        if (++m_readErrors >= kReadErrorLimit)
            giveUpPort();
        break;
    default:
        break;
    }
}

void SerialBridge::giveUpPort()
{
    m_port.close();
    m_readErrors = 0;
    setRelayEnabled(false);
}
