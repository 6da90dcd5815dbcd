#include "linux/upgrade_guard.h"

#include "file/file-op.h"
#include "file/unique_fd.h"
#include "linux/package_info.h"
#include "log/log_macros.h"
#include "package_digest.h"
#include "state_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Kept free: 1 % of the file system, at least 64 MiB and at most 1 GiB, so that a
// small disk keeps room to work and a large one is not held back by its size alone.
const uint64_t kMinReserve = 64ull * 1024 * 1024;
const uint64_t kMaxReserve = 1024ull * 1024 * 1024;
const uint64_t kReservePercent = 1;

uint64_t saturatingProduct(uint64_t a, uint64_t b)
{
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// More attempts than anyone counts; keeps the back-off arithmetic far from overflow.
const int kMaxCount = 1000;

// A decimal number of digits alone, or -1.
long long parseCount(const std::string& text)
{
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoll(text);
}

// The SHA-256 of a small file's content; "" when it cannot be read. A version file is
// a few hundred bytes: more than 1 MiB is read as unreadable.
std::string digestOfFile(const ustring& path)
{
    UniqueFd fd(::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > (1 << 20)) {
        return std::string();
    }
    PackageDigest digest;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::string();
        }
        if (n == 0) {
            return digest.finish();
        }
        digest.update(buffer, static_cast<size_t>(n));
    }
}

std::string timeText(long long s, long long ns)
{
    return std::to_string(s) + "." + std::to_string(ns);
}

} // namespace

UpgradeGuard::UpgradeGuard(const ustring& package, const ustring& info, const std::string& build,
                           const ustring& app_dir)
    : m_package(package), m_build(build), m_info_digest(digestOfFile(info)), m_app_dir(app_dir)
{
    // stat alone: a package that cannot be read still has an identity to key on.
    struct stat st;
    if (::stat(package.c_str_utf8(), &st) == 0 && S_ISREG(st.st_mode)) {
        m_identity = IdentityOf(st);
        m_stat_ok = true;
    }
}

std::string UpgradeGuard::Describe() const
{
    return std::string("'") + m_package.c_str_utf8() + "' (build " + m_build + ", " +
           std::to_string(m_identity.size) + " bytes, modified " +
           std::to_string(m_identity.mtime_s) + ")";
}

std::string UpgradeGuard::Identity() const
{
    std::string line;
    for (const auto& field : Key()) {
        line += (line.empty() ? "" : " ") + field.first + "=" + field.second;
    }
    return line;
}

std::vector<std::pair<std::string, std::string>> UpgradeGuard::Key() const
{
    return {{"build", m_build},
            {"info", m_info_digest},
            {"ino", std::to_string(m_identity.ino)},
            {"size", std::to_string(m_identity.size)},
            {"mtime", timeText(m_identity.mtime_s, m_identity.mtime_ns)},
            {"ctime", timeText(m_identity.ctime_s, m_identity.ctime_ns)}};
}

bool UpgradeGuard::Read(int* attempts, int64_t* last) const
{
    *attempts = 0;
    *last = 0;
    StateValues values;
    if (!m_stat_ok || ReadStateFile(StatePath(), values) != StateRead::Ok) {
        return false;
    }
    for (const auto& field : Key()) {
        if (values[field.first] != field.second) {
            return false;
        }
    }
    const long long count = parseCount(values["attempts"]);
    if (count <= 0) {
        return false;
    }
    *attempts = static_cast<int>(std::min<long long>(count, kMaxCount));
    // A record without the time (an older launcher's) is due at once.
    *last = std::max<long long>(parseCount(values["last"]), 0);
    // Written under a clock that was ahead: taken as now, so that the retry waits the
    // normal back-off at most, not until the clock's time comes round.
    const int64_t now = static_cast<int64_t>(::time(nullptr));
    if (*last > now) {
        *last = now;
        Write(*attempts, now);
    }
    return true;
}

