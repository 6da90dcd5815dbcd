#include "linux/linux-service.h"
#include "linux/client_process.h"
#include "linux/home_owner.h"
#include "linux/install_decision.h"
#include "linux/package_info.h"
#include "linux/spawn_object.h"
#include "linux/version_parse.h"

#include "config.h"
#include "file/file-op.h"
#include "file/unique_fd.h"
#include "log/log_macros.h"
#include "manifest.h"
#include "stop_request.h"
#include "upgrade_fault.h"

#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace client_process;

namespace {

// The one-line reason a user is given for a failed upgrade.
NoticeReason ReasonFor(Blame blame, int err)
{
    if (blame == Blame::Package) {
        return NoticeReason::DamagedPackage;
    }
    switch (err) {
    case ENOSPC:
        return NoticeReason::NoRoom;
    case EDQUOT:
        return NoticeReason::Quota;
    case EACCES:
    case EPERM:
        return NoticeReason::ForeignFiles;
    default:
        return NoticeReason::Other;
    }
}

// Runs the start script with "start" and standard input on /dev/null, signals as a new
// process has them; its pid, or -1 (logged).
pid_t spawnStartScript(const ustring& script)
{
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok() ||
        posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0) {
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): cannot prepare to run '%s'\n",
                    script.c_str_utf8());
        return -1;
    }
    RestoreDefaultSignals(&attributes.value);

    char start[] = "start";
    char* argv[] = {const_cast<char*>(script.c_str_utf8()), start, nullptr};
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, script.c_str_utf8(), &actions.value, &attributes.value, argv, environ);
    if (rc != 0) {
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): failed to run '%s': %s (%d)\n",
                    script.c_str_utf8(), strerror(rc), rc);
        return -1;
    }
    return pid;
}

// Logs how the start script ended when that was not a success.
void logScriptEnd(const ustring& script, int status)
{
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
    } else {
        SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): '%s start' ended\n",
                    script.c_str_utf8());
    }
}

// Reaps the processes of `pids` that have ended, and leaves the others.
void reapEnded(std::vector<pid_t>& pids)
{
    pids.erase(std::remove_if(pids.begin(), pids.end(),
                              [](pid_t pid) {
                                  int status = 0;
                                  return ::waitpid(pid, &status, WNOHANG) != 0;
                              }),
               pids.end());
}

// Waits for the start script at most wait_seconds, or until `give_up` says so; true when
// it has ended (and was reaped).
bool waitForStartScript(const ustring& script, pid_t pid, int wait_seconds,
                        const std::function<bool()>& give_up)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    // Readable once the script has ended: the user's start does not wait for a polling
    // pause. Kernels without it are polled, in pauses short at first: most scripts end
    // within milliseconds.
    UniqueFd exited(openPidFd(pid));
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
            return false;
        }
        if (r == pid) {
            logScriptEnd(script, status);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            SERVICE_LOG(L_WARNING,
                        "[WARNING] linux/linux-service.cpp(%d): '%s start' still runs after %d "
                        "s, not waiting for it any longer\n",
                        script.c_str_utf8(), wait_seconds);
            return false;
        }
        if (give_up && give_up()) {
            return false;
        }
        if (exited.valid()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            struct pollfd waiter = {exited.get(), POLLIN, 0};
            // Looked up from now and then while something else may end the wait.
            const long long most = give_up ? 50 : INT_MAX;
            const int timeout = static_cast<int>(std::clamp<long long>(left.count() + 1, 1, most));
            // Woken, timed out or interrupted, the loop looks at the script again; a
            // descriptor that cannot be polled falls back to the pauses.
            if (::poll(&waiter, 1, timeout) < 0 && errno != EINTR) {
                exited.reset();
            }
            continue;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(100));
    }
}

// The pid that the client's pid file names, or 0 when it names none (missing, unreadable,
// no process id); each of those is logged.
pid_t readPidFile(const ustring& pid_path)
{
    pid_t pid = 0;
    if (!IsFileExist(pid_path, false)) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): pid file '%s' does not exist, no need "
                    "to terminate\n",
                    pid_path.c_str_utf8());
    } else {
        Config config;
        // The client's own writer may add lines of its own: only the pid line counts.
        config.set_lenient(true);
        if (config.read(pid_path) < 0) {
            SERVICE_LOG(L_NOTICE,
                        "[NOTE] linux/linux-service.cpp(%d): Failed to read pid file '%s', not "
                        "exist ?\n",
                        pid_path.c_str_utf8());
        } else {
            const ustring value = config["pid"];
            if (!value.empty()) {
                pid = parsePid(value);
                if (pid <= 0) {
                    SERVICE_LOG(L_NOTICE,
                                "[NOTE] linux/linux-service.cpp(%d): pid file '%s' holds no "
                                "process id ('%s'), nothing to terminate\n",
                                pid_path.c_str_utf8(), value.c_str_utf8());
                }
            }
        }
    }
    return pid;
}

} // namespace

