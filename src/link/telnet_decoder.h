#pragma once

#include <QByteArray>

#include "engine/terminal_observer.h"

#include <functional>

// Takes the host's byte stream apart into data for the interpreter and Telnet
// commands. Bytes are fed one read at a time; the state, the verb waiting for
// its option and the subnegotiation collected so far carry over from one read to
// the next (and from one connection to the next), so a command split across
// reads is decoded as if it had arrived whole. Option requests are answered at
// once through the answer sink from a fixed table, without remembering which
// options are in force; a terminal-type request is answered with the text the
// terminal-type source gives at that moment. feed() returns the data bytes of
// the read, with IAC IAC reduced to one 0xFF and every command removed.
class TelnetDecoder
{
public:
    enum class State { Data, AfterIac, AfterVerb, Subnegotiation };
    using AnswerSink = std::function<void(const QByteArray &)>;
    using TerminalTypeSource = std::function<QByteArray()>;

    // A subnegotiation longer than this keeps its first bytes only; the decoder
    // stays in Subnegotiation until SE (or a reset) as with any other length.
    static constexpr int kMaxSubnegotiation = 4096;

    static constexpr unsigned char kIac = 0xFF;
    static constexpr unsigned char kDont = 0xFE;
    static constexpr unsigned char kDo = 0xFD;
    static constexpr unsigned char kWont = 0xFC;
    static constexpr unsigned char kWill = 0xFB;
    static constexpr unsigned char kSb = 0xFA;
    static constexpr unsigned char kSe = 0xF0;

    static constexpr unsigned char kTransmitBinary = 0x00;
    static constexpr unsigned char kEcho = 0x01;
    static constexpr unsigned char kSuppressGoAhead = 0x03;
    static constexpr unsigned char kSendLocation = 0x17;
    static constexpr unsigned char kTerminalType = 0x18;
    static constexpr unsigned char kEndOfRecord = 0x19;

    TelnetDecoder(AnswerSink answers, TerminalTypeSource terminalType);

    QByteArray feed(const QByteArray &read);
    void reset();
    // Each command taken out, with its answers, is reported here; nullptr for none.
    void setObserver(TerminalObserver *observer) { m_observer = observer; }

    State state() const { return m_state; }
    unsigned char PendingVerb() const { return m_pendingVerb; }
    const QByteArray &SubnegotiationBuffer() const { return m_subnegotiation; }

private:
    void answerOption(unsigned char verb, unsigned char option);
    void reportCommand(unsigned char second) const;
    void endSubnegotiation();
    void send(const QByteArray &bytes) const;

    AnswerSink m_answers;
    TerminalTypeSource m_terminalType;
    State m_state = State::Data;
    unsigned char m_pendingVerb = 0;
    QByteArray m_subnegotiation;
    TerminalObserver *m_observer = nullptr;
};
