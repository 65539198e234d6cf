#include "link/comutadora_filter.h"

#include "engine/frames.h"

using frames::kEtx;
using frames::kStx;

QByteArray ComutadoraFilter(const QByteArray &read)
{
    QByteArray out;
    const qsizetype size = read.size();
    qsizetype pos = 0;
    while (pos < size) {
        const bool frameForUs =
            read[pos] == kStx && pos + 3 < size && read[pos + 2] == '0' && read[pos + 3] == '0';
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
