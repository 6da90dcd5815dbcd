#include "extractor.h"
#include "file/durable.h"

#include "adapter.h"
#include "log/log.h"
#include "test_archive.h"
#include "testsupport.h"
#include "texts/strtab.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <QObject>

#include <algorithm>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <langinfo.h>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using testarchive::dir;
using testarchive::Entry;
using testarchive::file;
using testarchive::Format;
using testarchive::hardlink;
using testarchive::special;
using testarchive::symlinkEntry;

struct ExtractorTestPeer
{
    static int copyData(Extractor& x, archive* ar, archive* aw) { return x.copy_data(ar, aw); }
    static size_t queuePeak(const Extractor& x) { return x.queue_peak; }
};

namespace {

const char INIT_TEXT[] = "Brisendale Drive is initializing...";

struct Report
{
    int step;
    int percent; // as the dialog shows it
};

// The progress reports among the recorded events ("step/total").
std::vector<Report> reports(const std::vector<std::string>& events)
{
    std::vector<Report> out;
    for (const std::string& e : events) {
        int step = 0;
        int total = 0;
        if (std::sscanf(e.c_str(), "%d/%d", &step, &total) == 2 && total > 0) {
            out.push_back({step, static_cast<int>(int64_t(step) * 100 / total)});
        }
    }
    return out;
}

std::vector<int> steps(const std::vector<std::string>& events)
{
    std::vector<int> out;
    for (const Report& r : reports(events)) {
        out.push_back(r.step);
    }
    return out;
}

std::string slurp(const std::string& path)
{
    return testsupport::readFile(QString::fromStdString(path)).toStdString();
}

void spit(const std::string& path, const std::string& data)
{
    testsupport::writeFile(QString::fromStdString(path), QByteArray::fromStdString(data));
}

bool lstatOk(const std::string& path, struct stat* st)
{
    return ::lstat(path.c_str(), st) == 0;
}

bool isDir(const std::string& path)
{
    struct stat st;
    return lstatOk(path, &st) && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstatOk(path, &st);
}

std::string readLink(const std::string& path)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string("<not a symlink>") : std::string(buf, static_cast<size_t>(n));
}

ino_t inode(const std::string& path)
{
    struct stat st;
    return lstatOk(path, &st) ? st.st_ino : 0;
}

nlink_t links(const std::string& path)
{
    struct stat st;
    return lstatOk(path, &st) ? st.st_nlink : 0;
}

std::set<std::string> listing(const std::string& path)
{
    std::set<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(path.c_str()), ::closedir);
    if (!d) {
        return names;
    }
    while (const dirent* e = ::readdir(d.get())) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.insert(name);
        }
    }
    return names;
}

std::string cwd()
{
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// Runs the test body with another working directory, as the worker thread may.
class CwdGuard
{
public:
    explicit CwdGuard(const std::string& to) : m_old(cwd()) { EXPECT_EQ(::chdir(to.c_str()), 0); }
    ~CwdGuard() { EXPECT_EQ(::chdir(m_old.c_str()), 0); }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    std::string m_old;
};

class ExtractorTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        // The program entry picks the environment's character type; non-ASCII names need it.
        ASSERT_NE(std::setlocale(LC_CTYPE, ""), nullptr);
        ASSERT_STREQ(nl_langinfo(CODESET), "UTF-8");
        StrTable::InitStrTable();
        m_log = pathStd() + "/extract.log";
        ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, m_log.c_str(), "", 50), 0);
        m_receiver.reset(new QObject);
        Notify_Adapter* adapter = Notify_Adapter::GetInstance();
        QObject::connect(adapter, &Notify_Adapter::sigUpdateProgress, m_receiver.get(),
                         [this](int total, int step) {
                             m_events.push_back(std::to_string(step) + "/" + std::to_string(total));
                         });
        QObject::connect(
            adapter, &Notify_Adapter::sigUpdateDialogText, m_receiver.get(),
            [this](QString text) { m_events.push_back("text:" + text.toStdString()); });
    }

    void TearDown() override
    {
        m_receiver.reset();
        Logger::Destroy();
        std::setlocale(LC_CTYPE, "C");
        ScratchTest::TearDown();
    }

    std::string log() const { return slurp(m_log); }
    std::string at(const std::string& rel) const { return pathStd() + "/" + rel; }

    Extractor makeExtractor(const std::string& source, const std::string& target) const
    {
        Extractor x;
        x.SetSource(source.c_str());
        x.SetTarget(target.c_str());
        return x;
    }

    std::string writeArchive(Format format, const std::vector<Entry>& entries,
                             const std::string& name = "pkg.nbx")
    {
        const std::string archivePath = at(name);
        EXPECT_TRUE(testarchive::write(archivePath, format, entries));
        return archivePath;
    }

    std::vector<std::string> m_events;

private:
    std::string m_log;
    std::unique_ptr<QObject> m_receiver;
};

// --- every readable format, the plain three-entry package ---

class ExtractorFormatTest : public ExtractorTest, public ::testing::WithParamInterface<Format>
{};

