#include "conversation/conversation_file.h"

#include "inputs/keyboard.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <limits>

namespace conversation {

namespace {

const QString kDo = QStringLiteral("do");
const QString kExpect = QStringLiteral("expect");
const QString kAfterMs = QStringLiteral("after_ms");

// A fault of the line being read; the reader adds the file and line.
struct LineFault {
    QString what;
};

[[noreturn]] void fault(const QString &what)
{
    throw LineFault{what};
}

QString quoted(const QString &text)
{
    return QString::fromUtf8(jsonText(text));
}

bool isWholeNumber(const QJsonValue &value, qint64 min, qint64 max)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    return d >= double(min) && d <= double(max) && d == double(qint64(d));
}

Matcher readMatcher(const QJsonValue &value, const QString &where)
{
    Matcher m;
    if (value.isString()) {
        m.text = value.toString();
        return m;
    }
    const QJsonObject object = value.toObject();
    if (value.isObject() && object.size() == 1 && object.value(QStringLiteral("any")) == QJsonValue(true)) {
        m.kind = Matcher::Kind::Any;
        return m;
    }
    if (value.isObject() && object.size() == 1 && object.value(QStringLiteral("re")).isString()) {
        m.kind = Matcher::Kind::Pattern;
        m.text = object.value(QStringLiteral("re")).toString();
        m.pattern.setPattern(QRegularExpression::anchoredPattern(m.text));
        if (!m.pattern.isValid())
            fault(QStringLiteral("%1: %2 is not a valid regular expression: %3")
                      .arg(where, quoted(m.text), m.pattern.errorString()));
        m.pattern.optimize();
        return m;
    }
    fault(QStringLiteral("%1 must be a string, {\"re\":\"...\"} or {\"any\":true}, not %2")
              .arg(where, QString::fromUtf8(jsonText(value))));
}

FieldExpectation readField(const QString &name, const QJsonValue &value)
{
    FieldExpectation field;
    field.name = name;
    if (value.isObject()) {
        if (value.toObject() != QJsonObject{{QStringLiteral("any"), true}})
            fault(QStringLiteral("\"%1\" must be a list or {\"any\":true}").arg(name));
        field.anything = true;
        return field;
    }
    if (!value.isArray())
        fault(QStringLiteral("\"%1\" must be a list or {\"any\":true}").arg(name));
    const QJsonArray list = value.toArray();
    const qsizetype wanted = name == QLatin1String("display") ? 2 : name == QLatin1String("leds") ? 4 : -1;
    if (wanted >= 0 && list.size() != wanted)
        fault(QStringLiteral("\"%1\" must list %2 values, not %3").arg(name).arg(wanted).arg(list.size()));
    if (list.size() > kMaxListLines)
        fault(QStringLiteral("\"%1\" may list at most %2 lines").arg(name).arg(kMaxListLines));
    for (qsizetype i = 0; i < list.size(); ++i)
        field.items.push_back(readMatcher(list.at(i), QStringLiteral("\"%1\" item %2").arg(name).arg(i + 1)));
    return field;
}

void readExpectation(Step &step, const QJsonObject &line)
{
    for (auto it = line.begin(); it != line.end(); ++it)
        if (it.key() != kExpect && it.key() != kAfterMs)
            fault(QStringLiteral("an expectation line has \"expect\" and \"after_ms\", not \"%1\"").arg(it.key()));
    const QJsonValue expect = line.value(kExpect);
    if (!expect.isObject())
        fault(QStringLiteral("\"expect\" must be an object"));
    step.kind = Step::Kind::Expect;
    step.expect = expect.toObject();
    for (auto it = step.expect.begin(); it != step.expect.end(); ++it) {
        if (!fieldNames().contains(it.key()))
            fault(QStringLiteral("an expectation checks %1, not \"%2\"")
                      .arg(fieldNames().join(QStringLiteral(", ")), it.key()));
        step.fields.push_back(readField(it.key(), it.value()));
    }
}

void readAction(Step &step, const QJsonObject &line)
{
    const QJsonValue command = line.value(kDo);
    if (!command.isString())
        fault(QStringLiteral("\"do\" must name an action"));
    step.kind = Step::Kind::Action;
    step.command = command.toString();
    step.args = line;
    step.args.remove(kDo);
    step.args.remove(kAfterMs);
    const QString problem = checkAction(step.command, step.args);
    if (!problem.isEmpty())
        fault(problem);
}

void readHeader(Conversation &conversation, const QJsonObject &line)
{
    if (!line.contains(QStringLiteral("conversation")))
        fault(QStringLiteral("the first line must be the header {\"conversation\":1,\"program\":\"ethernet\",...}"));
    if (line.value(QStringLiteral("conversation")) != QJsonValue(kFormatVersion))
        fault(QStringLiteral("this program reads conversation format %1, not %2")
                  .arg(kFormatVersion)
                  .arg(QString::fromUtf8(jsonText(line.value(QStringLiteral("conversation"))))));
    if (line.value(QStringLiteral("program")) != QJsonValue(QStringLiteral("ethernet")))
        fault(QStringLiteral("the header must say \"program\":\"ethernet\""));
    const QJsonValue settings = line.value(QStringLiteral("settings"));
    if (!settings.isUndefined() && !settings.isObject())
        fault(QStringLiteral("\"settings\" must be an object"));
    const QJsonObject object = settings.toObject();
    const auto oneOf = [&](const QString &key, const QStringList &values) {
        if (object.contains(key) && !values.contains(object.value(key).toString()))
            fault(QStringLiteral("\"settings\" \"%1\" is one of %2").arg(key, values.join(QStringLiteral(", "))));
    };
    oneOf(QStringLiteral("protocol"), {QStringLiteral("vt100"), QStringLiteral("zorvane"), QStringLiteral("telnet")});
    oneOf(QStringLiteral("role"), {QStringLiteral("server"), QStringLiteral("client")});
    if (object.contains(QStringLiteral("comutadora")) && !object.value(QStringLiteral("comutadora")).isBool())
        fault(QStringLiteral("\"settings\" \"comutadora\" is true or false"));
    conversation.header = line;
    conversation.settings = object;
}

void checkOnlyArgs(const QString &command, const QJsonObject &args, const QStringList &allowed)
{
    for (auto it = args.begin(); it != args.end(); ++it)
        if (!allowed.contains(it.key()))
            fault(allowed.isEmpty() ? QStringLiteral("\"%1\" takes no arguments, not \"%2\"").arg(command, it.key())
                                    : QStringLiteral("\"%1\" takes %2, not \"%3\"")
                                          .arg(command, allowed.join(QStringLiteral(", ")), it.key()));
}

void needBool(const QJsonObject &args, const QString &name, const QString &command)
{
    if (!args.value(name).isBool())
        fault(QStringLiteral("\"%1\" needs \"%2\": true or false").arg(command, name));
}

void checkActionOrThrow(const QString &command, const QJsonObject &args)
{
    const QString on = QStringLiteral("on");
    if (command == QLatin1String("key")) {
        checkOnlyArgs(command, args, {QStringLiteral("key")});
        const QJsonValue key = args.value(QStringLiteral("key"));
        if (!key.isString() || !Keyboard::keyForName(key.toString()))
            fault(QStringLiteral("\"key\" needs \"key\": a digit, a letter, \",\", \".\", \"Space\", \"Del\", "
                                 "\"Enter\" or \"Back\", not %1")
                      .arg(QString::fromUtf8(jsonText(key))));
    } else if (command == QLatin1String("type")) {
        checkOnlyArgs(command, args, {QStringLiteral("text")});
        const QJsonValue text = args.value(QStringLiteral("text"));
        if (!text.isString() || text.toString().isEmpty())
            fault(QStringLiteral("\"type\" needs \"text\": the characters of the keys"));
        const QString s = text.toString();
        for (qsizetype i = 0; i < s.size(); ++i)
            if (!Keyboard::keyForCharacter(s.at(i)))
                fault(QStringLiteral("the terminal has no key for character %1 of \"text\" (%2)")
                          .arg(i + 1)
                          .arg(quoted(QString(s.at(i)))));
    } else if (command == QLatin1String("input")) {
        checkOnlyArgs(command, args, {QStringLiteral("n"), on});
        if (!isWholeNumber(args.value(QStringLiteral("n")), 0, 3))
            fault(QStringLiteral("\"input\" needs \"n\": 0, 1, 2 or 3"));
        needBool(args, on, command);
    } else if (command == QLatin1String("busy") || command == QLatin1String("cts") ||
               command == QLatin1String("playback")) {
        checkOnlyArgs(command, args, {on});
        needBool(args, on, command);
    } else if (command == QLatin1String("barcode")) {
        checkOnlyArgs(command, args, {QStringLiteral("code")});
        if (args.contains(QStringLiteral("code")) && !args.value(QStringLiteral("code")).isString())
            fault(QStringLiteral("\"barcode\" \"code\" must be a string"));
    } else if (command == QLatin1String("scale")) {
        checkOnlyArgs(command, args, {on, QStringLiteral("readings"), QStringLiteral("next")});
        if (args.isEmpty())
            fault(QStringLiteral("\"scale\" takes \"on\", \"readings\" or \"next\""));
        if (args.contains(on))
            needBool(args, on, command);
        if (args.contains(QStringLiteral("next")) && !isWholeNumber(args.value(QStringLiteral("next")), 0, 255))
            fault(QStringLiteral("\"scale\" \"next\" is a number from 0 to 255"));
        if (args.contains(QStringLiteral("readings"))) {
            const QJsonValue readings = args.value(QStringLiteral("readings"));
            bool good = readings.isArray() && readings.toArray().size() <= kMaxListLines;
            for (const QJsonValue item : readings.toArray())
                good = good && item.isString();
            if (!good)
                fault(QStringLiteral("\"scale\" \"readings\" must be a list of strings"));
        }
    } else if (command == QLatin1String("reset")) {
        checkOnlyArgs(command, args, {});
    } else {
        fault(QStringLiteral("no action is called %1; actions are key, type, input, busy, cts, barcode, scale, "
                             "reset and playback")
                  .arg(quoted(command)));
    }
}

} // namespace

