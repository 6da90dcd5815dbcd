#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace servicetest {

// The contents of a folder: relative path -> type, exec bit and data (or link text),
// with no entry for the folder itself. Two equal listings are equal trees.
QMap<QString, QString> listTree(const QString& dir);

// Writes every entry below `staged` (folders, files, symlinks, hard links) into a tar.gz at
// `archive`, in sorted order, with the paths relative to `staged`. With `readOnly`
// folders are stored as 0555 and files as 0444 (0555 when executable). False on failure.
bool writeArchive(const QString& staged, const QString& archive, bool readOnly = false);

// Cuts a file down to `size` bytes.
bool truncateFile(const QString& path, qint64 size);

struct ProbeRun
{
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;

    // The value of "key=value" on standard output, or a null string.
    QString value(const QString& key) const;
    // The number of log lines on standard error that contain `text`; a final line
    // feed in `text` means the end of the line.
    int countLog(const QString& text) const;
};

// Runs a program to its end (at most two minutes) and collects its output.
ProbeRun runProgram(const QString& program, const QStringList& args,
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

} // namespace servicetest