TEST_P(ExtractorFormatTest, ThreeEntriesExtractListAndReportEachStep)
{
    const std::string pkg = writeArchive(
        GetParam(), {dir("sub/"), file("sub/file.txt", "hello"), file("top.txt", "top")});
    const std::string target = at("app");
    Extractor x = makeExtractor(pkg, target);

    EXPECT_EQ(x.Count(), 3);
    EXPECT_EQ(x.Extract(), 0);
    EXPECT_EQ(m_events.front(), std::string("text:") + INIT_TEXT);
    EXPECT_EQ(steps(m_events), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(slurp(target + "/sub/file.txt"), "hello");
    EXPECT_EQ(slurp(target + "/top.txt"), "top");

    testing::internal::CaptureStdout();
    const int listed = x.List();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sub/\nsub/file.txt\ntop.txt\n");
    EXPECT_EQ(listed, 0);
    EXPECT_EQ(log().find("[ERROR]"), std::string::npos) << log();
}

std::string formatName(const ::testing::TestParamInfo<Format>& info)
{
    const char* const names[] = {"tar", "tar_gz", "tar_zst", "zip", "tar_xz", "cpio"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Formats, ExtractorFormatTest,
                         ::testing::Values(Format::Tar, Format::TarGz, Format::TarZst, Format::Zip,
                                           Format::TarXz, Format::Cpio),
                         formatName);

// --- archives that cannot be counted ---

TEST_F(ExtractorTest, EmptyArchivesFailWithCountZero)
{
    const std::string emptyTar = writeArchive(Format::Tar, {}, "empty.tar");
    const std::string zeroBytes = at("zero.nbx");
    spit(zeroBytes, "");
    for (const std::string& pkg : {emptyTar, zeroBytes}) {
        SCOPED_TRACE(pkg);
        Extractor x = makeExtractor(pkg, at("app"));
        EXPECT_EQ(x.Count(), 0);
        EXPECT_EQ(x.Extract(), -1);
        EXPECT_NE(log().find("[ERROR] extractor.cpp("), std::string::npos);
        EXPECT_NE(log().find("): Failed to calculate total file numbers, ret: 0\n"),
                  std::string::npos)
            << log();
    }
    EXPECT_EQ(m_events, (std::vector<std::string>(2, std::string("text:") + INIT_TEXT)));
}

TEST_F(ExtractorTest, MissingArchiveLogsBothLinesAndTouchesNothing)
{
    Extractor x = makeExtractor(at("absent.nbx"), at("app"));
    EXPECT_EQ(x.Extract(), -1);
    const std::string text = log();
    EXPECT_NE(text.find("[ERROR] extractor.cpp("), std::string::npos);
    EXPECT_NE(text.find("): archive_read_open_filename failed: '"), std::string::npos) << text;
    EXPECT_NE(text.find("): Failed to calculate total file numbers, ret: -1\n"), std::string::npos)
        << text;
    EXPECT_FALSE(exists(at("app")));
    EXPECT_EQ(x.Count(), -1);
}

TEST_F(ExtractorTest, EmptySourceOrTargetIsRefusedEverywhere)
{
    const std::string pkg = writeArchive(Format::Tar, {file("a", "a")});
    const std::vector<std::pair<std::string, std::string>> rows = {{"", at("app")}, {pkg, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE("source '" + row.first + "' target '" + row.second + "'");
        Extractor x = makeExtractor(row.first, row.second);
        EXPECT_EQ(x.Count(), -1);
        EXPECT_EQ(x.Extract(), -1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(x.List(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    const std::string text = log();
    EXPECT_NE(text.find("): Invalid argument\n"), std::string::npos) << text;
    EXPECT_NE(text.find("): Invalid Argument\n"), std::string::npos) << text;
    EXPECT_TRUE(m_events.empty());
    EXPECT_FALSE(exists(at("app")));
}

// --- a damaged archive keeps what was written before the damage ---

struct TruncationCase
{
    const char* name;
    size_t cutAfterHeader; // bytes of the third entry's header block kept
    int count;
};

class ExtractorTruncationTest : public ExtractorTest,
                                public ::testing::WithParamInterface<TruncationCase>
{};

TEST_P(ExtractorTruncationTest, StopsAtTheDamageAndKeepsEarlierEntries)
{
    const std::string a(3000, 'a'), b(3000, 'b'), c(3000, 'c');
    std::string bytes =
        testarchive::build(Format::Tar, {file("a.bin", a), file("b.bin", b), file("c.bin", c)});
    size_t header = 0;
    while (header + 512 <= bytes.size() && bytes.compare(header, 6, std::string("c.bin\0", 6))) {
        header += 512;
    }
    ASSERT_LT(header + 512, bytes.size());
    bytes.resize(header + GetParam().cutAfterHeader);
    const std::string pkg = at("cut.nbx");
    spit(pkg, bytes);

    Extractor x = makeExtractor(pkg, at("app"));
    EXPECT_EQ(x.Count(), GetParam().count);
    EXPECT_EQ(x.Extract(), -1);
    EXPECT_EQ(slurp(at("app/a.bin")), a);
    EXPECT_EQ(slurp(at("app/b.bin")), b);
    EXPECT_NE(slurp(at("app/c.bin")), c);
    EXPECT_EQ(steps(m_events), (std::vector<int>{1, 2}));

    testing::internal::CaptureStdout();
    const int listed = x.List();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(listed, -1) << "a damaged archive was listed as complete";
}

const TruncationCase CUTS[] = {
    {"inside_header", 100, 2},
    {"inside_data", 512 + 1000, 3},
};

std::string cutName(const ::testing::TestParamInfo<TruncationCase>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cuts, ExtractorTruncationTest, ::testing::ValuesIn(CUTS), cutName);

// --- where entries land ---

TEST_F(ExtractorTest, EntriesLandBelowTheTargetAndReplaceExistingFiles)
{
    spit(at("outside/victim"), "orig");
    const std::string target = at("app");
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    // A file already in the way is unlinked, not written through.
    ASSERT_EQ(::link(at("outside/victim").c_str(), (target + "/top.txt").c_str()), 0);
    const std::string pkg =
        writeArchive(Format::TarGz, {file("/abs/file.txt", "abs"), file("sub/file.txt", "sub"),
                                     file("top.txt", "new")});

    EXPECT_EQ(makeExtractor(pkg, target).Extract(), 0) << log();
    EXPECT_EQ(slurp(target + "/abs/file.txt"), "abs");
    EXPECT_EQ(slurp(target + "/sub/file.txt"), "sub");
    EXPECT_EQ(slurp(target + "/top.txt"), "new");
    EXPECT_EQ(slurp(at("outside/victim")), "orig");
    EXPECT_EQ(links(at("outside/victim")), 1u);
}

TEST_F(ExtractorTest, LegitimateLinksExtractWhileTheWorkingDirectoryIsElsewhere)
{
    // Decoys: a link target resolved against the working directory would find these.
    spit(at("elsewhere/lib/libx.so.1.2"), "WRONG");
    spit(at("elsewhere/lib/libx.so.1"), "WRONG");
    const std::string target = at("app");
    const std::string pkg =
        writeArchive(Format::TarZst, {
                                         dir("./"),
                                         dir("lib/"),
                                         file("lib/libx.so.1.2", "ELF"),
                                         symlinkEntry("lib/libx.so.1", "libx.so.1.2"),
                                         symlinkEntry("lib/libx.so", "libx.so.1"),
                                         file("share/data/f.txt", "data"),
                                         symlinkEntry("bin/data", "../share/data"),
                                         symlinkEntry("bin/abs", "/usr/share"),
                                         hardlink("lib/alias", "lib/libx.so.1.2"),
                                         file("données/ünïcødé.txt", "utf8"),
                                     });
    int result;
    {
        CwdGuard guard(at("elsewhere"));
        result = makeExtractor(pkg, target).Extract();
    }
    EXPECT_EQ(result, 0) << log();
    EXPECT_EQ(steps(m_events), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(slurp(target + "/lib/libx.so"), "ELF");
    EXPECT_EQ(readLink(target + "/lib/libx.so"), "libx.so.1");
    EXPECT_EQ(readLink(target + "/lib/libx.so.1"), "libx.so.1.2");
    EXPECT_EQ(slurp(target + "/bin/data/f.txt"), "data");
    EXPECT_EQ(readLink(target + "/bin/abs"), "/usr/share");
    EXPECT_EQ(inode(target + "/lib/alias"), inode(target + "/lib/libx.so.1.2"));
    EXPECT_EQ(links(at("elsewhere/lib/libx.so.1.2")), 1u);
    EXPECT_EQ(slurp(at("elsewhere/lib/libx.so.1.2")), "WRONG");
    EXPECT_EQ(slurp(target + "/données/ünïcødé.txt"), "utf8");
}

TEST_F(ExtractorTest, TargetReachedThroughASymlinkedParentKeepsTheLink)
{
    ASSERT_EQ(::mkdir(at("real").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(at("real").c_str(), at("home-link").c_str()), 0);
    const std::string pkg = writeArchive(
        Format::Tar, {dir("./"), file("bin/tool", "tool"), hardlink("bin/alias", "bin/tool"),
                      file("lib/libx.so.1", "ELF"), symlinkEntry("lib/libx.so", "libx.so.1")});

    EXPECT_EQ(makeExtractor(pkg, at("home-link/.Brisendale/app")).Extract(), 0) << log();
    EXPECT_EQ(readLink(at("home-link")), at("real"));
    EXPECT_EQ(slurp(at("real/.Brisendale/app/bin/tool")), "tool");
    EXPECT_EQ(inode(at("real/.Brisendale/app/bin/alias")),
              inode(at("real/.Brisendale/app/bin/tool")));
    EXPECT_EQ(readLink(at("real/.Brisendale/app/lib/libx.so")), "libx.so.1");
}

TEST_F(ExtractorTest, SymlinkAlreadyInTheTargetIsReplacedNotFollowed)
{
    spit(at("outside/victim"), "orig");
    const std::string target = at("app");
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(at("outside").c_str(), (target + "/evil").c_str()), 0);
    const std::string pkg = writeArchive(Format::Tar, {file("evil/victim", "new")});

    makeExtractor(pkg, target).Extract(); // replacing the link is fine, following it is not
    EXPECT_EQ(slurp(at("outside/victim")), "orig");
    EXPECT_EQ(listing(at("outside")), std::set<std::string>{"victim"});
}

// --- hostile archives: nothing is written outside the target and the run fails ---

struct HostileCase
{
    const char* name;
    std::vector<Entry> entries; // "@OUT@" stands for the absolute outside folder
    const char* logged;
};

class ExtractorHostileTest : public ExtractorTest, public ::testing::WithParamInterface<HostileCase>
{};

TEST_P(ExtractorHostileTest, WritesNothingOutsideAndFails)
{
    const std::string outside = at("outside");
    spit(outside + "/victim", "orig");
    spit(at("cwd/victim"), "orig");
    const std::string target = at("app");
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);

    std::vector<Entry> entries = GetParam().entries;
    for (Entry& e : entries) {
        for (std::string* s : {&e.path, &e.link}) {
            const size_t pos = s->find("@OUT@");
            if (pos != std::string::npos) {
                s->replace(pos, 5, outside);
            }
        }
    }
    const std::string pkg = writeArchive(Format::Tar, entries);
    const std::set<std::string> scratchBefore = listing(pathStd());

    int result;
    Blame blame;
    std::string cwdDuring;
    {
        CwdGuard guard(at("cwd"));
        Extractor extractor = makeExtractor(pkg, target);
        result = extractor.Extract();
        blame = extractor.FailureBlame();
        cwdDuring = cwd();
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(blame, Blame::Package) << "an unsafe archive is the package's own fault";
    EXPECT_EQ(cwdDuring, at("cwd"));
    EXPECT_TRUE(isDir(target)) << "the target folder was replaced";
    for (const std::string& folder : {outside, at("cwd")}) {
        EXPECT_EQ(listing(folder), std::set<std::string>{"victim"}) << folder;
        EXPECT_EQ(slurp(folder + "/victim"), "orig") << folder;
        EXPECT_EQ(links(folder + "/victim"), 1u) << folder << ": linked from inside the target";
    }
    EXPECT_EQ(listing(pathStd()), scratchBefore) << "a new name beside the target";
    EXPECT_NE(log().find(GetParam().logged), std::string::npos) << log();
}

const std::string LONG_PATH = [] {
    std::string p;
    while (p.size() < PATH_MAX) {
        p += std::string(99, 'd') + "/";
    }
    return p + "f";
}();

const HostileCase ATTACKS[] = {

    {"dotdot", {file("../outside/victim", "EVIL")}, "archive_read_extract2 failed"},
    {"dotdot_deep",
     {file("ok.txt", "ok"), file("sub/../../outside/new", "EVIL")},
     "archive_read_extract2 failed"},
    {"symlink_absolute_then_file",
     {symlinkEntry("evil", "@OUT@"), file("evil/victim", "EVIL")},
     "passes through the symlink"},
    {"symlink_relative_then_file",
     {symlinkEntry("evil", "../outside"), file("evil/new", "EVIL")},
     "passes through the symlink"},
    {"symlink_nested_then_folder",
     {dir("a/"), symlinkEntry("a/b", "@OUT@"), dir("a/b/c/")},
     "passes through the symlink"},
    {"hardlink_absolute", {hardlink("h", "@OUT@/victim")}, "archive_read_extract2 failed"},
    {"hardlink_absolute_with_data",
     {hardlink("h", "@OUT@/victim", "EVIL")},
     "archive_read_extract2 failed"},
    {"hardlink_working_directory", {hardlink("h", "victim")}, "archive_read_extract2 failed"},
    {"hardlink_working_directory_with_data",
     {hardlink("h", "victim", "EVIL")},
     "archive_read_extract2 failed"},
    {"hardlink_dotdot_with_data",
     {hardlink("h", "../outside/victim", "EVIL")},
     "archive_read_extract2 failed"},
    {"hardlink_through_symlink",
     {symlinkEntry("evil", "@OUT@"), hardlink("h", "evil/victim", "EVIL")},
     "passes through the symlink"},
    {"hardlink_to_symlink_then_file",
     {symlinkEntry("evil", "@OUT@"), hardlink("alias", "evil"), file("alias/victim", "EVIL")},
     "passes through the symlink"},
    {"dot_as_file", {file(".", "EVIL")}, "would replace the target folder"},
    {"dot_dot_slash_as_file", {file("./.", "EVIL")}, "would replace the target folder"},
    {"dot_as_symlink", {symlinkEntry(".", "@OUT@")}, "would replace the target folder"},
    {"dot_as_hardlink", {hardlink(".", "@OUT@/victim")}, "would replace the target folder"},
    {"fifo", {special(Entry::Fifo, "pipe")}, "unsupported entry type"},
    {"char_device", {special(Entry::CharDevice, "null")}, "unsupported entry type"},
    {"path_too_long", {file(LONG_PATH, "deep")}, "path too long"},
};

std::string attackName(const ::testing::TestParamInfo<HostileCase>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Attacks, ExtractorHostileTest, ::testing::ValuesIn(ATTACKS), attackName);

// --- gzip packages: members, trailing bytes and damage, with or without ISA-L ---

la_ssize_t appendBytes(archive*, void* out, const void* buff, size_t n)
{
    static_cast<std::string*>(out)->append(static_cast<const char*>(buff), n);
    return static_cast<la_ssize_t>(n);
}

// One gzip member holding data, as gzip writes it (with the file's name in the header).
std::string gzipMember(const std::string& data)
{
    std::string out;
    std::unique_ptr<archive, void (*)(archive*)> w(archive_write_new(),
                                                   [](archive* a) { archive_write_free(a); });
    archive_write_set_format_raw(w.get());
    archive_write_add_filter_gzip(w.get());
    archive_write_set_bytes_in_last_block(w.get(), 1);
    EXPECT_EQ(archive_write_open(w.get(), &out, nullptr, appendBytes, nullptr), ARCHIVE_OK);
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                               archive_entry_free);
    archive_entry_set_pathname(e.get(), "pkg.tar");
    archive_entry_set_filetype(e.get(), AE_IFREG);
    EXPECT_EQ(archive_write_header(w.get(), e.get()), ARCHIVE_OK);
    EXPECT_EQ(archive_write_data(w.get(), data.data(), data.size()),
              static_cast<la_ssize_t>(data.size()));
    EXPECT_EQ(archive_write_close(w.get()), ARCHIVE_OK);
    return out;
}

std::string noise(size_t n)
{
    std::string out(n, '\0');
    uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

struct GzipCase
{
    const char* name;
    std::string (*make)(const std::string& tar);
    bool ok;            // with either inflater
    const char* logged; // the damage as the log tells it, "" for none
};

const GzipCase GZIP_CASES[] = {
    {"two_members",
     [](const std::string& t) { return gzipMember(t.substr(0, 700)) + gzipMember(t.substr(700)); },
     true, ""},
    {"zero_padding", [](const std::string& t) { return gzipMember(t) + std::string(4096, '\0'); },
     true, ""},
    {"trailing_garbage", [](const std::string& t) { return gzipMember(t) + "not a member\n"; },
     true, ""},
    {"cut_member",
     [](const std::string& t) {
         const std::string m = gzipMember(t);
         return m.substr(0, m.size() - 20);
     },
     false, "truncated gzip input"},
    {"header_only_member",
     [](const std::string& t) {
         return gzipMember(t) + std::string("\x1f\x8b\x08\0\0\0\0\0\0\3", 10);
     },
     false, "truncated gzip input"},
    {"wrong_crc",
     [](const std::string& t) {
         std::string m = gzipMember(t);
         m[m.size() - 8] ^= 1;
         return m;
     },
     false, "gzip member CRC32 or ISIZE mismatch"},
};

class ExtractorGzipTest : public ExtractorTest, public ::testing::WithParamInterface<GzipCase>
{};

TEST_P(ExtractorGzipTest, MembersTrailingBytesAndDamageAsLibarchiveReadsThem)
{
    const std::string a = noise(100000), b = noise(3000);
    const std::string tar = testarchive::build(Format::Tar, {file("a.bin", a), file("b.bin", b)});
    const std::string pkg = at("pkg.nbx");
    spit(pkg, GetParam().make(tar));

    const bool ok = GetParam().ok;
    const bool logs = GetParam().logged[0] != '\0';
    EXPECT_EQ(makeExtractor(pkg, at("app")).Extract(), ok ? 0 : -1) << log();
    if (ok) {
        EXPECT_EQ(slurp(at("app/a.bin")), a);
        EXPECT_EQ(slurp(at("app/b.bin")), b);
        EXPECT_EQ(log().find("[ERROR]"), std::string::npos) << log();
    }
    if (logs) {
        EXPECT_NE(log().find(std::string("failed: '") + GetParam().logged), std::string::npos)
            << log();
    }
}

std::string gzipName(const ::testing::TestParamInfo<GzipCase>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Gzip, ExtractorGzipTest, ::testing::ValuesIn(GZIP_CASES), gzipName);

// The bar follows the compressed bytes: a well-compressed first entry moves it little.
// --- regular files: modes and sizes, whichever way they are created ---

struct StoredFile
{
    const char* path;
    mode_t mode;
    int64_t size; // the entry's size; data covers only its first `data` bytes when less
    int64_t data;
};

// A pax tar of regular files; an entry whose data is shorter than its size is stored
// sparse, with the hole at its end.
std::string storedFiles(const std::vector<StoredFile>& files)
{
    std::string out;
    std::unique_ptr<archive, void (*)(archive*)> w(archive_write_new(),
                                                   [](archive* a) { archive_write_free(a); });
    archive_write_set_format_pax(w.get());
    EXPECT_EQ(archive_write_open(w.get(), &out, nullptr, appendBytes, nullptr), ARCHIVE_OK);
    for (const StoredFile& f : files) {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                                   archive_entry_free);
        archive_entry_set_pathname(e.get(), f.path);
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), f.mode);
        archive_entry_set_size(e.get(), f.size);
        if (f.data < f.size) {
            archive_entry_sparse_add_entry(e.get(), 0, f.data);
        }
        EXPECT_EQ(archive_write_header(w.get(), e.get()), ARCHIVE_OK);
        const std::string data(static_cast<size_t>(f.data), 'x');
        EXPECT_EQ(archive_write_data(w.get(), data.data(), data.size()),
                  static_cast<la_ssize_t>(data.size()));
    }
    EXPECT_EQ(archive_write_close(w.get()), ARCHIVE_OK);
    return out;
}

// Fresh target: the files are created by the extractor itself; files already in the way:
// libarchive replaces them. Both must give what libarchive gives without
// ARCHIVE_EXTRACT_PERM: no set-id or sticky bit, the umask applied, the stored size.
class ExtractorModeTest : public ExtractorTest, public ::testing::WithParamInterface<bool>
{};

TEST_P(ExtractorModeTest, FilesKeepTheirPermissionsLessSetIdBitsAndUmaskAndTheirSize)
{
    const std::vector<StoredFile> files = {{"a", 04755, 3, 3},
                                           {"d/b", 0600, 0, 0},
                                           {"d/c", 02775, 5, 5},
                                           {"d/e/f", 01777, 1, 1},
                                           {"sparse", 0640, 1 << 20, 4096}};
    const std::string target = at("app");
    if (GetParam()) {
        for (const StoredFile& f : files) {
            spit(target + "/" + f.path, "old contents, longer than the new");
        }
    }
    const std::string pkg = at("modes.tar");
    spit(pkg, storedFiles(files));
    const mode_t mask = ::umask(022);
    ::umask(mask);

    ASSERT_EQ(makeExtractor(pkg, target).Extract(), 0) << log();
    for (const StoredFile& f : files) {
        struct stat st;
        ASSERT_EQ(::lstat((target + "/" + f.path).c_str(), &st), 0) << f.path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << f.path;
        EXPECT_EQ(st.st_mode & 07777, f.mode & 0777 & ~mask) << f.path;
        EXPECT_EQ(st.st_size, f.size) << f.path;
        EXPECT_EQ(slurp(target + "/" + f.path).find_first_not_of('x'),
                  f.data == f.size ? std::string::npos : static_cast<size_t>(f.data))
            << f.path;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, ExtractorModeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("files_in_the_way")
                                               : std::string("fresh");
                         });

TEST_F(ExtractorTest, GzipProgressFollowsThePackageBytes)
{
    const std::string tar =
        testarchive::build(Format::Tar, {file("zeros.bin", std::string(4 << 20, '\0')),
                                         file("noise.bin", noise(1 << 20))});
    const std::string pkg = at("pkg.nbx");
    spit(pkg, gzipMember(tar));
    ASSERT_EQ(makeExtractor(pkg, at("app")).Extract(), 0) << log();
    const std::vector<Report> seen = reports(m_events);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().step, 1);
    for (const Report& r : seen) {
        if (r.step == 1) {
            EXPECT_LT(r.percent, 20) << "4 MiB of zeros take a few KiB of the package";
        }
    }
}

// --- the whole package: every member to its end, the digest, the entry count ---

// Runs a shell command; its exit status.
int sh(const std::string& command)
{
    return std::system(command.c_str());
}

// The SHA-256 of a file as sha256sum prints it.
std::string sha256Of(const std::string& path)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("sha256sum '" + path + "'").c_str(), "r"),
                                            pclose);
    char buf[65] = {};
    if (p && std::fread(buf, 1, 64, p.get()) == 64) {
        out = buf;
    }
    EXPECT_EQ(out.size(), 64u) << path;
    return out;
}

// GNU tar pads its output to 10 KiB records; where that padding crosses a 64 KiB block of
// the inflated stream, the tar reader ends before the member does. One byte of the
// noise flipped inside a stored deflate block changes only the data and the CRC32.
class ExtractorGnuTarTest : public ExtractorTest
{
protected:
    // A `tar -czf` package of one noise file of size bytes, with one byte of the
    // middle flipped; false when GNU tar cannot be run.
    bool damagedPackage(size_t size, const std::string& pkg)
    {
        const std::string src = at("src");
        sh("rm -rf '" + src + "' && mkdir -p '" + src + "'");
        spit(src + "/blob.bin", noise(size));
        if (sh("tar -C '" + src + "' -czf '" + pkg + "' blob.bin") != 0) {
            return false;
        }
        std::string bytes = slurp(pkg);
        bytes[bytes.size() / 2] ^= 0x20;
        spit(pkg, bytes);
        return true;
    }
};

TEST_F(ExtractorGnuTarTest, FlippedByteIsRefusedWhenTheTarEndsBeforeTheMember)
{
    // 512 header + 129,536 data + 1,024 end blocks end a 64 KiB block exactly; the
    // padding to 133,120 bytes lies in the next one, with the trailer.
    const std::string pkg = at("pkg.nbx");
    if (!damagedPackage(129536, pkg)) {
        GTEST_SKIP() << "GNU tar with gzip is needed";
    }
    ASSERT_NE(sh("gzip -t '" + pkg + "' 2>/dev/null"), 0) << "the damage must show to gzip";
    EXPECT_EQ(makeExtractor(pkg, at("app")).Extract(), -1);
    EXPECT_NE(log().find("gzip member CRC32 or ISIZE mismatch"), std::string::npos) << log();
}

TEST_F(ExtractorGnuTarTest, SweepOfRandomSizesAllFail)
{
    uint32_t x = 12345;
    for (int i = 0; i < 24; ++i) {
        x = x * 1103515245u + 12345u;
        const size_t size = 20000 + (x >> 8) % 240000;
        const std::string pkg = at("pkg" + std::to_string(i) + ".nbx");
        if (!damagedPackage(size, pkg)) {
            GTEST_SKIP() << "GNU tar with gzip is needed";
        }
        EXPECT_EQ(makeExtractor(pkg, at("app" + std::to_string(i))).Extract(), -1)
            << "size " << size;
    }
}

struct DigestCase
{
    const char* name;
    std::string (*make)(const std::vector<Entry>& entries);
};

const DigestCase DIGEST_CASES[] = {
    {"tar", [](const std::vector<Entry>& e) { return testarchive::build(Format::Tar, e); }},
    {"tar_gz", [](const std::vector<Entry>& e) { return testarchive::build(Format::TarGz, e); }},
    {"tar_zst", [](const std::vector<Entry>& e) { return testarchive::build(Format::TarZst, e); }},
    {"tar_xz", [](const std::vector<Entry>& e) { return testarchive::build(Format::TarXz, e); }},
    {"zip", [](const std::vector<Entry>& e) { return testarchive::build(Format::Zip, e); }},
    {"cpio", [](const std::vector<Entry>& e) { return testarchive::build(Format::Cpio, e); }},
    // gzip -c pkg.tar.gz: libarchive reads both layers, so the launcher must too.
    {"tar_gz_in_gzip",
     [](const std::vector<Entry>& e) { return gzipMember(testarchive::build(Format::TarGz, e)); }},
    {"tar_xz_in_gzip",
     [](const std::vector<Entry>& e) { return gzipMember(testarchive::build(Format::TarXz, e)); }},
    // Bytes after the members are not read by the archive's reader, yet are hashed.
    {"tar_gz_trailing_bytes",
     [](const std::vector<Entry>& e) {
         return testarchive::build(Format::TarGz, e) + std::string(3000, '\0') + "tail";
     }},
};

class ExtractorDigestTest : public ExtractorTest, public ::testing::WithParamInterface<DigestCase>
{};

TEST_P(ExtractorDigestTest, InstallsWithTheRightDigestOrNoneAndRefusesAWrongOne)
{
    const std::string big = noise(300000);
    const std::string pkg = at("pkg.nbx");
    spit(pkg, GetParam().make({dir("sub/"), file("sub/big.bin", big), file("top.txt", "top")}));
    const std::string right = sha256Of(pkg);
    std::string wrong = right;
    wrong[10] = wrong[10] == '0' ? '1' : '0';

    for (const std::string& digest : {std::string(), right, wrong}) {
        const std::string target = at("app-" + std::to_string(&digest - &right + 1));
        Extractor x = makeExtractor(pkg, target);
        x.SetExpectedSha256(digest);
        if (digest == wrong) {
            EXPECT_EQ(x.Extract(), -1);
            EXPECT_NE(log().find("[ERROR] extractor.cpp"), std::string::npos);
            EXPECT_NE(log().find("expected sha256 " + wrong + ", the package has " + right),
                      std::string::npos)
                << log();
            continue;
        }
        ASSERT_EQ(x.Extract(), 0) << log();
        EXPECT_EQ(slurp(target + "/sub/big.bin"), big);
        EXPECT_EQ(slurp(target + "/top.txt"), "top");
        EXPECT_EQ(log().find("[ERROR]"), std::string::npos) << log();
    }
}

INSTANTIATE_TEST_SUITE_P(Digests, ExtractorDigestTest, ::testing::ValuesIn(DIGEST_CASES),
                         [](const ::testing::TestParamInfo<DigestCase>& i) {
                             return std::string(i.param.name);
                         });

TEST_F(ExtractorTest, MalformedDigestIsRefusedBeforeAnythingIsWritten)
{
    const std::string pkg = writeArchive(Format::TarGz, {file("a.txt", "a")});
    Extractor x = makeExtractor(pkg, at("app"));
    x.SetExpectedSha256("not-a-digest");
    EXPECT_EQ(x.Extract(), -1);
    EXPECT_FALSE(exists(at("app/a.txt")));
    EXPECT_NE(log().find("sha256 is not a SHA-256 digest: 'not-a-digest'"), std::string::npos)
        << log();
}

// Cut after a whole member that ends at an entry's end: gzip and the tar reader see a
// complete package; only the entry count tells.
TEST_F(ExtractorTest, PackageCutAtAMemberBoundaryIsRefusedByTheEntryCount)
{
    const std::vector<Entry> all = {dir("bin/"), file("bin/a", noise(5000)), file("b", "b"),
                                    file("c", noise(7000)), file("d", "d")};
    const std::string tar = testarchive::build(Format::Tar, all);
    const std::string head = testarchive::build(Format::Tar, {all.begin(), all.begin() + 3});
    const size_t cut = head.size() - 1024; // without the end-of-archive blocks
    ASSERT_EQ(tar.compare(0, cut, head, 0, cut), 0);
    const std::string first = gzipMember(tar.substr(0, cut));
    const std::string whole = at("whole.nbx"), shortPkg = at("short.nbx");
    spit(whole, first + gzipMember(tar.substr(cut)));
    spit(shortPkg, first);

    struct Run
    {
        std::string pkg;
        uint64_t entries;
        int result;
    };
    // The package build counts the target folder too.
    int n = 0;
    for (const Run& r : {Run{whole, 6, 0}, Run{shortPkg, 0, 0}, Run{shortPkg, 6, -1}}) {
        Extractor x = makeExtractor(r.pkg, at("app" + std::to_string(++n)));
        x.SetExpectedEntries(r.entries);
        EXPECT_EQ(x.Extract(), r.result) << r.pkg << " " << r.entries << log();
    }
    EXPECT_NE(log().find("the package yields 4 entries, the version file says "
                         "installed_entries=6"),
              std::string::npos)
        << log();
}

// --- the block copier ---

struct ReadFree
{
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree
{
    void operator()(archive* a) const { archive_write_free(a); }
};

TEST_F(ExtractorTest, CopyDataWritesTheCurrentEntry)
{
    const std::string payload(50000, 'p');
    const std::string bytes = testarchive::build(Format::TarGz, {file("f.bin", payload)});
    std::unique_ptr<archive, ReadFree> reader(archive_read_new());
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    ASSERT_EQ(archive_read_open_memory(reader.get(), bytes.data(), bytes.size()), ARCHIVE_OK);
    archive_entry* entry = nullptr;
    ASSERT_EQ(archive_read_next_header(reader.get(), &entry), ARCHIVE_OK);
    archive_entry_set_pathname(entry, at("f.bin").c_str());
    std::unique_ptr<archive, WriteFree> writer(archive_write_disk_new());
    ASSERT_EQ(archive_write_header(writer.get(), entry), ARCHIVE_OK);

    Extractor x;
    EXPECT_EQ(ExtractorTestPeer::copyData(x, nullptr, writer.get()), -1);
    EXPECT_EQ(ExtractorTestPeer::copyData(x, reader.get(), nullptr), -1);
    EXPECT_NE(log().find("): Invalid Argument\n"), std::string::npos);
    EXPECT_EQ(ExtractorTestPeer::copyData(x, reader.get(), writer.get()), 0);
    ASSERT_EQ(archive_write_finish_entry(writer.get()), ARCHIVE_OK);
    EXPECT_EQ(slurp(at("f.bin")), payload);
}

// --- one pass on two threads ---

// Streams a package of zero-filled entries (name, size) without holding any in memory.
bool writeFiller(const std::string& path, int filter,
                 const std::vector<std::pair<std::string, int64_t>>& files)
{
    std::unique_ptr<archive, WriteFree> w(archive_write_new());
    archive_write_set_format_pax_restricted(w.get());
    archive_write_add_filter(w.get(), filter);
    if (archive_write_open_filename(w.get(), path.c_str()) != ARCHIVE_OK) {
        return false;
    }
    const std::string block(1 << 20, '\0');
    for (const auto& f : files) {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                                   archive_entry_free);
        archive_entry_set_pathname(e.get(), f.first.c_str());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), 0644);
        archive_entry_set_size(e.get(), f.second);
        if (archive_write_header(w.get(), e.get()) != ARCHIVE_OK) {
            return false;
        }
        for (int64_t left = f.second; left > 0; left -= static_cast<int64_t>(block.size())) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(left, block.size()));
            if (archive_write_data(w.get(), block.data(), n) != static_cast<la_ssize_t>(n)) {
                return false;
            }
        }
    }
    return archive_write_close(w.get()) == ARCHIVE_OK;
}

