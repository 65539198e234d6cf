#pragma once

#include "engine/ports.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

// An INI profile file on one path, read and written with the behaviour of the
// Windows profile functions: "[Section]" lines open sections, "key=value" lines
// give values, names match without regard to letter case, values come back
// trimmed with one pair of enclosing quotes removed and at most 2047 bytes long.
//
// Nothing is cached: every read loads the file again and every write rewrites it
// whole, so two stores on the same path see each other's writes at once. A write
// changes only the one line it concerns (or appends one key or one section) and
// keeps every other byte of the file, comments and hand-made layout included.
// The new text replaces the file atomically (a temporary file in the same folder
// renamed over it), so a failed write leaves the previous file exactly as it was.
//
// Only the first kMaxFileSize bytes of a file are looked at; reads ignore the
// rest (a line cut by the limit is dropped), and writes refuse to touch such a
// file, since rewriting it would lose what was never loaded.
class IniStore : public ProfileReader {
public:
    static constexpr qint64 kMaxFileSize = 4 * 1024 * 1024;
    static constexpr qsizetype kMaxValueLength = 2047;

    explicit IniStore(const QString &path);

    const QString &path() const { return m_path; }

    // True when the path names a regular file (or a link to one).
    bool exists() const override;

    QByteArray readString(const QByteArray &section, const QByteArray &key,
                          const QByteArray &defaultValue) const override;
    // Optional sign, then decimal digits, or hexadecimal after "0x"/"0X" (when
    // the text is longer than two characters) or "$". Anything else, a missing
    // key or a value outside 32 bits gives the default.
    int readInteger(const QByteArray &section, const QByteArray &key, int defaultValue) const;
    // Read as an integer; any non-zero value is true.
    bool readBool(const QByteArray &section, const QByteArray &key, bool defaultValue) const;

    // Each write throws AppError("Unable to write to <path>") on failure and then
    // leaves the file as it was. A value is cut at its first CR, LF or NUL, the
    // bytes a single line cannot hold.
    void writeString(const QByteArray &section, const QByteArray &key, const QByteArray &value);
    void writeInteger(const QByteArray &section, const QByteArray &key, int value);
    void writeBool(const QByteArray &section, const QByteArray &key, bool value);

    // The integer rule of readInteger on a bare text; false when it is no such number.
    static bool parseInteger(const QByteArray &text, int *value);

    // The file as it stands now, parsed once: for a caller that reads many keys
    // in one go from a file nobody writes meanwhile (the playback script), so
    // that N keys cost one pass over the file instead of N. Reads give exactly
    // what readString() would give at this moment.
    std::unique_ptr<ProfileReader> snapshot() const;

private:
    friend class IniSnapshot;
    enum class Load { Missing, Complete, TooLarge, Unreadable };
    Load load(QByteArray *text) const;
    [[noreturn]] void failWrite() const;

    QString m_path;
};
