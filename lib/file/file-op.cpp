#include "file/file-op.h"
#include "file/durable.h"
#include "file/unique_dir.h"
#include "file/unique_fd.h"

#include "log/log_macros.h"
#include "tmp_name_gen/tmp_name_gen.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const size_t COPY_BUFFER_SIZE = 33554432;
const uint32_t NFS_MAGIC = 0x6969;
const uint32_t SMB_CIFS_MAGIC = 0xFF534D42;
const uint32_t MSDOS_MAGIC = 0x4D44;

struct FreeDeleter
{
    void operator()(void* p) const { free(p); }
};

int openRetry(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A directory stream whose descriptor does not leak into child processes.
DIR* openDirStream(const char* path)
{
    const int fd = openRetry(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return nullptr;
    DIR* dp = fdopendir(fd);
    if (!dp) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return dp;
}

bool isDiskFull(int err)
{
    return err == ENOSPC || err == EDQUOT;
}

FILE_TYPE typeFromMode(mode_t mode, bool& known)
{
    known = true;
    if (S_ISREG(mode))
        return FT_FILE;
    if (S_ISDIR(mode))
        return FT_DIR;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FT_DEV;
    if (S_ISLNK(mode))
        return FT_SLINK;
    if (S_ISFIFO(mode))
        return FT_FIFO;
    if (S_ISSOCK(mode))
        return FT_SOCK;
    known = false;
    return FT_ERR;
}

FILE_TYPE typeFromDirent(unsigned char d_type)
{
    switch (d_type) {
    case DT_FIFO:
        return FT_FIFO;
    case DT_CHR:
    case DT_BLK:
        return FT_DEV;
    case DT_DIR:
        return FT_DIR;
    case DT_REG:
        return FT_FILE;
    case DT_LNK:
        return FT_SLINK;
    case DT_SOCK:
        return FT_SOCK;
    default:
        return FT_ERR;
    }
}

bool isDotOrDotDot(const char* name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Sets the umask for the life of the object, when asked to.
// Gives `to` the permission bits and times that `st` holds.
int copyModeAndTimes(const char* to, const struct stat& st)
{
    if (chmod(to, st.st_mode & 07777) != 0)
        return -1;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return utimensat(AT_FDCWD, to, times, 0) == 0 ? 0 : -1;
}

// Copies the file, link or tree at `from` to the new name `to`, modes and times kept
// (a folder's after its contents). 0, or -3 with part of the copy left behind.
} // namespace

int FSCopyTree(const ustring& from, const ustring& to)
{
    struct stat st;
    if (lstat(from.c_str(), &st) != 0)
        return -3;
    if (S_ISREG(st.st_mode))
        return FSCopy(from, to, false) == 0 && copyModeAndTimes(to.c_str(), st) == 0 ? 0 : -3;
    if (S_ISLNK(st.st_mode)) {
        ustring text;
        return FSReadSymbolicLink(from, text) == 0 && symlink(text.c_str(), to.c_str()) == 0 ? 0
                                                                                             : -3;
    }
    // A device, FIFO or socket cannot be carried over by copying bytes.
    if (!S_ISDIR(st.st_mode) || mkdir(to.c_str(), 0700) != 0)
        return -3;
    UniqueDir dir(openDirStream(from.c_str()));
    if (!dir)
        return -3;
    for (;;) {
        errno = 0;
        struct dirent* de = readdir(dir.get());
        if (!de)
            break;
        if (isDotOrDotDot(de->d_name))
            continue;
        const ustring name(de->d_name);
        if (FSCopyTree(from + "/" + name, to + "/" + name) != 0)
            return -3;
    }
    if (errno != 0)
        return -3;
    return copyModeAndTimes(to.c_str(), st) == 0 ? 0 : -3;
}

bool operator==(const FILE_INFO& a, const FILE_INFO& b)
{
    return a.isExist == b.isExist && a.size == b.size && a.mtime == b.mtime && a.type == b.type &&
           a.path == b.path && a.name == b.name;
}

bool operator!=(const FILE_INFO& a, const FILE_INFO& b)
{
    return !(a == b);
}

_DIR_HANDLE_tag::~_DIR_HANDLE_tag()
{
    if (dp)
        closedir(dp);
}

_DIR_HANDLE_tag::_DIR_HANDLE_tag(_DIR_HANDLE_tag&& other) noexcept : flag(other.flag), dp(other.dp)
{
    path.swap(other.path);
    other.dp = nullptr;
}

_DIR_HANDLE_tag& _DIR_HANDLE_tag::operator=(_DIR_HANDLE_tag&& other) noexcept
{
    if (this != &other) {
        if (dp)
            closedir(dp);
        path.swap(other.path);
        other.path.clear();
        flag = other.flag;
        dp = other.dp;
        other.dp = nullptr;
    }
    return *this;
}

int GetFileInfo(const ustring& path, FILE_INFO& info)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return -1;
        info.isExist = false;
        info.mtime = 0;
        info.name = FSBaseName(path);
        info.path = path;
        info.size = 0;
        info.type = FT_ERR;
        info.uid = info.gid = info.mode = 0;
        info.dev_id = 0;
        return 0;
    }
    info.isExist = true;
    info.mtime = static_cast<uint32_t>(st.st_mtime);
    info.name = FSBaseName(path);
    info.path = path;
    info.size = static_cast<uint64_t>(st.st_size);
    info.mode = st.st_mode;
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    info.dev_id = st.st_dev;
    bool known = false;
    const FILE_TYPE type = typeFromMode(st.st_mode, known);
    if (!known)
        return -1;
    info.type = type;
    return 0;
}

