#pragma once

#include "terminal/fault_injector.h"

#include <QJsonObject>

namespace control {

// A fault as the control interface and --fault spell it:
// {"kind":"split","offsets":[2]}, "sizes":[1,3], "random":true,"seed":7,
// "count":3 or "always", "after":N, "when_received":"<hex>", "ms":N,
// "what":"replies"|"keys"|"all", "readings":["<2>123<3>",..] (scale).
// Throws ControlError (bad_argument) naming what is wrong.
FaultSpec faultSpecFromJson(const QJsonObject &object);
QJsonObject faultStatusToJson(const FaultInjector::Status &status);

} // namespace control
