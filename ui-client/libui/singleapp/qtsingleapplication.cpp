#include "qtsingleapplication.h"

#include "file/unique_fd.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder of ours at `dir`, made when missing, accepted only when it is a real folder
// owned by us that nobody else can enter; otherwise another user could plant or hold
// our lock.
bool privateFolder(const QString& dir, bool create)
{
    const QByteArray native = QFile::encodeName(dir);
    if (create && ::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    return ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// The host name as a file name part.
QString hostPart()
{
    QString host = QSysInfo::machineHostName();
    for (QChar& c : host) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') &&
            c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    }
    return host.isEmpty() || host.startsWith(QLatin1Char('.')) ? QStringLiteral("unknown-host")
                                                               : host;
}

// Where the lock of `id` lives: a place that only this host sees, the same for every
// launcher of the user on this host whatever its session set. The temporary folder
// comes first: unlike the runtime folder it exists outside a login session too (su,
// ssh, cron), so a session launcher and a session-less one find the same lock.
QString lockPath(const QString& id)
{
    const QString uid = QString::number(::getuid());
    const QString temp = QDir::tempPath() + QStringLiteral("/brisendale-singleapp-") + uid;
    if (privateFolder(temp, true))
        return temp + QLatin1Char('/') + id + QStringLiteral(".lock");
    // Another user took that name: the runtime folder by its fixed name, not by
    // XDG_RUNTIME_DIR, which some sessions lack.
    const QString runtime = QStringLiteral("/run/user/") + uid;
    if (privateFolder(runtime, false))
        return runtime + QLatin1Char('/') + id + QStringLiteral(".lock");
    // A home shared between hosts: one lock per host.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    QDir().mkpath(cache);
    return cache + QLatin1Char('/') + id + QLatin1Char('-') + hostPart() + QStringLiteral(".lock");
}

enum class LockState
{
    Held,    // a live process holds it, or that cannot be ruled out
    Written, // nobody holds it and it names a holder that was here
    Empty,   // nobody holds it and it names nobody
};

// QLockFile (Qt 5.15 and Qt 6 alike) holds an flock on its file for its whole life. A
// second open file description cannot take that flock while the holder lives: on a
// local file system, and on NFS, where Linux maps flock onto the server's locks. The
// probe's own flock goes with its descriptor.
LockState probeLock(const QString& path, qint64* mtimeMs)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    // A file of ours that we may not read (its mode was changed) would otherwise block
    // every start: it is made readable again. Its holder's flock is untouched by that.
    if (fd < 0 && errno == EACCES && ::lstat(native.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::getuid() && ::chmod(native.constData(), 0600) == 0) {
        do {
            fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0)
        return LockState::Held;
    UniqueFd holder(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return LockState::Held;
    if (::fstat(fd, &st) != 0)
        return LockState::Held;
    *mtimeMs = static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    if (st.st_size == 0)
        return LockState::Empty;
    // Unheld, whatever host the file names: each host has a lock file of its own, so a
    // name of another host is only left by a holder that is gone (or a host renamed).
    return LockState::Written;
}

// True when no live process holds the lock file, whatever it holds: a holder that died,
// also one whose pid now names another live process (which QLockFile's own pid test
// takes for the holder), or one killed before it wrote anything. A creator is between
// creating the file and locking it for a moment only, so an empty file counts once it
// has stayed empty and unheld for a second.
bool isUnheld(const QString& path)
{
    qint64 mtime = 0;
    LockState state = probeLock(path, &mtime);
    if (state != LockState::Empty)
        return state == LockState::Written;
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - mtime;
    if (age >= 0 && age < 1000)
        QThread::msleep(static_cast<unsigned long>(1000 - age));
    state = probeLock(path, &mtime);
    return state == LockState::Empty || state == LockState::Written;
}

} // namespace

QtSingleApplication::QtSingleApplication(int& argc, char** argv, bool GUIenabled)
    : QApplication(argc, argv)
{
    // A widget application either way; the flag is not a QApplication flags word.
    Q_UNUSED(GUIenabled);

    QString exe = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    if (exe.isEmpty())
        exe = QCoreApplication::applicationFilePath();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(exe.toUtf8());
    hash.addData(QByteArray(1, '\0'));
    hash.addData(QByteArray::number(static_cast<qulonglong>(::getuid())));
    m_id = QStringLiteral("qtsingleapp-") + QString::fromLatin1(hash.result().toHex().left(32));

    m_lock_path = lockPath(m_id);
    m_lock = std::make_unique<QLockFile>(m_lock_path);
    // The lock is held for the whole run; an age limit would let a second
    // instance take it from a long-running first one.
    m_lock->setStaleLockTime(0);

    if (m_lock->tryLock(0))
        return;
    if (m_lock->error() != QLockFile::LockFailedError) {
        // No usable lock folder: better to run than to refuse every start.
        m_lock.reset();
        return;
    }
    {
        // Qt's own stale-lock removal serialises on this name too, so two
        // starts never remove each other's fresh lock.
        QLockFile remover(m_lock_path + QStringLiteral(".rmlock"));
        if (remover.tryLock(0) && isUnheld(m_lock_path))
            m_lock->removeStaleLockFile();
    }
    if (m_lock->tryLock(0))
        return;
    m_running = true;
    m_lock.reset();
}

QtSingleApplication::~QtSingleApplication() = default;

bool QtSingleApplication::isRunning() const
{
    return m_running;
}

QString QtSingleApplication::id() const
{
    return m_id;
}

QString QtSingleApplication::lockFilePath() const
{
    return m_lock_path;
}
