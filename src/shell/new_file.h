#pragma once

#include <QString>

#include <memory>

class QFile;

// Opens a file that the program writes at someone else's request (a control
// client's trace or recording), so that the request cannot destroy what is
// there: the file is created new, and an existing one is written over only
// when the request says so (replace), and only if it is a regular file. A
// symbolic link as the last part of the path, a folder, a device or a pipe is
// always refused. The checks are made on the file opened, never on its name
// before opening it, so nothing can be swapped in between; a file refused is
// left as it was. A relative path is taken from the working folder.
//
// The file comes back open for writing (unbuffered, at its start, empty), or
// not at all with the reason and a sentence for the user.
struct NewFile {
    enum class Refusal {
        None,     // the file is open
        Exists,   // a regular file is there and replace was not given
        NotAFile, // a symbolic link, a folder, a device or a pipe is there
        Failed,   // the system refused (no such folder, no permission, no space...)
    };
    std::unique_ptr<QFile> file;
    QString path; // absolute, as resolved
    Refusal refusal = Refusal::None;
    QString error;
};

NewFile openNewFile(const QString &workingFolder, const QString &path, bool replace);
