#include "link/comutadora_filter.h"

#include "engine/frames.h"

using frames::kEtx;
using frames::kStx;

QByteArray ComutadoraFilter(const QByteArray &read, frames::BusAddress address)
{
    QByteArray out;
    const qsizetype size = read.size();
    qsizetype pos = 0;
    while (pos < size) {
        const bool frameForUs =
            read[pos] == kStx && pos + 3 < size && read[pos + 2] == address[0] && read[pos + 3] == address[1];
        if (!frameForUs) {
            ++pos;
            continue;
        }
        // The command byte itself may be an ETX; the frame then ends there.
        const qsizetype etx = read.indexOf(kEtx, pos + 1);
        const qsizetype end = etx < 0 ? size : etx + 1;
        out.append(read.constData() + pos, end - pos);
        pos = end;
    }
    return out;
}

std::bitset<100> ComutadoraAddressesIn(const QByteArray &read)
{
    std::bitset<100> present;
    const qsizetype size = read.size();
    for (qsizetype pos = read.indexOf(kStx); pos >= 0 && pos + 3 < size; pos = read.indexOf(kStx, pos + 1)) {
        const char tens = read[pos + 2];
        const char units = read[pos + 3];
        if (tens >= '0' && tens <= '9' && units >= '0' && units <= '9')
            present.set(std::size_t((tens - '0') * 10 + (units - '0')));
    }
    return present;
}