int FSStat(const ustring& path, FILE_INFO& info, bool /*do_case_check*/)
{
    if (path.empty())
        return -1;
    if (GetFileInfo(path, info) != 0)
        return -2;
    return 0;
}

bool IsFileExist(const ustring& path, bool /*do_case_check*/)
{
    if (path.empty())
        return false;
    FILE_INFO info;
    if (GetFileInfo(path, info) != 0)
        return false;
    return info.isExist;
}

bool IsRegularFile(const ustring& path)
{
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// Opens src for reading and dst for writing, truncated, unless they are one file. false
// (logged) when either cannot be opened.
bool openCopyEnds(const ustring& src, const ustring& dst, UniqueFd& in, UniqueFd& out)
{
    in = UniqueFd(openRetry(src.c_str(), O_RDONLY));
    if (!in.valid()) {
        const int err = errno;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: open(%s): %s (%d)\n", src.c_str(),
                    strerror(err), err);
        return false;
    }
    // Opening dst truncates it; when it is src under another name, the data would be gone.
    struct stat srcSt;
    struct stat dstSt;
    if (fstat(in.get(), &srcSt) == 0 && stat(dst.c_str(), &dstSt) == 0 &&
        srcSt.st_dev == dstSt.st_dev && srcSt.st_ino == dstSt.st_ino) {
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: '%s' and '%s' are the same file\n",
                    src.c_str(), dst.c_str());
        return false;
    }
    out = UniqueFd(openRetry(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!out.valid()) {
        const int err = errno;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: open(%s): %s (%d)\n", dst.c_str(),
                    strerror(err), err);
        return false;
    }
    return true;
}

// Writes size bytes of data to out whole. 0, -1, or -2 when the disk or quota is full.
int writeBlock(int out, const char* data, ssize_t size)
{
    ssize_t done = 0;
    while (done < size) {
        errno = 0;
        const ssize_t put = write(out, data + done, size - done);
        if (put > 0) {
            done += put;
            continue;
        }
        const int err = errno;
        if (put < 0 && err == EINTR)
            continue;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: write: %s (%d)\n", strerror(err),
                    err);
        return isDiskFull(err) ? -2 : -1;
    }
    return 0;
}

