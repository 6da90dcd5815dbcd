#include "linux/home_owner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace HomeOwner {
namespace {

std::string g_moved_to;

std::string describeErrno(int err)
{
    return std::string(std::strerror(err));
}

struct DirCloser
{
    void operator()(DIR* d) const { ::closedir(d); }
};

// True when `folder` or an entry in it (not below) belongs to another uid. `unreadable`
// is set when the folder cannot be listed: then its entries are unknown.
bool holdsForeign(const std::string& folder, uid_t euid, bool* unreadable)
{
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        *unreadable = errno != ENOENT && errno != ENOTDIR;
        return false;
    }
    const int fd = ::dirfd(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        struct stat st;
        if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != euid) {
            return true;
        }
    }
    return false;
}

// The first "<root>.foreign-<n>" that does not exist, renamed to without replacing.
bool moveAside(const std::string& root, std::string* to, int* err)
{
    for (int n = 1; n < 1000; ++n) {
        const std::string candidate = root + ".foreign-" + std::to_string(n);
        struct stat st;
        if (::lstat(candidate.c_str(), &st) == 0) {
            continue;
        }
        if (::renameat2(AT_FDCWD, root.c_str(), AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE) ==
            0) {
            *to = candidate;
            return true;
        }
        if (errno == EEXIST) {
            continue;
        }
        // A file system without RENAME_NOREPLACE: the lstat above found the name free.
        if (errno == EINVAL && ::rename(root.c_str(), candidate.c_str()) == 0) {
            *to = candidate;
            return true;
        }
        *err = errno;
        return false;
    }
    *err = EEXIST;
    return false;
}

} // namespace

std::string UserRoot(const std::string& home)
{
    return home + "/.Brisendale";
}

std::string HomeFromEnvironment()
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) : std::string("/");
}

Outcome Check(const std::string& home, uid_t euid)
{
    Outcome out;
    struct stat st;
    // Followed: a home reached through a link is still the user's when its target is.
    if (::stat(home.c_str(), &st) != 0) {
        const int err = errno;
        out.verdict = Verdict::ForeignHome;
        out.why = "cannot look at the home folder '" + home + "': " + describeErrno(err);
        return out;
    }
    if (st.st_uid != euid) {
        out.verdict = Verdict::ForeignHome;
        out.why = "the home folder '" + home + "' belongs to uid " + std::to_string(st.st_uid) +
                  ", not to this user (uid " + std::to_string(euid) + "); changing nothing";
        return out;
    }
    const std::string root = UserRoot(home);
    struct stat rst;
    if (::stat(root.c_str(), &rst) != 0) {
        // Missing (made later, privately) or a dangling link, which the service replaces.
        return out;
    }
    std::string what;
    bool unreadable = false;
    if (rst.st_uid != euid) {
        what = "'" + root + "' belongs to uid " + std::to_string(rst.st_uid);
    } else if (holdsForeign(root, euid, &unreadable) ||
               holdsForeign(root + "/log", euid, &unreadable) ||
               holdsForeign(root + "/Brisendale.app", euid, &unreadable)) {
        what = "'" + root + "' holds entries of another user";
    } else if (unreadable) {
        what = "'" + root + "' cannot be listed";
    } else {
        return out;
    }
    int err = 0;
    if (!moveAside(root, &out.moved_to, &err)) {
        out.verdict = Verdict::ForeignRoot;
        out.why = what + " and cannot be moved aside: " + describeErrno(err) + "; changing nothing";
        return out;
    }
    out.verdict = Verdict::MovedAside;
    out.why = what + "; moved aside to '" + out.moved_to + "' and installing afresh";
    return out;
}

int MakePrivateUserRoot(const std::string& user_root)
{
    const std::string folders[] = {user_root, user_root + "/log"};
    for (const std::string& folder : folders) {
        if (::mkdir(folder.c_str(), 0700) == 0) {
            // mkdir's mode passes through the umask; a stricter one only removes more.
            if (::chmod(folder.c_str(), 0700) != 0) {
                return -1;
            }
        } else if (errno != EEXIST) {
            return -1;
        }
    }
    return 0;
}

const std::string& MovedAsideTo()
{
    return g_moved_to;
}

void RememberMovedAside(const std::string& to)
{
    g_moved_to = to;
}

} // namespace HomeOwner
