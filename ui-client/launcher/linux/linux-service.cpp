#include "linux/linux-service.h"
#include "linux/version_parse.h"

#include "config.h"
#include "file/file-op.h"
#include "file/unique_fd.h"
#include "log/log.h"
#include "stop_request.h"

#include <QProcess>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kComponent = "service_debug";

// Supplies the component and the source line; the text stays as administrators read it.
#define SERVICE_LOG(level, fmt, ...)                                                               \
    Logger::LogMsg(Logger::level, kComponent, fmt, __LINE__, ##__VA_ARGS__)

// How long a stopped client may take to end before it is killed, and how often that is
// looked at.
const std::chrono::milliseconds STOP_WAIT(5000);
const std::chrono::milliseconds STOP_POLL(10);

struct FreeDeleter
{
    void operator()(char* p) const { free(p); }
};

// The canonical form of `path`, or an empty string when it cannot be resolved.
std::string canonical(const std::string& path)
{
    std::unique_ptr<char, FreeDeleter> resolved(realpath(path.c_str(), nullptr));
    return resolved ? std::string(resolved.get()) : std::string();
}

enum class PidOwner
{
    Gone,
    Client,
    Other,
};

// Reads at most `limit` bytes of a small /proc file.
std::string readProcFile(const std::string& path, size_t limit)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return std::string();
    }
    UniqueFd holder(fd);
    std::string data;
    char buf[4096];
    while (data.size() < limit) {
        ssize_t n = ::read(holder.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

// Whether `pid` is the per-user client of this user: its executable, or one of its
// first two arguments (the interpreter's script), is `client`. A stale pid file
// after a crash or a reboot names whatever process got that number since.
PidOwner whoIs(pid_t pid, const std::string& client)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    struct stat st;
    if (::stat(proc.c_str(), &st) != 0) {
        return errno == ENOENT ? PidOwner::Gone : PidOwner::Other;
    }
    if (st.st_uid != ::getuid() || client.empty()) {
        return PidOwner::Other;
    }
    if (canonical(proc + "/exe") == client) {
        return PidOwner::Client;
    }
    const std::string cmdline = readProcFile(proc + "/cmdline", 65536);
    size_t start = 0;
    for (int arg = 0; arg < 2 && start < cmdline.size(); ++arg) {
        size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) {
            end = cmdline.size();
        }
        std::string value = cmdline.substr(start, end - start);
        start = end + 1;
        if (value.empty()) {
            continue;
        }
        // A relative argument names a file below the process's own working folder.
        if (value[0] != '/') {
            value = proc + "/cwd/" + value;
        }
        if (canonical(value) == client) {
            return PidOwner::Client;
        }
    }
    return PidOwner::Other;
}

} // namespace

LinuxService::LinuxService()
{
    timeout = 10000;
    per_user_install_path = Service::GetUserBrisendaleAppInstallPath();
}

LinuxService::~LinuxService() = default;

LinuxService& LinuxService::GetInstace()
{
    static LinuxService instance;
    return instance;
}

ustring LinuxService::GetHomeLockPath()
{
    return Service::GetUserBrisendaleInstallPath() + "/launcher.lock";
}

bool LinuxService::LockHome()
{
    const ustring path = GetHomeLockPath();
    struct stat st;
    if (::stat(Service::GetUserBrisendaleInstallPath().c_str_utf8(), &st) != 0) {
        // Ignored: the open below tells whether the home can hold the lock.
        (void)FSMKDir(Service::GetUserBrisendaleInstallPath(), true);
    }
    int fd;
    do {
        fd = ::open(path.c_str_utf8(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    // A read-only home may still hold the file; flock needs no write access.
    if (fd < 0) {
        fd = ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        int err = errno;
        SERVICE_LOG(L_INFO,
                    "[INFO] linux/linux-service.cpp(%d): no lock file '%s' (%s), going on "
                    "without it\n",
                    path.c_str_utf8(), strerror(err));
        return true;
    }
    UniqueFd holder(fd);
    const int step_ms = 100;
    for (int waited = 0;; waited += step_ms) {
        if (::flock(holder.get(), LOCK_EX | LOCK_NB) == 0) {
            home_lock = std::move(holder);
            return true;
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EWOULDBLOCK) {
            // A file system without locks: as before there were any.
            SERVICE_LOG(L_INFO,
                        "[INFO] linux/linux-service.cpp(%d): cannot lock '%s' (%s), going on "
                        "without it\n",
                        path.c_str_utf8(), strerror(err));
            return true;
        }
        if (waited >= HOME_LOCK_WAIT_MS) {
            return false;
        }
        if (waited == 0) {
            SERVICE_LOG(L_INFO,
                        "[INFO] linux/linux-service.cpp(%d): another launcher holds '%s', "
                        "waiting\n",
                        path.c_str_utf8());
        }
        ::usleep(step_ms * 1000);
    }
}

void LinuxService::PreUpgrade()
{
    if (!LockHome()) {
        tree_busy = true;
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): another launcher has held '%s' for "
                    "%d s, starting the client without touching the installation\n",
                    GetHomeLockPath().c_str_utf8(), HOME_LOCK_WAIT_MS / 1000);
        return;
    }
    // Before the versions are read: a half-done A must not be taken for the source.
    RecoverInterruptedUpgrade();
    LoadTargetVerInfo();
    LoadSourceVerInfo();
    SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): Source version: ('%s', '%s')\n",
                source_version.build_version.c_str_utf8(),
                source_version.icon_overlay_version.c_str_utf8());
    SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): Target version: ('%s', '%s')\n",
                target_version.build_version.c_str_utf8(),
                target_version.icon_overlay_version.c_str_utf8());
}

