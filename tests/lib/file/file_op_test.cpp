#include "fs_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

// Path predicates are pure text functions.
struct PathRow
{
    const char* name;
    const char* path;
    const char* parent;
    const char* base;
};

void PrintTo(const PathRow& row, std::ostream* os)
{
    *os << row.name;
}

class PathTextTest : public ::testing::TestWithParam<PathRow>
{};

TEST_P(PathTextTest, ParentAndBaseName)
{
    EXPECT_STREQ(GetParam().parent, FSParentPath(GetParam().path).c_str());
    EXPECT_STREQ(GetParam().base, FSBaseName(GetParam().path).c_str());
}

INSTANTIATE_TEST_SUITE_P(Rows, PathTextTest,
                         ::testing::Values(PathRow{"root_child", "/a", "/", "a"},
                                           PathRow{"relative_single", "a", "/", "a"},
                                           PathRow{"two_levels", "/a/b", "/a", "b"},
                                           PathRow{"trailing_slash", "/a/b/", "/a/b", ""},
                                           PathRow{"relative_two", "a/b", "a", "b"}),
                         [](const ::testing::TestParamInfo<PathRow>& i) { return i.param.name; });

struct ParentRow
{
    const char* name;
    const char* parent;
    const char* child;
    bool expected;
};

void PrintTo(const ParentRow& row, std::ostream* os)
{
    *os << row.name;
}

class ParentFolderTest : public ::testing::TestWithParam<ParentRow>
{};

TEST_P(ParentFolderTest, IsParentFolder)
{
    EXPECT_EQ(GetParam().expected, FSIsParentFolder(GetParam().parent, GetParam().child));
}

INSTANTIATE_TEST_SUITE_P(Rows, ParentFolderTest,
                         ::testing::Values(ParentRow{"itself", "/a", "/a", true},
                                           ParentRow{"child", "/a", "/a/b", true},
                                           ParentRow{"name_prefix", "/a", "/ab", false},
                                           ParentRow{"trailing_slash", "/a/", "/a/b", false},
                                           ParentRow{"shorter_child", "/a/b", "/a", false},
                                           ParentRow{"empty_parent", "", "/x", true},
                                           ParentRow{"other_tree", "/a", "/b/a", false}),
                         [](const ::testing::TestParamInfo<ParentRow>& i) { return i.param.name; });

TEST_F(FileOpTest, StatClassifiesEveryKindOfPath)
{
    write("file", "12345");
    QDir().mkpath(QString::fromStdString(p("dir")));
    ASSERT_EQ(0, symlink("file", p("link").c_str()));
    ASSERT_EQ(0, symlink("missing", p("dangling").c_str()));
    ASSERT_EQ(0, mkfifo(p("fifo").c_str(), 0600));
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", p("sock").c_str());
    const bool haveSocket = bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(sock);

    const struct
    {
        std::string path;
        FILE_TYPE type;
        uint64_t size;
    } rows[] = {{p("file"), FT_FILE, 5},      {p("dir"), FT_DIR, 0},   {p("link"), FT_SLINK, 4},
                {p("dangling"), FT_SLINK, 7}, {p("fifo"), FT_FIFO, 0}, {"/dev/null", FT_DEV, 0}};
    for (const auto& row : rows) {
        FILE_INFO info;
        ASSERT_EQ(0, FSStat(row.path, info, false)) << row.path;
        EXPECT_TRUE(info.isExist) << row.path;
        EXPECT_EQ(row.type, info.type) << row.path;
        if (row.type != FT_DIR && row.type != FT_DEV) {
            EXPECT_EQ(row.size, info.size) << row.path;
        }
        EXPECT_EQ(ustring(row.path), info.path);
        EXPECT_EQ(FSBaseName(row.path), info.name);
    }
    if (haveSocket) {
        FILE_INFO info;
        ASSERT_EQ(0, FSStat(u("sock"), info, false));
        EXPECT_EQ(FT_SOCK, info.type);
    }
    EXPECT_TRUE(IsFileExist(u("dangling"), false));
    EXPECT_FALSE(IsFileExist(ustring(), false));
    EXPECT_FALSE(IsFileExist(u("file/under"), false));
}

