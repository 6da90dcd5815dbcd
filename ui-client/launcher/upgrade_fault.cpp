#include "upgrade_fault.h"

#include "file/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* DescribeBlame(Blame blame)
{
    switch (blame) {
    case Blame::None:
        return "no fault";
    case Blame::Package:
        return "a fault of the package";
    case Blame::Environment:
        return "not the package's fault";
    }
    return "?";
}

Blame BlameForErrno(int err)
{
    switch (err) {
    // What an entry of the package can cause: a name too long or not valid, a path through
    // a file, a link that cannot be made, a format libarchive cannot read (its own codes are
    // -1, EILSEQ and EINVAL), or no error number at all.
    case 0:
    case -1:
    case EEXIST:
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
    case ENOTDIR:
    case EISDIR:
    case ELOOP:
    case EMLINK:
    case ENOENT:
    case ENOTEMPTY:
    case ERANGE:
    case EOVERFLOW:
        return Blame::Package;
    // Everything else is the place or the machine: room, quota, limits, memory, I/O, a
    // damaged, remote or vanished file system, an operation it does not support.
    default:
        return Blame::Environment;
    }
}

PackageIdentity IdentityOf(const struct stat& st)
{
    PackageIdentity identity;
    identity.dev = static_cast<unsigned long long>(st.st_dev);
    identity.ino = static_cast<unsigned long long>(st.st_ino);
    identity.size = static_cast<unsigned long long>(st.st_size);
    identity.mtime_s = st.st_mtim.tv_sec;
    identity.mtime_ns = st.st_mtim.tv_nsec;
    identity.ctime_s = st.st_ctim.tv_sec;
    identity.ctime_ns = st.st_ctim.tv_nsec;
    return identity;
}

PackageState InspectPackage(const ustring& path, PackageIdentity& identity, int& err)
{
    err = 0;
    // O_NONBLOCK: a FIFO in its place must not hold the run.
    UniqueFd fd(::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.valid()) {
        err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            return PackageState::Missing;
        }
        if (::stat(path.c_str_utf8(), &st) == 0 && !S_ISREG(st.st_mode)) {
            return PackageState::NotAFile;
        }
        return PackageState::Unreadable;
    }
    if (::fstat(fd.get(), &st) != 0) {
        err = errno;
        return PackageState::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return PackageState::NotAFile;
    }
    identity = IdentityOf(st);
    return PackageState::Usable;
}

const char* DescribePackageState(PackageState state)
{
    switch (state) {
    case PackageState::Usable:
        return "usable";
    case PackageState::Missing:
        return "missing";
    case PackageState::NotAFile:
        return "not a regular file";
    case PackageState::Unreadable:
        return "not readable";
    }
    return "?";
}