int64_t fileSize(const std::string& path)
{
    struct stat st;
    return lstatOk(path, &st) ? st.st_size : -1;
}

TEST_F(ExtractorTest, ProgressFollowsEveryEntryAndTheBytesNeverBackAndEndsAt90)
{
    std::vector<std::pair<std::string, int64_t>> files;
    for (int i = 0; i < 200; ++i) {
        files.emplace_back("small/" + std::to_string(i), 100);
    }
    files.emplace_back("big", 8 << 20);
    files.emplace_back("last", 100);
    const std::string pkg = at("big.tar");
    ASSERT_TRUE(writeFiller(pkg, ARCHIVE_FILTER_NONE, files));

    ASSERT_EQ(makeExtractor(pkg, at("app")).Extract(), 0) << log();
    EXPECT_EQ(m_events.front(), std::string("text:") + INIT_TEXT);
    const std::vector<Report> seen = reports(m_events);
    ASSERT_FALSE(seen.empty());
    std::set<int> entries;
    int insideBig = 0;
    Report last = {0, 0};
    for (const Report& r : seen) {
        EXPECT_GE(r.step, last.step);
        EXPECT_GE(r.percent, last.percent) << "the bar went back at step " << r.step;
        EXPECT_LT(r.percent, 100) << "only the end of the upgrade shows 100";
        entries.insert(r.step);
        insideBig += r.step == 201;
        last = r;
    }
    EXPECT_EQ(entries.size(), files.size()) << "one report per entry at least";
    EXPECT_GE(insideBig, 8) << "one report per MiB of the large entry";
    EXPECT_EQ(last.percent, 90) << "the flush that follows moves the bar on to 99";
}

