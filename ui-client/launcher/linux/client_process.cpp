#include "linux/client_process.h"
#include "linux/version_parse.h"

#include "file/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace client_process {

// How often a stopped client is looked at: one that ends at once must not cost the user
// a tenth of a second.
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

// A descriptor that becomes readable when child `pid` ends, or -1 where the kernel has none.
int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Reads at most `limit` bytes of a small /proc file.
static std::string readProcFile(const std::string& path, size_t limit)
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

// The target of a symbolic link, or an empty string.
static std::string readLink(const std::string& path)
{
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<size_t>(n) < buf.size()) {
            return std::string(buf.data(), static_cast<size_t>(n));
        }
        buf.resize(buf.size() * 2);
    }
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
    // A client whose file an upgrade has replaced runs on from the deleted one.
    const std::string exe = readLink(proc + "/exe");
    if (exe == client || exe == client + " (deleted)" || canonical(proc + "/exe") == client) {
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

// True when `pid` names no process, or one that has ended and waits for its parent.
bool processGone(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) {
        return false;
    }
    const char state = stat[paren + 2];
    return state == 'Z' || state == 'X';
}

// The parent of `pid`, or 0 when it cannot be told.
static pid_t parentOf(pid_t pid)
{
    const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        return 0;
    }
    // After the name: the state, then the parent's pid.
    return static_cast<pid_t>(std::atol(stat.c_str() + std::min(paren + 4, stat.size())));
}

// Polls every STOP_POLL until `pid` is gone or `ms` milliseconds have passed.
bool waitGone(pid_t pid, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (processGone(pid)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(STOP_POLL);
    }
}

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

// Adds every process of this user that runs `client` to `pids`; false when /proc
// cannot be listed, so nothing can be told.
bool findClientsInProc(const std::string& client, std::vector<pid_t>& pids)
{
    // Without a real /proc (not mounted, or something else mounted there) nothing is seen.
    std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
    if (!dir || ::access("/proc/self/stat", R_OK) != 0) {
        return false;
    }
    const pid_t self = ::getpid();
    std::vector<pid_t> found;
    while (struct dirent* entry = readdir(dir.get())) {
        const pid_t pid = parsePid(entry->d_name);
        if (pid > 0 && pid != self && whoIs(pid, client) == PidOwner::Client) {
            found.push_back(pid);
        }
    }
    // A client's child that has forked but not yet run its own program looks like the
    // client too; the client ends its children itself.
    for (pid_t pid : found) {
        if (std::find(found.begin(), found.end(), parentOf(pid)) == found.end()) {
            pids.push_back(pid);
        }
    }
    return true;
}

} // namespace client_process