void UpgradeGuard::Write(int attempts, int64_t last) const
{
    auto values = Key();
    values.emplace_back("attempts", std::to_string(attempts));
    values.emplace_back("last", std::to_string(last));
    if (WriteStateFile(StatePath(), values) != 0) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] linux/upgrade_guard.cpp(%d): failed to record attempt %d of %s\n",
                    attempts, Describe().c_str());
    }
}

int UpgradeGuard::Attempts() const
{
    int attempts;
    int64_t last;
    Read(&attempts, &last);
    return attempts;
}

int64_t UpgradeGuard::RetryAt() const
{
    int attempts;
    int64_t last;
    if (!Read(&attempts, &last) || attempts < MAX_ATTEMPTS) {
        return 0;
    }
    int64_t delay = FIRST_RETRY_DELAY;
    for (int i = MAX_ATTEMPTS; i < attempts && delay < MAX_RETRY_DELAY; ++i) {
        delay *= 2;
    }
    return last + std::min(delay, MAX_RETRY_DELAY);
}

void UpgradeGuard::CountAttempt()
{
    if (!m_stat_ok) {
        return;
    }
    Read(&m_prev_attempts, &m_prev_last);
    Write(m_prev_attempts + 1, static_cast<int64_t>(::time(nullptr)));
}

void UpgradeGuard::UndoAttempt()
{
    if (!m_stat_ok) {
        return;
    }
    if (m_prev_attempts == 0) {
        Forget();
        return;
    }
    Write(m_prev_attempts, m_prev_last);
}

void UpgradeGuard::Forget()
{
    // Ignored: a record that stays only counts one attempt too many for this package.
    if (::unlink(StatePath().c_str_utf8()) != 0 && errno != ENOENT) {
        int err = errno;
        SERVICE_LOG(L_ERR, "[ERROR] linux/upgrade_guard.cpp(%d): failed to remove '%s': %s (%d)\n",
                    StatePath().c_str_utf8(), strerror(err), err);
    }
}

UpgradeGuard::Room UpgradeGuard::CheckRoom(const ustring& folder, uint64_t installed_size,
                                           uint64_t installed_entries) const
{
    Room room;
    room.package = installed_size > 0 ? installed_size : m_identity.size;
    room.entries = installed_entries;
    // U need not exist yet: ask the file system of the folder that will hold it.
    ustring probe = folder;
    struct statvfs vfs;
    while (::statvfs(probe.c_str_utf8(), &vfs) != 0) {
        if (errno != ENOENT || probe == ustring("/")) {
            int err = errno;
            SERVICE_LOG(L_WARNING,
                        "[WARNING] linux/upgrade_guard.cpp(%d): cannot tell the free space of "
                        "'%s': %s (%d)\n",
                        folder.c_str_utf8(), strerror(err), err);
            return room;
        }
        probe = FSParentPath(probe);
    }
    // No blocks at all means the size is unknown (df shows "-"), as on many FUSE file
    // systems: free space read from it would be a zero that refuses every install.
    if (vfs.f_blocks == 0) {
        SERVICE_LOG(L_INFO,
                    "[INFO] linux/upgrade_guard.cpp(%d): '%s' reports no size, not checking "
                    "its free space\n",
                    folder.c_str_utf8());
    } else {
        const uint64_t size = saturatingProduct(vfs.f_blocks, vfs.f_frsize);
        room.free = saturatingProduct(vfs.f_bavail, vfs.f_frsize);
        room.reserve = std::min(std::max(kMinReserve, size / 100 * kReservePercent), kMaxReserve);
        room.known = true;
    }
    // btrfs and many FUSE file systems report no inode count: they make them as needed.
    if (installed_entries > 0 && vfs.f_files == 0) {
        SERVICE_LOG(L_INFO,
                    "[INFO] linux/upgrade_guard.cpp(%d): '%s' reports no inode count, not "
                    "checking its free inodes\n",
                    folder.c_str_utf8());
    } else if (installed_entries > 0) {
        room.free_entries = vfs.f_favail;
        room.entries_known = true;
    }
    return room;
}
