// The Telnet decoder of the receive path. The same host bytes are fed all at
// once, cut at one point into two reads, and one byte per read; the decoded
// data and the answers must be the same each time, since the decoder's state
// carries over between reads. The subnegotiation buffer stays within its bound,
// the data never grows, and the answers stay proportional to the commands (no
// negotiation loop).
//
// Input: one byte saying where to cut, then the host bytes. The terminal type
// is taken from the host bytes too, so that an IAC inside it is exercised.

#include "fuzz_check.h"

#include "link/telnet_decoder.h"

#include <QList>

namespace {

struct Run {
    QByteArray data;
    QList<QByteArray> answers;
    TelnetDecoder::State state = TelnetDecoder::State::Data;
    QByteArray subnegotiation;
};

Run decode(const QList<QByteArray> &reads, const QByteArray &terminalType)
{
    Run run;
    TelnetDecoder decoder([&](const QByteArray &answer) { run.answers.append(answer); },
                          [&] { return terminalType; });
    for (const QByteArray &read : reads) {
        run.data += decoder.feed(read);
        FUZZ_CHECK(decoder.SubnegotiationBuffer().size() <= TelnetDecoder::kMaxSubnegotiation);
        FUZZ_CHECK(decoder.state() == TelnetDecoder::State::AfterVerb || decoder.PendingVerb() == 0);
    }
    run.state = decoder.state();
    run.subnegotiation = decoder.SubnegotiationBuffer();
    return run;
}

bool sameRun(const Run &a, const Run &b)
{
    return a.data == b.data && a.answers == b.answers && a.state == b.state &&
           a.subnegotiation == b.subnegotiation;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream = fuzzBytes(data + 1, size - 1);
    const QByteArray terminalType = stream.left(data[0] % 16);
    const qsizetype cut = data[0] % (stream.size() + 1);

    const Run whole = decode({stream}, terminalType);
    const Run split = decode({stream.left(cut), stream.mid(cut)}, terminalType);
    QList<QByteArray> bytes;
    for (const char c : stream)
        bytes.append(QByteArray(1, c));
    const Run single = decode(bytes, terminalType);
    FUZZ_CHECK(sameRun(whole, split));
    FUZZ_CHECK(sameRun(whole, single));

    // Data: every byte outside commands, IAC IAC counted once.
    const qsizetype iacs = stream.count('\xff');
    FUZZ_CHECK(whole.data.size() <= stream.size());
    if (iacs == 0)
        FUZZ_CHECK(whole.data == stream);

    // Answers: at most two writes per command, each of bounded length.
    FUZZ_CHECK(whole.answers.size() <= 2 * iacs);
    const qsizetype longestAnswer = 6 + 2 * terminalType.size() + 6;
    for (const QByteArray &answer : whole.answers) {
        FUZZ_CHECK(answer.size() >= 3 && answer.size() <= longestAnswer);
        FUZZ_CHECK(answer.startsWith('\xff'));
    }

    // A reset always brings the decoder back to plain data.
    TelnetDecoder decoder(nullptr, nullptr);
    decoder.feed(stream);
    decoder.reset();
    FUZZ_CHECK(decoder.feed("ok") == "ok");
    return 0;
}
