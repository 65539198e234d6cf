#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <variant>

// One request line of the control protocol, taken apart: a UTF-8 JSON object
// with an optional "id" (any JSON value, echoed in the reply), a "cmd" name and
// the command's arguments beside them. Parsing checks only the frame; each
// command checks its own arguments through the typed readers below, which
// throw ControlError so that a bad argument ends the request before it acts.
struct ControlError {
    QString code; // "bad_request", "unknown_command", "bad_argument", ...
    QString message;
};

struct ControlRequest {
    QJsonValue id; // null when the request had none
    QString cmd;
    QJsonObject args; // the whole object, "id" and "cmd" included
};

namespace control {

// The longest request line taken, newline excluded.
constexpr qsizetype kMaxLineBytes = 1024 * 1024;

// A line without its LF (a trailing CR is ignored). On a frame error the
// error's id is the request's when it could be read, else null.
std::variant<ControlRequest, std::pair<QJsonValue, ControlError>> parseRequest(const QByteArray &line);

// Typed argument readers: a missing key gives the fallback when one is given,
// otherwise a bad_argument; a present key of the wrong type is always one.
bool boolArg(const QJsonObject &args, const QString &key, std::optional<bool> fallback = std::nullopt);
qint64 intArg(const QJsonObject &args, const QString &key, qint64 min, qint64 max,
              std::optional<qint64> fallback = std::nullopt);
QString stringArg(const QJsonObject &args, const QString &key, std::optional<QString> fallback = std::nullopt);

// Wire bytes travel as lowercase hex; decoding accepts either case and throws
// bad_argument on anything else (odd length, other characters).
QString toHex(const QByteArray &bytes);
QByteArray fromHex(const QString &text, const QString &what);

[[noreturn]] void badArgument(const QString &message);

} // namespace control