void slowFlush()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

// A slow flush (each fsync held back, on a tmpfs where the flush is file by file): the
// dialog says it is finishing, and its text or bar changes at least every 2 s until done.
TEST_F(ExtractorTest, SlowFlushKeepsTheDialogMoving)
{
    const std::string target = at("fs");
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=16m") != 0) {
        GTEST_SKIP() << "mounting a tmpfs was refused";
    }
    std::vector<std::pair<std::string, int64_t>> files;
    for (int i = 0; i < 100; ++i) {
        files.emplace_back("d/" + std::to_string(i), 100);
    }
    const std::string pkg = at("many.tar");
    ASSERT_TRUE(writeFiller(pkg, ARCHIVE_FILTER_NONE, files));
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> changes;
    std::vector<std::string> finishing;
    Notify_Adapter* adapter = Notify_Adapter::GetInstance();
    QObject receiver;
    QObject::connect(adapter, &Notify_Adapter::sigUpdateProgress, &receiver,
                     [&](int, int) { changes.push_back(Clock::now()); });
    QObject::connect(adapter, &Notify_Adapter::sigUpdateDialogText, &receiver, [&](QString text) {
        changes.push_back(Clock::now());
        if (text.startsWith("Finishing")) {
            finishing.push_back(text.toStdString());
        }
    });
    TreeFlusher::SetFlushHookForTests(slowFlush);
    const int result = makeExtractor(pkg, target + "/app").Extract();
    const Clock::time_point end = Clock::now();
    TreeFlusher::SetFlushHookForTests(nullptr);
    ::umount2(target.c_str(), MNT_DETACH);
    ASSERT_EQ(result, 0) << log();
    ASSERT_GE(finishing.size(), 2u) << "the text shows the flush's progress";
    EXPECT_EQ(finishing.front(), "Finishing the installation... 0%");
    EXPECT_NE(finishing.back(), finishing.front());
    changes.push_back(end);
    for (size_t i = 1; i < changes.size(); ++i) {
        EXPECT_LE(changes[i] - changes[i - 1], std::chrono::seconds(2)) << "change " << i;
    }
    const std::vector<Report> seen = reports(m_events);
    ASSERT_FALSE(seen.empty());
    EXPECT_GT(seen.back().percent, 90) << "the bar moved on through the flush";
    EXPECT_LT(seen.back().percent, 100);
}

