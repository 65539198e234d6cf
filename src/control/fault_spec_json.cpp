#include "control/fault_spec_json.h"

#include "control/control_request.h"
#include "engine/cp1252.h"
#include "inputs/scale_notation.h"

#include <QJsonArray>

namespace control {

namespace {

constexpr int kMaxMs = 24 * 3600 * 1000;
constexpr int kMaxList = 1024;

QList<int> positiveList(const QJsonObject &object, const QString &key)
{
    QList<int> out;
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return out;
    if (!value.isArray() || value.toArray().isEmpty() || value.toArray().size() > kMaxList)
        badArgument(QStringLiteral("\"%1\" must be a list of 1 to %2 whole numbers").arg(key).arg(kMaxList));
    const QJsonArray list = value.toArray();
    for (qsizetype i = 0; i < list.size(); ++i)
        out.append(int(intArg(QJsonObject{{key, list.at(i)}}, key, 1, 1 << 30)));
    return out;
}

const char *whatName(FaultSpec::What what)
{
    switch (what) {
    case FaultSpec::What::Replies: return "replies";
    case FaultSpec::What::Keys: return "keys";
    case FaultSpec::What::All: return "all";
    }
    return "all";
}

} // namespace

FaultSpec faultSpecFromJson(const QJsonObject &object)
{
    static const QStringList known = {QStringLiteral("id"),       QStringLiteral("cmd"),   QStringLiteral("terminal"),
                                      QStringLiteral("kind"),     QStringLiteral("count"), QStringLiteral("after"),
                                      QStringLiteral("when_received"), QStringLiteral("offsets"),
                                      QStringLiteral("sizes"),    QStringLiteral("random"), QStringLiteral("seed"),
                                      QStringLiteral("ms"),       QStringLiteral("what"),  QStringLiteral("readings"), QStringLiteral("fault")};
    for (const QString &key : object.keys())
        if (!known.contains(key))
            badArgument(QStringLiteral("a fault has no argument \"%1\"").arg(key));

    FaultSpec spec;
    const QString kindName = stringArg(object, QStringLiteral("kind"));
    const std::optional<FaultSpec::Kind> kind = FaultSpec::kindFromName(kindName);
    if (!kind)
        badArgument(QStringLiteral("no fault is called \"%1\"; kinds are split, delay, drop_reply, reset, close, "
                                   "stall, refuse, printer_busy, serial_blocked, scale, telnet_silent")
                        .arg(kindName));
    spec.kind = *kind;

    const QJsonValue count = object.value(QStringLiteral("count"));
    if (count.isString()) {
        if (count.toString() != QLatin1String("always"))
            badArgument(QStringLiteral("\"count\" is a number from 1 or \"always\""));
        spec.count = FaultSpec::kAlways;
    } else {
        spec.count = int(intArg(object, QStringLiteral("count"), 1, 1 << 30, 1));
    }
    spec.after = int(intArg(object, QStringLiteral("after"), 0, 1 << 30, 0));
    if (object.contains(QStringLiteral("when_received"))) {
        spec.whenReceived =
            fromHex(stringArg(object, QStringLiteral("when_received")), QStringLiteral("when_received"));
        if (spec.whenReceived.isEmpty() || spec.whenReceived.size() > 4096)
            badArgument(QStringLiteral("\"when_received\" must be 1 to 4096 bytes"));
    }
    spec.offsets = positiveList(object, QStringLiteral("offsets"));
    spec.sizes = positiveList(object, QStringLiteral("sizes"));
    spec.random = boolArg(object, QStringLiteral("random"), false);
    spec.seed = quint32(intArg(object, QStringLiteral("seed"), 0, 0xFFFFFFFFLL, 0));
    spec.ms = int(intArg(object, QStringLiteral("ms"), 0, kMaxMs, 0));

    const QString what = stringArg(object, QStringLiteral("what"), QStringLiteral("all"));
    if (what == QLatin1String("replies"))
        spec.what = FaultSpec::What::Replies;
    else if (what == QLatin1String("keys"))
        spec.what = FaultSpec::What::Keys;
    else if (what == QLatin1String("all"))
        spec.what = FaultSpec::What::All;
    else
        badArgument(QStringLiteral("\"what\" is \"replies\", \"keys\" or \"all\""));

    const QJsonValue readings = object.value(QStringLiteral("readings"));
    if (!readings.isUndefined()) {
        if (!readings.isArray() || readings.toArray().size() > kMaxList)
            badArgument(QStringLiteral("\"readings\" must be a list of readings such as \"<2>00150<3>\""));
        for (const QJsonValue item : readings.toArray()) {
            const std::optional<QByteArray> reading =
                item.isString() ? decodeScaleReading(toCp1252(item.toString())) : std::nullopt;
            if (!reading)
                badArgument(QStringLiteral("\"%1\" is not a reading in the scale's notation").arg(item.toString()));
            spec.readings.append(*reading);
        }
    }

    switch (spec.kind) {
    case FaultSpec::Kind::Split:
        if (int(!spec.offsets.isEmpty()) + int(!spec.sizes.isEmpty()) + int(spec.random) != 1)
            badArgument(QStringLiteral("split takes one of \"offsets\", \"sizes\" or \"random\":true"));
        break;
    case FaultSpec::Kind::Delay:
    case FaultSpec::Kind::Stall:
    case FaultSpec::Kind::Refuse:
        if (spec.ms <= 0)
            badArgument(QStringLiteral("%1 needs \"ms\", a time from 1 ms").arg(kindName));
        break;
    default:
        break;
    }
    return spec;
}

QJsonObject faultStatusToJson(const FaultInjector::Status &status)
{
    const FaultSpec &spec = status.spec;
    QJsonObject out{{QStringLiteral("id"), status.id},
                    {QStringLiteral("kind"), FaultSpec::kindName(spec.kind)},
                    {QStringLiteral("fired"), status.fired}};
    out.insert(QStringLiteral("remaining"),
               status.remaining == FaultSpec::kAlways ? QJsonValue(QStringLiteral("always")) : QJsonValue(status.remaining));
    if (spec.after > 0)
        out.insert(QStringLiteral("after"), spec.after);
    if (!spec.whenReceived.isEmpty())
        out.insert(QStringLiteral("when_received"), toHex(spec.whenReceived));
    if (spec.ms > 0)
        out.insert(QStringLiteral("ms"), spec.ms);
    if (spec.kind == FaultSpec::Kind::Delay)
        out.insert(QStringLiteral("what"), QString::fromLatin1(whatName(spec.what)));
    if (spec.random)
        out.insert(QStringLiteral("seed"), qint64(spec.seed));
    return out;
}

} // namespace control