bool Matcher::matches(const QString &value) const
{
    switch (kind) {
    case Kind::Exact: return value == text;
    case Kind::Pattern: return pattern.match(value).hasMatch();
    case Kind::Any: return true;
    }
    return false;
}

QJsonValue Matcher::toJson() const
{
    switch (kind) {
    case Kind::Exact: return text;
    case Kind::Pattern: return QJsonObject{{QStringLiteral("re"), text}};
    case Kind::Any: break;
    }
    return QJsonObject{{QStringLiteral("any"), true}};
}

bool FieldExpectation::matches(const QStringList &values) const
{
    if (anything)
        return true;
    if (qsizetype(items.size()) != values.size())
        return false;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i].matches(values.at(qsizetype(i))))
            return false;
    return true;
}

const QStringList &fieldNames()
{
    static const QStringList names{QStringLiteral("display"), QStringLiteral("leds"), QStringLiteral("printer"),
                                   QStringLiteral("serial")};
    return names;
}

const QStringList &checkedSettings()
{
    static const QStringList names{QStringLiteral("protocol"), QStringLiteral("role"), QStringLiteral("comutadora")};
    return names;
}

const QStringList &Screen::field(const QString &name) const
{
    if (name == QLatin1String("display"))
        return display;
    if (name == QLatin1String("leds"))
        return leds;
    if (name == QLatin1String("printer"))
        return printer;
    return serial;
}

