#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// The text that names this machine for the automatic-start check: every IPv4
// address of the local host name, in the resolver's order, joined by "/ ".
// The lookup blocks while the resolver works; a failed lookup gives "".
QString LocalAddressText();

// The joining rule on its own, for addresses already resolved.
QString joinIPv4Addresses(const QList<QHostAddress> &addresses);
