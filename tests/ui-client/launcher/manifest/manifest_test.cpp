// The manifest of an installed tree: written, then checked against the tree by metadata alone.

#include "manifest.h"
#include "testsupport.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char kLink[] = "libx.so.1";

void put(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(close(fd), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

int run(const std::string& command)
{
    return system(command.c_str());
}

class ManifestTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        m_user = pathStd() + "/u";
        m_app = m_user + "/Brisendale.app";
        ASSERT_EQ(mkdir(m_user.c_str(), 0755), 0);
        makeTree(m_app);
    }

    void TearDown() override
    {
        // The scratch folder's own removal cannot decode every name written here.
        if (!HasFailure()) {
            EXPECT_EQ(run("rm -rf '" + m_user + "'"), 0);
        }
        ScratchTest::TearDown();
    }

    // A small tree with every kind of entry and names that a line-based format must survive.
    void makeTree(const std::string& a)
    {
        for (const char* dir : {"", "/bin", "/lib", "/odd", "/empty"}) {
            ASSERT_EQ(mkdir((a + dir).c_str(), 0755), 0) << a + dir;
        }
        put(a + "/INFO", "[Version]\nbuild_version=125\n");
        put(a + "/bin/client", "#!/bin/sh\n", 0755);
        put(a + "/lib/libx.so.1", "library");
        ASSERT_EQ(symlink(kLink, (a + "/lib/libx.so").c_str()), 0);
        put(a + "/zero", "");
        for (const char* odd : {"new\nline", "back\\slash", "\x01\x7f\xff", "3:x 2:yy", "end 9",
                                " lead", "\xc3\xa9t\xc3\xa9"}) {
            put(a + "/odd/" + odd, odd);
        }
        ASSERT_EQ(symlink("new\nline", (a + "/odd/l\nnk").c_str()), 0);
    }

    ustring user() const { return ustring(m_user.c_str()); }
    ustring app() const { return ustring(m_app.c_str()); }
    std::string next() const { return NextTreeManifestPath(user(), app()).c_str_utf8(); }
    std::string current() const { return TreeManifestPath(user(), app()).c_str_utf8(); }

    TreeCheck check(size_t max = 10) const { return CheckInstalledTree(user(), app(), max); }

    void install()
    {
        ASSERT_EQ(WriteNextTreeManifest(user(), app(), app()), 0);
        ASSERT_EQ(PromoteTreeManifest(user(), app()), 0);
    }

    std::string m_user;
    std::string m_app;
};

std::string joined(const TreeCheck& c)
{
    std::string text;
    for (const auto& d : c.differences) {
        text += d + "\n";
    }
    return text;
}

#define EXPECT_STATE(check, expected)                                                              \
    EXPECT_EQ(static_cast<int>((check).state), static_cast<int>(expected)) << joined(check)

TEST_F(ManifestTest, RoundTripThroughTheNextManifestAndItsPromotion)
{
    ASSERT_EQ(WriteNextTreeManifest(user(), app(), app()), 0);
    EXPECT_STATE(check(), TreeState::Intact);
    ASSERT_EQ(PromoteTreeManifest(user(), app()), 0);
    EXPECT_NE(access(current().c_str(), F_OK), -1);
    EXPECT_EQ(access(next().c_str(), F_OK), -1);
    EXPECT_STATE(check(), TreeState::Intact);
    // A rollback moves the tree away and back: its manifest still holds.
    ASSERT_EQ(rename(m_app.c_str(), (m_app + "_tmp").c_str()), 0);
    ASSERT_EQ(rename((m_app + "_tmp").c_str(), m_app.c_str()), 0);
    EXPECT_STATE(check(), TreeState::Intact);
    // Entries of the client's own are no damage.
    put(m_app + "/bin/cache", "added at run time");
    ASSERT_EQ(mkdir((m_app + "/odd/more").c_str(), 0700), 0);
    EXPECT_STATE(check(), TreeState::Intact);
}

struct DamageRow
{
    const char* name;
    std::function<void(const std::string& app)> damage;
    std::vector<std::string> differences;
};

void PrintTo(const DamageRow& row, std::ostream* os)
{
    *os << row.name;
}