LinuxService::LinuxService(Layout where) : Service(std::move(where))
{
    timeout = 10000;
}

LinuxService::~LinuxService() = default;

// How long a held home lock is looked at again before it is taken for another launcher.
static const std::chrono::milliseconds HOME_LOCK_GLANCE(500);

bool LinuxService::LockHome()
{
    const ustring path = layout.HomeLock();
    struct stat st;
    if (::stat(layout.UserRoot().c_str_utf8(), &st) != 0) {
        // Ignored: the open below tells whether the home can hold the lock. Private, as
        // main makes it: this only runs when U went away during the run.
        (void)HomeOwner::MakePrivateUserRoot(layout.UserRoot().c_str_utf8());
    }
    int fd;
    do {
        fd = ::open(path.c_str_utf8(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    } while (fd < 0 && errno == EINTR);
    // A read-only home may still hold the file; flock needs no write access.
    if (fd < 0) {
        fd = ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    // `--verify` holds the lock shared for a moment only: a lock held that long is not
    // another launcher at work.
    const auto give_up = std::chrono::steady_clock::now() + HOME_LOCK_GLANCE;
    for (;;) {
        if (::flock(holder.get(), LOCK_EX | LOCK_NB) == 0) {
            home_lock = std::move(holder);
            return true;
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == EWOULDBLOCK && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
        return false;
    }
}

void LinuxService::PreUpgrade()
{
    if (!LockHome()) {
        // The holder may be replacing A, on this host or another one; it starts the
        // client itself when it is done.
        tree_busy = true;
        SERVICE_LOG(L_INFO,
                    "[INFO] linux/linux-service.cpp(%d): another launcher holds '%s', leaving "
                    "the installation and the client's start to it\n",
                    layout.HomeLock().c_str_utf8());
        return;
    }
    // Before the versions are read: a half-done A must not be taken for the source.
    // Its failure is acted on later, not here: a restore that failed has recorded the
    // unfinished tree, which keeps the client from starting, and while the marker stays
    // PrepareUserEnv recovers again first and refuses to upgrade.
    (void)RecoverInterruptedUpgrade();
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
    install_reason = InstallReason::None;
    if (!tree_busy) {
        const InstallDecision decision = DecideFromFacts();
        install_reason = decision.reason;
        tree_check_deferred = decision.check_after_start;
    }
    // A check that the decision did not need stops, rather than walk a tree about to move.
    if (!tree_check_deferred) {
        tree_check_ahead = TreeCheckAhead();
    }
    if (tree_busy) {
        return false;
    }
    return UpgradeGoesAhead();
}

bool LinuxService::IsDamagedAfterStart()
{
    if (!tree_check_deferred) {
        return false;
    }
    tree_check_deferred = false;
    if (!copy_taken) {
        install_facts.copy = TakeCopyCheck();
        copy_taken = true;
    }
    install_reason = DecideInstall(install_facts).reason;
    tree_check_ahead = TreeCheckAhead();
    return UpgradeGoesAhead();
}

InstallDecision LinuxService::DecideFromFacts()
{
    install_facts = InstallFacts();
    if (!source_version.build_version.empty()) {
        install_facts.installed_build = parseBuildNumber(source_version.build_version);
    }
    if (!target_version.build_version.empty()) {
        install_facts.shipped_build = parseBuildNumber(target_version.build_version);
    }
    SERVICE_LOG(L_DEBUG,
                "[DEBUG] linux/linux-service.cpp(%d): source version = %d, target version = "
                "%d\n",
                install_facts.installed_build, install_facts.shipped_build);
    // An earlier run ended before its extraction was complete and on storage.
    const ustring marker = GetIncompleteMarkerPath();
    install_facts.marker_left = IsFileExist(marker, false);
    if (install_facts.marker_left) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): '%s' exists, the last upgrade did "
                    "not finish\n",
                    marker.c_str_utf8());
    }
    install_facts.client_present = PerUserBinPathExist();
    install_facts.reinstall_requested = reinstall_requested;
    InstallDecision decision = DecideInstall(install_facts);
    if (decision.reason != InstallReason::None) {
        return decision;
    }
    // The copy is looked at only when nothing cheaper calls for an install. A login never
    // waits for the walk of a large copy: the client then starts first.
    // A run that ended between its commit and the promotion of the manifest.
    SettleTreeManifests(FSParentPath(per_user_install_path), per_user_install_path);
    install_facts.copy = tree_check_ahead.Done() ? TakeCopyCheck() : CopyCheck::Pending;
    decision = DecideInstall(install_facts);
    if (decision.check_after_start) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): the check of '%s' is still running, "
                    "starting the client first\n",
                    per_user_install_path.c_str_utf8());
    }
    return decision;
}

