#include "trace/telnet_words.h"

#include "trace/byte_words.h"

namespace telnetwords {

namespace {

constexpr unsigned char kIac = 0xFF;
constexpr unsigned char kSb = 0xFA;
constexpr unsigned char kSe = 0xF0;

QString commandName(unsigned char b)
{
    switch (b) {
    case 0xFF: return QStringLiteral("IAC");
    case 0xFE: return QStringLiteral("DONT");
    case 0xFD: return QStringLiteral("DO");
    case 0xFC: return QStringLiteral("WONT");
    case 0xFB: return QStringLiteral("WILL");
    case 0xFA: return QStringLiteral("SB");
    case 0xF9: return QStringLiteral("GA");
    case 0xF8: return QStringLiteral("EL");
    case 0xF7: return QStringLiteral("EC");
    case 0xF6: return QStringLiteral("AYT");
    case 0xF5: return QStringLiteral("AO");
    case 0xF4: return QStringLiteral("IP");
    case 0xF3: return QStringLiteral("BRK");
    case 0xF2: return QStringLiteral("DM");
    case 0xF1: return QStringLiteral("NOP");
    case 0xF0: return QStringLiteral("SE");
    case 0xEF: return QStringLiteral("EOR");
    default: return QString::number(b);
    }
}

} // namespace

QString optionName(unsigned char option)
{
    switch (option) {
    case 0x00: return QStringLiteral("TRANSMIT-BINARY");
    case 0x01: return QStringLiteral("ECHO");
    case 0x03: return QStringLiteral("SUPPRESS-GO-AHEAD");
    case 0x05: return QStringLiteral("STATUS");
    case 0x06: return QStringLiteral("TIMING-MARK");
    case 0x17: return QStringLiteral("SEND-LOCATION");
    case 0x18: return QStringLiteral("TERMINAL-TYPE");
    case 0x19: return QStringLiteral("END-OF-RECORD");
    case 0x1F: return QStringLiteral("NAWS");
    case 0x20: return QStringLiteral("TERMINAL-SPEED");
    case 0x21: return QStringLiteral("TOGGLE-FLOW-CONTROL");
    case 0x22: return QStringLiteral("LINEMODE");
    case 0x24: return QStringLiteral("ENVIRON");
    case 0x27: return QStringLiteral("NEW-ENVIRON");
    default: return QString::number(option);
    }
}

QString command(const QByteArray &bytes)
{
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != kIac)
        return bytewords::hex(bytes);
    const auto second = static_cast<unsigned char>(bytes[1]);
    if (second >= 0xFB && second <= 0xFE) {
        QString words = QStringLiteral("IAC ") + commandName(second);
        if (bytes.size() > 2)
            words += QLatin1Char(' ') + optionName(static_cast<unsigned char>(bytes[2]));
        return words;
    }
    if (second != kSb)
        return QStringLiteral("IAC ") + commandName(second);

    // IAC SB option [SEND|IS] payload [IAC] SE
    QString words = QStringLiteral("IAC SB");
    qsizetype i = 2;
    qsizetype end = bytes.size();
    const bool closed = end > 2 && static_cast<unsigned char>(bytes[end - 1]) == kSe;
    if (closed)
        --end;
    const bool iacBeforeSe = closed && end > 2 && static_cast<unsigned char>(bytes[end - 1]) == kIac;
    if (iacBeforeSe)
        --end;
    if (i < end) {
        const auto option = static_cast<unsigned char>(bytes[i++]);
        words += QLatin1Char(' ') + optionName(option);
        // TERMINAL-TYPE and its kin: 0 IS, 1 SEND.
        if (i < end && (option == 0x18 || option == 0x20 || option == 0x24 || option == 0x27)) {
            const auto verb = static_cast<unsigned char>(bytes[i]);
            if (verb <= 1) {
                words += verb == 0 ? QStringLiteral(" IS") : QStringLiteral(" SEND");
                ++i;
            }
        }
        if (i < end)
            words += QLatin1Char(' ') + bytewords::quoted(bytes.mid(i, end - i), 60);
    }
    if (iacBeforeSe)
        words += QStringLiteral(" IAC");
    if (closed)
        words += QStringLiteral(" SE");
    return words;
}

} // namespace telnetwords
