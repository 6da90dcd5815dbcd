// The service as the launcher runs it, through a probe program placed in a scratch
// system-wide root (the root is the parent of the running executable's folder).

#include "file/durable.h"
#include "file/unique_fd.h"
#include "manifest.h"
#include "notice.h"
#include "service_support.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <tuple>
#include <unistd.h>

using servicetest::listTree;
using servicetest::ProbeRun;
using testsupport::infoText;
using testsupport::readFile;
using testsupport::writeExec;
using testsupport::writeFile;

namespace {

// The trap is set before the pid is published: a SIGTERM must never meet the default.
QByteArray clientScript(const char* onTerm)
{
    return QByteArray("#!/bin/sh\ntrap '") + onTerm +
           "' TERM\n"
           "echo \"pid=$$\" > \"$HOME/.Brisendale/ui.pid\" 2>/dev/null\n"
           "while :; do sleep 0.1; done\n";
}

const QByteArray kClientTerm = clientScript("exit 0");
const QByteArray kClientLate = clientScript("sleep 1.5; exit 3");
const QByteArray kClientDeaf = clientScript("");
// Records how it was called: its own path, the number of arguments, each argument.
const QByteArray kStartScript =
    "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$#\" \"$@\" > \"$HOME/.Brisendale/start-args\"\n";

class FlowTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        m_home = home();
        m_root = path() + "/root";
        ASSERT_TRUE(QDir().mkpath(m_root + "/bin"));
        m_probe = m_root + "/bin/service_probe";
        if (link(SERVICE_PROBE, QFile::encodeName(m_probe).constData()) != 0) {
            ASSERT_TRUE(QFile::copy(SERVICE_PROBE, m_probe));
        }
        writeFile(m_root + "/log/launcher.debug", "service_debug=7\n");
    }

    QString user() const { return m_home + "/.Brisendale"; }
    QString app() const { return user() + "/Brisendale.app"; }
    QString backup(int i) const { return app() + "_tmp" + (i ? QString::number(i) : QString()); }
    QString marker() const { return app() + ".incomplete"; }
    QString staging() const { return app() + ".staging"; }
    QString package() const { return m_root + "/package/brisendale.nbx"; }

    // Stages the package tree in the scratch folder, archives it into the root and
    // writes the root's version file. Gives the staged folder.
    QString makePackage(const QByteArray& build, int fillers = 0, bool readOnly = false)
    {
        const QString staged = path() + "/staged";
        writeFile(staged + "/INFO", infoText(build));
        writeExec(staged + "/bin/brisendale-drive-ui", kClientTerm);
        writeExec(staged + "/package/start-stop", kStartScript);
        writeFile(staged + "/lib/libx.so.1", "library");
        QFile::link("libx.so.1", staged + "/lib/libx.so");
        for (int i = 0; i < fillers; ++i) {
            QByteArray data(4096, char('a' + i % 26));
            data.replace(0, 8, QByteArray::number(i).rightJustified(8, '0'));
            writeFile(staged + QString("/share/d%1/f%2.dat").arg(i % 20).arg(i), data);
        }
        EXPECT_TRUE(servicetest::writeArchive(staged, package(), readOnly));
        writeFile(m_root + "/INFO", infoText(build));
        return staged;
    }

    void installOld(const QByteArray& build)
    {
        writeFile(app() + "/INFO", infoText(build));
        writeExec(app() + "/bin/brisendale-drive-ui", kClientTerm);
        writeExec(app() + "/package/start-stop", kStartScript);
        writeFile(app() + "/old-only.txt", "from the old installation");
    }

    QProcessEnvironment env() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("HOME", m_home);
        return e;
    }

    // The preloaded shim acts (`mode`: kill, term, ...) at the first filler file written.
    QProcessEnvironment firstFillerFails(const char* mode) const
    {
        QProcessEnvironment e = env();
        e.insert("LD_PRELOAD", FAIL_AT_CALL_SHIM);
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        e.insert("FAIL_AT_CALL_ROOT", user());
        e.insert("FAIL_AT_CALL_MATCH", "/Brisendale.app.staging/share/");
        e.insert("FAIL_AT_CALL_N", "1");
        e.insert("FAIL_AT_CALL_MODE", mode);
        return e;
    }

    // A file system that cannot exchange two names (ext2, NFS): the switch takes two
    // renames and a backup name.
    QProcessEnvironment noExchange() const
    {
        QProcessEnvironment e = env();
        e.insert("LD_PRELOAD", FAIL_AT_CALL_SHIM);
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        e.insert("FAIL_AT_CALL_NO_EXCHANGE", "1");
        return e;
    }

    // In its own pid namespace whenever the run may signal a pid read from a file.
    ProbeRun probe(const QStringList& args, bool ownPidNamespace,
                   QProcessEnvironment e = QProcessEnvironment())
    {
        if (e.isEmpty()) {
            e = env();
        }
        if (ownPidNamespace) {
            return servicetest::runProgram(
                "unshare", QStringList{"--pid", "--fork", "--mount-proc", m_probe} + args, e);
        }
        return servicetest::runProgram(m_probe, args, e);
    }

    QStringList backups() const
    {
        return QDir(user()).entryList(QStringList{"Brisendale.app_tmp*"},
                                      QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    QString m_home;
    QString m_root;
    QString m_probe;
};

#define EXPECT_RUN_OK(run)                                                                         \
    EXPECT_TRUE((run).exitCode == 0 && !(run).crashed)                                             \
        << "exit " << (run).exitCode << "\n"                                                       \
        << (run).out.toStdString() << (run).err.toStdString()

} // namespace

