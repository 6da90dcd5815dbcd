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
    // A new copy being prepared beside A.
    bool staging = false;
    // The marker names a complete old copy of build 6 under a backup name.
    bool marked_old = false;
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
    if (row.staging)
        testsupport::writeFile(home() + "/.Brisendale/Brisendale.app.staging/INFO",
                               "[Version]\nbuild_version=8\n");
    if (row.marked_old) {
        testsupport::writeFile(home() + "/.Brisendale/Brisendale.app_tmp/INFO",
                               "[Version]\nbuild_version=6\n");
        testsupport::writeFile(home() + "/.Brisendale/Brisendale.app.incomplete",
                               QByteArray("old=Brisendale.app_tmp\nnext=\n"));
    }
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
        OptionRow{"version_while_the_marked_copy_is_replaced",
                  {"--version"},
                  0,
                  "brisendale-drive 1.0\n",
                  "per-user copy: build 6, being replaced",
                  true,
                  false,
                  false,
                  true},
        OptionRow{"version_while_a_new_copy_is_staged",
                  {"--version"},
                  0,
                  "brisendale-drive 1.0\n",
                  "per-user copy: build 7, being replaced by an upgrade under way\n",
                  true,
                  false,
                  true},
        OptionRow{"version_while_the_first_copy_is_staged",
                  {"--version"},
                  0,
                  "brisendale-drive 1.0\n",
                  "per-user copy: being installed\n",
                  false,
                  false,
                  true},
        OptionRow{"status", {"--status"}, 0, "per-user copy: ", "\ninstalled build: 7\n"},
        OptionRow{"status_without_copy",
                  {"--status"},
                  3,
                  "per-user copy: ",
                  "\ninstalled build: not installed\n",
                  false},
        OptionRow{"json_without_status",
                  {"--json"},
                  2,
                  "brisendale-drive: '--json' goes with '--status'.\nUsage: ",
                  "--status"},
        OptionRow{"help_names_status", {"--help"}, 0, "Usage: ", "--json"},
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

#include "linux/package_info.h"
#include "linux/upgrade_guard.h"
#include "manifest.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>

#include <ctime>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The package's attempt record, as the launcher keys it.
void countFailedAttempts(const QString& package, const QString& info, const QString& app, int n)
{
    const ustring infoPath(info.toStdString());
    UpgradeGuard guard(ustring(package.toStdString()), infoPath,
                       ReadPackageInfo(infoPath).version.build_version.c_str_utf8(),
                       ustring(app.toStdString()));
    for (int i = 0; i < n; ++i)
        guard.CountAttempt();
}

struct StatusRow
{
    const char* name;
    int exit_code;
    const char* reason;
    const char* check;
    bool copy = true;
    const char* shipped = "8";
    bool damage = false;
    bool marker = false;
    int attempts = 0;
    bool lock_held = false;
};
void PrintTo(const StatusRow& row, std::ostream* os)
{
    *os << row.name;
}

class StatusTest : public testsupport::ScratchTest, public ::testing::WithParamInterface<StatusRow>
{
protected:
    QString root() const { return path() + "/root"; }
    QString user() const { return home() + "/.Brisendale"; }
    QString app() const { return user() + "/Brisendale.app"; }