QJsonObject Screen::toJson() const
{
    QJsonObject object;
    for (const QString &name : fieldNames())
        object.insert(name, QJsonArray::fromStringList(field(name)));
    return object;
}

bool Step::holds(const Screen &screen) const
{
    for (const FieldExpectation &field : fields)
        if (!field.matches(screen.field(field.name)))
            return false;
    return true;
}

QStringList Step::differingFields(const Screen &screen) const
{
    QStringList names;
    for (const FieldExpectation &field : fields)
        if (!field.matches(screen.field(field.name)))
            names.append(field.name);
    return names;
}

QByteArray Step::actionText() const
{
    QByteArray line = actionLine(command, args);
    line.chop(1);
    return line;
}

int Conversation::expectationCount() const
{
    int count = 0;
    for (const Step &step : steps)
        count += step.kind == Step::Kind::Expect ? 1 : 0;
    return count;
}

QString checkAction(const QString &command, const QJsonObject &args)
{
    try {
        checkActionOrThrow(command, args);
    } catch (const LineFault &f) {
        return f.what;
    }
    return {};
}

std::optional<Conversation> parse(const QByteArray &content, const QString &fileName, QString *error)
{
    Conversation conversation;
    conversation.fileName = fileName;
    if (content.size() > kMaxFileBytes) {
        *error = QStringLiteral("%1:1: the file is larger than %2 MiB").arg(fileName).arg(kMaxFileBytes >> 20);
        return std::nullopt;
    }
    conversation.lines = content.split('\n');
    if (content.endsWith('\n'))
        conversation.lines.removeLast();
    bool headerSeen = false;
    int number = 0;
    try {
        for (QByteArray text : conversation.lines) {
            ++number;
            if (text.endsWith('\r'))
                text.chop(1);
            const QByteArray trimmed = text.trimmed();
            if (trimmed.isEmpty() || trimmed.startsWith('#'))
                continue;
            if (text.size() > kMaxLineBytes)
                fault(QStringLiteral("the line is longer than %1 KiB").arg(kMaxLineBytes >> 10));
            QJsonParseError parseError;
            const QJsonDocument document = QJsonDocument::fromJson(trimmed, &parseError);
            if (parseError.error != QJsonParseError::NoError)
                fault(QStringLiteral("not a JSON line (%1 at column %2)")
                          .arg(parseError.errorString())
                          .arg(parseError.offset + 1));
            if (!document.isObject())
                fault(QStringLiteral("each line is one JSON object"));
            const QJsonObject object = document.object();
            if (!headerSeen) {
                readHeader(conversation, object);
                headerSeen = true;
                continue;
            }
            Step step;
            step.line = number;
            if (object.contains(kAfterMs)) {
                if (!isWholeNumber(object.value(kAfterMs), 0, std::numeric_limits<qint32>::max()))
                    fault(QStringLiteral("\"after_ms\" is a number of milliseconds"));
                step.afterMs = qint64(object.value(kAfterMs).toDouble());
            }
            if (object.contains(kDo) && object.contains(kExpect))
                fault(QStringLiteral("a line is either an action (\"do\") or an expectation (\"expect\")"));
            if (object.contains(kDo))
                readAction(step, object);
            else if (object.contains(kExpect))
                readExpectation(step, object);
            else if (object.contains(QStringLiteral("conversation")))
                fault(QStringLiteral("a second header"));
            else
                fault(QStringLiteral("a line is an action {\"do\":...} or an expectation {\"expect\":{...}}"));
            conversation.steps.push_back(std::move(step));
        }
        if (!headerSeen) {
            number = 1;
            fault(QStringLiteral("the file has no header {\"conversation\":1,\"program\":\"ethernet\",...}"));
        }
    } catch (const LineFault &f) {
        *error = QStringLiteral("%1:%2: %3").arg(fileName).arg(number).arg(f.what);
        return std::nullopt;
    }
    return conversation;
}