TEST_F(FileOpTest, StatReturnCodes)
{
    write("file", "x");
    FILE_INFO info;
    info.size = 99;
    EXPECT_EQ(-1, FSStat(ustring(), info, false));
    EXPECT_EQ(99u, info.size); // untouched

    EXPECT_EQ(0, FSStat(u("missing"), info, false));
    EXPECT_FALSE(info.isExist);
    EXPECT_EQ(FT_ERR, info.type);
    EXPECT_EQ(0u, info.size);
    EXPECT_STREQ("missing", info.name.c_str());

    EXPECT_EQ(-2, FSStat(u("file/under"), info, false)); // ENOTDIR
}

TEST_F(FileOpTest, FileInfoEqualityIgnoresOwnerModeAndDevice)
{
    write("file", "abc");
    FILE_INFO a;
    FILE_INFO b;
    ASSERT_EQ(0, FSStat(u("file"), a, false));
    ASSERT_EQ(0, FSStat(u("file"), b, false));
    b.uid = a.uid + 1;
    b.mode = 0;
    b.dev_id = a.dev_id + 1;
    EXPECT_TRUE(a == b);
    b.size = a.size + 1;
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(FILE_INFO() == FILE_INFO());
}

struct MkdirRow
{
    const char* name;
    const char* target; // below the scratch folder
    bool createParent;
    int expected;
    const char* logged; // text expected in the log, or ""
};

void PrintTo(const MkdirRow& row, std::ostream* os)
{
    *os << row.name;
}

class MkdirTest : public FileOpTest, public ::testing::WithParamInterface<MkdirRow>
{};

