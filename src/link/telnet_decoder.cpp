#include "link/telnet_decoder.h"

#include <QList>

#include <cstring>

#include <utility>

namespace
{

constexpr unsigned char kIs = 0x00;
constexpr unsigned char kSend = 0x01;

QByteArray command(unsigned char verb, unsigned char option)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(TelnetDecoder::kIac));
    bytes.append(static_cast<char>(verb));
    bytes.append(static_cast<char>(option));
    return bytes;
}

QByteArray subnegotiation(unsigned char option, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(TelnetDecoder::kIac));
    bytes.append(static_cast<char>(TelnetDecoder::kSb));
    bytes.append(static_cast<char>(option));
    bytes.append(payload);
    bytes.append(static_cast<char>(TelnetDecoder::kIac));
    bytes.append(static_cast<char>(TelnetDecoder::kSe));
    return bytes;
}

bool isKnownOption(unsigned char option)
{
    switch (option) {
    case TelnetDecoder::kTransmitBinary:
    case TelnetDecoder::kEcho:
    case TelnetDecoder::kSuppressGoAhead:
    case TelnetDecoder::kSendLocation:
    case TelnetDecoder::kTerminalType:
    case TelnetDecoder::kEndOfRecord:
        return true;
    default:
        return false;
    }
}

// The writes that answer one option request; none when the request gets no answer.
QList<QByteArray> optionAnswer(unsigned char verb, unsigned char option)
{
    const bool known = isKnownOption(option);
    switch (verb) {
    case TelnetDecoder::kWill:
        if (!known)
            return {command(TelnetDecoder::kDont, option)};
        if (option == TelnetDecoder::kTransmitBinary || option == TelnetDecoder::kEcho ||
            option == TelnetDecoder::kSuppressGoAhead)
            return {command(TelnetDecoder::kDo, option)};
        return {};
    case TelnetDecoder::kWont:
        return known ? QList<QByteArray>{} : QList<QByteArray>{command(TelnetDecoder::kWont, option)};
    case TelnetDecoder::kDo:
        if (!known)
            return {command(TelnetDecoder::kWont, option)};
        if (option == TelnetDecoder::kSendLocation)
            return {command(TelnetDecoder::kWill, option),
                    subnegotiation(option, QByteArrayLiteral("Drumel"))};
        if (option == TelnetDecoder::kTerminalType || option == TelnetDecoder::kEndOfRecord)
            return {command(TelnetDecoder::kWill, option)};
        return {};
    case TelnetDecoder::kDont:
        return known ? QList<QByteArray>{} : QList<QByteArray>{command(TelnetDecoder::kWont, option)};
    default:
        return {};
    }
}

} // namespace

TelnetDecoder::TelnetDecoder(AnswerSink answers, TerminalTypeSource terminalType)
    : m_answers(std::move(answers)), m_terminalType(std::move(terminalType))
{
}

void TelnetDecoder::reset()
{
    m_state = State::Data;
    m_pendingVerb = 0;
    m_subnegotiation.clear();
}

QByteArray TelnetDecoder::feed(const QByteArray &read)
{
    QByteArray decoded;
    decoded.reserve(read.size());
    const char *p = read.constData();
    const char *const end = p + read.size();
    while (p < end) {
        if (m_state == State::Data) {
            // Data comes in long runs between commands: copy each run at once, not byte by byte.
            const auto *iac = static_cast<const char *>(std::memchr(p, kIac, static_cast<std::size_t>(end - p)));
            const char *const runEnd = iac ? iac : end;
            decoded.append(p, runEnd - p);
            p = runEnd;
            if (p < end) {
                m_state = State::AfterIac;
                ++p;
            }
            continue;
        }
        const char c = *p++;
        const auto b = static_cast<unsigned char>(c);
        switch (m_state) {
        case State::Data: // runs are taken whole above
            break;
        case State::AfterIac:
            if (b == kIac) {
                decoded.append(c);
                m_state = State::Data;
            } else if (b >= kWill && b <= kDont) {
                m_pendingVerb = b;
                m_state = State::AfterVerb;
            } else if (b == kSb) {
                m_state = State::Subnegotiation;
            } else {
                // NOP, GA, EOR, a stray SE and the other two-byte commands carry nothing for the terminal.
                m_state = State::Data;
                if (m_observer)
                    reportCommand(b);
            }
            break;
        case State::AfterVerb: {
            const unsigned char verb = m_pendingVerb;
            m_pendingVerb = 0;
            m_subnegotiation.clear();
            m_state = State::Data;
            answerOption(verb, b);
            break;
        }
        case State::Subnegotiation:
            if (b == kSe) {
                m_state = State::Data;
                endSubnegotiation();
            } else if (m_subnegotiation.size() < kMaxSubnegotiation) {
                m_subnegotiation.append(c);
            }
            break;
        }
    }
    if (m_observer && m_state == State::Subnegotiation)
        m_observer->telnetSubnegotiationOpen(m_subnegotiation);
    return decoded;
}

void TelnetDecoder::reportCommand(unsigned char second) const
{
    QByteArray bytes;
    bytes.append(static_cast<char>(kIac)).append(static_cast<char>(second));
    m_observer->telnetCommand(bytes, {});
}

void TelnetDecoder::answerOption(unsigned char verb, unsigned char option)
{
    const QList<QByteArray> answers = optionAnswer(verb, option);
    if (m_observer)
        m_observer->telnetCommand(command(verb, option), answers);
    for (const QByteArray &write : answers)
        send(write);
}

void TelnetDecoder::endSubnegotiation()
{
    const QByteArray buffer = std::exchange(m_subnegotiation, QByteArray());
    const auto reported = [&](const QList<QByteArray> &answers) {
        if (!m_observer)
            return;
        QByteArray bytes;
        bytes.append(static_cast<char>(kIac)).append(static_cast<char>(kSb)).append(buffer);
        bytes.append(static_cast<char>(kSe));
        m_observer->telnetCommand(bytes, answers);
    };
    if (buffer.size() >= 2 && static_cast<unsigned char>(buffer[0]) == kTerminalType &&
        static_cast<unsigned char>(buffer[1]) == kSend) {
        QByteArray payload;
        payload.append(static_cast<char>(kIs));
        const QByteArray type = m_terminalType ? m_terminalType() : QByteArrayLiteral("vt100");
        // A 0xFF typed into the terminal type must not end the answer early.
        for (const char c : type) {
            payload.append(c);
            if (static_cast<unsigned char>(c) == kIac)
                payload.append(c);
        }
        const QByteArray answer = subnegotiation(kTerminalType, payload);
        reported({answer});
        send(answer);
        return;
    }
    reported({});
}

void TelnetDecoder::send(const QByteArray &bytes) const
{
    if (m_answers)
        m_answers(bytes);
}
