#include "shell/ini_store.h"

#include "engine/errors.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstdint>

namespace {

// Letter case in Windows-1252: ASCII, the Latin-1 letters and the four pairs
// that the code page places in 0x80..0x9F.
unsigned char foldCase(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<unsigned char>(c + 32);
    switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
    }
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (foldCase(static_cast<unsigned char>(a[i])) != foldCase(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

QByteArray cutAtLineBreak(const QByteArray &text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != '\0')
        ++i;
    return text.left(i);
}

// One line of the file: [begin, contentEnd) is its text, [contentEnd, end) its
// line break ("\r\n", "\n" or nothing on the last line).
struct Line {
    qsizetype begin = 0;
    qsizetype contentEnd = 0;
    qsizetype end = 0;
};

// What a line means to the profile reader.
struct Entry {
    enum Kind { Other, Section, Key } kind = Other;
    QByteArray name;  // section or key name, trimmed
    QByteArray value; // key value, trimmed, quotes still on
};

Entry classify(const QByteArray &text, const Line &line)
{
    const QByteArray content = text.mid(line.begin, line.contentEnd - line.begin).trimmed();
    Entry entry;
    if (content.isEmpty() || content[0] == ';' || content[0] == '#')
        return entry;
    if (content[0] == '[') {
        const qsizetype close = content.indexOf(']');
        entry.kind = Entry::Section;
        entry.name = (close < 0 ? content.mid(1) : content.mid(1, close - 1)).trimmed();
        return entry;
    }
    const qsizetype equals = content.indexOf('=');
    if (equals < 0)
        return entry;
    entry.kind = Entry::Key;
    entry.name = content.left(equals).trimmed();
    entry.value = content.mid(equals + 1).trimmed();
    return entry;
}

// Calls visit(line) for each line in order until it returns false.
template <typename Visit>
void forEachLine(const QByteArray &text, Visit &&visit)
{
    qsizetype pos = 0;
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        const qsizetype lf = text.indexOf('\n', pos);
        if (lf < 0) {
            line.contentEnd = line.end = text.size();
        } else {
            line.end = lf + 1;
            line.contentEnd = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
        }
        if (!visit(line))
            return;
        pos = line.end;
    }
}

QByteArray unquote(const QByteArray &value)
{
    if (value.size() >= 2) {
        const char first = value.front();
        if ((first == '"' || first == '\'') && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

IniStore::IniStore(const QString &path)
    : m_path(path)
{
}

bool IniStore::exists() const
{
    return QFileInfo(m_path).isFile();
}

IniStore::Load IniStore::load(QByteArray *text) const
{
    text->clear();
    const QFileInfo info(m_path);
    if (!info.exists() && !info.isSymLink())
        return Load::Missing;
    // A directory, a FIFO or a device under this name is no profile file; opening
    // a FIFO would even block the whole program.
    if (!info.isFile())
        return Load::Unreadable;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return Load::Unreadable;
    // QIODevice::read() sets aside the whole requested size before reading, so
    // asking for the limit itself would cost megabytes on every read of a small file.
    const qint64 expected = std::min(file.size(), kMaxFileSize);
    *text = file.read(expected + 1);
    // A file longer than its stated size (one that grows, or a special file
    // that states none) is read on up to the limit.
    if (text->size() > expected && expected < kMaxFileSize)
        *text += file.read(kMaxFileSize + 1 - text->size());
    if (text->size() <= kMaxFileSize && file.error() == QFileDevice::NoError)
        return Load::Complete;
    if (text->size() > kMaxFileSize) {
        text->truncate(kMaxFileSize);
        const qsizetype lastBreak = text->lastIndexOf('\n');
        text->truncate(lastBreak + 1);
        return Load::TooLarge;
    }
    text->clear();
    return Load::Unreadable;
}

QByteArray IniStore::readString(const QByteArray &section, const QByteArray &key,
                                const QByteArray &defaultValue) const
{
    QByteArray text;
    load(&text);
    bool inSection = false;
    QByteArray found;
    bool haveFound = false;
    forEachLine(text, [&](const Line &line) {
        const Entry entry = classify(text, line);
        if (entry.kind == Entry::Section) {
            inSection = sameName(entry.name, section);
        } else if (entry.kind == Entry::Key && inSection && sameName(entry.name, key)) {
            found = entry.value;
            haveFound = true;
            return false;
        }
        return true;
    });
    if (!haveFound)
        return defaultValue;
    return unquote(found).left(kMaxValueLength);
}

bool IniStore::parseInteger(const QByteArray &text, int *value)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const QByteArray body = text.mid(i);
    std::uint64_t magnitude = 0;
    if ((body.startsWith("0x") || body.startsWith("0X") || body.startsWith('$'))
        && body.size() > (body[0] == '$' ? 1 : 2)) {
        // Hexadecimal covers the full 32 bits: "$FFFFFFFF" is -1.
        for (qsizetype d = body[0] == '$' ? 1 : 2; d < body.size(); ++d) {
            const int digit = hexDigit(body[d]);
            if (digit < 0)
                return false;
            magnitude = magnitude * 16 + static_cast<unsigned>(digit);
            if (magnitude > 0xFFFFFFFFu)
                return false;
        }
        const auto bits = static_cast<std::uint32_t>(negative ? (0u - magnitude) : magnitude);
        *value = static_cast<std::int32_t>(bits);
        return true;
    }
    if (body.isEmpty())
        return false;
    for (const char c : body) {
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
        if (magnitude > 0x80000000u)
            return false;
    }
    if (!negative && magnitude > 0x7FFFFFFFu)
        return false;
    const std::int64_t signedValue = negative ? -static_cast<std::int64_t>(magnitude)
                                              : static_cast<std::int64_t>(magnitude);
    *value = static_cast<int>(signedValue);
    return true;
}

int IniStore::readInteger(const QByteArray &section, const QByteArray &key, int defaultValue) const
{
    int value = 0;
    if (parseInteger(readString(section, key, QByteArray()), &value))
        return value;
    return defaultValue;
}

bool IniStore::readBool(const QByteArray &section, const QByteArray &key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

// One parse of a profile file: for each section and key, by their case-folded
// names, the first value the file gives, as readString() finds it.
class IniSnapshot : public ProfileReader {
public:
    explicit IniSnapshot(const IniStore &store) : m_exists(store.exists())
    {
        QByteArray text;
        store.load(&text);
        QByteArray section;
        bool haveSection = false;
        forEachLine(text, [&](const Line &line) {
            const Entry entry = classify(text, line);
            if (entry.kind == Entry::Section) {
                section = folded(entry.name);
                haveSection = true;
            } else if (entry.kind == Entry::Key && haveSection) {
                // Repeated sections are one section to the reader, and the first value of a key wins.
                auto &keys = m_values[section];
                const QByteArray key = folded(entry.name);
                if (!keys.contains(key))
                    keys.insert(key, unquote(entry.value).left(IniStore::kMaxValueLength));
            }
            return true;
        });
    }

    bool exists() const override { return m_exists; }

    QByteArray readString(const QByteArray &section, const QByteArray &key,
                          const QByteArray &defaultValue) const override
    {
        const auto keys = m_values.constFind(folded(section));
        if (keys == m_values.constEnd())
            return defaultValue;
        const auto value = keys->constFind(folded(key));
        return value == keys->constEnd() ? defaultValue : *value;
    }

private:
    static QByteArray folded(const QByteArray &name)
    {
        QByteArray out = name;
        for (char &c : out)
            c = static_cast<char>(foldCase(static_cast<unsigned char>(c)));
        return out;
    }

    bool m_exists;
    QHash<QByteArray, QHash<QByteArray, QByteArray>> m_values;
};

std::unique_ptr<ProfileReader> IniStore::snapshot() const
{
    return std::make_unique<IniSnapshot>(*this);
}

void IniStore::failWrite() const
{
    throw AppError(QStringLiteral("Unable to write to %1").arg(m_path));
}

void IniStore::writeString(const QByteArray &sectionName, const QByteArray &keyName,
                           const QByteArray &rawValue)
{
    const QByteArray section = cutAtLineBreak(sectionName);
    const QByteArray key = cutAtLineBreak(keyName);
    const QByteArray value = cutAtLineBreak(rawValue);

    QByteArray text;
    const Load loaded = load(&text);
    if (loaded == Load::TooLarge || loaded == Load::Unreadable)
        failWrite();
    const QByteArray unchanged = text;

    // New lines follow the file's own line breaks; a new file gets CR LF.
    QByteArray eol = "\r\n";
    if (const qsizetype lf = text.indexOf('\n'); lf >= 0)
        eol = (lf > 0 && text[lf - 1] == '\r') ? QByteArray("\r\n") : QByteArray("\n");

    bool inSection = false;
    bool sectionSeen = false;
    bool replaced = false;
    Line insertAfter; // last key line (or the header) of the first matching section
    bool firstSectionOpen = false;
    forEachLine(text, [&](const Line &line) {
        const Entry entry = classify(text, line);
        if (entry.kind == Entry::Section) {
            inSection = sameName(entry.name, section);
            firstSectionOpen = inSection && !sectionSeen;
            if (firstSectionOpen) {
                sectionSeen = true;
                insertAfter = line;
            }
        } else if (entry.kind == Entry::Key && inSection) {
            if (sameName(entry.name, key)) {
                text.replace(line.begin, line.contentEnd - line.begin, entry.name + '=' + value);
                replaced = true;
                return false;
            }
            if (firstSectionOpen)
                insertAfter = line;
        }
        return true;
    });

    if (!replaced) {
        const QByteArray keyLine = key + '=' + value;
        if (sectionSeen) {
            if (insertAfter.end == insertAfter.contentEnd)
                text.insert(insertAfter.end, eol + keyLine);
            else
                text.insert(insertAfter.end, keyLine + eol);
        } else {
            if (!text.isEmpty() && !text.endsWith('\n'))
                text += eol;
            text += '[' + section + ']' + eol + keyLine + eol;
        }
    }

    // A value written as it already stands leaves the file as it is: the
    // terminal stores its protocol on every start, and a fleet of thousands
    // would otherwise replace and flush thousands of unchanged files.
    if (loaded == Load::Complete && replaced && text == unchanged)
        return;

    QSaveFile file(m_path);
    // Unbuffered, so that a short write shows in write()'s result and not only,
    // or not at all, in commit().
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        failWrite();
    if (file.write(text) != text.size()) {
        file.cancelWriting();
        failWrite();
    }
    if (!file.commit())
        failWrite();
}

void IniStore::writeInteger(const QByteArray &section, const QByteArray &key, int value)
{
    writeString(section, key, QByteArray::number(value));
}

void IniStore::writeBool(const QByteArray &section, const QByteArray &key, bool value)
{
    writeString(section, key, value ? QByteArray("1") : QByteArray("0"));
}