TEST_P(MkdirTest, ReturnCodesAndMessages)
{
    write("file", "x");
    QDir().mkpath(QString::fromStdString(p("dir")));
    ASSERT_EQ(0, symlink("dir", p("dirlink").c_str()));
    ASSERT_EQ(0, symlink("nowhere", p("dangling").c_str()));
    const MkdirRow& row = GetParam();
    EXPECT_EQ(row.expected, FSMKDir(u(row.target), row.createParent));
    EXPECT_TRUE(log().contains(row.logged)) << log().constData();
    if (row.expected == 0) {
        struct stat st;
        ASSERT_EQ(0, lstat(p(row.target).c_str(), &st));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MkdirTest,
    ::testing::Values(MkdirRow{"existing_dir", "dir", false, 0, ""},
                      MkdirRow{"new_dir", "new", false, 0, ""},
                      MkdirRow{"existing_file", "file", false, -1,
                               "FSMKDir: Create a folder but local file system is not directory '"},
                      MkdirRow{"file_type_number", "file", true, -1, "/file' (1)\n"},
                      MkdirRow{"link_to_dir", "dirlink", false, -1, "/dirlink' (3)\n"},
                      MkdirRow{"missing_parent", "a/b/c", false, -2,
                               "/a/b/c errno : No such file or directory\n"},
                      MkdirRow{"create_parents", "a/b/c", true, 0, ""},
                      MkdirRow{"parent_is_file", "file/sub/x", true, -1,
                               "FSMKDir: Failed to to file info '"},
                      MkdirRow{"dangling_parent_link", "dangling/x", true, -2,
                               "/dangling/x errno : File exists\n"},
                      MkdirRow{"under_file_unreadable", "file/sub", false, -1,
                               "FSMKDir: Failed to to file info '"}),
    [](const ::testing::TestParamInfo<MkdirRow>& i) { return i.param.name; });

TEST_F(FileOpTest, MkdirPNamesTheFileInTheWay)
{
    write("file", "x");
    EXPECT_EQ(-1, FSMKDirP(u("file/sub/x"), nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_TRUE(log().contains(("[INFO] file-op.cpp(")));
    EXPECT_TRUE(log().contains(
        ("FSMKDirP: path: " + p("file") + " is symbolic link pointed to folder\n").c_str()));

    const char* end = nullptr;
    const ustring target = u("file");
    errno = 0;
    EXPECT_EQ(-1, FSMKDirP(target, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ(target.c_str() + target.length(), end);
    EXPECT_TRUE(log().contains(
        ("FSMKDirP: path: " + p("file") + " is existing file or symbolic link pointed to file\n")
            .c_str()));
}

TEST_F(FileOpTest, MkdirPStopsAtTheFailingComponent)
{
    write("file", "x");
    const ustring target = u("file/sub/deeper");
    const char* end = nullptr;
    EXPECT_EQ(-1, FSMKDirP(target, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(ENOTDIR, errno);
    ASSERT_NE(nullptr, end);
    EXPECT_STREQ("/deeper", end);
}

TEST_F(FileOpTest, MkdirPForceReplacesAFileAndAcceptsATrailingSlash)
{
    write("a/b", "file in the way");
    const ustring target = u("a/b/c/");
    const char* end = nullptr;
    EXPECT_EQ(0, FSMKDirP(target, &end, true, static_cast<mode_t>(-1)));
    EXPECT_EQ(target.c_str() + target.length() - 1, end);
    struct stat st;
    ASSERT_EQ(0, stat(p("a/b/c").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(FileOpTest, MkdirPAppliesAnExplicitModeExactlyAndRestoresTheUmask)
{
    const mode_t old = umask(027);
    EXPECT_EQ(0, FSMKDirP(u("exact/inner"), nullptr, false, 0775));
    EXPECT_EQ(027u, umask(027));
    EXPECT_EQ(0, FSMKDirP(u("masked/inner"), nullptr, false, static_cast<mode_t>(-1)));
    umask(old);
    struct stat st;
    ASSERT_EQ(0, stat(p("exact/inner").c_str(), &st));
    EXPECT_EQ(0775u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(p("exact").c_str(), &st));
    EXPECT_EQ(0775u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(p("masked/inner").c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    EXPECT_EQ(-1, FSMKDirP(ustring(), nullptr, false, 0700));
}

TEST_F(FileOpTest, MkdirFromRoot)
{
    QDir().mkpath(QString::fromStdString(p("r")));
    EXPECT_EQ(0, FSMKDirFromRoot(u("r/a/b"), u("r")));
    EXPECT_TRUE(exists("r/a/b"));
    EXPECT_TRUE(log().contains("FSMKDirFromRoot: create /a\n"));
    EXPECT_TRUE(log().contains("FSMKDirFromRoot: create /a/b\n"));
    EXPECT_EQ(0, FSMKDirFromRoot(u("r"), u("r")));

    EXPECT_EQ(-1, FSMKDirFromRoot(u("r/x/y"), u("r/")));
    EXPECT_TRUE(log().contains(
        ("root '" + p("r/") + "' is not a parent folder of target '" + p("r/x/y")).c_str()));
    EXPECT_FALSE(exists("r/x"));
    EXPECT_EQ(-1, FSMKDirFromRoot(u("r"), u("r/a/b")));
    EXPECT_TRUE(log().contains("whose length is larger then target's"));

    write("r/file", "x");
    EXPECT_EQ(-1, FSMKDirFromRoot(u("r/file/z"), u("r")));
}

TEST_F(FileOpTest, CopyCopiesEveryBlockAndKeepsAnExistingDestinationsMode)
{
    // Larger than the 32 MiB buffer, so the loop runs more than once.
    QByteArray data(33554432 + 4097, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((static_cast<unsigned>(i) * 131u) >> 3);
    write("src", data);
    write("dst", "old content that is longer than nothing");
    ASSERT_EQ(0, chmod(p("dst").c_str(), 0600));

    EXPECT_EQ(0, FSCopy(u("src"), u("dst"), false));
    EXPECT_TRUE(read("dst") == data);
    EXPECT_TRUE(exists("src"));
    struct stat st;
    ASSERT_EQ(0, stat(p("dst").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);

    EXPECT_EQ(0, FSCopy(u("src"), u("moved"), true));
    EXPECT_FALSE(exists("src"));
    EXPECT_TRUE(read("moved") == data);
}

TEST_F(FileOpTest, CopyFailures)
{
    QDir().mkpath(QString::fromStdString(p("dir")));
    write("src", "data");

    EXPECT_EQ(-1, FSCopy(u("missing"), u("out1"), false));
    EXPECT_TRUE(log().contains(
        ("CopyFile: open(" + p("missing") + "): No such file or directory (2)\n").c_str()));
    EXPECT_FALSE(exists("out1"));

    EXPECT_EQ(-1, FSCopy(u("src"), u("nodir/out"), true));
    EXPECT_TRUE(log().contains(("CopyFile: open(" + p("nodir/out") + "): ").c_str()));
    EXPECT_TRUE(exists("src"));

    // A directory opens but cannot be read; the empty destination stays.
    EXPECT_EQ(-1, FSCopy(u("dir"), u("out2"), true));
    EXPECT_TRUE(log().contains("CopyFile: read: Is a directory (21)\n"));
    EXPECT_TRUE(exists("out2"));
    EXPECT_TRUE(exists("dir"));
}

struct SelfCopyRow
{
    const char* name;
    const char* dst;
};

void PrintTo(const SelfCopyRow& row, std::ostream* os)
{
    *os << row.name;
}

class SelfCopyTest : public FileOpTest, public ::testing::WithParamInterface<SelfCopyRow>
{};

TEST_P(SelfCopyTest, RefusesToTruncateTheSource)
{
    write("src", "precious");
    ASSERT_EQ(0, link(p("src").c_str(), p("hard").c_str()));
    ASSERT_EQ(0, symlink("src", p("soft").c_str()));
    EXPECT_EQ(-1, FSCopy(u("src"), u(GetParam().dst), true));
    EXPECT_EQ("precious", read("src"));
    EXPECT_TRUE(log().contains("are the same file\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SelfCopyTest,
    ::testing::Values(SelfCopyRow{"same_path", "src"}, SelfCopyRow{"hard_link", "hard"},
                      SelfCopyRow{"symbolic_link", "soft"}, SelfCopyRow{"dotted_path", "./src"}),
    [](const ::testing::TestParamInfo<SelfCopyRow>& i) { return i.param.name; });

TEST_F(FileOpTest, CopyOntoAFullDiskIsMinusTwoAndKeepsTheSource)
{
    REQUIRE_TMPFS("small", "256k");
    write("big", QByteArray(1024 * 1024, 'b'));
    EXPECT_EQ(-2, FSCopy(u("big"), u("small/big"), true));
    EXPECT_TRUE(log().contains("CopyFile: write: No space left on device (28)\n"));
    EXPECT_TRUE(exists("big"));
    EXPECT_TRUE(exists("small/big")); // the partial copy remains
    EXPECT_EQ(1024 * 1024, read("big").size());
}

TEST_F(FileOpTest, RenameWithinOneFileSystem)
{
    write("a", "A");
    EXPECT_EQ(0, FSRename(u("a"), u("b"), false));
    EXPECT_EQ("A", read("b"));
    EXPECT_FALSE(exists("a"));

    EXPECT_EQ(-1, FSRename(ustring(), u("b"), false));
    EXPECT_EQ(-1, FSRename(u("b"), ustring(), false));
    EXPECT_EQ(-2, FSRename(u("missing"), u("c"), false));
    EXPECT_EQ(-2, FSRename(u("b/under"), u("c"), false));
    EXPECT_EQ(-100, FSRename(u("b"), u(std::string(NAME_MAX + 1, 'n')), false));
    QDir().mkpath(QString::fromStdString(p("d/e")));
    EXPECT_EQ(-3, FSRename(u("d"), u("d/e/f"), false)); // into itself: EINVAL
    EXPECT_TRUE(exists("b"));
}

TEST_F(FileOpTest, RenameAcrossFileSystemsMovesFilesTreesAndLinks)
{
    REQUIRE_TMPFS("other", "4m");
    write("file", "F");
    write("tree/sub/x", "X");
    write("tree/y", "Y");
    ASSERT_EQ(0, symlink("../y", p("tree/sub/up").c_str()));
    ASSERT_EQ(0, symlink("/no/such/target", p("lonely").c_str()));

    EXPECT_EQ(0, FSRename(u("file"), u("other/file"), false));
    EXPECT_EQ("F", read("other/file"));
    EXPECT_FALSE(exists("file"));

    EXPECT_EQ(0, FSRename(u("tree"), u("other/tree"), false));
    EXPECT_FALSE(exists("tree"));
    EXPECT_EQ("X", read("other/tree/sub/x"));
    EXPECT_EQ("Y", read("other/tree/y"));
    ustring text;
    ASSERT_EQ(0, FSReadSymbolicLink(u("other/tree/sub/up"), text));
    EXPECT_STREQ("../y", text.c_str());

    EXPECT_EQ(0, FSRename(u("lonely"), u("other/lonely"), false));
    EXPECT_FALSE(exists("lonely"));
    ASSERT_EQ(0, FSReadSymbolicLink(u("other/lonely"), text));
    EXPECT_STREQ("/no/such/target", text.c_str());
}

TEST_F(FileOpTest, RenameAcrossFileSystemsRefusesSpecialFiles)
{
    REQUIRE_TMPFS("other", "1m");
    ASSERT_EQ(0, mkfifo(p("fifo").c_str(), 0600));
    EXPECT_EQ(-3, FSRename(u("fifo"), u("other/fifo"), false));
    EXPECT_TRUE(exists("fifo"));

    write("tree/a", "A");
    ASSERT_EQ(0, mkfifo(p("tree/pipe").c_str(), 0600));
    EXPECT_EQ(-3, FSRename(u("tree"), u("other/tree"), false));
    EXPECT_TRUE(exists("tree/pipe"));
    EXPECT_TRUE(exists("tree")); // not removed while something is left in it
}

TEST_F(FileOpTest, RenameAcrossFileSystemsOntoAFullDisk)
{
    REQUIRE_TMPFS("small", "256k");
    write("big", QByteArray(1024 * 1024, 'b'));
    EXPECT_EQ(-3, FSRename(u("big"), u("small/big"), false));
    EXPECT_EQ(1024 * 1024, read("big").size());
}

TEST_F(FileOpTest, RemoveFilesTreesAndLinks)
{
    EXPECT_EQ(-1, FSRemove(ustring(), false));
    EXPECT_EQ(0, FSRemove(u("missing"), false));
    write("plain", "P");
    EXPECT_EQ(-1, FSRemove(u("plain/under"), false)); // ENOTDIR

    write("target/keep", "K");
    ASSERT_EQ(0, symlink("target", p("link").c_str()));
    EXPECT_EQ(0, FSRemove(u("link"), false));
    EXPECT_FALSE(exists("link"));
    EXPECT_TRUE(exists("target/keep"));

    write("tree/a/b/c", "C");
    write("tree/d", "D");
    ASSERT_EQ(0, symlink("/", p("tree/a/root").c_str()));
    EXPECT_EQ(0, FSRemove(u("tree"), false));
    EXPECT_FALSE(exists("tree"));
}

TEST_F(FileOpTest, RemoveOfAnUnreadableDirectoryIsAFailure)
{
    if (!testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root to run a step as an unprivileged user";
    ASSERT_EQ(0, chmod(pathStd().c_str(), 0755));
    write("locked/inner", "I");
    ASSERT_EQ(0, chmod(p("locked").c_str(), 0333)); // writable, not listable
    const ustring dir = u("locked");
    EXPECT_EQ(-3, runAsNobody([&dir]() { return FSRemove(dir, false); }));
    chmod(p("locked").c_str(), 0755);
    EXPECT_TRUE(exists("locked/inner"));

    // An entry that cannot be removed keeps the directory; the rest still goes.
    write("tree/sealed/x", "X");
    write("tree/z", "Z");
    ASSERT_EQ(0, chmod(p("tree").c_str(), 0777));
    ASSERT_EQ(0, chmod(p("tree/z").c_str(), 0666));
    ASSERT_EQ(0, chmod(p("tree/sealed").c_str(), 0555));
    const ustring tree = u("tree");
    EXPECT_EQ(-3, runAsNobody([&tree]() { return FSRemove(tree, false); }));
    EXPECT_TRUE(exists("tree/sealed/x"));
    EXPECT_FALSE(exists("tree/z"));
}

TEST_F(FileOpTest, RemoveOfOwnReadOnlyFoldersMakesThemWritableFirst)
{
    if (!testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root to run a step as an unprivileged user";
    ASSERT_EQ(0, chmod(pathStd().c_str(), 0777));
    const ustring tree = u("ro");
    EXPECT_EQ(0, runAsNobody([&tree]() {
                  const std::string t = tree.c_str();
                  if (mkdir(t.c_str(), 0755) != 0 || mkdir((t + "/a").c_str(), 0755) != 0 ||
                      mkdir((t + "/a/b").c_str(), 0755) != 0)
                      return -10;
                  const int fd = open((t + "/a/b/f").c_str(), O_CREAT | O_WRONLY, 0444);
                  if (fd < 0)
                      return -11;
                  close(fd);
                  // Searchable but not writable, and one neither listable nor searchable.
                  if (chmod((t + "/a/b").c_str(), 0555) != 0 || chmod((t + "/a").c_str(), 0) != 0 ||
                      chmod(t.c_str(), 0555) != 0)
                      return -12;
                  return FSRemove(tree, false);
              }));
    EXPECT_FALSE(exists("ro"));
}

TEST_F(FileOpTest, ReadDirListsEveryEntryWithTypesAndOptionalSizes)
{
    write("d/file", "12345");
    QDir().mkpath(QString::fromStdString(p("d/sub")));
    ASSERT_EQ(0, symlink("file", p("d/link").c_str()));

    for (int flag : {0, 1}) {
        DIR_HANDLE dh;
        ASSERT_EQ(0, FSOpenDir(u("d"), flag, dh));
        EXPECT_EQ(u("d"), dh.path);
        EXPECT_EQ(flag, dh.flag);
        EXPECT_TRUE(fcntl(dirfd(dh.dp), F_GETFD) & FD_CLOEXEC);
        std::map<std::string, DIR_ENTRY> seen;
        DIR_ENTRY e;
        int rc;
        while ((rc = FSReadDir(dh, e)) == 1)
            seen[e.name.c_str()] = e;
        EXPECT_EQ(0, rc);
        FSCloseDir(dh);
        EXPECT_EQ(nullptr, dh.dp);
        EXPECT_TRUE(dh.path.empty());

        ASSERT_EQ(5u, seen.size());
        EXPECT_TRUE(seen.count(".") && seen.count(".."));
        EXPECT_EQ(FT_FILE, seen["file"].type);
        EXPECT_EQ(FT_DIR, seen["sub"].type);
        EXPECT_EQ(FT_SLINK, seen["link"].type);
        EXPECT_EQ(flag ? 5u : 0u, seen["file"].size);
        EXPECT_EQ(flag ? 4u : 0u, seen["link"].size); // the link's own size
        if (!flag) {
            EXPECT_EQ(0u, seen["file"].mtime);
        } else {
            EXPECT_NE(0u, seen["file"].mtime);
        }
    }
}

TEST_F(FileOpTest, DirectoryHandleFailures)
{
    DIR_HANDLE never;
    FSCloseDir(never); // harmless
    DIR_ENTRY e;
    EXPECT_EQ(-1, FSReadDir(never, e));
    EXPECT_EQ(-1, FSOpenDir(u("missing"), 0, never));
    EXPECT_EQ(nullptr, never.dp);
    EXPECT_TRUE(log().contains(
        ("FSOpenDir: Failed to open directory '" + p("missing") + "'. No such file or directory\n")
            .c_str()));

    // An entry whose status cannot be read with flag 1.
    if (!testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root to run a step as an unprivileged user";
    ASSERT_EQ(0, chmod(pathStd().c_str(), 0755));
    write("d/f", "x");
    ASSERT_EQ(0, chmod(p("d").c_str(), 0444)); // listable, entries not reachable
    const ustring d = u("d");
    EXPECT_EQ(-1, runAsNobody([&d]() {
        DIR_HANDLE dh;
        if (FSOpenDir(d, 1, dh) != 0)
            return 5;
        DIR_ENTRY entry;
        int rc;
        while ((rc = FSReadDir(dh, entry)) == 1) {
        }
        return rc;
    }));
}

TEST_F(FileOpTest, SymbolicLinksRealPathAndTimes)
{
    write("target", "T");
    EXPECT_EQ(0, FSCreateSymbolicLink(ustring("target"), u("link")));
    EXPECT_EQ(-1, FSCreateSymbolicLink(ustring("target"), u("link")));
    EXPECT_TRUE(
        log().contains("FSCreateSymbolicLink: Failed to create symbolic link 'target' -> '"));
    ustring text;
    EXPECT_EQ(0, FSReadSymbolicLink(u("link"), text));
    EXPECT_STREQ("target", text.c_str());
    EXPECT_EQ(-1, FSReadSymbolicLink(u("target"), text));
    EXPECT_TRUE(log().contains("FSReadSymbolicLink: Failed to read symbolic link '"));

    ustring real = u("link");
    ASSERT_EQ(0, FSGetRealPath(real));
    char expected[PATH_MAX];
    ASSERT_NE(nullptr, realpath(p("target").c_str(), expected));
    EXPECT_STREQ(expected, real.c_str());
    ustring missing = u("nothing");
    EXPECT_EQ(-1, FSGetRealPath(missing));
    EXPECT_EQ(u("nothing"), missing);

    // The link's own times change, not the target's.
    EXPECT_EQ(0, FSUTime(u("link"), 1000000, 2000000));
    struct stat st;
    ASSERT_EQ(0, lstat(p("link").c_str(), &st));
    EXPECT_EQ(2000000, st.st_mtime);
    ASSERT_EQ(0, stat(p("link").c_str(), &st));
    EXPECT_NE(2000000, st.st_mtime);
    EXPECT_EQ(-1, FSUTime(u("nothing"), 1, 1));

    EXPECT_EQ(0, FSChown(u("link"), 65534, 65534));
    ASSERT_EQ(0, lstat(p("link").c_str(), &st));
    EXPECT_EQ(65534u, st.st_uid);
    ASSERT_EQ(0, stat(p("link").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(-1, FSChown(u("nothing"), 0, 0));
    EXPECT_TRUE(log().contains("FSChown: Failed to chown '"));
}

TEST_F(FileOpTest, MktempCreatesAnEmptyWorldReadableFile)
{
    ustring made;
    ASSERT_EQ(0, FSMktemp(ustring(pathStd()), made));
    EXPECT_TRUE(FSIsParentFolder(ustring(pathStd()), made));
    struct stat st;
    ASSERT_EQ(0, stat(made.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(0, st.st_size);

    ustring untouched("keep");
    EXPECT_EQ(-1, FSMktemp(u("nodir"), untouched));
    EXPECT_STREQ("keep", untouched.c_str());
    EXPECT_TRUE(log().contains("mkstemp(" + QByteArray(p("nodir/").c_str())));
}

TEST_F(FileOpTest, PermissionAndFileSystemProbes)
{
    EXPECT_TRUE(hasFilePermission(u("missing"), R_OK));
    EXPECT_FALSE(isFileLocked(u("missing"), R_OK));
    EXPECT_FALSE(isMountPoint(ustring(pathStd())));
    EXPECT_FALSE(IsMSDOS(ustring(pathStd())));
    EXPECT_FALSE(isMountPoint(u("missing")));
    EXPECT_TRUE(log().contains("isMountPoint: Failed to get file system info '"));
    EXPECT_FALSE(IsMSDOS(u("missing")));
    EXPECT_TRUE(log().contains("IsSupportLargeFile: Failed to get file system info '"));

    if (!testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root to run a step as an unprivileged user";
    ASSERT_EQ(0, chmod(pathStd().c_str(), 0755));
    write("secret", "s");
    ASSERT_EQ(0, chmod(p("secret").c_str(), 0600));
    const ustring secret = u("secret");
    EXPECT_EQ(1, runAsNobody([&secret]() { return isFileLocked(secret, R_OK) ? 1 : 0; }));
    EXPECT_EQ(0, runAsNobody([&secret]() { return hasFilePermission(secret, R_OK) ? 1 : 0; }));
}

TEST_F(FileOpTest, TempPathIsInsideThePrefixAndCreatesNothing)
{
    ustring made;
    ASSERT_EQ(0, FSCreateTempPath(ustring(pathStd()), made));
    EXPECT_EQ(pathStd().size() + 9, made.length());
    EXPECT_TRUE(FSIsParentFolder(ustring(pathStd()), made));
    EXPECT_FALSE(IsFileExist(made, false));
}

} // namespace
