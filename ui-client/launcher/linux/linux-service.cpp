#include "linux/linux-service.h"
#include "linux/version_parse.h"

#include "config.h"
#include "file/file-op.h"
#include "file/unique_fd.h"
#include "log/log.h"

#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kComponent = "service_debug";

// Supplies the component and the source line; the text stays as administrators read it.
#define SERVICE_LOG(level, fmt, ...)                                                               \
    Logger::LogMsg(Logger::level, kComponent, fmt, __LINE__, ##__VA_ARGS__)

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

// Owners of posix_spawn's two attribute objects.
struct SpawnActions
{
    SpawnActions() : valid(posix_spawn_file_actions_init(&value) == 0) {}
    ~SpawnActions()
    {
        if (valid) {
            posix_spawn_file_actions_destroy(&value);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return valid; }

    posix_spawn_file_actions_t value;
    bool valid;
};

struct SpawnAttributes
{
    SpawnAttributes() : valid(posix_spawnattr_init(&value) == 0) {}
    ~SpawnAttributes()
    {
        if (valid) {
            posix_spawnattr_destroy(&value);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return valid; }

    posix_spawnattr_t value;
    bool valid;
};

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

void LinuxService::PreUpgrade()
{
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
    const int attempts = guard.Attempts();
    if (PerUserBinPathExist() && attempts >= UpgradeGuard::MAX_ATTEMPTS) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): package %s failed %d attempts, "
                    "not trying it again\n",
                    guard.Describe().c_str(), attempts);
        return false;
    }
    const ustring user_dir = Service::GetUserBrisendaleInstallPath();
    const UpgradeGuard::Room room = guard.CheckRoom(user_dir, ReadInstalledSize());
    if (!room.enough()) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] linux/linux-service.cpp(%d): not enough room in '%s' to upgrade: "
                    "needed %llu bytes (package %llu, reserve %llu), free %llu\n",
                    user_dir.c_str_utf8(),
                    static_cast<unsigned long long>(room.package + room.reserve),
                    static_cast<unsigned long long>(room.package),
                    static_cast<unsigned long long>(room.reserve),
                    static_cast<unsigned long long>(room.free));
        return false;
    }
    return true;
}

// The unpacked size that the system-wide version file may give; 0 when it does not.
uint64_t LinuxService::ReadInstalledSize() const
{
    QSettings settings(
        QString::fromUtf8((GetRootBrisendaleResourceInstallPath() + "/" + "INFO").c_str_utf8()),
        QSettings::IniFormat);
    bool ok = false;
    const qulonglong size = settings.value("Package/installed_size").toULongLong(&ok);
    return ok ? size : 0;
}

int LinuxService::HandlePackageUpgrade()
{
    // Counted first, so that a run killed during the upgrade counts too.
    UpgradeGuard guard = MakeUpgradeGuard();
    guard.CountAttempt();
    if (PerUserBinPathExist()) {
        SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): local appdata exist\n");
        StopService();
    }
    const int ret = PrepareUserEnv();
    if (ret == 0) {
        guard.Forget();
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
    for (int poll = 0; poll < 5; ++poll) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) {
            return;
        }
        ::sleep(1);
    }
    // Ignored: the client may have ended just now.
    ::kill(pid, SIGKILL);
}

void LinuxService::PostUpgrade()
{
    LaunchPerUserBin();
}

bool LinuxService::PerUserBinPathExist()
{
    ustring bin = per_user_install_path + "/" + "bin" + "/" + "brisendale-drive-ui";
    return ::access(bin.c_str_utf8(), F_OK) == 0;
}

void LinuxService::SetStartWait(int seconds)
{
    start_wait_seconds = seconds;
}

// Runs the start script with "start", standard input on /dev/null, and waits for it at most
// start_wait_seconds: a script that reads its input or hangs must not hold the launcher, and
// with it the single-instance lock. One that outlives the wait keeps running on its own.
// Always 0; a failed start is logged.
int LinuxService::LaunchPerUserBin()
{
    const ustring script = per_user_install_path + "/package/start-stop";
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok() ||
        posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0) {
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): cannot prepare to run '%s'\n",
                    script.c_str_utf8());
        return 0;
    }
    // Signals this process ignores (SIGPIPE) must not stay ignored in the client.
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes.value, &defaults);
    posix_spawnattr_setsigmask(&attributes.value, &none);
    posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char start[] = "start";
    char* argv[] = {const_cast<char*>(script.c_str_utf8()), start, nullptr};
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, script.c_str_utf8(), &actions.value, &attributes.value, argv, environ);
    if (rc != 0) {
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): failed to run '%s': %s (%d)\n",
                    script.c_str_utf8(), strerror(rc), rc);
        return 0;
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(start_wait_seconds);
    // Short at first: most scripts end within milliseconds.
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            const int err = errno;
            SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): waitpid '%s': %s (%d)\n",
                        script.c_str_utf8(), strerror(err), err);
            return 0;
        }
        if (r == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
                SERVICE_LOG(L_ERR,
                            "[ERROR] linux/linux-service.cpp(%d): '%s start' exited with status "
                            "%d\n",
                            script.c_str_utf8(), WEXITSTATUS(status));
            } else if (WIFSIGNALED(status)) {
                SERVICE_LOG(L_ERR,
                            "[ERROR] linux/linux-service.cpp(%d): '%s start' was ended by signal "
                            "%d (%s)\n",
                            script.c_str_utf8(), WTERMSIG(status), strsignal(WTERMSIG(status)));
            }
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            SERVICE_LOG(L_WARNING,
                        "[WARNING] linux/linux-service.cpp(%d): '%s start' still runs after %d "
                        "s, not waiting for it any longer\n",
                        script.c_str_utf8(), start_wait_seconds);
            return 0;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(100));
    }
}

void LinuxService::LoadTargetVerInfo()
{
    Service::LoadTargetVersion();
}

void LinuxService::LoadSourceVerInfo()
{
    Service::LoadSourceVersion();
}
