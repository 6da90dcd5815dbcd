// Preloaded into the launcher to fail one of the calls that change or flush the per-user
// tree, the way SQLite's I/O-error loop fails its N-th I/O call. It counts the calls
// whose path lies under $FAIL_AT_CALL_ROOT (its "log" folder left out) and, at call
// number $FAIL_AT_CALL_N:
//   FAIL_AT_CALL_MODE=eio     that call fails with EIO, once;
//   FAIL_AT_CALL_MODE=enospc  that call and every later counted one fail with ENOSPC;
//   FAIL_AT_CALL_MODE=efbig   the same with EFBIG, as beyond a file size limit;
//   FAIL_AT_CALL_MODE=kill    the process is killed with SIGKILL;
//   FAIL_AT_CALL_MODE=term    the process gets SIGTERM, as at a logout, and the call goes on;
//   FAIL_AT_CALL_MODE=stop    the process stops (SIGSTOP) until continued, then goes on.
// Without a mode it only counts. With $FAIL_AT_CALL_TRACE every counted call is appended
// there as "N call path". With $FAIL_AT_CALL_MATCH only paths that contain it count, and
// with $FAIL_AT_CALL_CALLS (names joined by commas) only those calls count.
// $FAIL_AT_CALL_PAUSE_US slows every write under the root by that many microseconds, so
// that the extraction of a small package lasts long enough for its periodic flushes.
// With $FAIL_AT_CALL_DURABLE every open for writing, truncation and fsync/fdatasync of a
// counted file is journalled there as "o|s dev inode size": a power cut after the kill
// keeps of each file only what its last fsync made durable (see applyPowerCut in the
// fault test). syncfs and sync_file_range make nothing durable in this model.
// With $FAIL_AT_CALL_EXDEV naming a folder, renaming the folder that is there when the
// process starts fails with EXDEV, as a folder of overlayfs's lower layer does.
// With $FAIL_AT_CALL_NO_EXCHANGE set, renameat2 with RENAME_EXCHANGE fails with EINVAL, as
// on a file system that cannot exchange two names (ext2, NFS); it is not counted.
// With $FAIL_AT_CALL_NO_THREADS naming a text, every pthread_create fails with EAGAIN once
// a call has named a path that contains it, as under a task limit reached meanwhile.
// With $FAIL_AT_CALL_SLOW_STAT_US every fstatat of a path under the root waits that long
// first, so that a check of the tree outlasts the toolkit's start.
// Child processes do not inherit the shim.

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

enum class Mode
{
    Count,
    Eio,
    Enospc,
    Efbig,
    Kill,
    Term,
    Stop,
};

struct Settings
{
    std::string root;
    std::string realRoot;
    std::string match;
    std::string calls; // ",name,name," or empty for every call
    long failAt = 0;
    long pauseUs = 0;
    long slowStatUs = 0;
    Mode mode = Mode::Count;
    int traceFd = -1;
    int durableFd = -1;
    bool exdev = false;
    bool noExchange = false;
    std::string noThreads;
    struct stat exdevStat = {}; // ext4 soon reuses the inode number of a removed folder
};

// Never destroyed: files are still closed and removed while the process exits.
Settings& settings()
{
    static Settings* s = new Settings;
    return *s;
}

std::atomic<long> g_calls{0};
// Descriptors opened on a path under the root; write and flush calls on them count.
constexpr int kMaxFd = 65536;
std::atomic<bool> g_tracked[kMaxFd];