class DamageTest : public ManifestTest, public ::testing::WithParamInterface<DamageRow>
{};

TEST_P(DamageTest, NamesEachDifference)
{
    install();
    GetParam().damage(m_app);
    const TreeCheck c = check();
    EXPECT_STATE(c, TreeState::Damaged);
    EXPECT_EQ(c.differences, GetParam().differences);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DamageTest,
    ::testing::Values(
        DamageRow{
            "file_truncated",
            [](const std::string& a) { ASSERT_EQ(truncate((a + "/bin/client").c_str(), 3), 0); },
            {"size 3, expected 10: bin/client"}},
        DamageRow{
            "file_deleted",
            [](const std::string& a) { ASSERT_EQ(unlink((a + "/lib/libx.so.1").c_str()), 0); },
            {"missing: lib/libx.so.1"}},
        DamageRow{
            "mode_changed",
            [](const std::string& a) { ASSERT_EQ(chmod((a + "/bin/client").c_str(), 0644), 0); },
            {"mode 0644, expected 0755: bin/client"}},
        DamageRow{"root_mode_changed",
                  [](const std::string& a) { ASSERT_EQ(chmod(a.c_str(), 0700), 0); },
                  {"mode 0700, expected 0755: ."}},
        DamageRow{"odd_name_emptied",
                  [](const std::string& a) { put(a + "/odd/new\nline", ""); },
                  {"size 0, expected 8: odd/new\\x0aline"}},
        DamageRow{"folder_deleted_counts_once",
                  [](const std::string& a) { ASSERT_EQ(run("rm -r '" + a + "/lib'"), 0); },
                  {"missing: lib"}},
        DamageRow{"file_became_folder",
                  [](const std::string& a) {
                      ASSERT_EQ(unlink((a + "/zero").c_str()), 0);
                      ASSERT_EQ(mkdir((a + "/zero").c_str(), 0755), 0);
                  },
                  {"a folder, expected a file: zero"}},
        DamageRow{"folder_became_link",
                  [](const std::string& a) {
                      ASSERT_EQ(rmdir((a + "/empty").c_str()), 0);
                      ASSERT_EQ(symlink("bin", (a + "/empty").c_str()), 0);
                  },
                  {"a symbolic link, expected a folder: empty"}},
        DamageRow{"link_retargeted",
                  [](const std::string& a) {
                      ASSERT_EQ(unlink((a + "/lib/libx.so").c_str()), 0);
                      ASSERT_EQ(symlink("libx.so.2", (a + "/lib/libx.so").c_str()), 0);
                  },
                  {"link target 'libx.so.2', expected 'libx.so.1': lib/libx.so"}},
        DamageRow{"several_in_manifest_order",
                  [](const std::string& a) {
                      ASSERT_EQ(unlink((a + "/zero").c_str()), 0);
                      ASSERT_EQ(chmod((a + "/bin").c_str(), 0700), 0);
                      put(a + "/odd/\x01\x7f\xff", "");
                  },
                  {"mode 0700, expected 0755: bin", "size 0, expected 3: odd/\\x01\\x7f\xff",
                   "missing: zero"}}),
    [](const ::testing::TestParamInfo<DamageRow>& i) { return std::string(i.param.name); });

TEST_F(ManifestTest, StopsAtTheGivenNumberOfDifferences)
{
    install();
    for (const char* file : {"/zero", "/bin/client", "/lib/libx.so.1"}) {
        ASSERT_EQ(unlink((m_app + file).c_str()), 0);
    }
    const TreeCheck c = check(2);
    EXPECT_STATE(c, TreeState::Damaged);
    EXPECT_EQ(c.differences.size(), 2u);
}

// Whatever the manifest cannot vouch for is not damage: a stale one must never make the
// launcher reinstall at every start.
struct NothingRow
{
    const char* name;
    std::function<void(ManifestTest& t, const std::string& app, const std::string& manifest)>
        change;
};

void PrintTo(const NothingRow& row, std::ostream* os)
{
    *os << row.name;
}

class NothingTest : public ManifestTest, public ::testing::WithParamInterface<NothingRow>
{};

