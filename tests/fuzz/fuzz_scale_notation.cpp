// The text notation of scale readings and the line splitting of "Balanca.txt"
// and "Codigo.txt". Any byte string written in the notation (byte codes for
// "<", ">" and the control bytes, the rest literally) decodes back to itself;
// a decoded reading is never longer than its text; a text without "<" and ">"
// is its own reading. Lines split from a text and joined with CR LF split back
// into the same lines.

#include "fuzz_check.h"

#include "inputs/scale_notation.h"
#include "inputs/text_lines.h"

namespace {

QByteArray encode(const QByteArray &reading)
{
    QByteArray text;
    for (const char c : reading) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '<' || c == '>' || b < 0x20)
            text += '<' + QByteArray::number(b) + '>';
        else
            text += c;
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzzBytes(data, size);

    const std::optional<QByteArray> reading = decodeScaleReading(text);
    if (reading)
        FUZZ_CHECK(reading->size() <= text.size());
    if (!text.contains('<') && !text.contains('>'))
        FUZZ_CHECK(reading && *reading == text);
    if (text.contains('>') && !text.contains('<'))
        FUZZ_CHECK(!reading);
    FUZZ_CHECK(!decodeScaleReading(kScaleErrorText));

    // Bytes up to 99 can be written as codes, so any reading has a notation.
    const std::optional<QByteArray> back = decodeScaleReading(encode(text));
    FUZZ_CHECK(back && *back == text);

    const QList<QByteArray> lines = splitTextLines(text);
    FUZZ_CHECK(lines.size() <= text.count('\n') + text.count('\r') + 1);
    QByteArray joined;
    for (const QByteArray &line : lines) {
        FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'));
        joined += line + "\r\n";
    }
    FUZZ_CHECK(splitTextLines(joined) == lines);
    return 0;
}