bool LinuxService::UpgradeGoesAhead()
{
    UpgradeGuard guard = MakeUpgradeGuard();
    if (install_reason == InstallReason::None) {
        // The shipped package is in place: what its failures were no longer matters. Not
        // yet while the copy's check is outstanding: a healed copy keeps its attempt
        // until a start finds it intact.
        if (!tree_check_deferred && IsFileExist(guard.StatePath(), false)) {
            guard.Forget();
        }
        return false;
    }
    AdmissionFacts facts;
    // A package manager may have written INFO and not yet the package: nothing is touched
    // and nothing counted until it has.
    facts.package_usable = PackageReadable();
    if (!facts.package_usable) {
        return false;
    }
    SERVICE_LOG(L_INFO, "[INFO] linux/linux-service.cpp(%d): installing the package: %s\n",
                DescribeInstallReason(install_reason));
    facts.client_present = PerUserBinPathExist();
    facts.retry_at = guard.RetryAt();
    facts.now = static_cast<int64_t>(::time(nullptr));
    const UpgradeGuard::Room room =
        guard.CheckRoom(layout.UserRoot(), shipped.installed_size, shipped.installed_entries);
    facts.enough_bytes = room.enough_bytes();
    facts.enough_entries = room.enough_entries();
    const Refusal refusal = AdmitInstall(facts);
    // Each refusal comes before the client is stopped: a skipped upgrade leaves it running.
    switch (refusal) {
    case Refusal::None:
        return true;
    case Refusal::PackageUnusable:
        break;
    case Refusal::BackedOff:
        LogBackOff(guard);
        break;
    case Refusal::NoRoom:
    case Refusal::NoInodes:
        LogNoRoom(room, refusal);
        NoteProblem(NoticeEvent::UpgradeFailed, NoticeReason::NoRoom, guard);
        break;
    }
    return false;
}

bool LinuxService::PackageReadable() const
{
    const ustring package = layout.Package();
    PackageIdentity identity;
    int err = 0;
    const PackageState state = InspectPackage(package, identity, err);
    if (state == PackageState::Usable) {
        return true;
    }
    SERVICE_LOG(L_WARNING,
                "[WARNING] linux/linux-service.cpp(%d): an upgrade is due (%s), but the package "
                "'%s' is %s (%s); leaving the installation and its client as they are\n",
                DescribeInstallReason(install_reason), package.c_str_utf8(),
                DescribePackageState(state), strerror(err));
    return false;
}

// Differences named in the log when the copy is damaged; one more is looked for, which
// tells whether there are more.
static const size_t TREE_DIFFERENCES_SHOWN = 3;

TreeCheckAhead LinuxService::StartTreeCheck(const Layout& layout)
{
    const ustring app = layout.App();
    return TreeCheckAhead::Start(FSParentPath(app), app, TREE_DIFFERENCES_SHOWN + 1);
}