TEST_F(FlowTest, RootIsTheParentOfTheProbesFolder)
{
    ProbeRun run = probe({"getters"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("root"), QFileInfo(m_root).canonicalFilePath());
    EXPECT_EQ(run.value("app"), app());
}

// ---------------------------------------------------------------- upgrade decision

struct DecideRow
{
    const char* name;
    const char* source; // build text in the per-user INFO; nullptr: no file
    const char* target; // build text in the root's INFO; nullptr: no file
    bool executable;
    bool marker;
    int need;
    const char* numbers;
};

void PrintTo(const DecideRow& row, std::ostream* os)
{
    *os << row.name;
}

class DecideTest : public FlowTest, public ::testing::WithParamInterface<DecideRow>
{};

TEST_P(DecideTest, ComparesBuildNumbersOnly)
{
    const DecideRow& row = GetParam();
    if (row.source) {
        writeFile(app() + "/INFO", infoText(row.source));
    }
    if (row.target) {
        writeFile(m_root + "/INFO", infoText(row.target));
    }
    if (row.executable) {
        writeExec(app() + "/bin/brisendale-drive-ui", kClientTerm);
    }
    if (row.marker) {
        writeFile(marker(), "");
    }
    // Only a package that can be read is installed: the decision's own rows have one.
    writeFile(package(), "package");
    ProbeRun run = probe({"decide"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("need"), QString::number(row.need)) << run.err.toStdString();
    EXPECT_EQ(run.countLog(QString("source version = ") + row.numbers + "\n"), 1)
        << run.err.toStdString();
    EXPECT_EQ(run.countLog("did not finish"), row.marker ? 1 : 0);
    if (!row.target) {
        EXPECT_EQ(run.value("target"), "(,,,)");
        EXPECT_EQ(run.countLog("target_version = (, , , )\n"), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DecideTest,
    ::testing::Values(
        DecideRow{"newer_target", "120", "125", true, false, 1, "120, target version = 125"},
        DecideRow{"equal", "125", "125", true, false, 0, "125, target version = 125"},
        DecideRow{"equal_without_executable", "125", "125", false, false, 1,
                  "125, target version = 125"},
        DecideRow{"older_target", "120", "119", true, false, 0, "120, target version = 119"},
        DecideRow{"nothing_installed", nullptr, "125", false, false, 1, "0, target version = 125"},
        DecideRow{"trailing_text", "12abc", "12", true, false, 0, "12, target version = 12"},
        DecideRow{"not_a_number", "abc", "1", true, false, 1, "0, target version = 1"},
        DecideRow{"leading_blanks", "\"  42\"", "43", true, false, 1, "42, target version = 43"},
        DecideRow{"missing_target_info", "120", nullptr, true, false, 0, "120, target version = 0"},
        DecideRow{"overflow_clamps", "2147483647", "99999999999", true, false, 0,
                  "2147483647, target version = 2147483647"},
        DecideRow{"negative_overflow_clamps", "-99999999999", "-2147483647", true, false, 1,
                  "-2147483648, target version = -2147483647"},
        DecideRow{"unfinished_upgrade", "125", "125", true, true, 1, "0, target version = 125"}),
    [](const ::testing::TestParamInfo<DecideRow>& info) { return std::string(info.param.name); });

// A package manager between its steps: INFO names the new build, the package is not (yet)
// a readable file. Nothing is touched and nothing counted; one warning says why.
TEST_F(FlowTest, PackageThatCannotBeReadIsNoUpgrade)
{
    const struct
    {
        const char* name;
        std::function<void(const QString&)> make;
    } rows[] = {
        {"missing", [](const QString&) {}},
        {"a folder", [](const QString& p) { QDir().mkpath(p); }},
        {"a FIFO", [](const QString& p) { mkfifo(QFile::encodeName(p).constData(), 0644); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(user()).removeRecursively();
        QDir(m_root + "/package").removeRecursively();
        writeFile(app() + "/INFO", infoText("120"));
        writeExec(app() + "/bin/brisendale-drive-ui", kClientTerm);
        writeFile(m_root + "/INFO", infoText("125"));
        QDir().mkpath(m_root + "/package");
        row.make(package());
        const auto before = listTree(app());
        ProbeRun run = probe({"decide"}, false);
        EXPECT_RUN_OK(run);
        EXPECT_EQ(run.value("need"), "0");
        EXPECT_EQ(run.countLog("but the package"), 1) << run.err.toStdString();
        EXPECT_EQ(listTree(app()), before);
        EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
        EXPECT_FALSE(QFileInfo::exists(staging()));
    }
}

// ---------------------------------------------------------------- backup, extraction, rollback

TEST_F(FlowTest, FirstInstallRemovesAStrayBackup)
{
    const QString staged = makePackage("125");
    writeFile(backup(0) + "/junk", "left by an earlier run");
    ProbeRun run = probe({"upgrade"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "0");
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_TRUE(backups().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_EQ(run.countLog("user installation is ready, removing backup app\n"), 1);
}

TEST_F(FlowTest, LeftOverBackupMovesOnToTheNextName)
{
    const QString staged = makePackage("125");
    installOld("120");
    writeFile(backup(0) + "/junk", "left by an earlier run");
    ProbeRun run = probe({"upgrade"}, false, noExchange());
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "0");
    EXPECT_EQ(run.countLog("cannot be exchanged"), 1) << run.err.toStdString();
    EXPECT_EQ(run.countLog("failed to backup app from '" + app() + "' -> '" + backup(0) + "'\n"),
              1);
    EXPECT_EQ(run.countLog("failed to backup app"), 1);
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_TRUE(backups().isEmpty()) << backups().join(' ').toStdString();
}

TEST_F(FlowTest, AllTenBackupNamesTakenLeavesTheOldInstallation)
{
    makePackage("125");
    installOld("120");
    const auto old = listTree(app());
    for (int i = 0; i < 10; ++i) {
        writeFile(backup(i) + "/junk", "taken");
    }
    ProbeRun run = probe({"prepare"}, false, noExchange());
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("prepare"), "-1");
    EXPECT_EQ(run.countLog("failed to backup app from"), 11);
    EXPECT_EQ(run.countLog("failed to backup app from '" + app() + "' -> '" + backup(9) +
                           "' at max retries, exiting\n"),
              1);
    EXPECT_EQ(listTree(app()), old);
    EXPECT_EQ(backups().size(), 10);
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(staging()));
}

TEST_F(FlowTest, TruncatedArchiveRollsBackToExactlyTheOldTree)
{
    makePackage("125", 300);
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    installOld("120");
    const auto old = listTree(app());
    ProbeRun run = probe({"prepare"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("prepare"), "-1");
    EXPECT_EQ(run.countLog("the new copy could not be prepared (a fault of the package); the "
                           "installation and its client are left as they were\n"),
              1)
        << run.err.toStdString();
    EXPECT_EQ(listTree(app()), old);
    EXPECT_TRUE(backups().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(staging()));
}

TEST_F(FlowTest, FailureWithoutOldInstallationLeavesNothing)
{
    makePackage("125", 300);
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    ProbeRun run = probe({"prepare"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("prepare"), "-1");
    EXPECT_EQ(run.countLog("the new copy could not be prepared (a fault of the package)"), 1);
    EXPECT_FALSE(QFileInfo::exists(app()));
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(staging()));
}

// Packages that ship read-only folders and files, upgraded by their unprivileged owner:
// every tree the launcher made must stay removable, or backups pile up until no backup
// name is left and a failed upgrade can no longer roll back.
TEST_F(FlowTest, ReadOnlyPackagesStayRemovable)
{
    if (!testsupport::canDropPrivileges()) {
        GTEST_SKIP() << "needs root and setpriv to run the launcher as an unprivileged user";
    }
    ASSERT_EQ(chmod(QFile::encodeName(path()).constData(), 0755), 0);
    ASSERT_TRUE(QDir().mkpath(user()));
    for (const QString& dir : {m_home, user()}) {
        ASSERT_EQ(chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
    }
    auto upgrade = [this]() {
        return servicetest::runProgram("unshare",
                                       {"--pid", "--fork", "--mount-proc", "setpriv",
                                        "--reuid=65534", "--regid=65534", "--clear-groups", m_probe,
                                        "upgrade"},
                                       env());
    };
    const auto installed = listTree(makePackage("125", 3, true));
    ProbeRun run = upgrade();
    ASSERT_EQ(run.value("upgrade"), "0") << run.err.toStdString();
    EXPECT_EQ(listTree(app()), installed);
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(app() + "/share/d0").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0555u) << "the package's folder modes are applied";

    makePackage("126", 300, true);
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    run = upgrade();
    EXPECT_EQ(run.value("upgrade"), "-1") << run.err.toStdString();
    EXPECT_EQ(listTree(app()), installed);
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_TRUE(backups().isEmpty()) << backups().join(' ').toStdString();

    for (int build = 127; build < 137; ++build) {
        const auto tree = listTree(makePackage(QByteArray::number(build), 3, true));
        run = upgrade();
        ASSERT_EQ(run.value("upgrade"), "0") << build << run.err.toStdString();
        EXPECT_EQ(listTree(app()), tree);
        EXPECT_TRUE(backups().isEmpty()) << build << backups().join(' ').toStdString();
    }
}

// A folder that an interrupted run left behind is no installation: a marker that names
// no old installation (an older launcher wrote it empty) must not let it pass for one.
TEST_F(FlowTest, FailedRetryOfAnInterruptedUpgradeLeavesNoHalfInstallation)
{
    makePackage("125", 300);
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    writeFile(app() + "/INFO", infoText("125"));
    writeExec(app() + "/bin/brisendale-drive-ui", kClientTerm);
    writeFile(marker(), "");
    writeFile(backup(0) + "/INFO", infoText("120"));
    ProbeRun run = probe({"prepare"}, false);
    EXPECT_EQ(run.value("prepare"), "-1");
    EXPECT_FALSE(QFileInfo::exists(app() + "/bin/brisendale-drive-ui"));
    EXPECT_EQ(probe({"decide"}, false).value("need"), "1");
}

// What a run that ended at any point leaves, and what the next run must make of it.
struct RecoverRow
{
    const char* name;
    const char* marker;
    const char* app;    // "old", "partial" or "" (absent)
    const char* backup; // the same, for A_tmp
    const char* result; // what A must hold afterwards
};

void PrintTo(const RecoverRow& row, std::ostream* os)
{
    *os << row.name;
}

class RecoverTest : public FlowTest, public ::testing::WithParamInterface<RecoverRow>
{
protected:
    void lay(const QString& dir, const QString& what)
    {
        if (what == "old") {
            writeFile(dir + "/INFO", infoText("120"));
            writeExec(dir + "/bin/brisendale-drive-ui", kClientTerm);
        } else if (what == "partial") {
            writeFile(dir + "/INFO", infoText("125"));
        }
    }
};

TEST_P(RecoverTest, PutsTheOldInstallationBackWhereTheMarkerSays)
{
    const RecoverRow& row = GetParam();
    const QString reference = path() + "/reference";
    lay(reference, row.result);
    lay(app(), row.app);
    lay(backup(0), row.backup);
    writeFile(marker(), row.marker);
    writeFile(path() + "/victim/keep", "not the launcher's");
    ProbeRun run = probe({"decide"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_EQ(QFileInfo::exists(app()), *row.result != '\0');
    EXPECT_EQ(listTree(app()), listTree(reference)) << run.err.toStdString();
    EXPECT_EQ(readFile(path() + "/victim/keep"), "not the launcher's");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecoverTest,
    ::testing::Values(
        RecoverRow{"killed_before_the_backup_rename",
                   "old=Brisendale.app\nnext=Brisendale.app_tmp\n", "old", "", "old"},
        RecoverRow{"killed_after_the_backup_rename",
                   "old=Brisendale.app\nnext=Brisendale.app_tmp\n", "", "old", "old"},
        RecoverRow{"killed_while_extracting", "old=Brisendale.app_tmp\nnext=Brisendale.app\n",
                   "partial", "old", "old"},
        RecoverRow{"killed_after_the_rollback_rename",
                   "old=Brisendale.app_tmp\nnext=Brisendale.app\n", "old", "", "old"},
        RecoverRow{"killed_in_a_first_install", "old=\nnext=\n", "partial", "", ""},
        RecoverRow{"marker_naming_another_folder", "old=../../victim\n", "partial", "", ""}),
    [](const ::testing::TestParamInfo<RecoverRow>& i) { return std::string(i.param.name); });

TEST_F(FlowTest, RunWithoutUpgradeRemovesLeftOverBackups)
{
    makePackage("125");
    installOld("125");
    writeFile(backup(0) + "/INFO", infoText("120"));
    writeFile(backup(3) + "/half", "a backup whose removal was cut short");
    ProbeRun run = probe({"upgrade"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("need"), "0");
    EXPECT_TRUE(backups().isEmpty()) << backups().join(' ').toStdString();
    EXPECT_EQ(run.countLog("removing left-over backup folder " + backup(3) + "\n"), 1);
}

// Users move the per-user folder, or the whole home, to another disk and link it back.
class LinkedFolderTest : public FlowTest, public ::testing::WithParamInterface<bool>
{};

TEST_P(LinkedFolderTest, InstallUpgradeAndRollBackThroughTheLink)
{
    const bool linkHome = GetParam();
    const QString elsewhere = path() + "/other-disk";
    QDir().mkpath(elsewhere);
    QProcessEnvironment e = env();
    QString linkPath = user();
    if (linkHome) {
        linkPath = path() + "/linked-home";
        e.insert("HOME", linkPath);
    }
    ASSERT_TRUE(QFile::link(elsewhere, linkPath));
    const QString app = linkPath + "/" + (linkHome ? ".Brisendale/" : "") + "Brisendale.app";

    const QString first = makePackage("120");
    ProbeRun install = probe({"upgrade"}, false, e);
    EXPECT_EQ(install.value("upgrade"), "0") << install.err.toStdString();
    EXPECT_EQ(listTree(app), listTree(first));

    const QString second = makePackage("125");
    ProbeRun upgrade = probe({"upgrade"}, false, e);
    EXPECT_EQ(upgrade.value("upgrade"), "0") << upgrade.err.toStdString();
    EXPECT_EQ(listTree(app), listTree(second));

    writeFile(m_root + "/INFO", infoText("130"));
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    ProbeRun failed = probe({"upgrade"}, false, e);
    EXPECT_EQ(failed.value("upgrade"), "-1");
    EXPECT_EQ(listTree(app), listTree(second));
    EXPECT_TRUE(QFileInfo(linkPath).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(app + ".incomplete"));
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedFolderTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "home_is_a_link"
                                                        : "user_folder_is_a_link");
                         });

// A package that cannot be installed is tried three times, then left alone for a day
// (the pause doubles with each further failure) or until it changes, unless the client
// is gone.
struct AttemptRow
{
    const char* name;
    bool killed;        // the failed runs are killed while they extract
    const char* state;  // preset state file, or nullptr
    bool dropClient;    // A loses its client before the last run
    bool changePackage; // a new package is shipped before the last run
    bool lastTried;
    int hoursLater = 0; // the clock of the last run is this far ahead
};

void PrintTo(const AttemptRow& row, std::ostream* os)
{
    *os << row.name;
}

class AttemptTest : public FlowTest, public ::testing::WithParamInterface<AttemptRow>
{};

TEST_P(AttemptTest, ThreeAttemptsPerPackage)
{
    const AttemptRow& row = GetParam();
    makePackage("125", 20);
    if (!row.killed) {
        QFile::resize(package(), QFileInfo(package()).size() / 2);
    }
    installOld("120");
    const auto old = listTree(app());
    if (row.state) {
        writeFile(app() + ".attempts", row.state);
    }
    for (int run = 0; run < (row.state ? 0 : 3); ++run) {
        QFile::remove(user() + "/start-args");
        if (row.killed) {
            ASSERT_TRUE(probe({"upgrade"}, false, firstFillerFails("kill")).crashed)
                << "run " << run;
        } else {
            ProbeRun failed = probe({"upgrade"}, false);
            EXPECT_EQ(failed.value("upgrade"), "-1") << "run " << run;
            EXPECT_EQ(listTree(app()), old) << "run " << run;
            EXPECT_TRUE(QFileInfo::exists(user() + "/start-args")) << "run " << run;
        }
    }
    if (row.dropClient) {
        QFile::remove(app() + "/bin/brisendale-drive-ui");
    }
    if (row.changePackage) {
        makePackage("125", 21);
    }

    QFile::remove(user() + "/start-args");
    QProcessEnvironment e = env();
    if (row.hoursLater) {
        // File times stay real: the package must still be the one that failed.
        e.insert("LD_PRELOAD", "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
        e.insert("FAKETIME", "+" + QString::number(row.hoursLater) + "h");
        e.insert("NO_FAKE_STAT", "1");
        // Timed waits run on the monotonic clock; a shifted one would make them endless.
        e.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        if (!QFileInfo::exists(e.value("LD_PRELOAD"))) {
            GTEST_SKIP() << "libfaketime is not installed";
        }
    }
    ProbeRun last =
        probe({"upgrade", "--spawn", "--", app() + "/bin/brisendale-drive-ui"}, !row.dropClient, e);
    EXPECT_RUN_OK(last);
    EXPECT_EQ(last.value("need"), row.lastTried ? "1" : "0") << last.err.toStdString();
    EXPECT_EQ(last.countLog("attempts, not trying it again before "), row.lastTried ? 0 : 1);
    if (!row.lastTried) {
        EXPECT_EQ(last.value("target"), "alive");
        EXPECT_EQ(listTree(app()), old);
        EXPECT_EQ(readFile(user() + "/start-args"),
                  (app() + "/package/start-stop\n1\nstart\n").toUtf8());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AttemptTest,
    ::testing::Values(AttemptRow{"three_failures_then_left_alone", false, nullptr, false, false,
                                 false},
                      AttemptRow{"killed_three_times", true, nullptr, false, false, false},
                      AttemptRow{"changed_package_tried_again", false, nullptr, false, true, true},
                      AttemptRow{"tried_again_a_day_later", false, nullptr, false, false, true, 25},
                      AttemptRow{"not_yet_after_23_hours", true, nullptr, false, false, false, 23},
                      AttemptRow{"missing_client_always_tried", false, nullptr, true, false, true},
                      AttemptRow{"garbage_state_counts_nothing", false,
                                 "build=125\nsize=x\nattempts=99\n\x01\xff", false, false, true}),
    [](const ::testing::TestParamInfo<AttemptRow>& i) { return std::string(i.param.name); });

// Failures under a clock that was years ahead: once the clock is right, the package waits
// the normal back-off from now, not until the wrong date comes round.
TEST_F(FlowTest, ClockAheadAtFailureDelaysTheRetryByTheBackOffOnly)
{
    makePackage("125", 20);
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    installOld("120");
    auto shifted = [this](const QString& offset) {
        QProcessEnvironment e = env();
        e.insert("LD_PRELOAD", "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
        e.insert("FAKETIME", offset);
        e.insert("NO_FAKE_STAT", "1");
        e.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        return e;
    };
    if (!QFileInfo::exists(shifted("+0").value("LD_PRELOAD"))) {
        GTEST_SKIP() << "libfaketime is not installed";
    }
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(probe({"upgrade"}, false, shifted("+3650d")).value("upgrade"), "-1")
            << "run " << run;
    }
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    ProbeRun held = probe({"upgrade"}, false);
    EXPECT_EQ(held.value("need"), "0") << held.err.toStdString();
    const QRegularExpressionMatch last =
        QRegularExpression("(?:^|\n)last=(\\d+)\n")
            .match(QString::fromUtf8(readFile(app() + ".attempts")));
    ASSERT_TRUE(last.hasMatch());
    EXPECT_GE(last.captured(1).toLongLong(), before);
    EXPECT_LE(last.captured(1).toLongLong(), QDateTime::currentSecsSinceEpoch());

    ProbeRun retried = probe({"upgrade"}, false, shifted("+25h"));
    EXPECT_EQ(retried.value("need"), "1") << retried.err.toStdString();
    EXPECT_EQ(retried.countLog("attempts, not trying it again before "), 0);
}

// U on a small file system of its own: the upgrade must leave the user room to work.
struct RoomRow
{
    const char* name;
    int tmpfsMiB;
    const char* installedSize; // nullptr: the version file has no such key
    bool upgraded;
    int tmpfsInodes = 0;                    // 0: the tmpfs default
    const char* installedEntries = nullptr; // nullptr: the version file has no such key
};

void PrintTo(const RoomRow& row, std::ostream* os)
{
    *os << row.name;
}

class RoomTest : public FlowTest, public ::testing::WithParamInterface<RoomRow>
{};

TEST_P(RoomTest, UpgradesOnlyWithRoomToSpare)
{
    const RoomRow& row = GetParam();
    // A private mount namespace: the file system goes with this process, whatever happens.
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "cannot make a mount namespace here: " << strerror(errno);
    QDir().mkpath(user());
    QByteArray options = "size=" + QByteArray::number(row.tmpfsMiB) + "m";
    if (row.tmpfsInodes) {
        options += ",nr_inodes=" + QByteArray::number(row.tmpfsInodes);
    }
    if (mount("tmpfs", QFile::encodeName(user()).constData(), "tmpfs", 0, options.constData()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);

    const QString staged = makePackage("125");
    if (row.installedSize) {
        writeFile(m_root + "/INFO",
                  infoText("125") + "[Package]\ninstalled_size=" + row.installedSize +
                      "\ninstalled_entries=" + (row.installedEntries ? row.installedEntries : "") +
                      "\n");
    }
    installOld("120");
    const auto old = listTree(app());
    ProbeRun run = probe({"upgrade", "--spawn", "--", app() + "/bin/brisendale-drive-ui"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
    if (row.upgraded) {
        EXPECT_EQ(run.value("upgrade"), "0") << run.err.toStdString();
        EXPECT_EQ(listTree(app()), listTree(staged));
        return;
    }
    const QString packageBytes =
        row.installedSize ? row.installedSize : QString::number(QFileInfo(package()).size());
    EXPECT_EQ(run.value("need"), "0");
    EXPECT_EQ(run.value("target"), "alive");
    EXPECT_EQ(listTree(app()), old);
    if (row.installedEntries) {
        EXPECT_EQ(run.countLog("not enough free inodes in '" + user() + "' to upgrade: needed " +
                               QString::number(QByteArray(row.installedEntries).toInt() + 1000) +
                               " (package " + row.installedEntries + ", reserve 1000), free "),
                  1)
            << run.err.toStdString();
        return;
    }
    EXPECT_EQ(run.countLog("not enough room in '" + user() + "' to upgrade: needed "), 1)
        << run.err.toStdString();
    EXPECT_EQ(run.countLog("(package " + packageBytes + ", reserve 67108864), free "), 1);
    EXPECT_EQ(run.value("target"), "alive");
    EXPECT_EQ(listTree(app()), old);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RoomTest,
    ::testing::Values(RoomRow{"too_little_room", 48, "4096", false},
                      RoomRow{"enough_room", 100, "4096", true},
                      RoomRow{"package_size_without_the_key", 48, nullptr, false},
                      // Must not wrap around to a small sum.
                      RoomRow{"size_that_cannot_fit", 100, "18446744073709551615", false},
                      // 9: what the package holds, which the extraction checks too.
                      RoomRow{"too_few_inodes", 100, "4096", false, 600, "9"},
                      RoomRow{"enough_inodes", 100, "4096", true, 2000, "9"}),
    [](const ::testing::TestParamInfo<RoomRow>& i) { return std::string(i.param.name); });

// The version file's digest of the package: a package that does not match it rolls back
// and counts as a failed attempt; one that matches installs.
TEST_F(FlowTest, PackageDigestInTheVersionFileDecidesTheUpgrade)
{
    const QString staged = makePackage("125");
    const QByteArray right =
        QCryptographicHash::hash(readFile(package()), QCryptographicHash::Sha256).toHex();
    QByteArray wrong = right;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    installOld("120");
    const auto old = listTree(app());

    writeFile(m_root + "/INFO", infoText("125") + "[Package]\nsha256=" + wrong + "\n");
    ProbeRun failed = probe({"upgrade"}, false);
    EXPECT_RUN_OK(failed);
    EXPECT_EQ(failed.value("upgrade"), "-1");
    EXPECT_EQ(failed.countLog("package digest mismatch: expected sha256 " + wrong +
                              ", the package has " + right + "\n"),
              1)
        << failed.err.toStdString();
    EXPECT_EQ(listTree(app()), old);
    EXPECT_TRUE(readFile(app() + ".attempts").contains("attempts=1"));

    writeFile(m_root + "/INFO", infoText("125") + "[Package]\nsha256=" + right.toUpper() + "\n");
    ProbeRun upgraded = probe({"upgrade"}, false);
    EXPECT_RUN_OK(upgraded);
    EXPECT_EQ(upgraded.value("upgrade"), "0") << upgraded.err.toStdString();
    EXPECT_EQ(listTree(app()), listTree(staged));
}

// Every failure before the switch leaves the running client alone, and only the package's
// own faults count an attempt. The client runs beside the probe in a pid namespace of their
// own, so that nothing outside can be signalled.
struct PreparationRow
{
    const char* name;
    std::function<void(QProcessEnvironment&)> arrange;
    bool counted;
    const char* logged; // the failure's own line
    QString problem;    // what the user is told: event and reason, or nothing
};

QString told(NoticeReason reason)
{
    return QString("%1,%2").arg(int(NoticeEvent::UpgradeFailed)).arg(int(reason));
}

class PreparationFailureTest : public FlowTest
{
protected:
    // The probe's upgrade with the old client running; what the probe printed, and
    // "client=alive" or "client=gone" after it.
    ProbeRun upgradeBesideTheClient(QProcessEnvironment e)
    {
        // The shim leaves the environment of the first program it is loaded into: it is
        // handed to the probe alone.
        e.insert("PROBE_PRELOAD", e.value("LD_PRELOAD"));
        e.remove("LD_PRELOAD");
        const QString script =
            "\"$1\" & client=$!\n"
            "i=0; while [ ! -s \"$HOME/.Brisendale/ui.pid\" ] && [ $i -lt 200 ]; "
            "do sleep 0.01; i=$((i+1)); done\n"
            "LD_PRELOAD=\"$PROBE_PRELOAD\" \"$2\" upgrade\n"
            "kill -0 $client 2>/dev/null && echo client=alive || echo client=gone\n";
        return servicetest::runProgram("unshare",
                                       {"--pid", "--fork", "--mount-proc", "sh", "-c", script, "sh",
                                        app() + "/bin/brisendale-drive-ui", m_probe},
                                       e);
    }
};

TEST_F(PreparationFailureTest, ClientKeepsRunningAndOnlyThePackageIsBlamed)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a pid namespace of its own";
    }
    const PreparationRow rows[] = {
        {"digest mismatch",
         [this](QProcessEnvironment&) {
             writeFile(m_root + "/INFO",
                       infoText("125") + "[Package]\nsha256=" + QByteArray(64, '0') + "\n");
         },
         true, "package digest mismatch", told(NoticeReason::DamagedPackage)},
        {"package missing", [this](QProcessEnvironment&) { QFile::remove(package()); }, false,
         "but the package", QString()},
        {"no room", [this](QProcessEnvironment& e) { e = firstFillerFails("enospc"); }, false,
         "no room left in", told(NoticeReason::NoRoom)},
        {"a file too large", [this](QProcessEnvironment& e) { e = firstFillerFails("efbig"); },
         false, "File too large", told(NoticeReason::Other)},
        {"a thread that cannot start",
         [this](QProcessEnvironment& e) {
             e = firstFillerFails("count");
             e.insert("FAIL_AT_CALL_NO_THREADS", "/Brisendale.app.staging");
         },
         false, "Failed to start the writing thread", told(NoticeReason::Other)},
        {"a logout", [this](QProcessEnvironment& e) { e = firstFillerFails("term"); }, false,
         "stopped by signal 15", QString()},
        // A display that died while the toolkit had not yet read from it.
        {"a session that ended unseen",
         [](QProcessEnvironment& e) { e.insert("PROBE_SESSION_GONE", "1"); }, false,
         "signal 1 ended the session", QString()},
    };
    for (const PreparationRow& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(user()).removeRecursively();
        makePackage("125", 400);
        installOld("120");
        const auto old = listTree(app());
        QProcessEnvironment e = env();
        row.arrange(e);
        const ProbeRun run = upgradeBesideTheClient(e);
        EXPECT_EQ(run.value("client"), "alive") << run.out.toStdString() << run.err.toStdString();
        EXPECT_GE(run.countLog(row.logged), 1) << run.err.toStdString();
        EXPECT_EQ(run.value("problem"), row.problem) << run.out.toStdString();
        EXPECT_EQ(listTree(app()), old);
        EXPECT_FALSE(QFileInfo::exists(marker()));
        EXPECT_EQ(QFileInfo::exists(app() + ".attempts"), row.counted) << run.err.toStdString();
        if (run.value("upgrade") == "-1") {
            EXPECT_FALSE(QFileInfo::exists(staging())) << "a failed preparation is removed";
        }
    }
}

// A switch that fails once the client was stopped: the old tree is kept, in A or beside it
// under the marker, until the switch is known to be on storage; a whole tree is in A, its
// client is started again, and nothing is counted. Each row fails the first call of the
// switch that a traced run shows after the stop: the flush of U after the exchange, or,
// where names cannot be exchanged, the rename of the new tree into A.
TEST_F(PreparationFailureTest, SwitchThatFailsAfterTheStopKeepsAWholeTree)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a pid namespace of its own";
    }
    struct Row
    {
        const char* name;
        bool noExchange;
        const char* calls;
        // The traced call that is failed: the first of `call` on `target` after the
        // first of `after`.
        const char* after;
        const char* call;
        bool onUser; // target U itself, else A
        const char* mode = "eio";
    };
    const Row rows[] = {
        {"the exchange's flush", false, "renameat2,fsync", "renameat2", "fsync", true},
        {"the rename into A", true, "rename,renameat,renameat2", "rename", "rename", false},
        {"every call from the exchange's flush on", false, "renameat2,fsync", "renameat2", "fsync",
         true, "enospc"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(user()).removeRecursively();
        const auto fresh = listTree(makePackage("125", 4));
        installOld("120");
        const auto old = listTree(app());
        QProcessEnvironment e = env();
        e.insert("LD_PRELOAD", FAIL_AT_CALL_SHIM);
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        e.insert("FAIL_AT_CALL_ROOT", user());
        e.insert("FAIL_AT_CALL_CALLS", row.calls);
        if (row.noExchange) {
            e.insert("FAIL_AT_CALL_NO_EXCHANGE", "1");
        }
        const QString trace = path() + "/switch-trace";
        QFile::remove(trace);
        QProcessEnvironment traced = e;
        traced.insert("FAIL_AT_CALL_TRACE", trace);
        ASSERT_EQ(upgradeBesideTheClient(traced).value("upgrade"), "0");
        const QString target = row.onUser ? user() : app();
        long failAt = 0;
        bool seen = false;
        for (const QString& line : QString::fromUtf8(readFile(trace)).split('\n')) {
            const QStringList f = line.split(' ');
            if (f.size() < 3) {
                continue;
            }
            seen = seen || f[1].startsWith(row.after);
            if (seen && f[1].startsWith(row.call) && f.mid(2).join(' ') == target) {
                failAt = f[0].toLong();
                break;
            }
        }
        ASSERT_GT(failAt, 0) << readFile(trace).toStdString();

        QDir(user()).removeRecursively();
        installOld("120");
        e.insert("FAIL_AT_CALL_N", QString::number(failAt));
        e.insert("FAIL_AT_CALL_MODE", row.mode);
        QFile::remove(user() + "/start-args");
        const ProbeRun run = upgradeBesideTheClient(e);
        EXPECT_EQ(run.value("upgrade"), "-1") << run.err.toStdString();
        // A switch not known to be on storage may still be undone by a power cut: the old
        // tree must be kept, in A or beside it, until the switch is.
        const auto now = listTree(app());
        EXPECT_TRUE(now == old || listTree(staging()) == old)
            << "the old tree is gone after a failed switch\n"
            << run.err.toStdString();
        EXPECT_TRUE(now == old || now == fresh) << "A is not a whole tree";
        EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
        EXPECT_TRUE(QFileInfo::exists(user() + "/start-args")) << "no client started again";
        // The next run settles what this one left.
        const ProbeRun next = probe({"upgrade"}, true);
        EXPECT_RUN_OK(next);
        EXPECT_EQ(listTree(app()), fresh) << next.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(staging()));
        EXPECT_FALSE(QFileInfo::exists(marker()));
    }
}

// A full disk is not the package's fault: however many runs it fails, the package is
// installed as soon as there is room.
TEST_F(FlowTest, FullDiskNeverBacksThePackageOff)
{
    const QString staged = makePackage("125", 20);
    installOld("120");
    for (int run = 0; run < 4; ++run) {
        ProbeRun failed = probe({"upgrade"}, false, firstFillerFails("enospc"));
        EXPECT_EQ(failed.value("upgrade"), "-1") << "run " << run << failed.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(app() + ".attempts")) << "run " << run;
    }
    ProbeRun run = probe({"upgrade"}, false);
    EXPECT_EQ(run.value("upgrade"), "0") << run.err.toStdString();
    EXPECT_EQ(listTree(app()), listTree(staged));
}

// A package rewritten in place while it is read (a package manager at work, or an
// administrator) is never committed, and counts nothing: the next run reads it whole. An
// uncompressed package without a digest would otherwise yield a tree of two builds.
TEST_F(FlowTest, PackageChangedWhileReadIsNeverCommitted)
{
    auto plainTar = [this](const QString& tree, const QString& to) {
        return QProcess::execute("tar", {"--sort=name", "--mtime=@0", "--owner=0", "--group=0",
                                         "--numeric-owner", "-C", tree, "-cf", to, "."});
    };
    const QString staged = makePackage("125", 400);
    const QString other = path() + "/other";
    ASSERT_EQ(QProcess::execute("cp", {"-a", staged, other}), 0);
    // The same names and sizes, other bytes: the headers line up, the data do not.
    QDirIterator files(other + "/share", QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        writeFile(file, QByteArray(static_cast<int>(QFileInfo(file).size()), 'z'));
    }
    ASSERT_EQ(plainTar(staged, package()), 0);
    const QString replacement = path() + "/replacement.tar";
    ASSERT_EQ(plainTar(other, replacement), 0);
    installOld("120");
    const auto old = listTree(app());

    QProcess prober;
    QProcessEnvironment e = firstFillerFails("stop");
    prober.setProcessEnvironment(e);
    prober.setProcessChannelMode(QProcess::MergedChannels);
    prober.start(m_probe, {"upgrade"});
    ASSERT_TRUE(prober.waitForStarted());
    const pid_t pid = static_cast<pid_t>(prober.processId());
    bool stopped = false;
    for (int i = 0; i < 500 && !stopped; ++i) {
        QThread::msleep(10);
        const QByteArray stat = readFile("/proc/" + QString::number(pid) + "/stat");
        stopped = stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
    }
    // Rewritten in place: the same inode, other bytes from here on.
    QFile rewrite(package());
    const bool rewritten = rewrite.open(QIODevice::ReadWrite) &&
                           rewrite.write(readFile(replacement)) > 0 && rewrite.flush();
    rewrite.close();
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(stopped) << "the probe never reached the extraction";
    ASSERT_TRUE(rewritten);
    ASSERT_TRUE(prober.waitForFinished(60000));
    const QString out = QString::fromUtf8(prober.readAll());
    EXPECT_NE(out.indexOf("upgrade=-1"), -1) << out.toStdString();
    EXPECT_NE(out.indexOf("changed while it was read"), -1) << out.toStdString();
    EXPECT_EQ(listTree(app()), old);
    EXPECT_FALSE(QFileInfo::exists(staging()));
    EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
}

// A logout during the upgrade: it rolls back and counts as no attempt, so a package is
// never locked out by sessions that ended while it was unpacked.
TEST_F(FlowTest, UpgradesEndedBySigtermDoNotCount)
{
    // Far larger than the reader may run ahead of the writer: the signal at the first
    // written filler always comes while entries are still being read.
    const QString staged = makePackage("125", 400);
    installOld("120");
    const auto old = listTree(app());
    const QProcessEnvironment e = firstFillerFails("term");
    for (int run = 0; run < 4; ++run) {
        QFile::remove(user() + "/start-args");
        ProbeRun ended = probe({"upgrade"}, false, e);
        ASSERT_TRUE(ended.crashed) << "run " << run << ended.err.toStdString();
        EXPECT_EQ(ended.countLog("stopped by signal 15\n"), 1) << ended.err.toStdString();
        EXPECT_EQ(listTree(app()), old) << "run " << run;
        EXPECT_FALSE(QFileInfo::exists(marker()));
        EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
        EXPECT_TRUE(backups().isEmpty()) << backups().join(' ').toStdString();
        EXPECT_FALSE(QFileInfo::exists(user() + "/start-args")) << "no client at logout";
    }
    ProbeRun run = probe({"upgrade"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "0") << run.err.toStdString();
    EXPECT_EQ(listTree(app()), listTree(staged));
}

// A disk that fills during the extraction anyway (the version file understated the
// size): the upgrade rolls back and one line tells the user where and what.
TEST_F(FlowTest, FullDiskDuringTheExtractionRollsBackWithOneClearLine)
{
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "cannot make a mount namespace here: " << strerror(errno);
    QDir().mkpath(user());
    if (mount("tmpfs", QFile::encodeName(user()).constData(), "tmpfs", 0, "size=80m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    const QString staged = path() + "/staged";
    writeFile(staged + "/share/zeros.bin", QByteArray(100 << 20, '\0'));
    makePackage("125");
    writeFile(m_root + "/INFO", infoText("125") + "[Package]\ninstalled_size=4096\n");
    installOld("120");
    const auto old = listTree(app());
    ProbeRun run = probe({"upgrade"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "-1");
    EXPECT_EQ(run.countLog("[ERROR] extractor.cpp"), 1) << run.err.toStdString();
    EXPECT_EQ(run.countLog("no room left in '" + QFileInfo(user()).canonicalFilePath() +
                           "/Brisendale.app.staging': No space left on device (28)\n"),
              1);
    EXPECT_EQ(run.countLog("not counting it against"), 1);
    EXPECT_EQ(listTree(app()), old);
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(staging()));
    EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
}

// A large disk with little free room: the reserve is 1 % of it, not a share that would
// keep a user with a few hundred megabytes free from ever upgrading.
TEST_F(FlowTest, LargeDiskWithLittleRoomAcceptsASmallPackage)
{
    const QString why =
        testsupport::mountLoopImage("ext4", path() + "/large.img", 10ll << 30, user());
    if (!why.isEmpty()) {
        GTEST_SKIP() << why.toStdString();
    }
    struct statvfs vfs;
    ASSERT_EQ(statvfs(QFile::encodeName(user()).constData(), &vfs), 0);
    const qint64 leave = 250ll << 20;
    const qint64 fill = qint64(vfs.f_bavail) * qint64(vfs.f_frsize) - leave;
    const int fd =
        open(QFile::encodeName(user() + "/filler").constData(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(posix_fallocate(fd, 0, fill), 0);
    close(fd);
    const QString staged = makePackage("125");
    installOld("120");
    ProbeRun run = probe({"upgrade"}, true);
    testsupport::unmountLoopImage(user());
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "0") << run.err.toStdString();
}

// Another launcher that holds the home's lock (on this host or another one) may be
// replacing A: this one touches nothing, leaves the client's start to it and ends at once.
TEST_F(FlowTest, HomeLockedByAnotherLauncherLeavesTheStartToIt)
{
    makePackage("125");
    installOld("120");
    writeFile(marker(), "");
    const int fd = open(QFile::encodeName(user() + "/launcher.lock").constData(),
                        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const auto old = listTree(user());
    QElapsedTimer timer;
    timer.start();
    ProbeRun run = probe({"upgrade"}, true);
    const qint64 ms = timer.elapsed();
    close(fd);
    EXPECT_RUN_OK(run);
    EXPECT_LT(ms, 10000);
    EXPECT_EQ(run.value("need"), "0");
    EXPECT_EQ(run.countLog("[WARNING]"), 0) << run.err.toStdString();
    EXPECT_EQ(run.countLog("leaving the installation and the client's start to it\n"), 1)
        << run.err.toStdString();
    EXPECT_EQ(listTree(user()), old);
    EXPECT_FALSE(QFileInfo::exists(user() + "/start-args"));
}

TEST_F(FlowTest, MarkerOfAKilledRunMakesTheNextRunReinstall)
{
    const QString staged = makePackage("125");
    QDir().mkpath(app());
    for (const QString& rel : listTree(staged).keys()) {
        QFileInfo fi(staged + "/" + rel);
        if (fi.isFile() && !fi.isSymLink()) {
            QDir().mkpath(QFileInfo(app() + "/" + rel).absolutePath());
            QFile::copy(fi.filePath(), app() + "/" + rel);
        }
    }
    writeFile(app() + "/lib/libx.so.1", "half writ");
    writeFile(marker(), "");
    ProbeRun run = probe({"upgrade"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("need"), "1");
    EXPECT_EQ(run.value("upgrade"), "0");
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_FALSE(QFileInfo::exists(marker()));
}

class KilledUpgradeTest : public FlowTest, public ::testing::WithParamInterface<int>
{};

// SIGKILL right after entry K of the extraction (percent of all entries), then a normal run.
TEST_P(KilledUpgradeTest, NextRunEndsWithExactlyThePackage)
{
    const QString staged = makePackage("125", 600);
    installOld("120");
    const int total = listTree(staged).size();
    const int step = std::max(1, total * GetParam() / 100);
    const auto old = listTree(app());
    ProbeRun killed = probe({"upgrade", "--die-at-step", QString::number(step)}, false);
    ASSERT_TRUE(killed.crashed) << killed.out.toStdString() << killed.err.toStdString();
    // Killed while it prepared the new copy beside A: A was never touched.
    EXPECT_EQ(listTree(app()), old);
    EXPECT_TRUE(QFileInfo::exists(staging()));
    EXPECT_FALSE(QFileInfo::exists(marker()));

    ProbeRun rerun = probe({"upgrade"}, false);
    EXPECT_RUN_OK(rerun);
    EXPECT_EQ(rerun.value("need"), "1");
    EXPECT_EQ(rerun.value("upgrade"), "0");
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_TRUE(backups().isEmpty()) << backups().join(' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(staging()));
    EXPECT_EQ(probe({"decide"}, false).value("need"), "0");
}

INSTANTIATE_TEST_SUITE_P(Steps, KilledUpgradeTest, ::testing::Values(0, 30, 70, 100),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "at_" + std::to_string(info.param) + "_percent";
                         });

TEST_F(FlowTest, NewTreeIsOnStorageBeforeTheOldIsRemoved)
{
    makePackage("125");
    installOld("120");
    QProcessEnvironment e = env();
    e.insert("LD_PRELOAD", FS_SHIM);
    e.insert("FS_SHIM_LOG", path() + "/calls");
    e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    ProbeRun run = probe({"upgrade"}, false, e);
    EXPECT_RUN_OK(run);
    const QStringList calls = QString::fromUtf8(readFile(path() + "/calls")).split('\n');
    // After the exchange the old tree is at the staging name, where the new one was made.
    const QString canonicalStaging =
        QFileInfo(user()).canonicalFilePath() + "/" + QFileInfo(staging()).fileName();
    int firstOldRemoval = -1;
    for (int i = 0; i < calls.size() && firstOldRemoval < 0; ++i) {
        if (calls[i].startsWith("remove " + staging() + "/")) {
            firstOldRemoval = i;
        }
    }
    ASSERT_GE(firstOldRemoval, 0) << calls.join('\n').toStdString();
    // Each file and folder of the new tree by fsync (syncfs persists nothing on FUSE), or,
    // on ext4, XFS and btrfs, one syncfs through the tree's folder and no file reopened.
    const QStringList before = calls.mid(0, firstOldRemoval);
    UniqueFd appFd(::open(QFile::encodeName(app()).constData(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(appFd.valid());
    const bool oneSyncfs = FSFlushRuleOf(appFd.get()) == FlushRule::SYNCFS;
    for (const QString& rel : listTree(app()).keys()) {
        if (!QFileInfo(app() + "/" + rel).isSymLink()) {
            EXPECT_EQ(before.contains("fsync " + canonicalStaging + "/" + rel), !oneSyncfs)
                << rel.toStdString();
        }
    }
    EXPECT_TRUE(before.contains((oneSyncfs ? "syncfs " : "fsync ") + canonicalStaging));
    EXPECT_TRUE(before.contains("fsync " + QFileInfo(user()).canonicalFilePath()));
}

// A file system that reports no size (many FUSE ones): the room checks are skipped with
// one line each, and the package installs.
TEST_F(FlowTest, FileSystemReportingNoSizeInstalls)
{
    const QString staged = makePackage("125");
    // The entries below the root and the root itself, as the package build counts them.
    const QByteArray entries = QByteArray::number(listTree(staged).size() + 1);
    writeFile(m_root + "/INFO", infoText("125") + "[Package]\ninstalled_size=4096\n" +
                                    "installed_entries=" + entries + "\n");
    QProcessEnvironment e = env();
    e.insert("LD_PRELOAD", FS_SHIM);
    e.insert("FS_SHIM_STATFS_ZERO", "1");
    e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    ProbeRun run = probe({"upgrade"}, false, e);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "0") << run.err.toStdString();
    EXPECT_EQ(run.countLog("reports no size, not checking its free space\n"), 1);
    EXPECT_EQ(run.countLog("reports no inode count, not checking its free inodes\n"), 1);
    EXPECT_EQ(listTree(app()), listTree(staged));
}

// The user waits for the upgrade, not for the old tree's removal: that comes after the
// client's start, as the removal of a left-over.
TEST_F(FlowTest, OldCopyOutlivesTheUpgradeAsALeftOver)
{
    const QString staged = makePackage("125");
    for (const bool exchange : {true, false}) {
        SCOPED_TRACE(exchange ? "exchanged" : "renamed");
        QDir(user()).removeRecursively();
        installOld("120");
        const auto old = listTree(app());
        ProbeRun run = probe({"prepare"}, false, exchange ? env() : noExchange());
        EXPECT_RUN_OK(run);
        EXPECT_EQ(run.value("prepare"), "0") << run.err.toStdString();
        EXPECT_EQ(listTree(app()), listTree(staged));
        EXPECT_EQ(listTree(exchange ? staging() : backup(0)), old);
        EXPECT_EQ(backups(), exchange ? QStringList() : QStringList{"Brisendale.app_tmp"});
        EXPECT_FALSE(QFileInfo::exists(marker())) << "a marker would keep the old copy for good";
    }
}

TEST_F(FlowTest, FailedFlushRollsBack)
{
    makePackage("125");
    installOld("120");
    const auto old = listTree(app());
    QProcessEnvironment e = env();
    e.insert("LD_PRELOAD", FS_SHIM);
    e.insert("FS_SHIM_FAIL_FSYNC", "1");
    e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    ProbeRun run = probe({"prepare"}, false, e);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("prepare"), "-1");
    // A file of the tree, or the tree through its folder where one syncfs flushes it.
    EXPECT_EQ(run.countLog("failed to flush '" + QFileInfo(user()).canonicalFilePath() +
                           "/Brisendale.app.staging"),
              1)
        << run.err.toStdString();
    EXPECT_EQ(run.countLog("(not the package's fault)"), 1);
    EXPECT_EQ(listTree(app()), old);
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(staging()));
}

// ---------------------------------------------------------------- the whole run

TEST_F(FlowTest, UpgradeStopsTheClientReplacesTheFolderAndStartsTheNewOne)
{
    const QString staged = makePackage("125");
    installOld("120");
    writeFile(user() + "/app/aged.txt", "aged");
    ProbeRun run =
        probe({"upgrade", "--witness", "--spawn", "--", app() + "/bin/brisendale-drive-ui"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("target"), "exited:0");
    EXPECT_EQ(run.value("witness"), "alive");
    EXPECT_EQ(run.value("need"), "1");
    EXPECT_EQ(run.value("upgrade"), "0");
    EXPECT_EQ(run.countLog("local appdata exist\n"), 1);
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_FALSE(QFileInfo::exists(user() + "/app"));
    EXPECT_EQ(readFile(user() + "/start-args"),
              (app() + "/package/start-stop\n1\nstart\n").toUtf8());
}

TEST_F(FlowTest, NoUpgradeStillCleansUpAndStartsTheClient)
{
    makePackage("125");
    installOld("125");
    const auto installed = listTree(app());
    writeFile(user() + "/app/aged.txt", "aged");
    ProbeRun run = probe({"upgrade"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("need"), "0");
    EXPECT_TRUE(run.value("upgrade").isNull());
    EXPECT_EQ(listTree(app()), installed);
    EXPECT_FALSE(QFileInfo::exists(user() + "/app"));
    EXPECT_EQ(readFile(user() + "/start-args"),
              (app() + "/package/start-stop\n1\nstart\n").toUtf8());
}

TEST_F(FlowTest, HomeWithABlankStartsTheClient)
{
    m_home = path() + "/my home";
    const QString staged = makePackage("125");
    ProbeRun run = probe({"upgrade"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("upgrade"), "0");
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_EQ(readFile(user() + "/start-args"),
              (app() + "/package/start-stop\n1\nstart\n").toUtf8());
}

// ---------------------------------------------------------------- the start script

struct StartRow
{
    const char* name;
    const char* script; // nullptr: no start script at all
    int mode;
    const char* logged; // expected log text, %A standing for the application folder;
                        // nullptr: no WARNING or ERROR line
};

void PrintTo(const StartRow& row, std::ostream* os)
{
    *os << row.name;
}

// Each row also runs where the kernel offers no pidfd and the launcher polls the script.
class StartTest : public FlowTest, public ::testing::WithParamInterface<std::tuple<StartRow, bool>>
{};

TEST_P(StartTest, NeverHoldsTheRunAndReportsFailures)
{
    const StartRow& row = std::get<0>(GetParam());
    QProcessEnvironment e = env();
    if (std::get<1>(GetParam())) {
        e.insert("LD_PRELOAD", FS_SHIM);
        e.insert("FS_SHIM_NO_PIDFD", "1");
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    }
    makePackage("125");
    installOld("125");
    QFile::remove(app() + "/package/start-stop");
    if (row.script) {
        writeFile(app() + "/package/start-stop", row.script);
        ASSERT_EQ(chmod(QFile::encodeName(app() + "/package/start-stop").constData(), row.mode), 0);
    }
    QElapsedTimer timer;
    timer.start();
    ProbeRun run = probe({"upgrade", "--start-wait", "1"}, true, e);
    EXPECT_RUN_OK(run);
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_EQ(run.value("need"), "0");
    if (row.logged) {
        EXPECT_EQ(run.countLog(QString::fromUtf8(row.logged).replace("%A", app())), 1)
            << run.err.toStdString();
    } else {
        EXPECT_EQ(run.countLog("[WARNING]") + run.countLog("[ERROR]"), 0) << run.err.toStdString();
        EXPECT_EQ(readFile(user() + "/start-args"), "read=1\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartTest,
    ::testing::Combine(
        ::testing::Values(
            StartRow{
                "reads_its_input",
                "#!/bin/sh\nread answer\necho \"read=$?\" > \"$HOME/.Brisendale/start-args\"\n",
                0755, nullptr},
            StartRow{"hangs", "#!/bin/sh\nsleep 600\n", 0755,
                     "%A/package/start-stop start' still runs after 1 s"},
            StartRow{"missing", nullptr, 0,
                     "failed to run '%A/package/start-stop': No such file or directory (2)\n"},
            StartRow{"not_executable", "#!/bin/sh\n", 0644,
                     "failed to run '%A/package/start-stop': Permission denied (13)\n"},
            StartRow{"fails", "#!/bin/sh\nexit 3\n", 0755,
                     "'%A/package/start-stop start' exited with status 3\n"},
            StartRow{"crashes", "#!/bin/sh\nkill -SEGV $$\n", 0755,
                     "start' was ended by signal 11"}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<StartRow, bool>>& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_polled" : "");
    });

// ---------------------------------------------------------------- stopping the client

struct StopRow
{
    const char* name;
    const char* pidFile;    // written as U/ui.pid; nullptr: none, or the spawn writes it
    const char* spawn;      // "client", "elsewhere", "relative", "nobody", "sleep", "ended", "sh",
                            // "sh_c", "tail", "flock", "wrapper"; or ""
    const char* clientMode; // "term", "late", "deaf"; "elf": a copy of sleep, run with 600
    const char* target;     // expected state of the spawned process
    const char* logged;     // expected log text; nullptr: no NOTE or ERROR line at all
    const char* pidText = nullptr; // replaces the client's own pid file, %P its pid
};

void PrintTo(const StopRow& row, std::ostream* os)
{
    *os << row.name;
}

class StopTest : public FlowTest, public ::testing::WithParamInterface<StopRow>
{};

TEST_P(StopTest, SignalsOnlyTheClient)
{
    const StopRow& row = GetParam();
    const std::string mode = row.clientMode;
    const QByteArray script = mode == "late"   ? kClientLate
                              : mode == "deaf" ? kClientDeaf
                                               : kClientTerm;
    const QString client = app() + "/bin/brisendale-drive-ui";
    if (mode == "elf") {
        QDir().mkpath(app() + "/bin");
        ASSERT_TRUE(QFile::copy("/bin/sleep", client));
        ASSERT_EQ(chmod(QFile::encodeName(client).constData(), 0755), 0);
    } else {
        writeExec(client, script);
    }
    QDir().mkpath(user());
    if (row.pidFile) {
        writeFile(user() + "/ui.pid", row.pidFile);
    }
    const std::string spawn = row.spawn;
    QStringList args{"stop", "--witness", "--stop-timeout", "3000"};
    if (row.pidText) {
        args << "--pid-text" << row.pidText;
    }
    // Processes that only name the client's file are started with a pid file of their own,
    // which the row then replaces.
    const QStringList named{"--spawn", "--write-pid", "--"};
    if (spawn == "client" && mode == "elf") {
        args << named << client << "600";
    } else if (spawn == "client") {
        args << "--spawn"
             << "--" << client;
    } else if (spawn == "sh") {
        args << "--spawn"
             << "--"
             << "/bin/sh" << client;
    } else if (spawn == "sh_c") {
        args << named << "/bin/sh"
             << "-c"
             << "sleep 600" << client;
    } else if (spawn == "tail") {
        // Follows the file without printing it onto the probe's report.
        args << named << "/usr/bin/tail"
             << "-c0"
             << "-f" << client;
    } else if (spawn == "flock") {
        args << named << "/usr/bin/flock" << client << "/bin/sleep"
             << "600";
    } else if (spawn == "wrapper") {
        // A start wrapper that execs another program of the tree.
        QDir().mkpath(app() + "/lib");
        ASSERT_TRUE(QFile::copy("/bin/sleep", app() + "/lib/real"));
        ASSERT_EQ(chmod(QFile::encodeName(app() + "/lib/real").constData(), 0755), 0);
        writeExec(client, "#!/bin/sh\nexec \"$(dirname \"$0\")/../lib/real\" 600\n");
        args << named << client;
    } else if (spawn == "relative") {
        args << "--spawn"
             << "--cwd" << app() + "/bin"
             << "--"
             << "./brisendale-drive-ui";
    } else if (spawn == "elsewhere") {
        writeExec(path() + "/elsewhere/bin/brisendale-drive-ui", script);
        args << "--spawn"
             << "--" << path() + "/elsewhere/bin/brisendale-drive-ui";
    } else if (spawn == "nobody") {
        if (!testsupport::canDropPrivileges()) {
            GTEST_SKIP() << "needs root and setpriv to run the client as another user";
        }
        for (const QString& dir : {path(), home(), user(), app(), app() + "/bin"}) {
            chmod(QFile::encodeName(dir).constData(), 0755);
        }
        args << "--spawn"
             << "--nobody"
             << "--write-pid"
             << "--" << app() + "/bin/brisendale-drive-ui";
    } else if (spawn == "sleep") {
        args << "--spawn"
             << "--write-pid"
             << "--"
             << "/bin/sleep"
             << "30";
    } else if (spawn == "ended") {
        args << "--spawn"
             << "--write-pid"
             << "--reap-first"
             << "--"
             << "/bin/true";
    }

    ProbeRun run = probe(args, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("witness"), "alive");
    if (row.target) {
        EXPECT_EQ(run.value("target"), row.target) << run.err.toStdString();
    }
    if (row.logged) {
        EXPECT_EQ(run.countLog(row.logged), 1) << run.err.toStdString();
    } else {
        EXPECT_EQ(run.countLog("[NOTE]"), 0) << run.err.toStdString();
        EXPECT_EQ(run.countLog("[ERROR]"), 0) << run.err.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StopTest,
    ::testing::Values(
        StopRow{"missing_pid_file", nullptr, "", "term", nullptr,
                "[DEBUG] linux/linux-service.cpp("},
        StopRow{"unparsable_lines_only", "this is no pid file\n", "", "term", nullptr, nullptr},
        StopRow{"pid_beside_lines_that_do_not_parse", nullptr, "client", "term", "exited:0",
                nullptr, "\xEF\xBB\xBFpid=%P\r\nstarted=Mon Dec 8 16:00\r\nstate: up\r\n"},
        StopRow{"pid_file_naming_nobody", nullptr, "client", "term", "exited:0",
                "does not name the client, which runs as process", "written by nobody\n"},
        StopRow{"no_pid_key", "other=5\n", "", "term", nullptr, nullptr},
        StopRow{"empty_pid", "pid=\"\"\n", "", "term", nullptr, nullptr},
        StopRow{"zero", "pid=0\n", "", "term", nullptr, "holds no process id ('0')"},
        StopRow{"minus_one", "pid=-1\n", "", "term", nullptr, "holds no process id ('-1')"},
        StopRow{"wraps_to_minus_one", "pid=4294967295\n", "", "term", nullptr,
                "holds no process id ('4294967295')"},
        StopRow{"trailing_text", "pid=12abc\n", "", "term", nullptr,
                "holds no process id ('12abc')"},
        StopRow{"ended_process", nullptr, "ended", "term", nullptr, nullptr},
        StopRow{"unrelated_process", nullptr, "sleep", "term", "alive", "which is not the client"},
        StopRow{"client_of_another_folder", nullptr, "elsewhere", "term", "alive",
                "which is not the client"},
        StopRow{"client_of_another_user", nullptr, "nobody", "term", "alive",
                "which is not the client"},
        StopRow{"client_ends_on_term", nullptr, "client", "term", "exited:0", nullptr},
        StopRow{"client_started_by_relative_path", nullptr, "relative", "term", "exited:0",
                nullptr},
        StopRow{"client_ends_late", nullptr, "client", "late", "exited:3", nullptr},
        StopRow{"client_ignores_term", nullptr, "client", "deaf", "signaled:9", nullptr},
        // Whatever the pid file says, the client is looked for.
        StopRow{"client_without_pid_file", nullptr, "client", "term", "exited:0",
                "does not name the client, which runs as process", "-"},
        StopRow{"pid_file_naming_an_ended_process", nullptr, "client", "term", "exited:0",
                "does not name the client, which runs as process", "pid=99999\n"},
        StopRow{"pid_file_naming_another_process", nullptr, "client", "term", "exited:0",
                "does not name the client, which runs as process", "pid=1\n"},
        StopRow{"executable_client_without_pid_file", nullptr, "client", "elf", "signaled:15",
                "does not name the client, which runs as process", "-"},
        StopRow{"script_client_run_by_sh", nullptr, "sh", "term", "exited:0",
                "does not name the client, which runs as process", "-"},
        StopRow{"program_of_the_tree_run_by_a_wrapper", nullptr, "wrapper", "term", "signaled:15",
                nullptr},
        // Naming the client's file in the arguments never makes a process the client.
        StopRow{"sh_running_other_code", nullptr, "sh_c", "term", "alive", nullptr, "-"},
        StopRow{"reader_of_the_script", nullptr, "tail", "term", "alive", nullptr, "-"},
        StopRow{"reader_of_the_executable", nullptr, "tail", "elf", "alive", nullptr, "-"},
        StopRow{"flock_on_the_client", nullptr, "flock", "term", "alive", nullptr, "-"},
        StopRow{"flock_on_the_executable", nullptr, "flock", "elf", "alive", nullptr, "-"}),
    [](const ::testing::TestParamInfo<StopRow>& info) { return std::string(info.param.name); });

// A pid file that names nobody, and no /proc to look in: the tree is not replaced while
// the client may still run from it.
TEST_F(FlowTest, ClientThatCannotBeFoundKeepsItsTree)
{
    makePackage("125");
    installOld("120");
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime reads its options and runs its leak check through /proc";
#endif
    const QString script = "mount -t tmpfs none /proc && exec \"$0\" \"$@\"";
    ProbeRun run = servicetest::runProgram(
        "unshare",
        {"--mount", "--pid", "--fork", "--mount-proc", "sh", "-c", script, m_probe, "upgrade",
         "--pid-text", "no pid here\n", "--spawn", "--", app() + "/bin/brisendale-drive-ui"},
        env());
    if (run.err.contains("mount: ") || run.err.contains("unshare: "))
        GTEST_SKIP() << "cannot hide /proc in a mount namespace here: " << run.err.toStdString();
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("need"), "1");
    EXPECT_NE(run.value("upgrade"), "0");
    EXPECT_EQ(run.value("target"), "alive");
    EXPECT_EQ(run.countLog("has ended, not replacing it in this run\n"), 1)
        << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(app() + "/old-only.txt"));
    // The package was never tried, so it must not come closer to being refused.
    EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
}

TEST_F(FlowTest, MissingPidFileIsLogged)
{
    ProbeRun run = probe({"stop"}, true);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(
        run.countLog("pid file '" + user() + "/ui.pid' does not exist, no need to terminate\n"), 1);
}

// ---------------------------------------------------------------- FSCopyPath

TEST_F(FlowTest, CopyPathOfAFolderThatCannotBeListed)
{
    if (!testsupport::canDropPrivileges()) {
        GTEST_SKIP() << "needs root and setpriv: root lists every folder";
    }
    const QString src = path() + "/src";
    writeFile(src + "/hidden.txt", "unseen");
    QDir().mkpath(path() + "/out");
    chmod(QFile::encodeName(path()).constData(), 0755);
    chmod(QFile::encodeName(m_root).constData(), 0755);
    chmod(QFile::encodeName(src).constData(), 0711);
    chmod(QFile::encodeName(path() + "/out").constData(), 0777);
    ProbeRun run = servicetest::runProgram("setpriv",
                                           {"--reuid=65534", "--regid=65534", "--clear-groups",
                                            m_probe, "copy", src, path() + "/out/dst"},
                                           env());
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("copy"), "0");
    EXPECT_EQ(run.countLog("FSCopyPath: failed to create handle  for src '" + src + "' failed\n"),
              1);
    EXPECT_TRUE(QFileInfo(path() + "/out/dst").isDir());
    EXPECT_TRUE(QDir(path() + "/out/dst").isEmpty());
}

// ---------------------------------------------------------------- a damaged per-user copy

TreeState manifestState(const QString& user, const QString& app)
{
    const QByteArray u = QFile::encodeName(user);
    const QByteArray a = QFile::encodeName(app);
    return CheckInstalledTree(ustring(u.constData()), ustring(a.constData()), 1).state;
}

struct HealRow
{
    const char* name;
    const char* file; // relative to A
    int truncateTo;   // -1: not truncated
    int mode;         // 0: unchanged; -1: the file is deleted
    const char* difference;
};

void PrintTo(const HealRow& row, std::ostream* os)
{
    *os << row.name;
}

class HealTest : public FlowTest, public ::testing::WithParamInterface<HealRow>
{};

// The running client is stopped, the damaged tree backed up and replaced as in an upgrade,
// and the next start finds it intact.
TEST_P(HealTest, DamagedTreeHealsAtTheNextStart)
{
    const HealRow& row = GetParam();
    const QString staged = makePackage("125", 20);
    ProbeRun install = probe({"upgrade"}, false);
    ASSERT_EQ(install.value("upgrade"), "0") << install.err.toStdString();
    ASSERT_EQ(manifestState(user(), app()), TreeState::Intact);

    const QString file = app() + "/" + row.file;
    const QByteArray name = QFile::encodeName(file);
    if (row.truncateTo >= 0) {
        ASSERT_TRUE(servicetest::truncateFile(file, row.truncateTo));
    }
    if (row.mode < 0) {
        ASSERT_TRUE(QFile::remove(file));
    } else if (row.mode > 0) {
        ASSERT_EQ(chmod(name.constData(), static_cast<mode_t>(row.mode)), 0);
    }
    ASSERT_EQ(manifestState(user(), app()), TreeState::Damaged);

    ProbeRun heal = probe({"upgrade", "--spawn", "--", app() + "/bin/brisendale-drive-ui"}, true);
    EXPECT_RUN_OK(heal);
    EXPECT_EQ(heal.value("need"), "1");
    EXPECT_EQ(heal.value("upgrade"), "0");
    EXPECT_EQ(heal.value("target"), "exited:0");
    EXPECT_EQ(heal.countLog("[WARNING]"), 1) << heal.err.toStdString();
    EXPECT_EQ(heal.countLog("'" + app() + "' is not as installed (" + row.difference +
                            "), reinstalling it\n"),
              1)
        << heal.err.toStdString();
    EXPECT_EQ(heal.countLog("installing the package: the installed copy is damaged\n"), 1);
    EXPECT_EQ(listTree(app()), listTree(staged));
    EXPECT_TRUE(backups().isEmpty()) << backups().join(' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_EQ(manifestState(user(), app()), TreeState::Intact);

    ProbeRun next = probe({"upgrade"}, false);
    EXPECT_EQ(next.value("need"), "0") << next.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(app() + ".attempts"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HealTest,
    ::testing::Values(HealRow{"file_truncated", "share/d3/f3.dat", 100, 0,
                              "size 100, expected 4096: share/d3/f3.dat"},
                      HealRow{"file_deleted", "lib/libx.so.1", -1, -1, "missing: lib/libx.so.1"},
                      HealRow{"mode_changed", "bin/brisendale-drive-ui", -1, 0700,
                              "mode 0700, expected 0755: bin/brisendale-drive-ui"}),
    [](const ::testing::TestParamInfo<HealRow>& i) { return std::string(i.param.name); });

TEST_F(FlowTest, TreeInstalledBeforeManifestsIsTrusted)
{
    makePackage("125");
    installOld("125");
    ASSERT_TRUE(servicetest::truncateFile(app() + "/old-only.txt", 3));
    ProbeRun run = probe({"upgrade"}, false);
    EXPECT_RUN_OK(run);
    EXPECT_EQ(run.value("need"), "0");
    EXPECT_EQ(run.countLog("not checked: no manifest"), 1) << run.err.toStdString();
}

// The old tree comes back under its own manifest: the next start neither heals it nor
// takes the failed package's description for it.
TEST_F(FlowTest, RollbackKeepsTheManifestOfTheRestoredTree)
{
    makePackage("120", 5);
    ASSERT_EQ(probe({"upgrade"}, false).value("upgrade"), "0");
    const auto old = listTree(app());
    makePackage("125", 300);
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    ProbeRun failed = probe({"upgrade"}, false);
    EXPECT_EQ(failed.value("upgrade"), "-1") << failed.err.toStdString();
    EXPECT_EQ(listTree(app()), old);
    EXPECT_EQ(manifestState(user(), app()), TreeState::Intact);

    makePackage("120", 5);
    ProbeRun next = probe({"upgrade"}, false);
    EXPECT_EQ(next.value("need"), "0") << next.err.toStdString();
    EXPECT_EQ(next.countLog("[WARNING]"), 0) << next.err.toStdString();
}

// A tree that cannot be healed keeps the client it has, and is tried again only after the
// back-off: no reinstall at every start.
TEST_F(FlowTest, TreeThatCannotBeHealedIsLeftAloneAfterThreeAttempts)
{
    makePackage("125", 20);
    ASSERT_EQ(probe({"upgrade"}, false).value("upgrade"), "0");
    ASSERT_TRUE(QFile::remove(app() + "/lib/libx.so.1"));
    QFile::resize(package(), QFileInfo(package()).size() / 2);
    for (int run = 0; run < 3; ++run) {
        ProbeRun failed = probe({"upgrade"}, false);
        EXPECT_EQ(failed.value("upgrade"), "-1") << "run " << run << failed.err.toStdString();
    }
    ProbeRun last = probe({"upgrade"}, false);
    EXPECT_EQ(last.value("need"), "0") << last.err.toStdString();
    EXPECT_EQ(last.countLog("attempts, not trying it again before "), 1);
    EXPECT_TRUE(QFileInfo::exists(app() + "/bin/brisendale-drive-ui"));
}
