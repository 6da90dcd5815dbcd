// Preloaded into the probe to see the order of the calls that make an upgrade durable:
// every syncfs, fsync and remove is appended to $FS_SHIM_LOG as "syncfs <path>",
// "fsync <path>" or "remove <path>". With FS_SHIM_FAIL_FSYNC set, the first fsync of a
// file inside the new copy's staging folder, or syncfs through that folder itself (where
// one syncfs makes the tree durable), fails with EIO;
// with FS_SHIM_NO_PIDFD set, pidfd_open fails with ENOSYS, as on kernels before 5.3; with
// FS_SHIM_STATFS_ZERO set, statvfs answers all zeros, as FUSE file systems that know no
// size do.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void record(const std::string& line)
{
    const char* log = getenv("FS_SHIM_LOG");
    if (!log) {
        return;
    }
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string text = line + "\n";
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

std::string pathOf(int fd)
{
    char buf[4096];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("?");
}

} // namespace

namespace {
bool g_flushFailed = false;
} // namespace

extern "C" int syncfs(int fd)
{
    int saved = errno;
    const std::string path = pathOf(fd);
    record("syncfs " + path);
    errno = saved;
    const std::string app = "/Brisendale.app.staging";
    if (getenv("FS_SHIM_FAIL_FSYNC") && !g_flushFailed && path.size() > app.size() &&
        path.compare(path.size() - app.size(), app.size(), app) == 0) {
        g_flushFailed = true;
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "syncfs"));
    return real(fd);
}

extern "C" int fsync(int fd)
{
    int saved = errno;
    const std::string path = pathOf(fd);
    record("fsync " + path);
    errno = saved;
    if (getenv("FS_SHIM_FAIL_FSYNC") && !g_flushFailed &&
        path.find("/Brisendale.app.staging/") != std::string::npos) {
        g_flushFailed = true;
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

extern "C" int statvfs(const char* path, struct statvfs* buf)
{
    using Fn = int (*)(const char*, struct statvfs*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "statvfs"));
    const int r = real(path, buf);
    if (r == 0 && getenv("FS_SHIM_STATFS_ZERO")) {
        std::memset(buf, 0, sizeof(*buf));
    }
    return r;
}

extern "C" int remove(const char* path)
{
    int saved = errno;
    record(std::string("remove ") + path);
    errno = saved;
    using Fn = int (*)(const char*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "remove"));
    return real(path);
}

extern "C" long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& v : a) {
        v = va_arg(ap, long);
    }
    va_end(ap);
#ifdef SYS_pidfd_open
    if (number == SYS_pidfd_open && getenv("FS_SHIM_NO_PIDFD")) {
        errno = ENOSYS;
        return -1;
    }
#endif
    using Fn = long (*)(long, ...);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
