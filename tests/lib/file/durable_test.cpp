// Which flush makes a tree durable, on real file systems, and the flusher's bounds.
#include "file/durable.h"
#include "fs_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <system_error>
#include <thread>

namespace {

struct RuleRow
{
    const char* name;
    unsigned long fsType;
    const char* release;
    FlushRule rule;
};

const RuleRow RULE_ROWS[] = {
    {"ext4_5_8", 0xEF53, "5.8.0", FlushRule::SYNCFS},
    {"ext4_5_7", 0xEF53, "5.7.19-generic", FlushRule::PER_FILE},
    {"ext4_4_19", 0xEF53, "4.19.0", FlushRule::PER_FILE},
    {"ext4_6_1", 0xEF53, "6.1.0-13-amd64", FlushRule::SYNCFS},
    {"xfs_5_10", 0x58465342, "5.10.0", FlushRule::SYNCFS},
    {"btrfs_6_18", 0x9123683E, "6.18.44-fc", FlushRule::SYNCFS},
    {"btrfs_5_4", 0x9123683E, "5.4.0", FlushRule::PER_FILE},
    {"fuse", 0x65735546, "6.8.0", FlushRule::PER_FILE},
    {"nfs", 0x6969, "6.8.0", FlushRule::PER_FILE},
    {"overlayfs", 0x794C7630, "6.8.0", FlushRule::PER_FILE},
    {"tmpfs", 0x01021994, "6.8.0", FlushRule::PER_FILE},
    {"unknown", 0x12345678, "6.8.0", FlushRule::PER_FILE},
    {"release_unreadable", 0xEF53, "linux", FlushRule::PER_FILE},
    {"release_missing", 0xEF53, nullptr, FlushRule::PER_FILE},
};

class FlushRuleTable : public ::testing::TestWithParam<RuleRow>
{};

TEST_P(FlushRuleTable, ChoosesByFileSystemAndKernel)
{
    EXPECT_EQ(FSFlushRuleFor(GetParam().fsType, GetParam().release), GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(Rows, FlushRuleTable, ::testing::ValuesIn(RULE_ROWS),
                         [](const ::testing::TestParamInfo<RuleRow>& info) {
                             return std::string(info.param.name);
                         });

bool kernelAtLeast58()
{
    struct utsname un;
    unsigned major = 0, minor = 0;
    return uname(&un) == 0 && std::sscanf(un.release, "%u.%u", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 8));
}

size_t openDescriptors()
{
    size_t n = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir("/proc/self/fd"), closedir);
    while (d && readdir(d.get()))
        ++n;
    return n;
}

std::atomic<size_t> g_peakFds(0);
std::atomic<size_t> g_hookCalls(0);

void countFds()
{
    ++g_hookCalls;
    const size_t now = openDescriptors();
    size_t peak = g_peakFds.load();
    while (now > peak && !g_peakFds.compare_exchange_weak(peak, now)) {
    }
}

class DurableTest : public FileOpTest
{
protected:
    void TearDown() override
    {
        TreeFlusher::SetFlushHookForTests(nullptr);
        for (const std::string& dir : m_loops)
            EXPECT_EQ(0, std::system(("umount '" + dir + "'").c_str()));
        FileOpTest::TearDown();
    }

    // Makes a file system with mkfs on a sparse image and loop-mounts it at rel.
    bool mountLoop(const std::string& rel, const std::string& mkfs)
    {
        const std::string image = p(rel + ".img");
        QDir().mkpath(QString::fromStdString(p(rel)));
        const std::string cmd = "truncate -s 320M '" + image + "' && " + mkfs + " '" + image +
                                "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" + p(rel) +
                                "' 2>/dev/null";
        if (std::system(cmd.c_str()) != 0)
            return false;
        m_loops.push_back(p(rel));
        return true;
    }

