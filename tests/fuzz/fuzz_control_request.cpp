// The control interface's request parser and argument readers on any line a
// client could send. A line is either a request with a command name or a
// bad_request; a request's id is echoed as sent; the typed readers either give
// a value of the asked type and range or throw bad_argument, never anything
// else; hex decoding gives back exactly what hex encoding wrote.
//
// Input: the request line.

#include "fuzz_check.h"

#include "control/control_request.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line = fuzzBytes(data, size);
    auto parsed = control::parseRequest(line);
    if (auto *failure = std::get_if<std::pair<QJsonValue, ControlError>>(&parsed)) {
        FUZZ_CHECK(failure->second.code == QLatin1String("bad_request"));
        FUZZ_CHECK(!failure->second.message.isEmpty());
        return 0;
    }
    const ControlRequest &request = std::get<ControlRequest>(parsed);
    FUZZ_CHECK(!request.cmd.isEmpty());
    FUZZ_CHECK(request.args.value(QStringLiteral("cmd")).toString() == request.cmd);
    const QJsonValue id = request.args.value(QStringLiteral("id"));
    FUZZ_CHECK(id.isUndefined() ? request.id.isNull() : request.id == id);

    for (const QString &key : request.args.keys()) {
        try {
            const qint64 n = control::intArg(request.args, key, -5, 1000);
            FUZZ_CHECK(n >= -5 && n <= 1000);
        } catch (const ControlError &error) {
            FUZZ_CHECK(error.code == QLatin1String("bad_argument"));
        }
        try {
            control::boolArg(request.args, key);
            FUZZ_CHECK(request.args.value(key).isBool());
        } catch (const ControlError &error) {
            FUZZ_CHECK(!request.args.value(key).isBool());
        }
        try {
            const QString text = control::stringArg(request.args, key);
            const QByteArray bytes = control::fromHex(text, key);
            FUZZ_CHECK(control::toHex(bytes) == text.toLower());
        } catch (const ControlError &error) {
            FUZZ_CHECK(error.code == QLatin1String("bad_argument"));
        }
    }
    return 0;
}
