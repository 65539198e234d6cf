#include "fleet/address_list.h"

#include <QStringList>

#include <bitset>

namespace {

bool asciiDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}

std::optional<int> twoDigits(const QString &text)
{
    if (text.size() != 2 || !asciiDigit(text.at(0)) || !asciiDigit(text.at(1)))
        return std::nullopt;
    return (text.at(0).unicode() - '0') * 10 + (text.at(1).unicode() - '0');
}

} // namespace

std::optional<std::vector<frames::BusAddress>> parseAddressList(const QString &text, QString *error)
{
    std::bitset<100> chosen;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &raw : items) {
        const QString item = raw.trimmed();
        const QStringList ends = item.split(QLatin1Char('-'));
        const std::optional<int> first = ends.size() <= 2 ? twoDigits(ends.first().trimmed()) : std::nullopt;
        const std::optional<int> last = ends.size() == 2 ? twoDigits(ends.last().trimmed()) : first;
        if (!first || !last) {
            *error = QStringLiteral("\"%1\" is not an address (two digits, 00 to 99) or a range of them (00-31)")
                         .arg(item);
            return std::nullopt;
        }
        if (*last < *first) {
            *error = QStringLiteral("the range \"%1\" ends before it begins").arg(item);
            return std::nullopt;
        }
        for (int a = *first; a <= *last; ++a)
            chosen.set(std::size_t(a));
    }
    std::vector<frames::BusAddress> addresses;
    for (int a = 0; a < 100; ++a)
        if (chosen.test(std::size_t(a)))
            addresses.push_back({char('0' + a / 10), char('0' + a % 10)});
    return addresses;
}

QString addressText(frames::BusAddress address)
{
    return QString(QLatin1Char(address[0])) + QLatin1Char(address[1]);
}