TEST_P(NothingTest, IsNeitherIntactNorDamaged)
{
    install();
    GetParam().change(*this, m_app, current());
    const TreeCheck c = check();
    EXPECT_STATE(c, TreeState::NothingToCheck);
    EXPECT_EQ(c.differences.size(), 1u) << joined(c);
}

std::string readAll(const std::string& path)
{
    return testsupport::readFile(QString::fromStdString(path)).toStdString();
}

// INFO rewritten inside the same folder: the folder was never replaced, so this is damage,
// not another installation, even when INFO keeps its size.
TEST_F(ManifestTest, AnotherBuildInTheSameFolderIsDamage)
{
    install();
    const std::string info = readAll(m_app + "/INFO");
    std::string changed = info;
    const size_t at = changed.find_last_of("0123456789");
    ASSERT_NE(at, std::string::npos);
    changed[at] = changed[at] == '9' ? '8' : static_cast<char>(changed[at] + 1);
    put(m_app + "/INFO", changed);
    const TreeCheck c = check();
    EXPECT_STATE(c, TreeState::Damaged);
    EXPECT_NE(joined(c).find("INFO"), std::string::npos) << joined(c);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NothingTest,
    ::testing::Values(NothingRow{"no_installed_copy",
                                 [](ManifestTest&, const std::string& a, const std::string&) {
                                     ASSERT_EQ(run("rm -r '" + a + "'"), 0);
                                 }},
                      NothingRow{"installed_before_manifests",
                                 [](ManifestTest&, const std::string&, const std::string& m) {
                                     ASSERT_EQ(unlink(m.c_str()), 0);
                                 }},
                      NothingRow{"a_copy_put_in_place",
                                 [](ManifestTest&, const std::string& a, const std::string&) {
                                     ASSERT_EQ(run("mv '" + a + "' '" + a + ".x' && cp -a '" + a +
                                                   ".x' '" + a + "' && rm -r '" + a + ".x'"),
                                               0);
                                 }},
                      NothingRow{"manifest_cut_short",
                                 [](ManifestTest&, const std::string&, const std::string& m) {
                                     ASSERT_EQ(truncate(m.c_str(),
                                                        static_cast<off_t>(readAll(m).size() - 4)),
                                               0);
                                 }},
                      NothingRow{"manifest_with_a_length_too_long",
                                 [](ManifestTest&, const std::string&, const std::string& m) {
                                     std::string text = readAll(m);
                                     const size_t at = text.find(" 10:bin/client");
                                     ASSERT_NE(at, std::string::npos);
                                     text.replace(at, 4, " 99:");
                                     put(m, text);
                                 }},
                      NothingRow{"manifest_of_another_version",
                                 [](ManifestTest&, const std::string&, const std::string& m) {
                                     std::string text = readAll(m);
                                     text[text.find('\n') - 1] = '2';
                                     put(m, text);
                                 }}),
    [](const ::testing::TestParamInfo<NothingRow>& i) { return std::string(i.param.name); });

TEST_F(ManifestTest, SettlingPromotesTheNextManifestOfThisTreeOnly)
{
    // A run ended between the commit and the promotion: the next manifest describes A.
    ASSERT_EQ(WriteNextTreeManifest(user(), app(), app()), 0);
    SettleTreeManifests(user(), app());
    EXPECT_EQ(access(next().c_str(), F_OK), -1);
    EXPECT_STATE(check(), TreeState::Intact);

    // One written for a tree that was then rolled back describes nothing here.
    ASSERT_EQ(rename(m_app.c_str(), (m_app + "_tmp").c_str()), 0);
    makeTree(m_app);
    ASSERT_EQ(WriteNextTreeManifest(user(), app(), app()), 0);
    ASSERT_EQ(run("rm -r '" + m_app + "' && mv '" + m_app + "_tmp' '" + m_app + "'"), 0);
    SettleTreeManifests(user(), app());
    EXPECT_EQ(access(next().c_str(), F_OK), -1);
    EXPECT_STATE(check(), TreeState::Intact);
}

