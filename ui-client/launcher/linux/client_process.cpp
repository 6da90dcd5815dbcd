#include "linux/client_process.h"
#include "linux/version_parse.h"

#include "file/unique_dir.h"
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
#include <poll.h>
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

// A descriptor that refers to process `pid` for good, or -1 where the kernel has none.
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

// The argument at `index` of a NUL-separated command line, or an empty string.
static std::string argumentAt(const std::string& cmdline, size_t index)
{
    size_t start = 0;
    for (size_t arg = 0; start < cmdline.size(); ++arg) {
        size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) {
            end = cmdline.size();
        }
        if (arg == index) {
            return cmdline.substr(start, end - start);
        }
        start = end + 1;
    }
    return std::string();
}

ClientFile describeClient(const std::string& path, const std::string& tree)
{
    ClientFile client;
    if (!tree.empty()) {
        client.tree = canonical(tree);
        if (!client.tree.empty()) {
            client.tree += '/';
        }
    }
    struct stat st;
    client.path = canonical(path);
    if (client.path.empty() || ::stat(client.path.c_str(), &st) != 0) {
        // Named in the log as it was given.
        client.path = path;
        return client;
    }
    client.dev = st.st_dev;
    client.ino = st.st_ino;
    client.valid = true;
    // The kernel reads the #! line from the first bytes only.
    const std::string head = readProcFile(client.path, 256);
    if (head.compare(0, 2, "#!") != 0) {
        return client;
    }
    const size_t line_end = std::min(head.find('\n'), head.size());
    const std::string line = head.substr(2, line_end - 2);
    const size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return client;
    }
    const size_t end = std::min(line.find_first_of(" \t", begin), line.size());
    const std::string interpreter = line.substr(begin, end - begin);
    if (::stat(interpreter.c_str(), &st) != 0) {
        // Nothing can run it, so nothing runs as it.
        client.valid = false;
        return client;
    }
    client.script = true;
    client.interpreter_dev = st.st_dev;
    client.interpreter_ino = st.st_ino;
    if (line.find_first_not_of(" \t\r", end) != std::string::npos) {
        client.script_arg = 2;
    }
    return client;
}