// Copies every byte of in to out. 0, -1, or -2 when the disk or quota is full.
int copyBytes(int in, int out)
{
    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(malloc(COPY_BUFFER_SIZE)));
    if (!buffer) {
        const int err = errno;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): FSCopy: malloc(%d): %s (%d)\n",
                    static_cast<int>(COPY_BUFFER_SIZE), strerror(err), err);
        return -1;
    }
    for (;;) {
        const ssize_t got = read(in, buffer.get(), COPY_BUFFER_SIZE);
        if (got < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: read: %s (%d)\n", strerror(err),
                        err);
            return -1;
        }
        if (got == 0)
            return 0;
        if (const int result = writeBlock(out, buffer.get(), got))
            return result;
    }
}

// Flushes and closes the copy at dst, whose copying ended with result; a failure is
// logged only when it is the copy's first. The new result.
int finishCopy(UniqueFd& out, const ustring& dst, int result)
{
    // The copy counts only once it is on storage; otherwise the source must stay.
    if (fsync(out.get()) != 0) {
        const int err = errno;
        // EINVAL: the destination (a pipe or device) cannot be synchronised at all.
        if (err != EINVAL && result == 0) {
            FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: fsync(%s): %s (%d)\n",
                        dst.c_str(), strerror(err), err);
            result = isDiskFull(err) ? -2 : -1;
        }
    }
    if (::close(out.release()) != 0) {
        const int err = errno;
        if (err != EINTR && result == 0) {
            FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: close(%s): %s (%d)\n",
                        dst.c_str(), strerror(err), err);
            result = isDiskFull(err) ? -2 : -1;
        }
    }
    return result;
}

} // namespace

int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin)
{
    UniqueFd in;
    UniqueFd out;
    if (!openCopyEnds(src, dst, in, out))
        return -1;
    int result = copyBytes(in.get(), out.get());
    in.reset();
    result = finishCopy(out, dst, result);
    if (result == 0 && isDelOrigin && remove(src.c_str()) != 0) {
        const int err = errno;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): CopyFile: remove(%s): %s (%d)\n", src.c_str(),
                    strerror(err), err);
        return -1;
    }
    return result;
}

namespace {

// A path component that is there but is no folder. When it is the last one the call
// fails with EEXIST; below, the next component's mkdir fails with ENOTDIR.
int notAFolder(const char* text, bool last)
{
    if (!last) {
        FILE_OP_LOG(L_INFO,
                    "[INFO] file-op.cpp(%d): FSMKDirP: path: %s is symbolic link "
                    "pointed to folder\n",
                    text);
        return 0;
    }
    FILE_OP_LOG(L_INFO,
                "[INFO] file-op.cpp(%d): FSMKDirP: path: %s is existing file or "
                "symbolic link pointed to file\n",
                text);
    errno = EEXIST;
    return -1;
}

// Makes the folder text, one component of FSMKDirP's path, unless it is one already;
// force replaces a non-folder there. 0 or -1 (errno from the failing call).
int makeOneFolder(const char* text, bool last, bool force, mode_t mode, bool exactMode)
{
    struct stat st;
    if (stat(text, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        if (!force)
            return notAFolder(text, last);
        remove(text);
    }
    if (mkdir(text, mode) != 0)
        return -1;
    if (!exactMode)
        return 0;
    // The umask is the whole process's: the exact mode is set on the new folder itself.
    UniqueFd made(openRetry(text, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!made.valid() || fchmod(made.get(), mode) != 0)
        return -1;
    return 0;
}

} // namespace

int FSMKDirP(const ustring& path, const char** endptr, bool blForceCreate, mode_t mode)
{
    if (path.empty())
        return -1;
    std::unique_ptr<char, FreeDeleter> copy(strdup(path.c_str()));
    if (!copy)
        return -1;
    const bool exactMode = mode != static_cast<mode_t>(-1);
    if (!exactMode)
        mode = 0777;

    char* const text = copy.get();
    int result = 0;
    for (char* p = *text == '/' ? text + 1 : text;; ++p) {
        if (*p != '/' && *p != '\0')
            continue;
        const bool last = *p == '\0' || p[1] == '\0';
        const char saved = *p;
        *p = '\0';
        if (endptr)
            *endptr = path.c_str() + (p - text);
        result = makeOneFolder(text, last, blForceCreate, mode, exactMode);
        *p = saved;
        if (result != 0 || last)
            break;
    }
    const int err = errno;
    copy.reset();
    errno = err;
    return result;
}

int FSMKDir(const ustring& path, bool isCreateParent)
{
    if (path.empty())
        return -1;
    FILE_INFO info;
    if (GetFileInfo(path, info) != 0) {
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): FSMKDir: Failed to to file info '%s'\n",
                    path.c_str());
        return -1;
    }
    if (info.isExist) {
        if (info.type == FT_DIR)
            return 0;
        FILE_OP_LOG(
            L_ERR,
            "[ERROR] file-op.cpp(%d): FSMKDir: Create a folder but local file system is not "
            "directory '%s' (%d)\n",
            path.c_str(), static_cast<int>(info.type));
        return -1;
    }
    const int rc = isCreateParent ? FSMKDirP(path, nullptr, false, static_cast<mode_t>(-1))
                                  : mkdir(path.c_str(), 0777);
    if (rc != 0) {
        const int err = errno;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): path = %s errno : %s\n", path.c_str(),
                    strerror(err));
        return -2;
    }
    return 0;
}

