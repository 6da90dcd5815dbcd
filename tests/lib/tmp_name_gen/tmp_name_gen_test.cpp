#include "tmp_name_gen/tmp_name_gen.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string ALPHABET = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool wellFormed(const std::string& name)
{
    return name.size() == 8 && name.find_first_not_of(ALPHABET) == std::string::npos;
}

// Runs the name printer, optionally with /dev/urandom replaced by an empty file in a
// private mount namespace. Returns its lines; an empty list when it could not run.
std::vector<std::string> namesFromChild(const std::string& emptyDevice)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        if (!emptyDevice.empty()) {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(emptyDevice.c_str(), "/dev/urandom", nullptr, MS_BIND, nullptr) != 0)
                _exit(3);
        }
        execl(NAME_PRINTER, NAME_PRINTER, static_cast<char*>(nullptr));
        _exit(4);
    }
    close(pipeFds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof(buf))) > 0)
        out.append(buf, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start));
    return lines;
}

TEST(TmpNameGenTest, NamesAreWellFormedDistinctAndUseTheWholeAlphabetEverywhere)
{
    std::set<std::string> names;
    std::vector<std::set<char>> perPosition(8);
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        const std::string name = TmpNameGen::getInstance().getTmpName().c_str();
        ASSERT_TRUE(wellFormed(name)) << name;
        names.insert(name);
        for (int k = 0; k < 8; ++k)
            perPosition[k].insert(name[k]);
    }
    EXPECT_EQ(static_cast<size_t>(count), names.size());
    // Every 6-bit slot must draw from all 64 characters, else bits are lost in the encoding.
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(64u, perPosition[k].size()) << "position " << k;
}

TEST(TmpNameGenTest, PathJoinsThePrefixUnchanged)
{
    TmpNameGen& gen = TmpNameGen::getInstance();
    const std::string tmp = gen.getTmpPath("/tmp").c_str();
    ASSERT_EQ(13u, tmp.size());
    EXPECT_EQ("/tmp/", tmp.substr(0, 5));
    EXPECT_TRUE(wellFormed(tmp.substr(5)));

    const std::string bare = gen.getTmpPath(ustring()).c_str();
    EXPECT_EQ('/', bare[0]);
    EXPECT_TRUE(wellFormed(bare.substr(1)));

    const std::string doubled = gen.getTmpPath("/tmp/").c_str();
    EXPECT_EQ("/tmp//", doubled.substr(0, 6));
}

TEST(TmpNameGenTest, ThreadsDrawWellFormedDistinctNames)
{
    const int threads = 8;
    const int each = 5000;
    std::mutex m;
    std::set<std::string> all;
    int bad = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&]() {
            std::vector<std::string> mine;
            for (int i = 0; i < each; ++i)
                mine.push_back(TmpNameGen::getInstance().getTmpName().c_str());
            std::lock_guard<std::mutex> g(m);
            for (const std::string& n : mine) {
                bad += wellFormed(n) ? 0 : 1;
                all.insert(n);
            }
        });
    }
    for (std::thread& th : pool)
        th.join();
    EXPECT_EQ(0, bad);
    EXPECT_EQ(static_cast<size_t>(threads * each), all.size());
}

TEST(TmpNameGenTest, ProcessesDrawDifferentNames)
{
    const std::vector<std::string> a = namesFromChild(std::string());
    const std::vector<std::string> b = namesFromChild(std::string());
    ASSERT_EQ(4u, a.size());
    ASSERT_EQ(4u, b.size());
    EXPECT_NE(a, b);
    for (const std::string& n : a)
        EXPECT_TRUE(wellFormed(n)) << n;
}

class TmpNameGenFallbackTest : public testsupport::ScratchTest
{};

TEST_F(TmpNameGenFallbackTest, UnreadableRandomDeviceFallsBackToTheClock)
{
    const std::string empty = pathStd() + "/empty";
    testsupport::writeFile(QString::fromStdString(empty), QByteArray());
    const std::vector<std::string> a = namesFromChild(empty);
    if (a.empty())
        GTEST_SKIP() << "cannot bind-mount over /dev/urandom in a private mount namespace";
    usleep(2000);
    const std::vector<std::string> b = namesFromChild(empty);
    ASSERT_EQ(4u, a.size());
    ASSERT_EQ(4u, b.size());
    EXPECT_EQ(4u, std::set<std::string>(a.begin(), a.end()).size());
    for (const std::string& n : a)
        EXPECT_TRUE(wellFormed(n)) << n;
    // The clock key differs between the two starts.
    EXPECT_NE(a, b);
}

} // namespace