// Lowers the file size limit while it lives. SIGXFSZ is ignored meanwhile, so that a
// write past the limit fails with EFBIG instead of ending the test program.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit) : m_handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &m_old), 0);
        rlimit lowered = m_old;
        lowered.rlim_cur = limit;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    ~FileSizeLimit()
    {
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &m_old), 0);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_handler)(int);
};

TEST_F(ExtractorTest, WritingFailureStopsTheReadingSide)
{
    // A reading side that went on past the failure would report most of "rest".
    const std::string pkg = at("pkg.tar");
    ASSERT_TRUE(writeFiller(pkg, ARCHIVE_FILTER_NONE, {{"first", 4 << 20}, {"rest", 24 << 20}}));
    int result;
    Blame blame;
    {
        FileSizeLimit limit(1 << 20);
        Extractor extractor = makeExtractor(pkg, at("app"));
        result = extractor.Extract();
        blame = extractor.FailureBlame();
    }
    EXPECT_EQ(result, -1);
    // A limit of the machine, said with its cause, and not the package's fault.
    EXPECT_NE(log().find("): cannot write below '"), std::string::npos) << log();
    EXPECT_NE(log().find("File too large (27)"), std::string::npos) << log();
    EXPECT_EQ(blame, Blame::Environment);
    EXPECT_LE(fileSize(at("app/first")), 1 << 20);
    EXPECT_FALSE(exists(at("app/rest")));
    ASSERT_FALSE(reports(m_events).empty());
    EXPECT_LT(reports(m_events).back().percent, 30);
}