// The copy's check against its manifest, taken now; a damaged copy is logged.
CopyCheck LinuxService::TakeCopyCheck()
{
    TreeCheck check;
    if (!tree_check_ahead.Take(check)) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): checking '%s' now: no check made at "
                    "start holds for it\n",
                    per_user_install_path.c_str_utf8());
        check = CheckInstalledTree(FSParentPath(per_user_install_path), per_user_install_path,
                                   TREE_DIFFERENCES_SHOWN + 1);
    }
    if (check.state != TreeState::Damaged) {
        if (check.state == TreeState::NothingToCheck && !check.differences.empty()) {
            SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): '%s' not checked: %s\n",
                        per_user_install_path.c_str_utf8(), check.differences.front().c_str());
        }
        return check.state == TreeState::Intact ? CopyCheck::Intact : CopyCheck::Unknown;
    }
    std::string first;
    for (size_t i = 0; i < check.differences.size() && i < TREE_DIFFERENCES_SHOWN; ++i) {
        first += (i ? "; " : "") + check.differences[i];
    }
    if (check.differences.size() > TREE_DIFFERENCES_SHOWN) {
        first += "; ...";
    }
    SERVICE_LOG(L_WARNING,
                "[WARNING] linux/linux-service.cpp(%d): '%s' is not as installed (%s), "
                "reinstalling it\n",
                per_user_install_path.c_str_utf8(), first.c_str());
    return CopyCheck::Damaged;
}

UpgradeGuard LinuxService::MakeUpgradeGuard() const
{
    return UpgradeGuard(layout.Package(), layout.ShippedInfo(),
                        shipped.version.build_version.c_str_utf8(), per_user_install_path);
}

void LinuxService::LogBackOff(const UpgradeGuard& guard)
{
    const time_t when = static_cast<time_t>(guard.RetryAt());
    struct tm utc;
    char text[32] = "?";
    if (gmtime_r(&when, &utc)) {
        strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
    }
    SERVICE_LOG(L_WARNING,
                "[WARNING] linux/linux-service.cpp(%d): package %s failed %d attempts, "
                "not trying it again before %s\n",
                guard.Describe().c_str(), guard.Attempts(), text);
    // Only the package's own faults are counted: it is the package that is damaged.
    NoteProblem(NoticeEvent::BackedOff, NoticeReason::DamagedPackage, guard);
}

void LinuxService::LogNoRoom(const UpgradeGuard::Room& room, Refusal refusal)
{
    const ustring user_dir = layout.UserRoot();
    if (refusal == Refusal::NoRoom) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] linux/linux-service.cpp(%d): not enough room in '%s' to upgrade: "
                    "needed %llu bytes (package %llu, reserve %llu), free %llu\n",
                    user_dir.c_str_utf8(), static_cast<unsigned long long>(room.needed()),
                    static_cast<unsigned long long>(room.package),
                    static_cast<unsigned long long>(room.reserve),
                    static_cast<unsigned long long>(room.free));
        return;
    }
    SERVICE_LOG(L_ERR,
                "[ERROR] linux/linux-service.cpp(%d): not enough free inodes in '%s' to "
                "upgrade: needed %llu (package %llu, reserve %llu), free %llu\n",
                user_dir.c_str_utf8(), static_cast<unsigned long long>(room.needed_entries()),
                static_cast<unsigned long long>(room.entries),
                static_cast<unsigned long long>(UpgradeGuard::ENTRY_RESERVE),
                static_cast<unsigned long long>(room.free_entries));
}

UpgradeOutcome LinuxService::HandlePackageUpgrade()
{
    // A logout stops the preparation, which is abandoned; the caller then ends the run.
    StopSignals stop;
    // Counted before the package is read, so that a package that crashes its reader counts
    // too; taken back below for every failure that is not the package's own.
    UpgradeGuard guard = MakeUpgradeGuard();
    guard.CountAttempt();
    int ret = -1;
    try {
        ret = StopSignals::Requested() != 0 ? -1 : PrepareUserEnv();
    } catch (...) {
        // Memory or a thread ran out: the machine's doing, not the package's.
        guard.UndoAttempt();
        throw;
    }
    const Blame blame = ret == 0                        ? Blame::None
                        : StopSignals::Requested() != 0 ? Blame::Environment
                                                        : FailureBlame();
    // A healed tree keeps its attempt until a start finds it intact: a tree that something
    // damages at every run is healed a few times, then only after the back-off.
    if (ret == 0 && install_reason != InstallReason::DamagedTree) {
        guard.Forget();
    } else if (ret != 0 && blame != Blame::Package) {
        SERVICE_LOG(L_INFO,
                    "[INFO] linux/linux-service.cpp(%d): the failure is not the package's, not "
                    "counting it against %s\n",
                    guard.Describe().c_str());
        guard.UndoAttempt();
    }
    reinstalled = ret == 0;
    if (ret != 0 && StopSignals::Requested() == 0 && PerUserBinPathExist()) {
        NoteProblem(NoticeEvent::UpgradeFailed, ReasonFor(blame, failure_errno), guard);
    }
    UpgradeOutcome outcome;
    outcome.state = ret == 0          ? UpgradeOutcome::State::Done
                    : unfinished_tree ? UpgradeOutcome::State::Unfinished
                                      : UpgradeOutcome::State::Kept;
    outcome.blame = blame;
    outcome.err = ret == 0 ? 0 : failure_errno;
    outcome.client_stopped = client_stopped;
    outcome.session_signal = StopSignals::Requested();
    if (outcome.session_signal != 0) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): signal %d ended the session during "
                    "the upgrade (%s), exiting\n",
                    outcome.session_signal, ret == 0 ? "completed" : "abandoned");
    }
    return outcome;
}

