#include "qtsingleapplication.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FdHolder
{
public:
    explicit FdHolder(int fd) : m_fd(fd) {}
    ~FdHolder()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdHolder(const FdHolder&) = delete;
    FdHolder& operator=(const FdHolder&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A folder of our own below the temporary folder, accepted only when it is a
// real folder owned by us that nobody else can enter; otherwise another user
// could plant or hold our lock.
QString privateTempFolder()
{
    const QString dir =
        QDir::tempPath() + QStringLiteral("/brisendale-singleapp-") + QString::number(::getuid());
    const QByteArray native = QFile::encodeName(dir);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0)
        return QString();
    return dir;
}

QString lockFolder()
{
    // Without XDG_RUNTIME_DIR Qt invents a folder and warns on stderr; ours is
    // made the same careful way and stays quiet.
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (!runtime.isEmpty())
            return runtime;
    }
    QString dir = privateTempFolder();
    if (dir.isEmpty()) {
        dir = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
        QDir().mkpath(dir);
    }
    return dir;
}

// True when the lock file exists, has been written by its creator, and no
// process holds the record lock that QLockFile takes beside its flock. This
// catches a holder that died while its pid now names some other live process,
// which QLockFile's own pid test takes for the holder. F_GETLK only asks; it
// never disturbs a holder that is between creating the file and locking it
// (such a file is still empty).
bool isUnheld(const QString& path)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    FdHolder holder(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size == 0)
        return false;
    struct flock query = {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    query.l_start = 0;
    query.l_len = 0;
    if (::fcntl(fd, F_GETLK, &query) != 0)
        return false;
    return query.l_type == F_UNLCK;
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

    m_lock_path = lockFolder() + QLatin1Char('/') + m_id + QStringLiteral(".lock");
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
