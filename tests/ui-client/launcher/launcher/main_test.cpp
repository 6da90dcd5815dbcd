// Start-up of the real executable in a scratch installation: the locale and plug-in folder
// handling can only be seen in a process of its own.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace {

const QString NON_ASCII_NAME = QString::fromUtf8("h\xc3\xa9llo.txt");

struct LocaleRow
{
    const char* name;
    const char* lc_all;
};
void PrintTo(const LocaleRow& row, std::ostream* os)
{
    *os << row.name;
}

class StartupTest : public testsupport::ScratchTest, public ::testing::WithParamInterface<LocaleRow>
{
protected:
    QString root() const { return path() + "/root"; }

    // A system-wide installation whose package holds a non-ASCII file name.
    void makeInstallation()
    {
        const QString bsdtar = QStandardPaths::findExecutable("bsdtar");
        if (bsdtar.isEmpty())
            GTEST_SKIP() << "bsdtar is needed to build the package";

        const QString info = "[Version]\nmajor_version=1\nminor_version=0\nbuild_version=7\n"
                             "icon_overlay_version=1\n";
        testsupport::writeFile(root() + "/INFO", info.toUtf8());
        const QString content = path() + "/content";
        testsupport::writeFile(content + "/INFO", info.toUtf8());
        testsupport::writeFile(content + "/bin/brisendale-drive-ui", "#!/bin/sh\nexit 0\n");
        testsupport::writeFile(content + "/bin/" + NON_ASCII_NAME, "hello\n");
        testsupport::writeFile(content + "/package/start-stop",
                               "#!/bin/sh\necho \"$1\" > \"$HOME/started\"\n");
        for (const QString& exe :
             {content + "/bin/brisendale-drive-ui", content + "/package/start-stop"})
            ASSERT_TRUE(
                QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QDir().mkpath(root() + "/package");
        QProcess tar;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        tar.setProcessEnvironment(env);
        tar.start(bsdtar, {"-cf", root() + "/package/brisendale.nbx", "-C", content, "INFO", "bin",
                           "package"});
        ASSERT_TRUE(tar.waitForFinished(60000));
        ASSERT_EQ(0, tar.exitCode()) << tar.readAllStandardError().toStdString();

        QDir().mkpath(root() + "/bin");
        ASSERT_TRUE(QFile::copy(LAUNCHER_EXECUTABLE, root() + "/bin/brisendale-launcher"));
    }
};

TEST_P(StartupTest, UnpacksNonAsciiNamesAndStartsWithoutPluginFolder)
{
    makeInstallation();
    if (IsSkipped() || HasFatalFailure())
        return;

    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", GetParam().lc_all);
    env.remove("LC_CTYPE");
    env.remove("LANG");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    launcher.setProcessEnvironment(env);
    // The plug-in folder <scratch>/lib/plugins does not exist.
    launcher.start(root() + "/bin/brisendale-launcher", QStringList());
    ASSERT_TRUE(launcher.waitForFinished(120000));
    const QString out = QString::fromUtf8(launcher.readAllStandardOutput());
    const QString err = QString::fromUtf8(launcher.readAllStandardError());

    EXPECT_EQ(QProcess::NormalExit, launcher.exitStatus()) << err.toStdString();
    EXPECT_EQ(0, launcher.exitCode()) << err.toStdString();
    EXPECT_TRUE(out.contains("lib path = '" + root() + "/lib/plugins'\n")) << out.toStdString();
    const QString app = home() + "/.Brisendale/Brisendale.app";
    EXPECT_TRUE(QFileInfo::exists(app + "/bin/" + NON_ASCII_NAME));
    const QByteArray log = testsupport::readFile(home() + "/.Brisendale/log/launcher.log");
    EXPECT_FALSE(log.contains("Failed to upgrade package")) << log.toStdString();
    EXPECT_EQ(QByteArray("start\n"), testsupport::readFile(home() + "/started"));
}

INSTANTIATE_TEST_SUITE_P(Locales, StartupTest,
                         ::testing::Values(LocaleRow{"c_locale", "C"},
                                           LocaleRow{"posix_locale", "POSIX"},
                                           LocaleRow{"utf8_locale", "C.UTF-8"}),
                         [](const ::testing::TestParamInfo<LocaleRow>& info) {
                             return info.param.name;
                         });

} // namespace

