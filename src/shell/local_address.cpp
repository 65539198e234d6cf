#include "shell/local_address.h"

#include <QHostInfo>
#include <QStringList>

QString joinIPv4Addresses(const QList<QHostAddress> &addresses)
{
    QStringList parts;
    for (const QHostAddress &address : addresses) {
        bool isV4 = false;
        // IPv4-mapped IPv6 forms count as IPv4; plain IPv6 addresses are not named.
        const quint32 v4 = address.toIPv4Address(&isV4);
        if (isV4)
            parts.append(QHostAddress(v4).toString());
    }
    return parts.join(QStringLiteral("/ "));
}

QString LocalAddressText()
{
    const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
    if (info.error() != QHostInfo::NoError)
        return QString();
    return joinIPv4Addresses(info.addresses());
}
