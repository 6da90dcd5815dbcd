// FSCopy against a storage flush that fails. The test binary defines fsync itself,
// so the library's call lands here instead of in the C library.
#include "fs_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

int g_fsyncErrno = 0; // 0: pass through
int g_fsyncCalls = 0;
bool g_fsyncSawCloexec = false;
// The source must still be there when the destination is flushed.
std::string g_mustExistAtFsync;
bool g_sourcePresentAtFsync = false;

} // namespace

extern "C" int fsync(int fd)
{
    ++g_fsyncCalls;
    g_fsyncSawCloexec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    if (!g_mustExistAtFsync.empty())
        g_sourcePresentAtFsync = access(g_mustExistAtFsync.c_str(), F_OK) == 0;
    if (g_fsyncErrno != 0) {
        errno = g_fsyncErrno;
        return -1;
    }
    typedef int (*FsyncFn)(int);
    static FsyncFn real = reinterpret_cast<FsyncFn>(dlsym(RTLD_NEXT, "fsync"));
    return real ? real(fd) : 0;
}

namespace {

class CopyFlushTest : public FileOpTest
{
protected:
    void SetUp() override
    {
        FileOpTest::SetUp();
        g_fsyncErrno = 0;
        g_fsyncCalls = 0;
        g_fsyncSawCloexec = false;
        g_mustExistAtFsync.clear();
        g_sourcePresentAtFsync = false;
    }
};

TEST_F(CopyFlushTest, SourceIsRemovedOnlyAfterTheDestinationIsFlushed)
{
    write("src", "payload");
    g_mustExistAtFsync = p("src");
    EXPECT_EQ(0, FSCopy(u("src"), u("dst"), true));
    EXPECT_EQ(1, g_fsyncCalls);
    EXPECT_TRUE(g_sourcePresentAtFsync);
    EXPECT_TRUE(g_fsyncSawCloexec);
    EXPECT_FALSE(exists("src"));
    EXPECT_EQ("payload", read("dst"));
}

struct FlushRow
{
    const char* name;
    int err;
    int expected;
};

void PrintTo(const FlushRow& row, std::ostream* os)
{
    *os << row.name;
}

class CopyFlushFailureTest : public CopyFlushTest, public ::testing::WithParamInterface<FlushRow>
{};

TEST_P(CopyFlushFailureTest, FailedFlushIsAFailureAndKeepsTheSource)
{
    write("src", "payload");
    g_fsyncErrno = GetParam().err;
    EXPECT_EQ(GetParam().expected, FSCopy(u("src"), u("dst"), true));
    EXPECT_EQ("payload", read("src"));
    EXPECT_TRUE(
        log().contains(("CopyFile: fsync(" + p("dst") + "): " + strerror(GetParam().err)).c_str()))
        << log().constData();
}

INSTANTIATE_TEST_SUITE_P(Rows, CopyFlushFailureTest,
                         ::testing::Values(FlushRow{"io_error", EIO, -1},
                                           FlushRow{"disk_full", ENOSPC, -2},
                                           FlushRow{"quota_full", EDQUOT, -2}),
                         [](const ::testing::TestParamInfo<FlushRow>& i) { return i.param.name; });

// A destination that cannot be synchronised at all (a device) is not a failure.
TEST_F(CopyFlushTest, UnsyncableDestinationIsNotAFailure)
{
    write("src", "payload");
    g_fsyncErrno = EINVAL;
    EXPECT_EQ(0, FSCopy(u("src"), ustring("/dev/null"), false));
}

} // namespace
