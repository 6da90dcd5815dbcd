#include "service_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace servicetest {

namespace {

struct ArchiveWriteFree
{
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree
{
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

QStringList sortedEntries(const QString& dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        paths << QDir(dir).relativeFilePath(it.next());
    }
    paths.sort();
    return paths;
}

} // namespace

QMap<QString, QString> listTree(const QString& dir)
{
    QMap<QString, QString> tree;
    for (const QString& rel : sortedEntries(dir)) {
        QFileInfo info(dir + "/" + rel);
        QString desc;
        if (info.isSymLink()) {
            char buf[4096];
            ssize_t n = readlink(QFile::encodeName(dir + "/" + rel).constData(), buf, sizeof(buf));
            desc = "link:" + QString::fromUtf8(buf, n > 0 ? int(n) : 0);
        } else if (info.isDir()) {
            desc = "dir";
        } else {
            QFile f(info.filePath());
            desc = QString(info.isExecutable() ? "exec:" : "file:");
            if (f.open(QIODevice::ReadOnly)) {
                desc += QString::fromLatin1(f.readAll().toHex());
            }
        }
        tree.insert(rel, desc);
    }
    return tree;
}

bool writeArchive(const QString& staged, const QString& archivePath, bool readOnly)
{
    // Read-only packages lose every write bit.
    const mode_t mask = readOnly ? 0555 : 0777;
    QDir().mkpath(QFileInfo(archivePath).absolutePath());
    std::unique_ptr<archive, ArchiveWriteFree> a(archive_write_new());
    if (!a || archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK ||
        archive_write_open_filename(a.get(), QFile::encodeName(archivePath).constData()) !=
            ARCHIVE_OK) {
        return false;
    }
    // The first name of every file with more than one link; later names are stored as
    // hard links to it.
    QMap<QPair<dev_t, ino_t>, QString> firstName;
    for (const QString& rel : sortedEntries(staged)) {
        const QString full = staged + "/" + rel;
        QFileInfo info(full);
        std::unique_ptr<archive_entry, EntryFree> e(archive_entry_new());
        archive_entry_set_pathname(e.get(), rel.toUtf8().constData());
        QByteArray data;
        struct stat st;
        if (lstat(QFile::encodeName(full).constData(), &st) != 0) {
            return false;
        }
        const QPair<dev_t, ino_t> id(st.st_dev, st.st_ino);
        if (S_ISREG(st.st_mode) && st.st_nlink > 1 && firstName.contains(id)) {
            archive_entry_set_filetype(e.get(), AE_IFREG);
            archive_entry_set_perm(e.get(), 0644 & mask);
            archive_entry_set_hardlink(e.get(), firstName.value(id).toUtf8().constData());
        } else if (info.isSymLink()) {
            char buf[4096];
            ssize_t n = readlink(QFile::encodeName(full).constData(), buf, sizeof(buf) - 1);
            if (n <= 0) {
                return false;
            }
            buf[n] = '\0';
            archive_entry_set_filetype(e.get(), AE_IFLNK);
            archive_entry_set_symlink(e.get(), buf);
            archive_entry_set_perm(e.get(), 0777);
        } else if (info.isDir()) {
            archive_entry_set_filetype(e.get(), AE_IFDIR);
            archive_entry_set_perm(e.get(), 0755 & mask);
        } else {
            QFile f(full);
            if (!f.open(QIODevice::ReadOnly)) {
                return false;
            }
            data = f.readAll();
            firstName.insert(id, rel);
            archive_entry_set_filetype(e.get(), AE_IFREG);
            archive_entry_set_perm(e.get(), (info.isExecutable() ? 0755 : 0644) & mask);
            archive_entry_set_size(e.get(), data.size());
        }
        archive_entry_set_mtime(e.get(), 1700000000, 0);
        if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK) {
            return false;
        }
        if (!data.isEmpty() &&
            archive_write_data(a.get(), data.constData(), size_t(data.size())) != data.size()) {
            return false;
        }
    }
    return archive_write_close(a.get()) == ARCHIVE_OK;
}

bool truncateFile(const QString& path, qint64 size)
{
    return QFile::resize(path, size);
}

QString ProbeRun::value(const QString& key) const
{
    for (const QString& line : out.split('\n')) {
        if (line.startsWith(key + "=")) {
            return line.mid(key.size() + 1);
        }
    }
    return QString();
}

int ProbeRun::countLog(const QString& text) const
{
    // A text that ends with a line feed must end its line.
    const bool atEnd = text.endsWith('\n');
    const QString needle = atEnd ? text.chopped(1) : text;
    int n = 0;
    for (const QString& line : err.split('\n')) {
        if (atEnd ? line.endsWith(needle) : line.contains(needle)) {
            ++n;
        }
    }
    return n;
}

ProbeRun runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    ProbeRun run;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(30000)) {
        run.err = "failed to start " + program;
        return run;
    }
    p.closeWriteChannel();
    p.waitForFinished(120000);
    run.crashed = p.exitStatus() == QProcess::CrashExit;
    run.exitCode = p.exitCode();
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

} // namespace servicetest