int FSRename(const ustring& from, const ustring& to, bool do_case_check)
{
    if (from.empty() || to.empty())
        return -1;
    FILE_INFO info;
    if (FSStat(from, info, do_case_check) != 0 || !info.isExist)
        return -2;
    if (rename(from.c_str(), to.c_str()) == 0)
        return 0;
    const int err = errno;
    if (err == ENAMETOOLONG)
        return -100;
    if (err != EXDEV)
        return -3;

    // Across file systems: a complete copy with its modes and times first, then the source
    // goes. A copy that fails is removed again, so the source stays whole. A folder is not
    // merged into one already there: that is left to the caller (EXDEV).
    struct stat st;
    if (info.type == FT_DIR && lstat(to.c_str(), &st) == 0) {
        errno = EXDEV;
        return -3;
    }
    // The source goes only once the whole copy is on storage.
    if (FSCopyTree(from, to) != 0 || FSSyncTree(to) != 0 || FSSyncFolder(FSParentPath(to)) != 0) {
        const int copyErr = errno;
        if (FSRemove(to) != 0)
            FILE_OP_LOG(L_ERR,
                        "[ERROR] file-op.cpp(%d): FSRename: cannot remove the partial copy '%s'\n",
                        to.c_str());
        errno = copyErr;
        return -3;
    }
    if (FSRemove(from) != 0) {
        FILE_OP_LOG(
            L_ERR,
            "[ERROR] file-op.cpp(%d): FSRename: '%s' is copied to '%s' but cannot be removed\n",
            from.c_str(), to.c_str());
        return -3;
    }
    return 0;
}

int FSCopyTreeDurably(const ustring& from, const ustring& to)
{
    if (FSCopyTree(from, to) == 0 && FSSyncTree(to) == 0 && FSSyncFolder(FSParentPath(to)) == 0)
        return 0;
    FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): FSCopyTreeDurably: cannot copy '%s' to '%s'\n",
                from.c_str(), to.c_str());
    if (FSRemove(to) != 0)
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): cannot remove the partial copy '%s'\n",
                    to.c_str());
    return -1;
}

namespace {

// Logs one entry that FSRemove could not remove; the walk goes on past it.
int removeFailed(const char* call, const ustring& path)
{
    const int err = errno;
    FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): FSRemove: %s(%s): %s (%d)\n", call, path.c_str(),
                strerror(err), err);
    return -3;
}

} // namespace