void LinuxService::NoteProblem(NoticeEvent event, NoticeReason reason, const UpgradeGuard& guard)
{
    problem = true;
    problem_event = event;
    problem_reason = reason;
    problem_identity = guard.Identity();
}

bool LinuxService::Problem(NoticeEvent& event, NoticeReason& reason, std::string& identity) const
{
    if (!problem) {
        return false;
    }
    event = problem_event;
    reason = problem_reason;
    identity = problem_identity;
    return true;
}

bool LinuxService::StopClientsBeforeSwitch()
{
    // A logout came during the preparation: the client is left running, as it is.
    if (StopSignals::SessionEnded()) {
        return false;
    }
    // A heal after the start: what that start left running is ours, the client on its
    // way included.
    if (adopting && !StopAdopted()) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): what the start left running has not "
                    "ended, not replacing '%s' in this run\n",
                    per_user_install_path.c_str_utf8());
        return false;
    }
    if (!PerUserBinPathExist()) {
        return true;
    }
    SERVICE_LOG(L_DEBUG, "[DEBUG] linux/linux-service.cpp(%d): local appdata exist\n");
    // Two clients on one folder risk the user's data: no switch while one may run. Looked
    // for again once they have ended: something may have started one meanwhile.
    if (!StopClients() || !StopClients()) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): cannot tell that the client of "
                    "'%s' has ended, not replacing it in this run\n",
                    per_user_install_path.c_str_utf8());
        return false;
    }
    return true;
}

void LinuxService::StopService()
{
    // The caller that must know, HandlePackageUpgrade, asks StopClients itself.
    (void)StopClients();
}

// The processes of this user that run A's client: the one the pid file names, and
// every other one in /proc, since a pid file may be missing, stale or foreign. False
// when that cannot be told.
bool LinuxService::FindClients(const ClientFile& client, std::vector<pid_t>& pids)
{
    const ustring pid_path = layout.PidFile();
    const pid_t pid = readPidFile(pid_path);
    if (!client.valid) {
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): cannot look at '%s'\n",
                    client.path.c_str());
        return false;
    }
    if (pid > 0) {
        switch (whoIs(pid, client)) {
        case PidOwner::Gone:
            break;
        case PidOwner::Other:
            SERVICE_LOG(L_NOTICE,
                        "[NOTE] linux/linux-service.cpp(%d): pid file '%s' names process %d, "
                        "which is not the client, nothing to terminate\n",
                        pid_path.c_str_utf8(), static_cast<int>(pid));
            break;
        case PidOwner::Client:
            pids.push_back(pid);
            break;
        case PidOwner::Unknown:
            SERVICE_LOG(L_WARNING,
                        "[WARNING] linux/linux-service.cpp(%d): process %d, named in '%s', "
                        "may be the client but cannot be looked at; not replacing the "
                        "installation now\n",
                        static_cast<int>(pid), pid_path.c_str_utf8());
            return false;
        }
    }
    std::vector<pid_t> found;
    if (!findClientsInProc(client, found)) {
        return false;
    }
    for (pid_t other : found) {
        if (other == pid) {
            continue;
        }
        pids.push_back(other);
        SERVICE_LOG(L_NOTICE,
                    "[NOTE] linux/linux-service.cpp(%d): pid file '%s' does not name the "
                    "client, which runs as process %d\n",
                    pid_path.c_str_utf8(), static_cast<int>(other));
    }
    return true;
}