// Whether `pid` is a process of this user that runs `client`. Arguments alone never
// count: an editor, pager or debugger given the client's file is not the client.
// The real user id of process `pid` from its status, or -1 when it cannot be read. Not
// the owner of /proc/N, which is root for a process that made itself undumpable.
static long realUid(const std::string& proc)
{
    const std::string status = readProcFile(proc + "/status", 4096);
    const size_t at = status.find("\nUid:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 5, nullptr, 10);
}

// True when the program's last name component, as the kernel keeps it (15 bytes), is
// the client file's.
static bool namedLikeClient(const std::string& proc, const ClientFile& client)
{
    std::string comm = readProcFile(proc + "/comm", 64);
    if (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    const std::string base = client.path.substr(client.path.rfind('/') + 1);
    return !comm.empty() && comm == base.substr(0, 15);
}

// One look at process `pid`. `exe` receives the program file it ran at the start of the
// look; `settled` turns false when the process was caught inside an exec.
static PidOwner lookAtProcess(const std::string& proc, pid_t pid, const ClientFile& client,
                              struct stat& exe, bool& settled)
{
    struct stat st;
    if (::stat(proc.c_str(), &st) != 0) {
        return errno == ENOENT ? PidOwner::Gone : PidOwner::Other;
    }
    if (realUid(proc) != static_cast<long>(::getuid()) || !client.valid) {
        return PidOwner::Other;
    }
    // The file the kernel runs, whatever name it was started by.
    if (::stat((proc + "/exe").c_str(), &exe) != 0) {
        if ((errno == EACCES || errno == EPERM) && namedLikeClient(proc, client)) {
            return PidOwner::Unknown;
        }
        return errno == ENOENT && processGone(pid) ? PidOwner::Gone : PidOwner::Other;
    }
    // A program of the client's own tree, such as the binary a start wrapper execs.
    if (!client.tree.empty()) {
        std::string file = readLink(proc + "/exe");
        const std::string deleted = " (deleted)";
        if (file.size() > deleted.size() &&
            file.compare(file.size() - deleted.size(), deleted.size(), deleted) == 0) {
            file.resize(file.size() - deleted.size());
        }
        if (file.compare(0, client.tree.size(), client.tree) == 0) {
            return PidOwner::Client;
        }
    }
    if (!client.script) {
        if (exe.st_dev == client.dev && exe.st_ino == client.ino) {
            return PidOwner::Client;
        }
        // A client whose file was removed from A runs on from the deleted file; only a
        // file at the client's own path can have had that name.
        if (exe.st_nlink == 0 && readLink(proc + "/exe") == client.path + " (deleted)") {
            return PidOwner::Client;
        }
        return PidOwner::Other;
    }
    if (exe.st_dev != client.interpreter_dev || exe.st_ino != client.interpreter_ino) {
        return PidOwner::Other;
    }
    const std::string cmdline = readProcFile(proc + "/cmdline", 65536);
    // The kernel sets the new program's file before its arguments.
    settled = !cmdline.empty();
    std::string script = argumentAt(cmdline, client.script_arg);
    if (script.empty()) {
        return PidOwner::Other;
    }
    // A relative name was given from the process's own working folder.
    if (script[0] != '/') {
        script = proc + "/cwd/" + script;
    }
    if (::stat(script.c_str(), &st) == 0 && st.st_dev == client.dev && st.st_ino == client.ino) {
        return PidOwner::Client;
    }
    return PidOwner::Other;
}

PidOwner whoIs(pid_t pid, const ClientFile& client)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    // A process inside an exec, such as a start wrapper becoming the client, can pair one
    // program's file with another's arguments, so it is looked at again.
    const int looks = 20;
    PidOwner owner = PidOwner::Other;
    for (int look = 0; look < looks; ++look) {
        struct stat before = {};
        bool settled = true;
        owner = lookAtProcess(proc, pid, client, before, settled);
        if (owner != PidOwner::Other || before.st_ino == 0) {
            return owner;
        }
        struct stat after = {};
        if (::stat((proc + "/exe").c_str(), &after) != 0) {
            return owner;
        }
        const bool sameProgram = after.st_dev == before.st_dev && after.st_ino == before.st_ino;
        if (settled && sameProgram) {
            return owner;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return owner;
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

bool childProcesses(std::vector<pid_t>& children)
{
    children.clear();
    // Only a /proc of this process's own pid namespace names its children by their
    // numbers here; another one (or none) could name other processes.
    const pid_t self = ::getpid();
    const std::string own = readProcFile("/proc/self/stat", 64);
    UniqueDir dir(opendir("/proc"));
    if (!dir || std::atol(own.c_str()) != static_cast<long>(self)) {
        return false;
    }
    while (struct dirent* entry = readdir(dir.get())) {
        const pid_t pid = parsePid(entry->d_name);
        if (pid > 0 && pid != self && parentOf(pid) == self) {
            children.push_back(pid);
        }
    }
    return true;
}

// Adds every process of this user that runs `client` to `pids`; false when /proc
// cannot be listed, so nothing can be told.
bool findClientsInProc(const ClientFile& client, std::vector<pid_t>& pids)
{
    // Without a real /proc (not mounted, or something else mounted there) nothing is seen.
    UniqueDir dir(opendir("/proc"));
    if (!dir || ::access("/proc/self/stat", R_OK) != 0) {
        return false;
    }
    const pid_t self = ::getpid();
    std::vector<pid_t> found;
    while (struct dirent* entry = readdir(dir.get())) {
        const pid_t pid = parsePid(entry->d_name);
        if (pid <= 0 || pid == self) {
            continue;
        }
        switch (whoIs(pid, client)) {
        case PidOwner::Client:
            found.push_back(pid);
            break;
        case PidOwner::Unknown:
            return false;
        case PidOwner::Gone:
        case PidOwner::Other:
            break;
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

PidOwner ClientHandle::open(pid_t pid, const ClientFile& client)
{
    m_pid = pid;
    m_pidfd.reset();
    int fd = openPidFd(pid);
    if (fd < 0 && errno == ESRCH) {
        return PidOwner::Gone;
    }
    m_pidfd = UniqueFd(fd);
    const PidOwner owner = whoIs(pid, client);
    // The check looked at the process the descriptor holds only if that one still
    // lived when the check ended: until it ends, nobody else can get its number.
    if (owner == PidOwner::Client && m_pidfd.valid() && gone()) {
        return PidOwner::Gone;
    }
    return owner;
}

int ClientHandle::signal(int sig)
{
#ifdef SYS_pidfd_send_signal
    if (m_pidfd.valid()) {
        if (::syscall(SYS_pidfd_send_signal, m_pidfd.get(), sig, nullptr, 0) == 0) {
            return 0;
        }
        if (errno != ENOSYS) {
            return errno;
        }
    }
#endif
    // Kernels without pidfds: by number, right after the check, as before.
    return ::kill(m_pid, sig) == 0 ? 0 : errno;
}

bool ClientHandle::gone() const
{
    if (m_pidfd.valid()) {
        struct pollfd ended = {m_pidfd.get(), POLLIN, 0};
        int r;
        do {
            r = ::poll(&ended, 1, 0);
        } while (r < 0 && errno == EINTR);
        if (r >= 0) {
            return r > 0;
        }
    }
    return processGone(m_pid);
}

// Waits until the process is gone or `ms` milliseconds have passed: woken as it ends
// through its pidfd, which keeps the client's downtime short; looked at every STOP_POLL
// without one.
bool ClientHandle::waitGone(int ms) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (gone()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const auto pause = std::min(left, STOP_POLL);
        if (m_pidfd.valid()) {
            struct pollfd ended = {m_pidfd.get(), POLLIN, 0};
            // Interrupted or failed, the loop looks again after at most one pause.
            if (::poll(&ended, 1, static_cast<int>(left.count())) >= 0) {
                continue;
            }
        }
        std::this_thread::sleep_for(pause);
    }
}

} // namespace client_process