bool LinuxService::IsNeedUpgrade()
{
    if (tree_busy) {
        return false;
    }
    int source = 0;
    int target = 0;
    if (!source_version.build_version.empty()) {
        source = parseBuildNumber(source_version.build_version);
    }
    if (!target_version.build_version.empty()) {
        target = parseBuildNumber(target_version.build_version);
    }
    SERVICE_LOG(L_DEBUG,
                "[DEBUG] linux/linux-service.cpp(%d): source version = %d, target version = "
                "%d\n",
                source, target);
    bool need = target > source;
    if (!PerUserBinPathExist()) {
        need = true;
    }
    // An earlier run ended before its extraction was complete and on storage.
    ustring marker = GetIncompleteMarkerPath();
    if (IsFileExist(marker, false)) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): '%s' exists, the last upgrade did "
                    "not finish\n",
                    marker.c_str_utf8());
        need = true;
    }
    UpgradeGuard guard = MakeUpgradeGuard();
    if (!need) {
        // The shipped package is in place: what its failures were no longer matters.
        if (IsFileExist(guard.StatePath(), false)) {
            guard.Forget();
        }
        return false;
    }
    return UpgradeAllowed(guard);
}

UpgradeGuard LinuxService::MakeUpgradeGuard() const
{
    return UpgradeGuard(GetRootBrisendaleResourceInstallPath() + "/package/brisendale.nbx",
                        target_version.build_version, per_user_install_path);
}

// Both guards run before the client is stopped: a skipped upgrade leaves it running.
bool LinuxService::UpgradeAllowed(const UpgradeGuard& guard)
{
    // Without a client there is nothing left to protect, so it is always tried.
    const int64_t retry_at = guard.RetryAt();
    if (PerUserBinPathExist() && retry_at > static_cast<int64_t>(::time(nullptr))) {
        const time_t when = static_cast<time_t>(retry_at);
        struct tm utc;
        char text[32] = "?";
        if (gmtime_r(&when, &utc)) {
            strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
        }
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): package %s failed %d attempts, "
                    "not trying it again before %s\n",
                    guard.Describe().c_str(), guard.Attempts(), text);
        return false;
    }
    const ustring user_dir = Service::GetUserBrisendaleInstallPath();
    const UpgradeGuard::Room room =
        guard.CheckRoom(user_dir, ReadPackageCount("Package/installed_size"),
                        ReadPackageCount("Package/installed_entries"));
    if (!room.enough_bytes()) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] linux/linux-service.cpp(%d): not enough room in '%s' to upgrade: "
                    "needed %llu bytes (package %llu, reserve %llu), free %llu\n",
                    user_dir.c_str_utf8(), static_cast<unsigned long long>(room.needed()),
                    static_cast<unsigned long long>(room.package),
                    static_cast<unsigned long long>(room.reserve),
                    static_cast<unsigned long long>(room.free));
        return false;
    }
    if (!room.enough_entries()) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] linux/linux-service.cpp(%d): not enough free inodes in '%s' to "
                    "upgrade: needed %llu (package %llu, reserve %llu), free %llu\n",
                    user_dir.c_str_utf8(), static_cast<unsigned long long>(room.needed_entries()),
                    static_cast<unsigned long long>(room.entries),
                    static_cast<unsigned long long>(UpgradeGuard::ENTRY_RESERVE),
                    static_cast<unsigned long long>(room.free_entries));
        return false;
    }
    return true;
}