int FSRemove(const ustring& path, bool /*allowundo*/)
{
    if (path.empty())
        return -1;
    FILE_INFO info;
    if (GetFileInfo(path, info) != 0)
        return -1;
    if (!info.isExist)
        return 0;
    if (info.type != FT_DIR)
        return remove(path.c_str()) == 0 ? 0 : removeFailed("remove", path);

    // A package may ship read-only folders: their entries can only go once the owner
    // may write and search them again.
    if ((info.mode & S_IRWXU) != S_IRWXU && chmod(path.c_str(), (info.mode & 07777) | S_IRWXU) != 0)
        removeFailed("chmod", path);
    UniqueDir dir(openDirStream(path.c_str()));
    // An unreadable directory was not removed; saying 0 would hide that.
    if (!dir)
        return removeFailed("opendir", path);
    int result = 0;
    // Everything that can go goes, so that a retry has the least left to do.
    while (struct dirent* de = readdir(dir.get())) {
        if (isDotOrDotDot(de->d_name))
            continue;
        if (FSRemove(path + "/" + de->d_name, false) != 0)
            result = -3;
    }
    dir.reset();
    if (result == 0 && remove(path.c_str()) != 0)
        result = removeFailed("rmdir", path);
    return result;
}

int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh)
{
    DIR* dp = openDirStream(path.c_str());
    if (!dp) {
        const int err = errno;
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): FSOpenDir: Failed to open directory '%s'. %s\n",
                    path.c_str(), strerror(err));
        return -1;
    }
    if (dh.dp)
        closedir(dh.dp);
    dh.dp = dp;
    dh.path = path;
    dh.flag = flag;
    return 0;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry)
{
    struct dirent* de = nullptr;
    int err = EBADF;
    if (dh.dp) {
        // readdir on a stream of our own is safe; errno tells the end from an error.
        errno = 0;
        de = readdir(dh.dp);
        err = errno;
        if (!de && err == 0)
            return 0;
    }
    if (!de) {
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): FSOpenDir: Failed to read directory '%s'. %s\n",
                    dh.path.c_str(), strerror(err));
        return -1;
    }
    const ustring name(de->d_name);
    if (dh.flag & 1) {
        const ustring full = dh.path + "/" + name;
        FILE_INFO info;
        if (FSStat(full, info, false) != 0) {
            FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): FSOpenDir: Failed to get info for '%s'\n",
                        full.c_str());
            return -1;
        }
        entry.mtime = info.mtime;
        entry.size = info.size;
    } else {
        entry.mtime = 0;
        entry.size = 0;
    }
    entry.name = name;
    entry.type = typeFromDirent(de->d_type);
    return 1;
}

void FSCloseDir(DIR_HANDLE& dh)
{
    if (dh.dp)
        closedir(dh.dp);
    dh.dp = nullptr;
    dh.path.clear();
}

int FSMktemp(const ustring& prefix, ustring& path)
{
    char buf[4096];
    snprintf(buf, sizeof(buf), "%s/XXXXXX", prefix.c_str());
    UniqueFd fd(mkostemp(buf, O_CLOEXEC));
    if (!fd.valid()) {
        const int err = errno;
        FILE_OP_LOG(L_ERR, "[ERROR] file-op.cpp(%d): mkstemp(%s): %s\n", buf, strerror(err));
        return -1;
    }
    fchmod(fd.get(), 0644);
    fd.reset();
    path = buf;
    return 0;
}

int FSUTime(const ustring& path, time_t atime, time_t mtime)
{
    struct timeval times[2];
    times[0].tv_sec = atime;
    times[0].tv_usec = 0;
    times[1].tv_sec = mtime;
    times[1].tv_usec = 0;
    return lutimes(path.c_str(), times) == 0 ? 0 : -1;
}

bool FSTimeEqual(time_t a, time_t b)
{
    return a == b;
}

bool isFileLocked(const ustring& path, int flag)
{
    if (access(path.c_str(), flag) == 0)
        return false;
    return errno == EPERM || errno == EACCES;
}

bool hasFilePermission(const ustring& path, int flag)
{
    return !isFileLocked(path, flag);
}

bool isMountPoint(const ustring& path)
{
    struct statfs st;
    if (statfs(path.c_str(), &st) != 0) {
        const int err = errno;
        FILE_OP_LOG(
            L_ERR,
            "[ERROR] file-op.cpp(%d): isMountPoint: Failed to get file system info '%s'. %s\n",
            path.c_str(), strerror(err));
        return false;
    }
    const uint32_t type = static_cast<uint32_t>(st.f_type);
    return type == NFS_MAGIC || type == SMB_CIFS_MAGIC;
}