    // A system-wide installation (the launcher, INFO, a package) and a per-user copy of
    // build 8 with its manifest.
    void install(const StatusRow& row)
    {
        QDir().mkpath(root() + "/bin");
        // A link is cheaper than a copy of a sanitizer build; not a symbolic one, which the
        // launcher would resolve to the build folder.
        const QString exe = root() + "/bin/brisendale-launcher";
        if (::link(LAUNCHER_EXECUTABLE, exe.toLocal8Bit().constData()) != 0) {
            ASSERT_TRUE(QFile::copy(LAUNCHER_EXECUTABLE, exe));
        }
        testsupport::writeFile(root() + "/INFO",
                               QByteArray("[Version]\nbuild_version=") + row.shipped + "\n");
        testsupport::writeFile(root() + "/package/brisendale.nbx", "a package\n");
        if (!row.copy)
            return;
        testsupport::writeFile(app() + "/INFO", "[Version]\nbuild_version=8\n");
        testsupport::writeFile(app() + "/bin/brisendale-drive-ui", "#!/bin/sh\n");
        testsupport::writeFile(app() + "/lib/data", "abc");
        const ustring u(user().toStdString()), a(app().toStdString());
        ASSERT_EQ(WriteNextTreeManifest(u, a, a), 0);
        ASSERT_EQ(PromoteTreeManifest(u, a), 0);
        if (row.damage)
            testsupport::writeFile(app() + "/lib/data", "abcdef");
        if (row.marker)
            testsupport::writeFile(app() + ".incomplete", "old=Brisendale.app_tmp\nnext=\n");
        if (row.attempts > 0)
            countFailedAttempts(root() + "/package/brisendale.nbx", root() + "/INFO", app(),
                                row.attempts);
    }
};

// --status --json reports each state of the copy as a start would decide on it, within
// 2 s even while another launcher holds the home, and leaves every file as it was.
TEST_P(StatusTest, ReportsTheCopyAndTheDecisionWithoutTouchingAnything)
{
    const StatusRow& row = GetParam();
    install(row);
    if (HasFatalFailure())
        return;
    QFile lock(user() + "/launcher.lock");
    if (row.lock_held) {
        ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
        ASSERT_EQ(::flock(lock.handle(), LOCK_EX | LOCK_NB), 0);
    }
    const QStringList before = treeState(path());

    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ":97");
    env.remove("WAYLAND_DISPLAY");
    launcher.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    launcher.start(root() + "/bin/brisendale-launcher", {"--status", "--json"});
    ASSERT_TRUE(launcher.waitForFinished(60000));
    EXPECT_LT(timer.elapsed(), 2000);
    const QByteArray out = launcher.readAllStandardOutput();
    EXPECT_EQ(row.exit_code, launcher.exitCode()) << launcher.readAllStandardError().constData();

    QJsonParseError error;
    const QJsonObject status = QJsonDocument::fromJson(out, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << out.constData();
    EXPECT_EQ(status["installed"].toBool(), row.copy);
    EXPECT_EQ(status["installed_build"].toString(), row.copy ? "8" : "");
    EXPECT_EQ(status["shipped_build"].toString(), row.shipped);
    EXPECT_EQ(status["reason"].toString(), row.reason) << out.constData();
    EXPECT_EQ(status["upgrade_due"].toBool(), *row.reason != '\0');
    EXPECT_EQ(status["check"].toObject()["state"].toString(), row.check) << out.constData();
    EXPECT_EQ(status["unfinished"].toBool(), row.marker);
    EXPECT_EQ(status["busy"].toBool(), row.lock_held);
    EXPECT_EQ(status["attempts"].toInt(), row.attempts);
    const double now = static_cast<double>(::time(nullptr));
    if (row.attempts >= UpgradeGuard::MAX_ATTEMPTS) {
        EXPECT_GT(status["retry_at"].toDouble(), now);
        EXPECT_LE(status["last_attempt"].toDouble(), now);
        EXPECT_GT(status["last_attempt"].toDouble(), now - 600);
    } else {
        EXPECT_EQ(status["retry_at"].toDouble(), 0);
    }
    if (row.damage) {
        const QString first =
            status["check"].toObject()["differences"].toArray().first().toString();
        EXPECT_TRUE(first.contains("lib/data")) << out.constData();
    }
    EXPECT_EQ(before, treeState(path()));
}

