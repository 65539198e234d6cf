#include "shell/new_file.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString reasonOf(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What is at a path that could not be created new, in words, for the refusal.
QString whatIsThere(const QByteArray &name)
{
    struct stat there = {};
    if (::lstat(name.constData(), &there) != 0)
        return QStringLiteral("nothing");
    if (S_ISLNK(there.st_mode))
        return QStringLiteral("a symbolic link");
    if (S_ISDIR(there.st_mode))
        return QStringLiteral("a folder");
    if (S_ISREG(there.st_mode))
        return QStringLiteral("a file");
    return QStringLiteral("a special file");
}

} // namespace

NewFile openNewFile(const QString &workingFolder, const QString &path, bool replace)
{
    using Refusal = NewFile::Refusal;
    const QString absolute = QDir::cleanPath(QDir(workingFolder).absoluteFilePath(path));
    const auto refuse = [&absolute](Refusal refusal, const QString &error) {
        return NewFile{nullptr, absolute, refusal, error};
    };
    const QString shown = QDir::toNativeSeparators(absolute);
    const QByteArray name = QFile::encodeName(absolute);
    // Non-blocking, so that a pipe with no reader cannot hold the program; cleared once the file is known.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (replace ? 0 : O_EXCL);
    const int fd = ::open(name.constData(), flags, 0666);
    if (fd < 0) {
        const int cause = errno;
        // Nothing was opened, so nothing was touched; what is there only names the refusal.
        const QString what = whatIsThere(name);
        if (cause == EEXIST && what == QLatin1String("a file"))
            return refuse(Refusal::Exists,
                          QStringLiteral("\"%1\" exists; say \"replace\":true to write over it").arg(shown));
        if (cause == ELOOP || what == QLatin1String("a symbolic link"))
            return refuse(Refusal::NotAFile,
                          QStringLiteral("\"%1\" is a symbolic link; links are never written through").arg(shown));
        if (what != QLatin1String("a file") && what != QLatin1String("nothing"))
            return refuse(Refusal::NotAFile, QStringLiteral("\"%1\" is %2, not a file to write").arg(shown, what));
        return refuse(Refusal::Failed, QStringLiteral("cannot create \"%1\": %2").arg(shown, reasonOf(cause)));
    }
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return refuse(Refusal::NotAFile, QStringLiteral("\"%1\" is a special file, not a file to write").arg(shown));
    }
    // Only a regular file, known to be one, is emptied.
    if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        const int cause = errno;
        ::close(fd);
        return refuse(Refusal::Failed, QStringLiteral("cannot write \"%1\": %2").arg(shown, reasonOf(cause)));
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(Refusal::Failed, QStringLiteral("cannot write \"%1\": %2").arg(shown, file->errorString()));
    }
    return NewFile{std::move(file), absolute, Refusal::None, QString()};
}