// A writing side that waited for more would hang the run here.
TEST_F(ExtractorTest, ReadingFailureStopsTheWritingSide)
{
    const std::string pkg = at("pkg.tar");
    ASSERT_TRUE(writeFiller(pkg, ARCHIVE_FILTER_NONE, {{"first", 4 << 20}, {"rest", 24 << 20}}));
    ASSERT_EQ(::truncate(pkg.c_str(), 8 << 20), 0);

    EXPECT_EQ(makeExtractor(pkg, at("app")).Extract(), -1);
    EXPECT_NE(log().find("): archive_read_data_block failed: '"), std::string::npos) << log();
    EXPECT_EQ(fileSize(at("app/first")), 4 << 20) << "what came before the damage is written";
}

TEST_F(ExtractorTest, QueueStaysBoundedThroughA100MbEntry)
{
    const int64_t size = 100 * 1000 * 1000;
    const std::string pkg = at("zeros.tar.zst");
    ASSERT_TRUE(writeFiller(pkg, ARCHIVE_FILTER_ZSTD, {{"zeros", size}}));

    Extractor x = makeExtractor(pkg, at("app"));
    ASSERT_EQ(x.Extract(), 0) << log();
    EXPECT_EQ(fileSize(at("app/zeros")), size);
    EXPECT_GT(ExtractorTestPeer::queuePeak(x), 0u);
    EXPECT_LE(ExtractorTestPeer::queuePeak(x), 4u << 20) << "a few MiB at most";
}

} // namespace