std::optional<Conversation> readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    if (file.size() > kMaxFileBytes) {
        *error = QStringLiteral("%1:1: the file is larger than %2 MiB").arg(path).arg(kMaxFileBytes >> 20);
        return std::nullopt;
    }
    return parse(file.read(kMaxFileBytes + 1), path, error);
}

QByteArray jsonText(const QJsonValue &value)
{
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

QByteArray headerLine(const QJsonObject &settings, const QDateTime &recorded)
{
    return "{\"conversation\":" + QByteArray::number(kFormatVersion) + ",\"program\":\"ethernet\",\"version\":" +
           jsonText(QStringLiteral(EMULATOR_VERSION)) + ",\"recorded\":" +
           jsonText(recorded.toUTC().toString(Qt::ISODateWithMs)) + ",\"settings\":" + jsonText(settings) + "}\n";
}

QByteArray actionLine(const QString &command, const QJsonObject &args, qint64 afterMs)
{
    QByteArray line = "{\"do\":" + jsonText(command);
    for (auto it = args.begin(); it != args.end(); ++it)
        line += ',' + jsonText(it.key()) + ':' + jsonText(it.value());
    if (afterMs >= 0)
        line += ",\"after_ms\":" + QByteArray::number(afterMs);
    return line + "}\n";
}

QByteArray expectLine(const QJsonObject &expect, qint64 afterMs)
{
    QByteArray line = "{\"expect\":";
    // The fields in the order of a screen, not of the alphabet (the same today, not by rule).
    QByteArray fields;
    for (const QString &name : fieldNames())
        if (expect.contains(name))
            fields += (fields.isEmpty() ? "" : ",") + jsonText(name) + ':' + jsonText(expect.value(name));
    line += '{' + fields + '}';
    if (afterMs >= 0)
        line += ",\"after_ms\":" + QByteArray::number(afterMs);
    return line + "}\n";
}

} // namespace conversation