__attribute__((constructor)) void init()
{
    Settings& s = settings();
    if (const char* root = getenv("FAIL_AT_CALL_ROOT")) {
        s.root = root;
        char buf[PATH_MAX];
        if (realpath(root, buf))
            s.realRoot = buf;
    }
    if (const char* match = getenv("FAIL_AT_CALL_MATCH"))
        s.match = match;
    if (const char* calls = getenv("FAIL_AT_CALL_CALLS"))
        s.calls = std::string(",") + calls + ",";
    if (const char* pause = getenv("FAIL_AT_CALL_PAUSE_US"))
        s.pauseUs = atol(pause);
    if (const char* slow = getenv("FAIL_AT_CALL_SLOW_STAT_US"))
        s.slowStatUs = atol(slow);
    if (const char* n = getenv("FAIL_AT_CALL_N"))
        s.failAt = atol(n);
    const char* mode = getenv("FAIL_AT_CALL_MODE");
    const std::string m = mode ? mode : "";
    s.mode = m == "eio"      ? Mode::Eio
             : m == "enospc" ? Mode::Enospc
             : m == "efbig"  ? Mode::Efbig
             : m == "kill"   ? Mode::Kill
             : m == "term"   ? Mode::Term
             : m == "stop"   ? Mode::Stop
                             : Mode::Count;
    if (const char* trace = getenv("FAIL_AT_CALL_TRACE"))
        s.traceFd = static_cast<int>(
            syscall(SYS_openat, AT_FDCWD, trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (const char* durable = getenv("FAIL_AT_CALL_DURABLE"))
        s.durableFd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, durable,
                                               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    struct stat st;
    if (const char* exdev = getenv("FAIL_AT_CALL_EXDEV")) {
        if (lstat(exdev, &st) == 0 && S_ISDIR(st.st_mode)) {
            s.exdev = true;
            s.exdevStat = st;
        }
    }
    s.noExchange = getenv("FAIL_AT_CALL_NO_EXCHANGE") != nullptr;
    if (const char* threads = getenv("FAIL_AT_CALL_NO_THREADS"))
        s.noThreads = threads;
    // The start script and the client it starts are not under test.
    unsetenv("LD_PRELOAD");
}

bool under(const std::string& path, const std::string& root)
{
    if (root.empty() || path.compare(0, root.size(), root) != 0)
        return false;
    if (path.size() > root.size() && path[root.size()] != '/')
        return false;
    const std::string log = root + "/log";
    const bool inLog = path.compare(0, log.size(), log) == 0 &&
                       (path.size() == log.size() || path[log.size()] == '/');
    return !inLog;
}

std::string fdPath(int fd)
{
    char buf[PATH_MAX];
    const std::string link =
        fd == AT_FDCWD ? "/proc/thread-self/cwd" : "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The path as the call will see it: relative ones against their folder descriptor.
std::string resolve(int dirfd, const char* path)
{
    if (!path)
        return std::string();
    if (path[0] == '/')
        return path;
    return fdPath(dirfd) + "/" + path;
}

std::atomic<bool> g_threadsRefused{false};

bool counted(const std::string& path)
{
    const Settings& s = settings();
    if (!s.noThreads.empty() && path.find(s.noThreads) != std::string::npos)
        g_threadsRefused = true;
    if (!s.match.empty() && path.find(s.match) == std::string::npos)
        return false;
    return under(path, s.root) || under(path, s.realRoot);
}

void trace(long n, const char* call, const std::string& path)
{
    const int fd = settings().traceFd;
    if (fd < 0)
        return;
    const std::string line = std::to_string(n) + " " + call + " " + path + "\n";
    syscall(SYS_write, fd, line.data(), line.size());
}

// Counts one call; true when it must fail, with errno set.
bool injectFault(const char* call, const std::string& path)
{
    const Settings& s = settings();
    if (s.pauseUs > 0 &&
        (std::strncmp(call, "write", 5) == 0 || std::strncmp(call, "pwrite", 6) == 0))
        usleep(static_cast<useconds_t>(s.pauseUs));
    if (!s.calls.empty() && s.calls.find(std::string(",") + call + ",") == std::string::npos)
        return false;
    const int saved = errno;
    const long n = ++g_calls;
    trace(n, call, path);
    errno = saved;
    if (s.failAt <= 0 || n < s.failAt)
        return false;
    switch (s.mode) {
    case Mode::Count:
        return false;
    case Mode::Eio:
        if (n != s.failAt)
            return false;
        errno = EIO;
        return true;
    case Mode::Enospc:
        errno = ENOSPC;
        return true;
    case Mode::Efbig:
        errno = EFBIG;
        return true;
    case Mode::Kill:
        raise(SIGKILL);
        return true;
    case Mode::Term:
    case Mode::Stop:
        if (n == s.failAt)
            raise(s.mode == Mode::Term ? SIGTERM : SIGSTOP);
        errno = saved;
        return false;
    }
    return false;
}

// Journals the size that survives a power cut on fd's file: after an open for writing or
// a truncation the least size seen, after an fsync the size then.
void journal(char what, int fd)
{
    const int out = settings().durableFd;
    struct stat st;
    if (out < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const std::string line = std::string(1, what) + " " + std::to_string(st.st_dev) + " " +
                             std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + "\n";
    syscall(SYS_write, out, line.data(), line.size());
}

bool isTracked(int fd)
{
    return fd >= 0 && fd < kMaxFd && g_tracked[fd].load();
}

bool faultOnPath(const char* call, int dirfd, const char* path)
{
    const std::string full = resolve(dirfd, path);
    return counted(full) && injectFault(call, full);
}

bool faultOnFd(const char* call, int fd)
{
    if (fd < 0 || fd >= kMaxFd || !g_tracked[fd].load())
        return false;
    return injectFault(call, fdPath(fd));
}

void track(int fd, bool on)
{
    if (fd >= 0 && fd < kMaxFd)
        g_tracked[fd].store(on);
}

template <typename Fn>
Fn real(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool takesMode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

int openCommon(const char* call, int dirfd, const char* path, int flags, mode_t mode)
{
    using Fn = int (*)(int, const char*, int, ...);
    static Fn fn = real<Fn>("openat64");
    const std::string full = resolve(dirfd, path);
    const bool isCounted = counted(full);
    if (isCounted && injectFault(call, full))
        return -1;
    const int fd = fn(dirfd, path, flags, mode);
    track(fd, isCounted && fd >= 0);
    if (isCounted && fd >= 0 && ((flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC)))
        journal('o', fd);
    return fd;
}

mode_t modeArg(int flags, va_list ap)
{
    return takesMode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

} // namespace

#define PATH_CALL(name, ret, params, dirfd, path, args)                                            \
    extern "C" ret name params                                                                     \
    {                                                                                              \
        using Fn = ret(*) params;                                                                  \
        static Fn fn = real<Fn>(#name);                                                            \
        if (faultOnPath(#name, dirfd, path))                                                       \
            return -1;                                                                             \
        return fn args;                                                                            \
    }

#define FD_CALL(name, ret, params, fd, args)                                                       \
    extern "C" ret name params                                                                     \
    {                                                                                              \
        using Fn = ret(*) params;                                                                  \
        static Fn fn = real<Fn>(#name);                                                            \
        if (faultOnFd(#name, fd))                                                                  \
            return -1;                                                                             \
        return fn args;                                                                            \
    }

// The mode argument is there only when the flags create a file.
#define OPEN_CALL(name, params, dirfd)                                                             \
    extern "C" int name params                                                                     \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        const mode_t mode = modeArg(flags, ap);                                                    \
        va_end(ap);                                                                                \
        return openCommon(#name, dirfd, path, flags, mode);                                        \
    }

OPEN_CALL(open, (const char* path, int flags, ...), AT_FDCWD)
OPEN_CALL(open64, (const char* path, int flags, ...), AT_FDCWD)
OPEN_CALL(openat, (int dirfd, const char* path, int flags, ...), dirfd)
OPEN_CALL(openat64, (int dirfd, const char* path, int flags, ...), dirfd)

// openat2 has no libc wrapper: the launcher reaches it through syscall(2), and it is
// counted, failed and tracked here like openat.
extern "C" long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& value : a)
        value = va_arg(ap, long);
    va_end(ap);
    using Fn = long (*)(long, ...);
    static Fn fn = real<Fn>("syscall");
    if (number != SYS_openat2)
        return fn(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    const int dirfd = static_cast<int>(a[0]);
    const char* path = reinterpret_cast<const char*>(a[1]);
    const auto* how = reinterpret_cast<const open_how*>(a[2]);
    const std::string full = resolve(dirfd, path);
    const bool isCounted = counted(full);
    if (isCounted && injectFault("openat2", full))
        return -1;
    const long fd = fn(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    track(static_cast<int>(fd), isCounted && fd >= 0);
    if (isCounted && fd >= 0 && how &&
        ((how->flags & O_ACCMODE) != O_RDONLY || (how->flags & O_TRUNC)))
        journal('o', static_cast<int>(fd));
    return fd;
}

extern "C" int creat(const char* path, mode_t mode)
{
    return openCommon("creat", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

extern "C" int creat64(const char* path, mode_t mode)
{
    return openCommon("creat", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

extern "C" int close(int fd)
{
    using Fn = int (*)(int);
    static Fn fn = real<Fn>("close");
    track(fd, false);
    return fn(fd);
}

FD_CALL(write, ssize_t, (int fd, const void* buf, size_t n), fd, (fd, buf, n))
FD_CALL(pwrite, ssize_t, (int fd, const void* buf, size_t n, off_t off), fd, (fd, buf, n, off))
FD_CALL(pwrite64, ssize_t, (int fd, const void* buf, size_t n, off64_t off), fd, (fd, buf, n, off))
FD_CALL(writev, ssize_t, (int fd, const struct iovec* iov, int cnt), fd, (fd, iov, cnt))
// A call that changes what survives a power cut: journalled once it succeeded.
#define JOURNAL_CALL(name, what, params, fd, args)                                                 \
    extern "C" int name params                                                                     \
    {                                                                                              \
        using Fn = int(*) params;                                                                  \
        static Fn fn = real<Fn>(#name);                                                            \
        if (faultOnFd(#name, fd))                                                                  \
            return -1;                                                                             \
        const int r = fn args;                                                                     \
        if (r == 0 && isTracked(fd)) {                                                             \
            const int saved = errno;                                                               \
            journal(what, fd);                                                                     \
            errno = saved;                                                                         \
        }                                                                                          \
        return r;                                                                                  \
    }

JOURNAL_CALL(fsync, 's', (int fd), fd, (fd))
JOURNAL_CALL(fdatasync, 's', (int fd), fd, (fd))
FD_CALL(syncfs, int, (int fd), fd, (fd))
FD_CALL(sync_file_range, int, (int fd, off64_t off, off64_t n, unsigned int flags), fd,
        (fd, off, n, flags))
JOURNAL_CALL(ftruncate, 'o', (int fd, off_t len), fd, (fd, len))
JOURNAL_CALL(ftruncate64, 'o', (int fd, off64_t len), fd, (fd, len))
FD_CALL(fchmod, int, (int fd, mode_t mode), fd, (fd, mode))
FD_CALL(fchown, int, (int fd, uid_t uid, gid_t gid), fd, (fd, uid, gid))
FD_CALL(futimens, int, (int fd, const struct timespec t[2]), fd, (fd, t))
FD_CALL(futimes, int, (int fd, const struct timeval t[2]), fd, (fd, t))

PATH_CALL(mkdir, int, (const char* path, mode_t mode), AT_FDCWD, path, (path, mode))
PATH_CALL(mkdirat, int, (int dirfd, const char* path, mode_t mode), dirfd, path,
          (dirfd, path, mode))
PATH_CALL(unlink, int, (const char* path), AT_FDCWD, path, (path))
PATH_CALL(unlinkat, int, (int dirfd, const char* path, int flags), dirfd, path,
          (dirfd, path, flags))
PATH_CALL(rmdir, int, (const char* path), AT_FDCWD, path, (path))
PATH_CALL(remove, int, (const char* path), AT_FDCWD, path, (path))
PATH_CALL(symlink, int, (const char* target, const char* path), AT_FDCWD, path, (target, path))
PATH_CALL(symlinkat, int, (const char* target, int dirfd, const char* path), dirfd, path,
          (target, dirfd, path))
PATH_CALL(chmod, int, (const char* path, mode_t mode), AT_FDCWD, path, (path, mode))
PATH_CALL(lchmod, int, (const char* path, mode_t mode), AT_FDCWD, path, (path, mode))
PATH_CALL(fchmodat, int, (int dirfd, const char* path, mode_t mode, int flags), dirfd, path,
          (dirfd, path, mode, flags))
PATH_CALL(chown, int, (const char* path, uid_t uid, gid_t gid), AT_FDCWD, path, (path, uid, gid))
PATH_CALL(lchown, int, (const char* path, uid_t uid, gid_t gid), AT_FDCWD, path, (path, uid, gid))
PATH_CALL(fchownat, int, (int dirfd, const char* path, uid_t uid, gid_t gid, int flags), dirfd,
          path, (dirfd, path, uid, gid, flags))
PATH_CALL(utimensat, int, (int dirfd, const char* path, const struct timespec t[2], int flags),
          dirfd, path, (dirfd, path, t, flags))
PATH_CALL(utimes, int, (const char* path, const struct timeval t[2]), AT_FDCWD, path, (path, t))
PATH_CALL(lutimes, int, (const char* path, const struct timeval t[2]), AT_FDCWD, path, (path, t))
PATH_CALL(truncate, int, (const char* path, off_t len), AT_FDCWD, path, (path, len))

// Both names of a rename or link count, as either may lie under the root.
#define TWO_PATH_CALL_AS(fn_name, name, params, dir1, path1, dir2, path2, args)                    \
    extern "C" int fn_name params                                                                  \
    {                                                                                              \
        using Fn = int(*) params;                                                                  \
        static Fn fn = real<Fn>(#name);                                                            \
        const std::string a = resolve(dir1, path1);                                                \
        const std::string b = resolve(dir2, path2);                                                \
        if ((counted(a) || counted(b)) && injectFault(#name, counted(b) ? b : a))                  \
            return -1;                                                                             \
        if (lowerLayer(#name, a))                                                                  \
            return -1;                                                                             \
        return fn args;                                                                            \
    }
#define TWO_PATH_CALL(name, params, dir1, path1, dir2, path2, args)                                \
    TWO_PATH_CALL_AS(name, name, params, dir1, path1, dir2, path2, args)

namespace {

// True, with errno EXDEV, when a rename would move the folder of $FAIL_AT_CALL_EXDEV.
bool lowerLayer(const char* call, const std::string& from)
{
    const Settings& s = settings();
    struct stat st;
    const struct stat& lower = s.exdevStat;
    if (!s.exdev || std::strncmp(call, "rename", 6) != 0 || lstat(from.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode) || st.st_dev != lower.st_dev || st.st_ino != lower.st_ino ||
        st.st_ctim.tv_sec != lower.st_ctim.tv_sec || st.st_ctim.tv_nsec != lower.st_ctim.tv_nsec)
        return false;
    errno = EXDEV;
    return true;
}

} // namespace

TWO_PATH_CALL(rename, (const char* from, const char* to), AT_FDCWD, from, AT_FDCWD, to, (from, to))
TWO_PATH_CALL(renameat, (int fd1, const char* from, int fd2, const char* to), fd1, from, fd2, to,
              (fd1, from, fd2, to))
TWO_PATH_CALL_AS(renameat2_counted, renameat2,
                 (int fd1, const char* from, int fd2, const char* to, unsigned int flags), fd1,
                 from, fd2, to, (fd1, from, fd2, to, flags))

extern "C" int renameat2(int fd1, const char* from, int fd2, const char* to, unsigned int flags)
{
    if ((flags & RENAME_EXCHANGE) && settings().noExchange) {
        errno = EINVAL;
        return -1;
    }
    return renameat2_counted(fd1, from, fd2, to, flags);
}
TWO_PATH_CALL(link, (const char* from, const char* to), AT_FDCWD, from, AT_FDCWD, to, (from, to))
TWO_PATH_CALL(linkat, (int fd1, const char* from, int fd2, const char* to, int flags), fd1, from,
              fd2, to, (fd1, from, fd2, to, flags))

void slowStat(int dirfd, const char* path)
{
    const Settings& s = settings();
    if (s.slowStatUs <= 0)
        return;
    const std::string full = resolve(dirfd, path);
    if (under(full, s.root) || under(full, s.realRoot))
        usleep(static_cast<useconds_t>(s.slowStatUs));
}

extern "C" int fstatat(int dirfd, const char* path, struct stat* st, int flags)
{
    using Fn = int (*)(int, const char*, struct stat*, int);
    static Fn fn = real<Fn>("fstatat");
    slowStat(dirfd, path);
    return fn(dirfd, path, st, flags);
}

extern "C" int fstatat64(int dirfd, const char* path, struct stat64* st, int flags)
{
    using Fn = int (*)(int, const char*, struct stat64*, int);
    static Fn fn = real<Fn>("fstatat64");
    slowStat(dirfd, path);
    return fn(dirfd, path, st, flags);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg)
{
    using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static Fn fn = real<Fn>("pthread_create");
    if (g_threadsRefused)
        return EAGAIN;
    return fn(thread, attr, start, arg);
}