// A link in place of the installed folder, even to an intact copy of it, is damage; the
// copy it points to is not looked into.
TEST_F(ManifestTest, ALinkInPlaceOfTheFolderIsDamage)
{
    install();
    ASSERT_EQ(rename(m_app.c_str(), (m_app + "_moved").c_str()), 0);
    ASSERT_EQ(symlink((m_app + "_moved").c_str(), m_app.c_str()), 0);
    const TreeCheck result = check();
    EXPECT_STATE(result, TreeState::Damaged);
    EXPECT_EQ(joined(result), "the installed folder is now a symbolic link\n");
    ASSERT_EQ(unlink(m_app.c_str()), 0);
    ASSERT_EQ(rename((m_app + "_moved").c_str(), m_app.c_str()), 0);
}

// A check made ahead of the decision is used only for the tree it saw: a tree replaced,
// rolled back, given another INFO or another manifest since is checked again.
TEST_F(ManifestTest, CheckAheadHoldsOnlyForTheTreeItSaw)
{
    install();
    TreeCheck result;
    TreeCheckAhead ahead = TreeCheckAhead::Start(user(), app(), 10);
    ASSERT_TRUE(ahead.Take(result));
    EXPECT_STATE(result, TreeState::Intact);
    EXPECT_FALSE(ahead.Take(result)) << "a check is taken once";
    EXPECT_FALSE(TreeCheckAhead().Take(result)) << "no check was started";
    // A run that ends before its decision stops the walk rather than wait for it.
    const std::atomic<bool> stopped{true};
    EXPECT_STATE(CheckInstalledTree(user(), app(), 10, &stopped), TreeState::NothingToCheck);

    const std::vector<std::pair<const char*, std::function<void()>>> changes{
        {"tree replaced",
         [&] {
             ASSERT_EQ(rename(m_app.c_str(), (m_app + "_old").c_str()), 0);
             makeTree(m_app);
             ASSERT_EQ(run("rm -r '" + m_app + "_old'"), 0);
         }},
        {"INFO rewritten", [&] { put(m_app + "/INFO", "[Version]\nbuild_version=126\n"); }},
        {"manifest promoted", [&] { install(); }},
        {"next manifest left", [&] { ASSERT_EQ(WriteNextTreeManifest(user(), app(), app()), 0); }},
    };
    for (const auto& change : changes) {
        ahead = TreeCheckAhead::Start(user(), app(), 10);
        // Waits for the check before the change, so that the change comes after it.
        while (!ahead.Done()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        change.second();
        EXPECT_FALSE(ahead.Take(result)) << change.first;
    }
}

} // namespace

// A tree large enough to be checked in runs of subtrees on several threads: every run's
// differences are found, in the manifest's order, and a cut manifest is still refused.
TEST_F(ManifestTest, LargeTreeIsCheckedWholeAcrossItsRuns)
{
    for (int d = 0; d < 10; ++d) {
        const std::string dir = m_app + "/big" + std::to_string(d);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        for (int f = 0; f < 500; ++f) {
            put(dir + "/f" + std::to_string(f), "x");
        }
    }
    install();
    EXPECT_STATE(check(), TreeState::Intact);
    ASSERT_EQ(unlink((m_app + "/big0/f3").c_str()), 0);
    ASSERT_EQ(chmod((m_app + "/big5/f7").c_str(), 0600), 0);
    put(m_app + "/big9/f499", "longer");
    const TreeCheck c = check();
    EXPECT_STATE(c, TreeState::Damaged);
    EXPECT_EQ(joined(c), "missing: big0/f3\nmode 0600, expected 0644: big5/f7\n"
                         "size 6, expected 1: big9/f499\n");
    EXPECT_EQ(check(1).differences.size(), 1u);
    // The end line's count no longer matches once an entry line is gone.
    std::string manifest = readAll(current());
    const size_t line = manifest.find("big7/f1");
    ASSERT_NE(line, std::string::npos);
    const size_t from = manifest.rfind('\n', line) + 1;
    manifest.erase(from, manifest.find('\n', line) + 1 - from);
    put(current(), manifest);
    EXPECT_STATE(check(), TreeState::NothingToCheck);
}