    // Writes files below root after the flusher was made, names them to it and finishes.
    int writeAndFlush(TreeFlusher* flusher, const std::string& root, int files)
    {
        QDir().mkpath(QString::fromStdString(root + "/sub"));
        flusher->AddFolder("sub");
        for (int i = 0; i < files; ++i) {
            const std::string rel = "sub/f" + std::to_string(i);
            testsupport::writeFile(QString::fromStdString(root + "/" + rel), "data");
            flusher->AddFile(rel);
        }
        return flusher->Finish();
    }

private:
    std::vector<std::string> m_loops;
};

struct MountRow
{
    const char* name;
    const char* mkfs; // null: a tmpfs
    FlushRule rule;
};

const MountRow MOUNT_ROWS[] = {
    {"ext4", "mkfs.ext4 -q -F", FlushRule::SYNCFS},
    {"xfs", "mkfs.xfs -q -f", FlushRule::SYNCFS},
    {"btrfs", "mkfs.btrfs -q -f", FlushRule::SYNCFS},
    {"tmpfs", nullptr, FlushRule::PER_FILE},
};

class DurableMountTest : public DurableTest, public ::testing::WithParamInterface<MountRow>
{};

// The path that runs on a real mount: one syncfs, no file fsynced, where the rule allows;
// every file fsynced elsewhere, and always where the writes came before the flusher.
TEST_P(DurableMountTest, RunsTheFileSystemsPath)
{
    const MountRow& row = GetParam();
    if (row.mkfs ? !mountLoop("fs", row.mkfs) : !mountTmpfs("fs", "8m"))
        GTEST_SKIP() << "mounting " << row.name << " was refused";
    struct statfs fs;
    ASSERT_EQ(0, statfs(p("fs").c_str(), &fs));
    const FlushRule expected =
        row.rule == FlushRule::SYNCFS && !kernelAtLeast58() ? FlushRule::PER_FILE : row.rule;
    {
        TreeFlusher flusher(p("fs"), nullptr, nullptr, true);
        EXPECT_EQ(flusher.Rule(), expected);
        ASSERT_EQ(0, writeAndFlush(&flusher, p("fs"), 6));
        EXPECT_EQ(flusher.Synced(), expected == FlushRule::SYNCFS ? 0u : 6u);
    }
    // A tree written before the flusher was made is fsynced file by file.
    TreeFlusher late(p("fs"));
    EXPECT_EQ(late.Rule(), FlushRule::PER_FILE);
    late.AddFile("sub/f0");
    ASSERT_EQ(0, late.Finish());
    EXPECT_EQ(late.Synced(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Mounts, DurableMountTest, ::testing::ValuesIn(MOUNT_ROWS),
                         [](const ::testing::TestParamInfo<MountRow>& info) {
                             return std::string(info.param.name);
                         });

// Under a descriptor limit of 32 the flush still succeeds, on at most two threads, holding
// no more descriptors than its threads need.
TEST_F(DurableTest, FewDescriptorsAndThreadsUnderALowLimit)
{
    EXPECT_GE(TreeFlusher::Threads(), 1u);
    EXPECT_LE(TreeFlusher::Threads(), 4u);
    rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    rlimit low = old;
    low.rlim_cur = 32;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    const size_t threads = TreeFlusher::Threads();
    g_peakFds = 0;
    g_hookCalls = 0;
    TreeFlusher::SetFlushHookForTests(countFds);
    QDir().mkpath(QString::fromStdString(p("tree")));
    const size_t before = openDescriptors();
    int result;
    {
        TreeFlusher flusher(p("tree")); // fsyncs each file: the path that holds descriptors
        result = writeAndFlush(&flusher, p("tree"), 150);
    }
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
    EXPECT_EQ(0, result) << log().toStdString();
    EXPECT_LE(threads, 2u);
    EXPECT_GE(g_hookCalls.load(), 150u);
    // The root, the flusher's write-back start and one per fsyncing thread, and the
    // listing's own descriptor.
    EXPECT_LE(g_peakFds.load(), before + threads + 3);
}

// No helper thread can start (the user's process limit is reached): the calling thread
// does all of the work, on both paths, and the tree is still flushed.
TEST_F(DurableTest, NoThreadCanStartAndTheCallerFlushesAlone)
{
    QDir().mkpath(QString::fromStdString(p("tree")));
    ASSERT_EQ(0, chmod(pathStd().c_str(), 0755)); // nobody passes through the scratch folder
    ASSERT_EQ(0, chmod(p("tree").c_str(), 0777));
    const std::string root = p("tree");
    const int result = runAsNobody([&] {
        const rlimit one = {1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0)
            return 1;
        // The limit holds: no thread can start.
        try {
            std::thread probe([] {});
            probe.join();
            return 2;
        } catch (const std::system_error&) {
        }
        for (const bool before : {false, true}) {
            const std::string sub = root + (before ? "/syncfs" : "/fsync");
            if (mkdir(sub.c_str(), 0755) != 0)
                return 3;
            TreeFlusher flusher(sub, nullptr, nullptr, before);
            for (int i = 0; i < 20; ++i) {
                const std::string rel = "f" + std::to_string(i);
                testsupport::writeFile(QString::fromStdString(sub + "/" + rel), "x");
                flusher.AddFile(rel);
            }
            if (flusher.Finish() != 0)
                return 5;
            const size_t expected = flusher.Rule() == FlushRule::SYNCFS ? 0 : 20;
            if (flusher.Synced() != expected)
                return 6;
        }
        return 0;
    });
    if (result == 1000)
        GTEST_SKIP() << "cannot run a step as an unprivileged user";
    EXPECT_EQ(0, result) << log().toStdString();
}

} // namespace
