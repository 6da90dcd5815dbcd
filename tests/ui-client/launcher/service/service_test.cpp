#include "service_support.h"
#include "testsupport.h"

#include "brisendale-service.h"
#include "linux/linux-service.h"
#include "log/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using servicetest::listTree;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// A service whose protected operations a test may call.
class OpenService : public LinuxService
{
public:
    OpenService() : LinuxService(Layout::OfThisProcess()) {}
    using Service::FSCopyPath;
    using Service::LoadSourceVersion;
    using Service::source_version;
};

// Logs of this process at every level into a file of the scratch folder.
class InProcessTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        writeFile(path() + "/levels", "service_debug=7\n");
        ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER,
                                     (path() + "/log.txt").toUtf8().constData(),
                                     (path() + "/levels").toUtf8().constData(), 50),
                  0);
    }
    void TearDown() override
    {
        Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50);
        ScratchTest::TearDown();
    }
    QString log() const { return QString::fromUtf8(readFile(path() + "/log.txt")); }
    QString app() const { return home() + "/.Brisendale/Brisendale.app"; }
};

} // namespace

// ---------------------------------------------------------------- install layout

TEST_F(InProcessTest, UserPathsFollowHome)
{
    const Layout layout = Layout::OfThisProcess();
    EXPECT_EQ(std::string(layout.Home().c_str()), home().toStdString());
    EXPECT_EQ(std::string(layout.UserRoot().c_str()), (home() + "/.Brisendale").toStdString());
    EXPECT_EQ(std::string(layout.App().c_str()), app().toStdString());
    EXPECT_EQ(std::string(layout.Data().c_str()), (home() + "/.Brisendale/data").toStdString());
}

TEST_F(InProcessTest, HomeOfRootIsNotNormalised)
{
    testsupport::EnvGuard guard("HOME", "/");
    const Layout layout = Layout::OfThisProcess();
    EXPECT_STREQ(layout.UserRoot().c_str(), "//.Brisendale");
    EXPECT_STREQ(layout.App().c_str(), "//.Brisendale/Brisendale.app");
}

// P as the toolkit finds the executable, though it is found before the toolkit starts.
TEST_F(InProcessTest, RootIsParentOfExecutableFolder)
{
    int argc = 1;
    char name[] = "service_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const QString expected = QDir::cleanPath(QCoreApplication::applicationDirPath() + "/..");
    EXPECT_EQ(std::string(Layout::OfThisProcess().SystemRoot().c_str()), expected.toStdString());
}

// ---------------------------------------------------------------- version loading

struct VersionRow
{
    const char* name;
    const char* file; // nullptr: no file
    const char* fields;
    const char* logged;
};

void PrintTo(const VersionRow& row, std::ostream* os)
{
    *os << row.name;
}

class SourceVersionTest : public InProcessTest, public ::testing::WithParamInterface<VersionRow>
{};

TEST_P(SourceVersionTest, LoadsOnlyTheVersionGroup)
{
    const VersionRow& row = GetParam();
    if (row.file) {
        writeFile(app() + "/INFO", row.file);
    }
    OpenService service;
    service.LoadSourceVersion();
    const auto& v = service.source_version;
    const std::string fields = std::string(v.major_version.c_str()) + "|" +
                               v.minor_version.c_str() + "|" + v.build_version.c_str() + "|" +
                               v.icon_overlay_version.c_str();
    EXPECT_EQ(fields, row.fields);
    EXPECT_TRUE(log().contains(row.logged)) << log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SourceVersionTest,
    ::testing::Values(VersionRow{"missing_file", nullptr, "|||", "[INFO] brisendale-service.cpp("},
                      VersionRow{"keys_outside_group",
                                 "build_version=12\n[Other]\nmajor_version=1\n", "|||",
                                 "source_version = (, , , )\n"},
                      VersionRow{"only_build", "[Version]\nbuild_version=12\n", "||12|",
                                 "source_version = (, , 12, )\n"},
                      VersionRow{"empty_values",
                                 "[Version]\nmajor_version=\nminor_version=\nbuild_version=\n"
                                 "icon_overlay_version=\n",
                                 "|||", "source_version = (, , , )\n"},
                      VersionRow{"all_keys",
                                 "[Version]\nmajor_version=3\nminor_version=1\nbuild_version=125\n"
                                 "icon_overlay_version=7\nother=x\n",
                                 "3|1|125|7", "source_version = (3, 1, 125, 7)\n"},
                      // Read as UTF-8 under either toolkit, not as Latin-1.
                      VersionRow{"utf8_value",
                                 "[Version]\nbuild_version=125\nicon_overlay_version=7\u00e9\n",
                                 "||125|7\u00e9", "source_version = (, , 125, 7\u00e9)\n"}),
    [](const ::testing::TestParamInfo<VersionRow>& info) { return std::string(info.param.name); });

