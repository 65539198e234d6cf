// The Comutadora address filter of the receive path. What it passes is made of
// pieces of the read, in order, each starting with STX and addressed to
// terminal 00 ("00" after the command byte) and ending at its first ETX (or at
// the end of the read). Whatever garbage comes first, an ETX ends it, so a
// well-formed frame for terminal 00 after it passes whole.

#include "fuzz_check.h"

#include "link/comutadora_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray read = fuzzBytes(data, size);
    const QByteArray out = ComutadoraFilter(read);
    FUZZ_CHECK(out.size() <= read.size());

    // Walk the output frame by frame, finding each one in the read in order.
    qsizetype inRead = 0;
    qsizetype pos = 0;
    while (pos < out.size()) {
        FUZZ_CHECK(out[pos] == '\x02');
        qsizetype etx = out.indexOf('\x03', pos + 1);
        const qsizetype end = etx < 0 ? out.size() : etx + 1;
        const QByteArray frame = out.mid(pos, end - pos);
        // A frame is addressed to 00, or is cut short by an ETX in the command byte.
        FUZZ_CHECK(frame == "\x02\x03" || (frame.size() >= 4 && frame.mid(2, 2) == "00"));
        if (etx < 0)
            FUZZ_CHECK(end == out.size());
        const qsizetype found = read.indexOf(frame, inRead);
        FUZZ_CHECK(found >= 0);
        inRead = found + frame.size();
        pos = end;
    }

    const QByteArray frame = QByteArrayLiteral("\x02" "D00text\x03");
    const QByteArray tail = ComutadoraFilter(read + '\x03' + frame);
    FUZZ_CHECK(tail.endsWith(frame));
    return 0;
}