bool LinuxService::StopClients()
{
    const ClientFile client = describeClient(
        (per_user_install_path + "/" + "bin" + "/" + "brisendale-drive-ui").c_str_utf8(),
        per_user_install_path.c_str_utf8());
    std::vector<pid_t> pids;
    if (!FindClients(client, pids)) {
        return false;
    }
    bool stopped = true;
    for (pid_t pid : pids) {
        stopped = StopProcess(pid, client) && stopped;
    }
    return stopped;
}

// SIGTERM, up to `timeout` ms for the process to end, then SIGKILL and a bounded wait.
// False when it still runs.
bool LinuxService::StopProcess(pid_t pid, const ClientFile& client)
{
    ClientHandle process;
    // Looked at again: the process may have ended, and its number passed on, since.
    if (process.open(pid, client) != PidOwner::Client) {
        return true;
    }
    if (const int err = process.signal(SIGTERM)) {
        if (err == ESRCH) {
            return true;
        }
        SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): kill: %s (%d)\n", strerror(err),
                    err);
    }
    if (process.waitGone(timeout > 0 ? timeout : 5000)) {
        return true;
    }
    // Ignored: the client may have ended just now.
    (void)process.signal(SIGKILL);
    if (process.waitGone(5000)) {
        return true;
    }
    SERVICE_LOG(L_ERR, "[ERROR] linux/linux-service.cpp(%d): process %d still runs after SIGKILL\n",
                static_cast<int>(pid));
    return false;
}

void LinuxService::ReleaseTree()
{
    home_lock.reset();
}

std::string LinuxService::UnmetRequest() const
{
    if (!reinstall_requested || reinstalled) {
        return std::string();
    }
    if (tree_busy) {
        return "another launcher is at work on " + std::string(layout.UserRoot().c_str_utf8()) +
               "; try again when it has finished";
    }
    return "the upgrade was refused or failed; '" + std::string(layout.UserRoot().c_str_utf8()) +
           "/log/launcher.log' tells why";
}

void LinuxService::PostUpgrade()
{
    if (tree_busy) {
        return;
    }
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
    const ustring script = layout.StartScript();
    if (tree_check_deferred) {
        AdoptWhatTheStartLeaves();
    }
    const pid_t pid = spawnStartScript(script);
    if (pid <= 0) {
        return 0;
    }
    // A copy found damaged while its script hangs is healed now, not after the wait.
    std::function<bool()> give_up;
    if (tree_check_deferred) {
        give_up = [this] { return DamagedMeanwhile(); };
    }
    if (!waitForStartScript(script, pid, start_wait_seconds, give_up) && give_up && copy_taken &&
        install_facts.copy == CopyCheck::Damaged) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] linux/linux-service.cpp(%d): '%s start' still runs, and the copy "
                    "is damaged: ending it to heal the copy\n",
                    script.c_str_utf8());
        (void)::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return 0;
}

void LinuxService::AdoptWhatTheStartLeaves()
{
    if (adopting) {
        return;
    }
    // A client on its way (a script that returns before its client is up) is then still
    // ours to stop before a heal switches its copy away; otherwise a second start would
    // run a second client on the same folder.
    adopting = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    if (!adopting) {
        SERVICE_LOG(L_DEBUG,
                    "[DEBUG] linux/linux-service.cpp(%d): cannot keep what the start leaves: "
                    "%s\n",
                    strerror(errno));
    }
}

bool LinuxService::DamagedMeanwhile()
{
    if (copy_taken) {
        return install_facts.copy == CopyCheck::Damaged;
    }
    if (!tree_check_ahead.Done()) {
        return false;
    }
    install_facts.copy = TakeCopyCheck();
    copy_taken = true;
    return install_facts.copy == CopyCheck::Damaged;
}

bool LinuxService::StopAdopted()
{
    // Listed again until none is left: a process whose parent ends here is handed to this
    // one, a client on its way below a shell included.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    const auto last = deadline + std::chrono::seconds(1);
    bool told = false;
    for (;;) {
        std::vector<pid_t> left;
        if (!client_process::childProcesses(left)) {
            return false;
        }
        reapEnded(left);
        if (left.empty()) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= last) {
            return false;
        }
        if (!told) {
            SERVICE_LOG(L_INFO,
                        "[INFO] linux/linux-service.cpp(%d): ending what the start left running "
                        "before the copy is healed\n");
            told = true;
        }
        for (const pid_t pid : left) {
            (void)::kill(pid, now < deadline ? SIGTERM : SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
