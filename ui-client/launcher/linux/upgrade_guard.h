#pragma once

#include "upgrade_fault.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The checks that keep an upgrade from starting when it cannot succeed: a package
// that already failed too often, and a file system without room for it. Both run
// before the client is stopped.
class UpgradeGuard
{
public:
    // Failed or interrupted attempts after which a package is tried again only after a
    // back-off: FIRST_RETRY_DELAY after the last attempt, doubling with every further
    // failure up to MAX_RETRY_DELAY.
    static constexpr int MAX_ATTEMPTS = 3;
    static constexpr int64_t FIRST_RETRY_DELAY = 24 * 60 * 60;
    static constexpr int64_t MAX_RETRY_DELAY = 7 * 24 * 60 * 60;

    // `package` is the shipped archive, `info` the version file beside it, which names
    // `build`, and `app_dir` A. The record is keyed to the package's whole identity: the
    // version file's content and the package file's inode, size, mtime and ctime, so that
    // any change by the vendor or an administrator starts the count afresh.
    UpgradeGuard(const ustring& package, const ustring& info, const std::string& build,
                 const ustring& app_dir);

    // How often this very package was attempted; 0 when the state file is missing,
    // unreadable, garbage or about another package.
    int Attempts() const;
    // When this package may be tried again, in seconds since the epoch: 0 while it has
    // failed fewer than MAX_ATTEMPTS times.
    int64_t RetryAt() const;
    // Records one more attempt, made now; a failure is logged and ignored. Counted before
    // the package is read, so that a package that crashes its reader counts too.
    void CountAttempt();
    // Puts back the record as it was before CountAttempt: a failure that is not the
    // package's own (room, limits, a signal) counts nothing.
    void UndoAttempt();
    // Drops the record, once the package is installed.
    void Forget();
    // A name for the package in log lines.
    std::string Describe() const;
    // The package's whole identity in one line, as the record keys on it.
    std::string Identity() const;

    // Entries kept free beside the package's own, where the file system counts them.
    static constexpr uint64_t ENTRY_RESERVE = 1000;

    struct Room
    {
        uint64_t package = 0; // bytes the unpacked package needs
        uint64_t reserve = 0; // kept free for the user's other programs
        uint64_t free = 0;
        bool known = false;   // false when the file system could not be asked
        uint64_t entries = 0; // files and folders the package holds, 0 when unknown
        uint64_t free_entries = 0;
        bool entries_known = false; // false without the count or on btrfs, which has no limit
        // Sums saturate: a size that cannot be represented never fits.
        uint64_t needed() const
        {
            return package + reserve < package ? UINT64_MAX : package + reserve;
        }
        uint64_t needed_entries() const
        {
            return entries + ENTRY_RESERVE < entries ? UINT64_MAX : entries + ENTRY_RESERVE;
        }
        bool enough_bytes() const { return !known || free >= needed(); }
        bool enough_entries() const { return !entries_known || free_entries >= needed_entries(); }
        bool enough() const { return enough_bytes() && enough_entries(); }
    };
    // Room on the file system that holds `folder` (or its nearest existing parent).
    // `installed_size` is the unpacked size from the version file, 0 when unknown:
    // the archive's own size is then the lower bound. `installed_entries` is the
    // number of entries from the version file, 0 when unknown.
    Room CheckRoom(const ustring& folder, uint64_t installed_size,
                   uint64_t installed_entries) const;

    ustring StatePath() const { return m_app_dir + ".attempts"; }

private:
    // The record's key, as written: one value per field of the identity.
    std::vector<std::pair<std::string, std::string>> Key() const;

    ustring m_package;
    std::string m_build;
    std::string m_info_digest; // SHA-256 of the version file, "" when it cannot be read
    ustring m_app_dir;
    PackageIdentity m_identity;
    bool m_stat_ok = false;
    // The record's attempts and time of the last one before CountAttempt.
    int m_prev_attempts = 0;
    int64_t m_prev_last = 0;

    // Reads the record of this package; false when there is none. A time in the future
    // (a clock that was ahead) is read as now and written back as such.
    bool Read(int* attempts, int64_t* last) const;
    void Write(int attempts, int64_t last) const;
};