// A folder of the target moved out and replaced by a symlink while its files are written
// (by another process of the user): files that come after the swap are not created in the
// moved folder, now outside the target.
TEST_F(ExtractorTest, FolderMovedOutWhileWrittenGetsNoMoreFiles)
{
    std::vector<Entry> entries = {dir("d/")};
    for (int i = 0; i < 800; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d/f%04d", i);
        entries.push_back(file(name, "x"));
    }
    const std::string pkg = writeArchive(Format::Tar, entries);
    const std::string target = at("app");
    const std::string moved = at("outside/moved");
    ASSERT_EQ(::mkdir(at("outside").c_str(), 0755), 0);
    std::set<std::string> atSwap;
    bool swapped = false;
    std::thread racer([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!exists(target + "/d/f0000") && std::chrono::steady_clock::now() < until) {
        }
        swapped = ::rename((target + "/d").c_str(), moved.c_str()) == 0;
        atSwap = listing(moved);
        (void)::symlink(moved.c_str(), (target + "/d").c_str());
    });
    Extractor extractor = makeExtractor(pkg, target);
    const int result = extractor.Extract();
    racer.join();
    ASSERT_TRUE(swapped);
    ASSERT_LT(atSwap.size(), 800u) << "the swap came after the last file";
    const std::set<std::string> after = listing(moved);
    EXPECT_LE(after.size(), atSwap.size() + 1)
        << after.size() - atSwap.size() << " files created outside the target after the swap; "
        << "result " << result << ", blame " << static_cast<int>(extractor.FailureBlame());
}
