// Which errors of the machine count against the package. Each row is an error that a
// file system or the kernel gives for its own state, whatever the package holds: none of
// them may count an attempt, or a machine fault backs off a good package.
#include "upgrade_fault.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>

namespace {

struct ErrnoRow
{
    int err;
    const char* why;
};

void PrintTo(const ErrnoRow& row, std::ostream* os)
{
    *os << strerror(row.err);
}

class EnvironmentErrno : public ::testing::TestWithParam<ErrnoRow>
{};

TEST_P(EnvironmentErrno, IsNotThePackagesFault)
{
    const ErrnoRow row = GetParam();
    EXPECT_EQ(BlameForErrno(row.err), Blame::Environment)
        << strerror(row.err) << " (" << row.err << "): " << row.why;
}

INSTANTIATE_TEST_SUITE_P(
    Machine, EnvironmentErrno,
    ::testing::Values(
        // Those the launcher already knows: the rows fail only if a later change drops one.
        ErrnoRow{ENOSPC, "full disk"}, ErrnoRow{EDQUOT, "quota"},
        ErrnoRow{EFBIG, "file size limit"}, ErrnoRow{EIO, "device error"},
        // A damaged ext4 or XFS (EFSCORRUPTED) and a bad metadata checksum (EFSBADCRC).
        ErrnoRow{EUCLEAN, "file system corrupted"}, ErrnoRow{EBADMSG, "metadata checksum"},
        // A FUSE or network file system without links, or one that refuses an operation.
        ErrnoRow{ENOSYS, "operation not implemented by the file system"},
        ErrnoRow{EOPNOTSUPP, "operation not supported by the file system"},
        // Network homes.
        ErrnoRow{EREMOTEIO, "remote I/O error"}, ErrnoRow{ENOLINK, "link severed"},
        ErrnoRow{ECONNRESET, "connection reset"}, ErrnoRow{EHOSTDOWN, "host down"},
        // A device that went away (a USB disk, a loop device detached).
        ErrnoRow{ENODEV, "no such device"}, ErrnoRow{ENXIO, "no such device or address"},
        ErrnoRow{EBUSY, "busy"}));

class PackageErrno : public ::testing::TestWithParam<ErrnoRow>
{};

// What an entry of the package causes, whatever the machine: these count an attempt.
TEST_P(PackageErrno, IsThePackagesFault)
{
    const ErrnoRow row = GetParam();
    EXPECT_EQ(BlameForErrno(row.err), Blame::Package)
        << strerror(row.err) << " (" << row.err << "): " << row.why;
}

INSTANTIATE_TEST_SUITE_P(Entries, PackageErrno,
                         ::testing::Values(ErrnoRow{ENAMETOOLONG, "a name too long"},
                                           ErrnoRow{EEXIST, "two entries of one name"},
                                           ErrnoRow{ENOTDIR, "a path through a file"},
                                           ErrnoRow{ENOENT, "a hard link to nothing"},
                                           ErrnoRow{EILSEQ, "libarchive's format error"},
                                           ErrnoRow{-1, "libarchive's error without a number"},
                                           ErrnoRow{0, "no error number at all"}));

} // namespace
