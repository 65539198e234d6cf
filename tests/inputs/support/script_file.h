#pragma once

#include "engine/ports.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// A small file-backed profile reader for the playback tests: "[Section]" and
// "key=value" lines, names without regard to case, trimmed values with one pair
// of enclosing quotes removed.
class ScriptFile : public ProfileReader {
public:
    explicit ScriptFile(const QString &path) : m_path(path) {}

    bool exists() const override { return QFile::exists(m_path); }

    QByteArray readString(const QByteArray &section, const QByteArray &key,
                          const QByteArray &defaultValue) const override
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return defaultValue;
        QByteArray current;
        for (const QByteArray &raw : file.readAll().split('\n')) {
            const QByteArray line = raw.trimmed();
            if (line.startsWith('[') && line.endsWith(']')) {
                current = line.mid(1, line.size() - 2).trimmed().toLower();
                continue;
            }
            const qsizetype eq = line.indexOf('=');
            if (eq < 0 || current != section.toLower() || line.left(eq).trimmed().toLower() != key.toLower())
                continue;
            QByteArray value = line.mid(eq + 1).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            return value;
        }
        return defaultValue;
    }

private:
    QString m_path;
};