INSTANTIATE_TEST_SUITE_P(
    States, StatusTest,
    ::testing::Values(StatusRow{"installed", 0, "", "intact"},
                      StatusRow{"newer_build_shipped", 0, "newer_build", "intact", true, "9"},
                      StatusRow{"damaged", 0, "damaged_copy", "damaged", true, "8", true},
                      StatusRow{"unfinished_upgrade", 0, "unfinished", "nothing_to_check", true,
                                "8", false, true},
                      StatusRow{"backed_off_while_a_launcher_works", 0, "newer_build", "intact",
                                true, "9", false, false, 3, true},
                      StatusRow{"missing", 3, "missing_client", "nothing_to_check", false}),
    [](const ::testing::TestParamInfo<StatusRow>& info) { return info.param.name; });

// The text form names the back-off's end for people.
TEST_F(StatusTest, TextNamesTheBackOff)
{
    StatusRow row{"backed_off", 0, "newer_build", "intact", true, "9", false, false, 3};
    install(row);
    if (HasFatalFailure())
        return;
    QProcess launcher;
    launcher.start(root() + "/bin/brisendale-launcher", {"--status"});
    ASSERT_TRUE(launcher.waitForFinished(60000));
    const QString out = QString::fromUtf8(launcher.readAllStandardOutput());
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_TRUE(out.contains("\nupgrade due: yes, the shipped build is newer; held back until 20"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("\nfailed attempts: 3, the last at 20")) << out.toStdString();
    EXPECT_TRUE(out.contains("\nback-off: until 20")) << out.toStdString();
    EXPECT_TRUE(out.contains("\nmanifest check: intact\n")) << out.toStdString();
}

class BusyTest : public testsupport::ScratchTest
{};

// A home lock that stays held (its holder stopped, say) ends --verify with 4 and "busy"
// instead of a wait without end. The wait is shortened for the test.
TEST_F(BusyTest, VerifyGivesUpOnAHeldHomeLock)
{
    testsupport::writeFile(home() + "/.Brisendale/Brisendale.app/INFO", "[Version]\n");
    QFile lock(home() + "/.Brisendale/launcher.lock");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_EQ(::flock(lock.handle(), LOCK_EX | LOCK_NB), 0);

    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("BRISENDALE_VERIFY_WAIT_MS", "300");
    launcher.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    launcher.start(LAUNCHER_EXECUTABLE, {"--verify"});
    ASSERT_TRUE(launcher.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(launcher.readAllStandardError());
    EXPECT_EQ(launcher.exitCode(), 4) << err.toStdString();
    EXPECT_TRUE(err.contains("brisendale-drive: busy: another launcher has held"))
        << err.toStdString();
    EXPECT_GE(timer.elapsed(), 300);
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_TRUE(launcher.readAllStandardOutput().isEmpty());
}

// A reinstall asked for while another launcher of this user runs (the single-instance
// lock held) ends 1 and says why, where a second start at login ends 0.
TEST_F(BusyTest, ReinstallWhileAnotherLauncherRunsFails)
{
    const QString exe = QFileInfo(LAUNCHER_EXECUTABLE).canonicalFilePath();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(exe.toUtf8());
    hash.addData(QByteArray(1, '\0'));
    hash.addData(QByteArray::number(static_cast<qulonglong>(::getuid())));
    const QString folder = path() + "/tmp/brisendale-singleapp-" + QString::number(::getuid());
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QLockFile held(folder + "/qtsingleapp-" + QString::fromLatin1(hash.result().toHex().left(32)) +
                   ".lock");
    ASSERT_TRUE(held.tryLock(0));

    for (const char* args : {"--reinstall", ""}) {
        QProcess launcher;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        launcher.setProcessEnvironment(env);
        launcher.start(LAUNCHER_EXECUTABLE, *args ? QStringList{args} : QStringList());
        ASSERT_TRUE(launcher.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(launcher.readAllStandardError());
        if (*args) {
            EXPECT_EQ(launcher.exitCode(), 1) << err.toStdString();
            EXPECT_TRUE(err.contains("nothing reinstalled: another launcher is running"))
                << err.toStdString();
        } else {
            EXPECT_EQ(launcher.exitCode(), 0) << err.toStdString();
        }
    }
}

} // namespace