TEST_F(InProcessTest, MissingSourceIsLoggedAndLeavesVersionEmpty)
{
    OpenService service;
    service.LoadSourceVersion();
    EXPECT_TRUE(log().contains("): source does not exist\n"));
    EXPECT_FALSE(log().contains("source_version ="));
    EXPECT_TRUE(service.source_version.build_version.empty());
}

TEST_F(InProcessTest, SecondLoadOverwritesOnlyKeysPresent)
{
    writeFile(app() + "/INFO", "[Version]\nmajor_version=3\nminor_version=1\nbuild_version=120\n"
                               "icon_overlay_version=7\n");
    OpenService service;
    service.LoadSourceVersion();
    writeFile(app() + "/INFO", "[Version]\nbuild_version=121\n");
    service.LoadSourceVersion();
    EXPECT_STREQ(service.source_version.major_version.c_str(), "3");
    EXPECT_STREQ(service.source_version.build_version.c_str(), "121");
    EXPECT_STREQ(service.source_version.icon_overlay_version.c_str(), "7");
}

// ---------------------------------------------------------------- FSCopyPath

TEST_F(InProcessTest, CopyPathCopiesAFile)
{
    writeFile(path() + "/a.txt", "alpha");
    OpenService service;
    ASSERT_EQ(service.FSCopyPath((path() + "/a.txt").toUtf8().constData(),
                                 (path() + "/b.txt").toUtf8().constData()),
              0);
    EXPECT_EQ(readFile(path() + "/b.txt"), QByteArray("alpha"));
    EXPECT_EQ(readFile(path() + "/a.txt"), QByteArray("alpha"));
}

TEST_F(InProcessTest, CopyPathCopiesATree)
{
    const QString src = path() + "/src";
    writeFile(src + "/top.txt", "1");
    writeFile(src + "/sub/deeper/leaf.bin", QByteArray(70000, 'x'));
    QDir().mkpath(src + "/empty");
    OpenService service;
    ASSERT_EQ(service.FSCopyPath(src.toUtf8().constData(), (path() + "/dst").toUtf8().constData()),
              0);
    EXPECT_EQ(listTree(path() + "/dst"), listTree(src));
    EXPECT_TRUE(log().contains("): copy from '" + src + "/sub' to '" + path() + "/dst/sub'\n"));
}

TEST_F(InProcessTest, CopyPathOfMissingSourceFails)
{
    OpenService service;
    EXPECT_EQ(service.FSCopyPath((path() + "/none").toUtf8().constData(),
                                 (path() + "/dst").toUtf8().constData()),
              -1);
    EXPECT_TRUE(log().contains("FSCopyPath: source path '" + path() + "/none' does not exist\n"));
    EXPECT_FALSE(QFileInfo::exists(path() + "/dst"));
}

TEST_F(InProcessTest, CopyPathStopsAtTheFirstFailingChild)
{
    const QString src = path() + "/src";
    writeFile(src + "/f.txt", "1");
    writeFile(path() + "/dst", "a file in the way of the folder");
    OpenService service;
    EXPECT_EQ(service.FSCopyPath(src.toUtf8().constData(), (path() + "/dst").toUtf8().constData()),
              -1);
    EXPECT_TRUE(log().contains("FSCopyPath: failed to create dest folder '" + path() + "/dst'\n"));
}
