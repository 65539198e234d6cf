#include "control/control_request.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace control {

std::variant<ControlRequest, std::pair<QJsonValue, ControlError>> parseRequest(const QByteArray &line)
{
    using Failure = std::pair<QJsonValue, ControlError>;
    QByteArray text = line;
    if (text.endsWith('\r'))
        text.chop(1);
    if (text.size() > kMaxLineBytes)
        return Failure{QJsonValue(), {QStringLiteral("bad_request"), QStringLiteral("request line longer than 1 MiB")}};
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return Failure{QJsonValue(),
                       {QStringLiteral("bad_request"),
                        QStringLiteral("invalid JSON at offset %1: %2").arg(error.offset).arg(error.errorString())}};
    if (!document.isObject())
        return Failure{QJsonValue(), {QStringLiteral("bad_request"), QStringLiteral("a request is a JSON object")}};
    const QJsonObject object = document.object();
    const QJsonValue id = object.value(QStringLiteral("id"));
    const QJsonValue replyId = id.isUndefined() ? QJsonValue() : id;
    const QJsonValue cmd = object.value(QStringLiteral("cmd"));
    if (!cmd.isString() || cmd.toString().isEmpty())
        return Failure{replyId, {QStringLiteral("bad_request"), QStringLiteral("\"cmd\" must be a command name")}};
    return ControlRequest{replyId, cmd.toString(), object};
}

void badArgument(const QString &message)
{
    throw ControlError{QStringLiteral("bad_argument"), message};
}

bool boolArg(const QJsonObject &args, const QString &key, std::optional<bool> fallback)
{
    const QJsonValue value = args.value(key);
    if (value.isUndefined() && fallback)
        return *fallback;
    if (!value.isBool())
        badArgument(QStringLiteral("\"%1\" must be true or false").arg(key));
    return value.toBool();
}

qint64 intArg(const QJsonObject &args, const QString &key, qint64 min, qint64 max, std::optional<qint64> fallback)
{
    const QJsonValue value = args.value(key);
    if (value.isUndefined() && fallback)
        return *fallback;
    const double number = value.toDouble();
    // Whole numbers in range only; checked before the conversion, which keeps it defined.
    if (!value.isDouble() || !(number >= static_cast<double>(min) && number <= static_cast<double>(max)) ||
        std::floor(number) != number)
        badArgument(QStringLiteral("\"%1\" must be a whole number from %2 to %3").arg(key).arg(min).arg(max));
    return static_cast<qint64>(number);
}

QString stringArg(const QJsonObject &args, const QString &key, std::optional<QString> fallback)
{
    const QJsonValue value = args.value(key);
    if (value.isUndefined() && fallback)
        return *fallback;
    if (!value.isString())
        badArgument(QStringLiteral("\"%1\" must be a string").arg(key));
    return value.toString();
}

QString toHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

QByteArray fromHex(const QString &text, const QString &what)
{
    if (text.size() % 2 != 0)
        badArgument(QStringLiteral("\"%1\" must be hex digits in pairs").arg(what));
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool digit = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!digit)
            badArgument(QStringLiteral("\"%1\" must be hex digits in pairs").arg(what));
    }
    return QByteArray::fromHex(text.toLatin1());
}

} // namespace control