// A count from the group "Package" of the system-wide version file; 0 when it is
// missing or not a number, and the largest count when it is too large to hold, so
// that it never fits.
uint64_t LinuxService::ReadPackageCount(const char* key) const
{
    QSettings settings(
        QString::fromUtf8((GetRootBrisendaleResourceInstallPath() + "/" + "INFO").c_str_utf8()),
        QSettings::IniFormat);
    const std::string text = settings.value(key).toString().trimmed().toStdString();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    uint64_t value = 0;
    for (const char digit : text) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(digit - '0'), &value)) {
            return UINT64_MAX;
        }
    }
    return value;
}

int LinuxService::HandlePackageUpgrade()
{
    // A logout stops the upgrade, which rolls back; the launcher then ends as asked.
    StopSignals stop;
    // Counted first, so that a run killed during the upgrade counts too.
    UpgradeGuard guard = MakeUpgradeGuard();
    guard.CountAttempt();
    if (PerUserBinPathExist()) {
        SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): local appdata exist\n");
        StopService();
    }
    const int ret = StopSignals::Requested() != 0 ? -1 : PrepareUserEnv();
    if (ret == 0) {
        guard.Forget();
    }
    if (const int sig = StopSignals::Requested()) {
        // Not the package's fault: it keeps the attempts it had.
        if (ret != 0) {
            guard.UndoAttempt();
        }
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): signal %d ended the session during "
                    "the upgrade (%s), exiting\n",
                    sig, ret == 0 ? "completed" : "rolled back");
        StopSignals::ExitAsAsked();
    }
    return ret;
}

void LinuxService::StopService()
{
    ustring pid_path = Service::GetUserBrisendaleInstallPath() + "/ui.pid";
    Config config;
    if (!IsFileExist(pid_path, false)) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): pid file '%s' does not exist, no need "
                    "to terminate\n",
                    pid_path.c_str_utf8());
        return;
    }
    if (config.read(pid_path) < 0) {
        SERVICE_LOG(L_NOTICE,
                    "[NOTE] linux/linux-service.cpp(%d): Failed to read pid file '%s', not "
                    "exist ?\n",
                    pid_path.c_str_utf8());
        return;
    }
    const ustring value = config["pid"];
    if (value.empty()) {
        return;
    }
    const pid_t pid = parsePid(value);
    if (pid <= 0) {
        SERVICE_LOG(L_NOTICE,
                    "[NOTE] linux/linux-service.cpp(%d): pid file '%s' holds no process id "
                    "('%s'), nothing to terminate\n",
                    pid_path.c_str_utf8(), value.c_str_utf8());
        return;
    }
    const std::string client =
        canonical((per_user_install_path + "/" + "bin" + "/" + "brisendale-drive-ui").c_str_utf8());
    switch (whoIs(pid, client)) {
    case PidOwner::Gone:
        return;
    case PidOwner::Other:
        SERVICE_LOG(L_NOTICE,
                    "[NOTE] linux/linux-service.cpp(%d): pid file '%s' names process %d, which "
                    "is not the client, nothing to terminate\n",
                    pid_path.c_str_utf8(), static_cast<int>(pid));
        return;
    case PidOwner::Client:
        break;
    }

    if (::kill(pid, SIGTERM) != 0) {
        int err = errno;
        if (err == ESRCH) {
            return;
        }
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): kill: %s (%d)\n", strerror(err),
                    err);
    }
    // Five seconds at most, as before, but looked at every STOP_POLL: a client that ends
    // at once must not cost the user a whole second.
    const int polls = static_cast<int>(STOP_WAIT / STOP_POLL);
    for (int poll = 0; poll < polls; ++poll) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) {
            return;
        }
        std::this_thread::sleep_for(STOP_POLL);
    }
    // Ignored: the client may have ended just now.
    ::kill(pid, SIGKILL);
}

void LinuxService::ReleaseTree()
{
    home_lock.reset();
}

void LinuxService::PostUpgrade()
{
    // The complete old installation waits under a backup name for the next run.
    if (unfinished_tree) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] linux/linux-service.cpp(%d): '%s' may be unfinished, not starting "
                    "its client\n",
                    per_user_install_path.c_str_utf8());
        return;
    }
    LaunchPerUserBin();
}

bool LinuxService::PerUserBinPathExist()
{
    ustring bin = per_user_install_path + "/" + "bin" + "/" + "brisendale-drive-ui";
    return ::access(bin.c_str_utf8(), F_OK) == 0;
}

int LinuxService::LaunchPerUserBin()
{
    // Program and argument apart: a blank in the home folder's path must not split it.
    ustring script = per_user_install_path + "/package/start-stop";
    QProcess::execute(QString::fromUtf8(script.c_str_utf8()), QStringList() << "start");
    return 0;
}

void LinuxService::LoadTargetVerInfo()
{
    Service::LoadTargetVersion();
}

void LinuxService::LoadSourceVerInfo()
{
    Service::LoadSourceVersion();
}