namespace {

// Every entry below the scratch folder with its type, size and modification time: an
// answer that wrote, created or removed anything changes it.
QStringList treeState(const QString& top)
{
    QStringList state;
    QDirIterator it(top, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        const QFileInfo info(entry);
        state << QStringLiteral("%1 %2 %3 %4")
                     .arg(entry, info.isDir() ? "d" : "f")
                     .arg(info.isDir() ? 0 : info.size())
                     .arg(info.lastModified().toMSecsSinceEpoch());
    }
    state.sort();
    return state;
}

struct OptionRow
{
    const char* name;
    QStringList args;
    int exit_code;
    // Expected at the start of standard output, or of standard error when the exit code is 2.
    const char* begins;
    const char* contains;
    bool with_copy = true;
    // A marker left by an upgrade under way or interrupted.
    bool marker = false;
};
void PrintTo(const OptionRow& row, std::ostream* os)
{
    *os << row.name;
}

class OptionTest : public testsupport::ScratchTest, public ::testing::WithParamInterface<OptionRow>
{};

// None of these answers needs a display or touches the home folder, the runtime folder or
// the installation; the per-user copy is there so that --version has a build to report.
TEST_P(OptionTest, AnswersWithoutTouchingAnything)
{
    const OptionRow& row = GetParam();
    if (row.with_copy)
        testsupport::writeFile(home() + "/.Brisendale/Brisendale.app/INFO",
                               "[Version]\nmajor_version=1\nminor_version=0\nbuild_version=7\n");
    if (row.marker)
        testsupport::writeFile(home() + "/.Brisendale/Brisendale.app.incomplete",
                               QByteArray("Brisendale.app_tmp\n"));
    const QStringList before = treeState(path());

    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ":97");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    launcher.setProcessEnvironment(env);
    launcher.start(LAUNCHER_EXECUTABLE, row.args);
    ASSERT_TRUE(launcher.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(launcher.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(launcher.readAllStandardError());

    EXPECT_EQ(QProcess::NormalExit, launcher.exitStatus());
    EXPECT_EQ(row.exit_code, launcher.exitCode()) << err.toStdString();
    const QString& answer = row.exit_code == 2 ? err : out;
    const QString& other = row.exit_code == 2 ? out : err;
    EXPECT_TRUE(answer.startsWith(QString::fromUtf8(row.begins))) << answer.toStdString();
    EXPECT_TRUE(answer.contains(QString::fromUtf8(row.contains))) << answer.toStdString();
    EXPECT_TRUE(other.isEmpty()) << other.toStdString();
    EXPECT_EQ(before, treeState(path()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, OptionTest,
    ::testing::Values(
        OptionRow{"help", {"--help"}, 0, "Usage: ", "--reinstall"},
        OptionRow{
            "short_help_wins_over_reinstall", {"--reinstall", "-h"}, 0, "Usage: ", "--version"},
        OptionRow{
            "version", {"--version"}, 0, "brisendale-drive 1.0\nper-user copy: build 7\n", ""},
        OptionRow{"version_without_copy",
                  {"--version"},
                  0,
                  "brisendale-drive 1.0\n",
                  "per-user copy: not installed\n",
                  false},
        OptionRow{"version_while_the_copy_is_replaced",
                  {"--version"},
                  0,
                  "brisendale-drive 1.0\n",
                  "per-user copy: being replaced",
                  false,
                  true},
        OptionRow{"version_next_to_toolkit_option",
                  {"-platform", "xcb", "-v"},
                  0,
                  "brisendale-drive ",
                  "build 7"},
        OptionRow{"unknown_option",
                  {"--frobnicate"},
                  2,
                  "brisendale-drive: Unknown option 'frobnicate'.\nUsage: ",
                  "--help"},
        OptionRow{"toolkit_option_without_value",
                  {"-platform"},
                  2,
                  "brisendale-drive: Missing value after '-platform'.\nUsage: ",
                  "--version"},
        OptionRow{"reinstall_with_verify",
                  {"--verify", "--reinstall"},
                  2,
                  "brisendale-drive: '--reinstall' cannot be given with '--version' or "
                  "'--verify'.\nUsage: ",
                  "--help"},
        OptionRow{"stray_argument",
                  {"--reinstall", "now"},
                  2,
                  "brisendale-drive: Unexpected argument 'now'.\nUsage: ",
                  "--help"}),
    [](const ::testing::TestParamInfo<OptionRow>& info) { return info.param.name; });

// An answer that cannot be written is a failure, as for other commands (GNU's
// close_stdout): a script that reads it must not take silence for an answer.
TEST_F(OptionTest, AnswerThatCannotBeWrittenFails)
{
    for (const char* option : {"--help", "--version"}) {
        QProcess launcher;
        launcher.setStandardOutputFile("/dev/full");
        launcher.start(LAUNCHER_EXECUTABLE, {option});
        ASSERT_TRUE(launcher.waitForFinished(60000));
        EXPECT_EQ(launcher.exitCode(), 1) << option;
    }
}

} // namespace
