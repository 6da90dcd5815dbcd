#pragma once

#include "ustring/ustring.h"

#include <atomic>
#include <string>
#include <sys/stat.h>

// Who a failed upgrade is to be blamed on. Only the package's own faults count an attempt
// against it: a full disk, a limit, a signal or a package that changed under the reader
// say nothing about the package.
enum class Blame
{
    None,        // nothing failed
    Package,     // a digest or entry-count mismatch, a damaged or unsafe archive, an entry
                 // that cannot be made
    Environment, // room, limits, I/O, a thread, a missing or changing package, a signal
};

const char* DescribeBlame(Blame blame);

// How one upgrade ended, for the caller that acts on it.
struct UpgradeOutcome
{
    enum class State
    {
        Done,       // the new copy is A, on storage
        Kept,       // it failed, and A is a whole copy
        Unfinished, // it failed, and A may be partial: the whole old copy waits under a
                    // backup name for the next run, and no client may start from A
    };
    State state = State::Kept;
    Blame blame = Blame::None;
    int err = 0; // the error number where it failed, 0 when none is known
    // The client was stopped for the switch: whatever the end, it is to be started again.
    bool client_stopped = false;
    // The session ended during it (SIGTERM, SIGINT, SIGHUP): the run is to end by this
    // signal, without starting the client. 0 when it did not.
    int session_signal = 0;

    bool Done() const { return state == State::Done; }
};

// Package for the errors that an entry of the package can cause (a bad name, a path
// through a file, a format error), Environment for any other: room, quota, limits, memory,
// I/O, a damaged or remote file system.
Blame BlameForErrno(int err);

// The first fault noted during one extraction; written by its two threads.
class FaultNote
{
public:
    // Keeps the first blame noted: later failures are mostly its consequences.
    void Note(Blame blame)
    {
        Blame none = Blame::None;
        m_blame.compare_exchange_strong(none, blame);
    }
    void NoteErrno(int err)
    {
        int none = 0;
        m_err.compare_exchange_strong(none, err);
        Note(BlameForErrno(err));
    }
    Blame Get() const { return m_blame.load(); }
    // The first error number noted, 0 when none was.
    int Errno() const { return m_err.load(); }

private:
    std::atomic<Blame> m_blame{Blame::None};
    std::atomic<int> m_err{0};
};

// What tells one package file from another: a file changed in place changes its size,
// mtime or ctime, one replaced changes its inode.
struct PackageIdentity
{
    unsigned long long dev = 0, ino = 0, size = 0;
    long long mtime_s = 0, mtime_ns = 0, ctime_s = 0, ctime_ns = 0;

    bool operator==(const PackageIdentity& o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtime_s == o.mtime_s &&
               mtime_ns == o.mtime_ns && ctime_s == o.ctime_s && ctime_ns == o.ctime_ns;
    }
    bool operator!=(const PackageIdentity& o) const { return !(*this == o); }
};

// The identity of the file that `st` describes.
PackageIdentity IdentityOf(const struct stat& st);

// Why a package cannot be installed before a byte of it is read.
enum class PackageState
{
    Usable,
    Missing,    // no file at its path
    NotAFile,   // a folder, a FIFO, a device
    Unreadable, // cannot be opened for reading
};

// Looks at the package without reading it: exists, is a regular file, can be opened for
// reading. Fills `identity` when it is usable; `err` gets the errno of the failure.
[[nodiscard]] PackageState InspectPackage(const ustring& path, PackageIdentity& identity, int& err);
const char* DescribePackageState(PackageState state);