bool IsMSDOS(const ustring& path)
{
    struct statfs st;
    if (statfs(path.c_str(), &st) != 0) {
        const int err = errno;
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): IsSupportLargeFile: Failed to get file system info "
                    "'%s'. %s\n",
                    path.c_str(), strerror(err));
        return false;
    }
    if (static_cast<uint32_t>(st.f_type) != MSDOS_MAGIC)
        return false;
    FILE_OP_LOG(L_WARNING, "[WARNING] file-op.cpp(%d): Detect a MSDOS platform for path '%s'.\n",
                path.c_str());
    return true;
}

int FSGetRealPath(ustring& path)
{
    FILE_OP_LOG(L_DEBUG, "[DEBUG] file-op.cpp(%d):  org path [%s]\n", path.c_str());
    char buf[8192];
    if (!realpath(path.c_str(), buf))
        return -1;
    path = buf;
    FILE_OP_LOG(L_DEBUG, "[DEBUG] file-op.cpp(%d):  get full path [%s]\n", path.c_str());
    return 0;
}

int FSMKDirFromRoot(const ustring& path, const ustring& from)
{
    if (path.length() < from.length()) {
        FILE_OP_LOG(
            L_ERR,
            "[ERROR] file-op.cpp(%d): Giving a root '%s' whose length is larger then target's "
            "'%s'.\n",
            from.c_str(), path.c_str());
        return -1;
    }
    if (!FSIsParentFolder(from, path)) {
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): root '%s' is not a parent folder of target '%s'\n",
                    from.c_str(), path.c_str());
        return -1;
    }
    const ustring rel = path.substr(from.length(), ustring::npos);
    ustring created;
    while (created != rel) {
        const size_t slash = rel.find('/', created.length() + 1);
        created = rel.substr(0, slash);
        FILE_OP_LOG(L_DEBUG, "[DEBUG] file-op.cpp(%d): FSMKDirFromRoot: create %s\n",
                    created.c_str());
        if (FSMKDir(from + created, false) < 0)
            return -1;
    }
    return 0;
}

int FSCreateSymbolicLink(const ustring& target_path, const ustring& link_path)
{
    if (symlink(target_path.c_str(), link_path.c_str()) != 0) {
        const int err = errno;
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): FSCreateSymbolicLink: Failed to create symbolic link "
                    "'%s' -> '%s' (code: %d, msg: %s)\n",
                    target_path.c_str(), link_path.c_str(), err, strerror(err));
        return -1;
    }
    return 0;
}

int FSReadSymbolicLink(const ustring& link_path, ustring& target_path)
{
    const size_t size = 4096;
    char buf[size];
    memset(buf, 0, sizeof(buf));
    const ssize_t n = readlink(link_path.c_str(), buf, size);
    if (n < 0) {
        const int err = errno;
        FILE_OP_LOG(
            L_ERR,
            "[ERROR] file-op.cpp(%d): FSReadSymbolicLink: Failed to read symbolic link '%s' "
            "(code: %d, msg: %s)\n",
            link_path.c_str(), err, strerror(err));
        return -1;
    }
    if (static_cast<size_t>(n) >= size) {
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): FSReadSymbolicLink: path of '%s' is more than %d\n",
                    link_path.c_str(), static_cast<int>(size));
        return -1;
    }
    target_path = buf;
    return 0;
}

int FSChown(const ustring& path, uid_t owner, gid_t group)
{
    if (fchownat(AT_FDCWD, path.c_str(), owner, group, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = errno;
        FILE_OP_LOG(L_ERR,
                    "[ERROR] file-op.cpp(%d): FSChown: Failed to chown '%s' (code: %d, msg: %s)\n",
                    path.c_str(), err, strerror(err));
        return -1;
    }
    return 0;
}

int FSCreateTempPath(const ustring& prefix, ustring& path)
{
    path = TmpNameGen::getInstance().getTmpPath(prefix);
    return path.empty() ? -1 : 0;
}

int FSExchange(const ustring& first, const ustring& second)
{
    return ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0
               ? 0
               : -1;
}
