#pragma once

#include "engine/frames.h"

#include <QString>

#include <optional>
#include <vector>

// The bus addresses a concentrator plays, as the user writes them:
// "00-31", "00,05,07-09": two digits each, ranges inclusive, in any order and
// with repeats. The result is sorted and without repeats; the first address is
// the one whose terminal keeps the concentrator's connection. Text that is not
// of this form gives no list and a sentence saying what is wrong.
std::optional<std::vector<frames::BusAddress>> parseAddressList(const QString &text, QString *error);

QString addressText(frames::BusAddress address);
