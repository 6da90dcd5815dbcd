#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLibraryInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kNamespaceMark = "BRISENDALE_E2E_PID_NAMESPACE";

bool inOwnPidNamespace()
{
    return qEnvironmentVariableIsSet(kNamespaceMark);
}

struct LaunchResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

bool processGone(pid_t pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Bounded waits; they only keep a broken run from hanging the suite.
template <typename Pred>
bool waitFor(Pred pred)
{
    for (int i = 0; i < 600; ++i) {
        if (pred())
            return true;
        QThread::msleep(50);
    }
    return pred();
}

class E2eTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        if (!inOwnPidNamespace())
            GTEST_SKIP() << "needs its own pid namespace (root and unshare) to end the clients "
                            "that the runs start";
        m_root = path() + "/root";
        layRoot(m_root);
    }

    void TearDown() override
    {
        stopClient();
        ScratchTest::TearDown();
    }

    QString root() const { return m_root; }
    QString userRoot() const { return home() + "/.Brisendale"; }
    QString userApp() const { return userRoot() + "/Brisendale.app"; }
    QString launcherPath() const { return m_root + "/bin/brisendale-launcher"; }

    static void copyFile(const QString& from, const QString& to)
    {
        QDir().mkpath(QFileInfo(to).absolutePath());
        QFile::remove(to);
        ASSERT_TRUE(QFile::copy(from, to)) << from.toStdString() << " -> " << to.toStdString();
        QFile::setPermissions(to, QFile::permissions(from) | QFile::WriteOwner);
    }

    // The system-wide tree as the installation lays it out, with every log
    // component raised to debug.
    void layRoot(const QString& r)
    {
        copyFile(QStringLiteral(E2E_LAUNCHER), r + "/bin/brisendale-launcher");
        copyFile(QStringLiteral(E2E_INFO), r + "/INFO");
        copyFile(QStringLiteral(E2E_PACKAGE), r + "/package/brisendale.nbx");
        copyFile(QStringLiteral(E2E_ICON), r + "/images/ico_72_brisendale.png");
        QDir().mkpath(r + "/conf");
        testsupport::writeFile(r + "/log/launcher.debug",
                               "launcher_debug=7\nservice_debug=7\nextractor_debug=7\n"
                               "file_op_debug=7\n");
    }

    // Ships a package with the given build number in the root: its INFO and
    // the archive's INFO agree, as in a real release. `extra` files (path
    // relative to the application folder -> contents) are added to it.
    void shipPackage(int build, const QString& startStop = QStringLiteral(E2E_START_STOP),
                     const QList<QPair<QString, QByteArray>>& extra = {})
    {
        const QString stage = path() + "/stage-" + QString::number(build);
        QDir(stage).removeRecursively();
        copyFile(QStringLiteral(E2E_CLIENT), stage + "/bin/brisendale-drive-ui");
        copyFile(startStop, stage + "/package/start-stop");
        QFile::setPermissions(stage + "/package/start-stop",
                              QFile::permissions(stage + "/package/start-stop") | QFile::ExeOwner |
                                  QFile::ExeGroup | QFile::ExeOther);
        testsupport::writeFile(stage + "/INFO", testsupport::infoText(build));
        for (const auto& file : extra)
            testsupport::writeFile(stage + "/" + file.first, file.second);
        QProcess tar;
        tar.setWorkingDirectory(stage);
        tar.start(QStringLiteral(E2E_CMAKE),
                  {"-E", "tar", "czf", root() + "/package/brisendale.nbx", "--format=gnutar", "--",
                   "bin", "package", "INFO"});
        ASSERT_TRUE(tar.waitForFinished(60000));
        ASSERT_EQ(tar.exitCode(), 0) << tar.readAllStandardError().toStdString();
        testsupport::writeFile(root() + "/INFO", testsupport::infoText(build));
    }

    static QProcessEnvironment baseEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // Full allocation stacks, so that the leak suppressions can name the
        // platform plug-in (its frames lack frame pointers).
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "fast_unwind_on_malloc=0");
        return env;
    }

    static LaunchResult finish(QProcess& proc)
    {
        LaunchResult run;
        if (!proc.waitForFinished(120000)) {
            proc.kill();
            proc.waitForFinished(30000);
            run.err = "launcher did not end";
            return run;
        }
        run.out = QString::fromUtf8(proc.readAllStandardOutput());
        run.err = QString::fromUtf8(proc.readAllStandardError());
        if (proc.exitStatus() == QProcess::NormalExit)
            run.exitCode = proc.exitCode();
        return run;
    }

    LaunchResult launch(const QProcessEnvironment& env = baseEnvironment(),
                        const QStringList& args = {})
    {
        QProcess proc;
        proc.setProcessEnvironment(env);
        proc.start(launcherPath(), args);
        return finish(proc);
    }

    // Runs a shell command line, so that argv[0] is exactly what the line says.
    LaunchResult launchThroughShell(const QString& line, const QString& workDir,
                                    const QProcessEnvironment& env)
    {
        QProcess proc;
        proc.setProcessEnvironment(env);
        proc.setWorkingDirectory(workDir);
        proc.start("/bin/sh", {"-c", line});
        return finish(proc);
    }

    // Runs the launcher with its standard output (or `fd`) a pipe whose reader has gone;
    // the exit code, or 128 plus the signal that ended it.
    int launchIntoClosedPipe(const QProcessEnvironment& env, int fd = STDOUT_FILENO)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return -1;
        ::close(fds[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], fd);
        const QByteArray program = QFile::encodeName(launcherPath());
        char* argv[] = {const_cast<char*>(program.constData()), nullptr};
        std::vector<QByteArray> vars;
        for (const QString& var : env.toStringList())
            vars.push_back(var.toLocal8Bit());
        std::vector<char*> envp;
        for (QByteArray& var : vars)
            envp.push_back(var.data());
        envp.push_back(nullptr);
        pid_t pid = -1;
        const int spawned =
            posix_spawn(&pid, program.constData(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0)
            return -1;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    QString logText() const
    {
        return QString::fromUtf8(testsupport::readFile(userRoot() + "/log/launcher.log"));
    }

    static QString buildOf(const QString& info)
    {
        QSettings settings(info, QSettings::IniFormat);
        return settings.value("Version/build_version").toString();
    }

    pid_t pidFromFile() const
    {
        const QByteArray text = testsupport::readFile(userRoot() + "/ui.pid").trimmed();
        if (!text.startsWith("pid="))
            return 0;
        return static_cast<pid_t>(text.mid(4).toLong());
    }

    // The pid of the running sample client, once it has announced itself.
    pid_t waitForClient() const
    {
        pid_t pid = 0;
        waitFor([&] {
            pid = pidFromFile();
            return pid > 1 && !processGone(pid);
        });
        return pid;
    }

    // Only ever runs inside this test's own pid namespace.
    void stopClient()
    {
        if (!inOwnPidNamespace())
            return;
        const pid_t pid = pidFromFile();
        if (pid <= 1 || processGone(pid))
            return;
        ::kill(pid, SIGTERM);
        waitFor([&] { return processGone(pid); });
    }

    void expectInstalled(const QString& build)
    {
        EXPECT_TRUE(QFileInfo::exists(userApp() + "/bin/brisendale-drive-ui"));
        EXPECT_EQ(buildOf(userApp() + "/INFO"), build);
        EXPECT_FALSE(QFileInfo::exists(userApp() + "_tmp"));
    }

private:
    QString m_root;
};

const QString kSampleBuild = QStringLiteral(E2E_SAMPLE_BUILD);

TEST_F(E2eTest, FreshInstallUnpacksThePackageAndStartsTheClient)
{
    ASSERT_FALSE(QFileInfo::exists(userRoot()));
    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
    const QString log = logText();
    const int running = log.indexOf(QRegularExpression("launcher\\.cpp\\(\\d+\\): running\n"));
    const int done = log.indexOf(QRegularExpression("launcher\\.cpp\\(\\d+\\): done\n"));
    EXPECT_NE(running, -1) << log.toStdString();
    EXPECT_GT(done, running);
    EXPECT_NE(log.indexOf("user installation is ready"), -1) << log.toStdString();
    EXPECT_EQ(log.indexOf("no need to upgrade"), -1);
}

// An autostart runner may pipe the output into a logger that has already ended.
TEST_F(E2eTest, ClosedStandardOutputStillInstallsAndStartsTheClient)
{
    EXPECT_EQ(launchIntoClosedPipe(baseEnvironment()), 0);
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

// The same on standard error, with the toolkit's warning about a missing runtime folder
// written there.
TEST_F(E2eTest, ClosedStandardErrorStillInstallsAndStartsTheClient)
{
    QProcessEnvironment env = baseEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    EXPECT_EQ(launchIntoClosedPipe(env, STDERR_FILENO), 0);
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

TEST_F(E2eTest, SameBuildLeavesTheInstallationAndTheClientAlone)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t first = waitForClient();
    ASSERT_GT(first, 1);
    testsupport::writeFile(userApp() + "/marker", "kept");
    const int logBefore = logText().size();

    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(userApp() + "/marker"));
    expectInstalled(kSampleBuild);
    const QString newLines = logText().mid(logBefore);
    EXPECT_NE(newLines.indexOf("no need to upgrade"), -1) << newLines.toStdString();
    EXPECT_EQ(newLines.indexOf("extract package"), -1);
    EXPECT_FALSE(processGone(first));
    EXPECT_EQ(pidFromFile(), first);
}

TEST_F(E2eTest, NewerPackageStopsTheClientReplacesTheFolderAndStartsItAgain)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t old = waitForClient();
    ASSERT_GT(old, 1);
    testsupport::writeFile(userApp() + "/marker", "old installation");
    shipPackage(kSampleBuild.toInt() + 1);

    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(processGone(old));
    EXPECT_FALSE(QFileInfo::exists(userApp() + "/marker"));
    expectInstalled(QString::number(kSampleBuild.toInt() + 1));
    const pid_t fresh = waitForClient();
    EXPECT_GT(fresh, 1);
    EXPECT_NE(fresh, old);
}

// The client's pid file with a line the reader does not take: the pid line still counts.
TEST_F(E2eTest, PidFileWithAnUnparsableLineStillStopsTheOldClient)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t old = waitForClient();
    ASSERT_GT(old, 1);
    QFile pidFile(userRoot() + "/ui.pid");
    ASSERT_TRUE(pidFile.open(QIODevice::Append));
    pidFile.write("started=Mon Dec 8 16:00\n");
    pidFile.close();
    shipPackage(kSampleBuild.toInt() + 1);

    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(processGone(old));
    ASSERT_GT(waitForClient(), 1);
    // One client, whatever its pid file says: every process running the executable.
    int clients = 0;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        clients += QFileInfo("/proc/" + pid + "/exe")
                       .symLinkTarget()
                       .startsWith(userApp() + "/bin/brisendale-drive-ui");
    }
    EXPECT_EQ(clients, 1);
}

TEST_F(E2eTest, FailedUpgradeLeavesTheInstallationAndItsClientAndStillExitsZero)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t client = waitForClient();
    ASSERT_GT(client, 1);
    testsupport::writeFile(userApp() + "/marker", "old installation");
    testsupport::writeFile(root() + "/INFO", testsupport::infoText(kSampleBuild.toInt() + 1));
    testsupport::writeFile(root() + "/package/brisendale.nbx", "this is not an archive\n");
    const int logBefore = logText().size();

    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(userApp() + "/marker"));
    expectInstalled(kSampleBuild);
    const QString newLines = logText().mid(logBefore);
    EXPECT_NE(newLines.indexOf("Failed to upgrade package"), -1) << newLines.toStdString();
    EXPECT_NE(newLines.indexOf("are left as they were"), -1);
    // The package failed before the switch: the running client was never stopped.
    EXPECT_EQ(waitForClient(), client);
    EXPECT_FALSE(processGone(client));
    EXPECT_FALSE(QFileInfo::exists(userApp() + ".staging"));
}

// The environment of a run whose check of the copy outlasts the toolkit's start: every
// fstatat below A is slowed by the fault shim, which a sanitizer runtime must let in.
QProcessEnvironment withSlowCopyCheck(QProcessEnvironment env, const QString& app)
{
    env.insert("LD_PRELOAD", FAIL_AT_CALL_SHIM);
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    env.insert("FAIL_AT_CALL_ROOT", app);
#if defined(__SANITIZE_ADDRESS__)
    env.insert("FAIL_AT_CALL_SLOW_STAT_US", "300000");
#else
    env.insert("FAIL_AT_CALL_SLOW_STAT_US", "120000");
#endif
    return env;
}

// A check of the copy that outlasts the toolkit's start (its folders slowed): the client
// is started first, and the damaged copy is healed after that start, the client stopped
// only for the switch and started again from the whole copy.
TEST_F(E2eTest, CopyCheckedAfterTheStartIsHealedBesideTheClient)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t first = waitForClient();
    ASSERT_GT(first, 1);
    ASSERT_TRUE(QFile::setPermissions(userApp() + "/INFO", QFile::ReadOwner));
    const int logBefore = logText().size();
    const QProcessEnvironment env = withSlowCopyCheck(baseEnvironment(), userApp());

    const LaunchResult run = launch(env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString newLines = logText().mid(logBefore);
    const int deferred = newLines.indexOf("starting the client first");
    const int started = newLines.indexOf("start' ended");
    const int healed = newLines.indexOf("reinstalling it");
    EXPECT_NE(deferred, -1) << newLines.toStdString();
    EXPECT_LT(deferred, started);
    EXPECT_LT(started, healed);
    EXPECT_LT(healed, newLines.lastIndexOf("start' ended"));
    EXPECT_TRUE(QFileInfo(userApp() + "/INFO").permissions() & QFile::ReadOther);
    expectInstalled(kSampleBuild);
    EXPECT_TRUE(processGone(first));
    const pid_t fresh = waitForClient();
    EXPECT_GT(fresh, 1);
    EXPECT_NE(fresh, first);

    // Intact now: the next start, checked late again, heals nothing.
    const int secondBefore = logText().size();
    ASSERT_EQ(launch(env).exitCode, 0);
    const QString second = logText().mid(secondBefore);
    EXPECT_NE(second.indexOf("starting the client first"), -1) << second.toStdString();
    EXPECT_EQ(second.indexOf("reinstalling it"), -1) << second.toStdString();
    EXPECT_EQ(waitForClient(), fresh);
}

// --reinstall takes the upgrade's path with equal builds: the client is stopped, the
// folder replaced, and the client started again.
TEST_F(E2eTest, ReinstallReplacesAnEqualBuildAndRestartsTheClient)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t old = waitForClient();
    ASSERT_GT(old, 1);
    testsupport::writeFile(userApp() + "/marker", "damaged installation");
    const int logBefore = logText().size();

    const LaunchResult run = launch(baseEnvironment(), {"--reinstall"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(processGone(old));
    EXPECT_FALSE(QFileInfo::exists(userApp() + "/marker"));
    expectInstalled(kSampleBuild);
    EXPECT_FALSE(QFileInfo::exists(userApp() + ".incomplete"));
    EXPECT_FALSE(QFileInfo::exists(userApp() + ".attempts"));
    const QString newLines = logText().mid(logBefore);
    EXPECT_NE(newLines.indexOf("reinstall asked for"), -1) << newLines.toStdString();
    const pid_t fresh = waitForClient();
    EXPECT_GT(fresh, 1);
    EXPECT_NE(fresh, old);
}

// A reinstall that fails rolls back like an upgrade, and says so by its exit code.
// A file size limit (RLIMIT_FSIZE) below the package's largest file: the launcher is not
// killed by SIGXFSZ mid-extraction, it fails with EFBIG and says so, counts nothing, and a
// run without the limit installs.
TEST_F(E2eTest, FileSizeLimitFailsCleanlyAndCountsNothing)
{
    QProcess proc;
    proc.setProcessEnvironment(baseEnvironment());
    proc.start("prlimit", {"--fsize=16384", "--", launcherPath()});
    const LaunchResult limited = finish(proc);
    EXPECT_EQ(limited.exitCode, 0) << limited.err.toStdString();
    const QString log = logText();
    EXPECT_NE(log.indexOf("File too large (27)"), -1) << log.toStdString();
    EXPECT_FALSE(QFileInfo::exists(userApp() + ".attempts"));
    EXPECT_FALSE(QFileInfo::exists(userApp() + ".staging"));

    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectInstalled(kSampleBuild);
}

// Few descriptors (RLIMIT_NOFILE = 32, as on a locked-down shared host): the whole run, the
// toolkit, the log, the extraction and the flush, still installs and starts the client.
TEST_F(E2eTest, FewDescriptorsStillInstall)
{
    QProcess proc;
    proc.setProcessEnvironment(baseEnvironment());
    proc.start("prlimit", {"--nofile=32", "--", launcherPath()});
    const LaunchResult run = finish(proc);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

TEST_F(E2eTest, FailedReinstallLeavesTheInstallationAndItsClient)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t client = waitForClient();
    ASSERT_GT(client, 1);
    testsupport::writeFile(userApp() + "/marker", "old installation");
    testsupport::writeFile(root() + "/package/brisendale.nbx", "this is not an archive\n");
    const int logBefore = logText().size();

    const LaunchResult run = launch(baseEnvironment(), {"--reinstall"});
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("nothing reinstalled: the upgrade was refused or failed"))
        << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(userApp() + "/marker"));
    expectInstalled(kSampleBuild);
    const QString newLines = logText().mid(logBefore);
    EXPECT_NE(newLines.indexOf("are left as they were"), -1) << newLines.toStdString();
    EXPECT_EQ(waitForClient(), client);
    EXPECT_FALSE(processGone(client));
}

// While another launcher works on the home, a reinstall leaves the copy to it and tells
// the user, instead of ending quietly as a second start at login does; --verify says it
// waits, and answers once the lock is free.
TEST_F(E2eTest, OptionsDuringAnotherLaunchersWorkTellTheUser)
{
    ASSERT_EQ(launch().exitCode, 0);
    ASSERT_GT(waitForClient(), 1);
    QFile lock(userRoot() + "/launcher.lock");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_EQ(::flock(lock.handle(), LOCK_EX | LOCK_NB), 0);

    QProcess verify;
    verify.setProcessEnvironment(baseEnvironment());
    verify.start(launcherPath(), {"--verify"});
    QByteArray waiting;
    ASSERT_TRUE(waitFor([&] {
        verify.waitForReadyRead(100);
        waiting += verify.readAllStandardError();
        return waiting.contains("waiting for the launcher at work");
    })) << waiting.constData();
    EXPECT_EQ(verify.state(), QProcess::Running);

    testsupport::writeFile(userApp() + "/marker", "old installation");
    const LaunchResult run = launch(baseEnvironment(), {"--reinstall"});
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("nothing reinstalled: another launcher is at work"))
        << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(userApp() + "/marker"));

    ::flock(lock.handle(), LOCK_UN);
    ASSERT_TRUE(verify.waitForFinished(30000));
    EXPECT_EQ(verify.exitCode(), 0) << verify.readAllStandardOutput().constData();
}

// --verify glances at the home lock, shared, for a moment: a start at login in that
// moment must not take it for another launcher at work and leave without a client.
TEST_F(E2eTest, StartDuringAGlanceAtTheHomeLockStartsTheClient)
{
    ASSERT_EQ(launch().exitCode, 0);
    const pid_t first = waitForClient();
    ASSERT_GT(first, 1);
    QFile lock(userRoot() + "/launcher.lock");
    ASSERT_TRUE(lock.open(QIODevice::ReadOnly));
    ASSERT_EQ(::flock(lock.handle(), LOCK_SH | LOCK_NB), 0);
    const int logBefore = logText().size();

    QProcess start;
    start.setProcessEnvironment(baseEnvironment());
    start.start(launcherPath(), {"--reinstall"});
    QThread::msleep(300);
    ::flock(lock.handle(), LOCK_UN);
    const LaunchResult run = finish(start);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(logText().mid(logBefore).indexOf("another launcher holds"), -1);
    const pid_t fresh = waitForClient();
    EXPECT_GT(fresh, 1);
    EXPECT_NE(fresh, first);
}

// --verify answers 3 before there is a copy, 0 for the copy as installed, and 1 with the
// difference once a file is cut short; it writes nothing, and the next start heals.
TEST_F(E2eTest, VerifyTellsIntactFromDamagedAndWritesNothing)
{
    LaunchResult run = launch(baseEnvironment(), {"--verify"});
    EXPECT_EQ(run.exitCode, 3) << run.out.toStdString() << run.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(userRoot())) << "--verify created the per-user root";

    ASSERT_EQ(launch().exitCode, 0);
    const pid_t client = waitForClient();
    ASSERT_GT(client, 1);
    run = launch(baseEnvironment(), {"--verify"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("intact")) << run.out.toStdString();

    QFile script(userApp() + "/package/start-stop");
    ASSERT_TRUE(script.resize(1));
    const int logBefore = logText().size();
    run = launch(baseEnvironment(), {"--verify"});
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("package/start-stop")) << run.out.toStdString();
    EXPECT_EQ(logText().size(), logBefore) << "--verify wrote to the log";
    EXPECT_TRUE(::kill(client, 0) == 0) << "--verify stopped the client";

    ASSERT_EQ(launch().exitCode, 0);
    run = launch(baseEnvironment(), {"--verify"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
}

// Qt's own options pass the launcher's parser and reach the toolkit: a -platform given
// on the command line wins over the launcher's list, so X11 is never tried here.
TEST_F(E2eTest, ToolkitOptionsReachTheToolkit)
{
    QProcessEnvironment env = baseEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("WAYLAND_DISPLAY");
    env.insert("DISPLAY", ":97");
    env.insert("QT_LOGGING_RULES", "qt.qpa.*=true");

    const LaunchResult run = launch(env, {"-platform", "offscreen", "-reverse"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_FALSE(run.err.contains("xcb")) << run.err.toStdString();
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

// A FIFO in place of a file the launcher reads or logs to would hold it for good, waiting
// for the other end: the start and --verify take it as a file not there or not usable.
TEST_F(E2eTest, FifoInPlaceOfAFileHoldsNoRun)
{
    ASSERT_EQ(launch().exitCode, 0);
    ASSERT_GT(waitForClient(), 1);
    for (const QString& name :
         {QString("Brisendale.app.manifest.next"), QString("Brisendale.app.manifest"),
          QString("Brisendale.app.attempts"), QString("launcher.lock"), QString("log/launcher.log"),
          QString("Brisendale.app/INFO")}) {
        const QString fifo = userRoot() + "/" + name;
        QFile::remove(fifo);
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0) << name.toStdString();
        const LaunchResult verify = launch(baseEnvironment(), {"--verify"});
        EXPECT_GE(verify.exitCode, 0) << name.toStdString() << verify.err.toStdString();
        const LaunchResult run = launch();
        EXPECT_EQ(run.exitCode, 0) << name.toStdString() << run.err.toStdString();
        QFile::remove(fifo);
    }
}

// A level that is not a number leaves the component at its default: errors still show.
TEST_F(E2eTest, LevelFileTypoKeepsTheErrorLines)
{
    ASSERT_EQ(launch().exitCode, 0);
    ASSERT_GT(waitForClient(), 1);
    testsupport::writeFile(root() + "/log/launcher.debug",
                           "launcher_debug=debug\nservice_debug=debug\nextractor_debug=debug\n");
    testsupport::writeFile(root() + "/INFO", testsupport::infoText(kSampleBuild.toInt() + 1));
    testsupport::writeFile(root() + "/package/brisendale.nbx", "this is not an archive\n");
    const int logBefore = logText().size();

    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString newLines = logText().mid(logBefore);
    EXPECT_NE(newLines.indexOf(QRegularExpression(
                  "\\[ERROR\\] launcher\\.cpp\\(\\d+\\): Failed to upgrade package\n")),
              -1)
        << newLines.toStdString();
    EXPECT_NE(newLines.indexOf("[ERROR] brisendale-service.cpp("), -1) << newLines.toStdString();
    EXPECT_EQ(newLines.indexOf("[DEBUG]"), -1) << newLines.toStdString();
}

// The per-user tree on the file systems users have: Fedora and openSUSE keep homes on
// btrfs, and XFS is common on servers with NFS homes.
class E2eFileSystemTest : public E2eTest, public ::testing::WithParamInterface<const char*>
{
protected:
    void TearDown() override
    {
        stopClient();
        testsupport::unmountLoopImage(userRoot());
        E2eTest::TearDown();
    }
};

TEST_P(E2eFileSystemTest, InstallsUpgradesAndRollsBack)
{
    const QString why =
        testsupport::mountLoopImage(GetParam(), path() + "/user.img", 320ll << 20, userRoot());
    if (!why.isEmpty())
        GTEST_SKIP() << why.toStdString();

    LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectInstalled(kSampleBuild);
    const pid_t old = waitForClient();
    ASSERT_GT(old, 1);

    const int newer = kSampleBuild.toInt() + 1;
    shipPackage(newer);
    run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(processGone(old));
    expectInstalled(QString::number(newer));
    ASSERT_GT(waitForClient(), 1);

    testsupport::writeFile(userApp() + "/marker", "old installation");
    testsupport::writeFile(root() + "/INFO", testsupport::infoText(newer + 1));
    testsupport::writeFile(root() + "/package/brisendale.nbx", "this is not an archive\n");
    run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(userApp() + "/marker"));
    expectInstalled(QString::number(newer));
    EXPECT_FALSE(QFileInfo::exists(userApp() + ".incomplete"));
    EXPECT_GT(waitForClient(), 1);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, E2eFileSystemTest, ::testing::Values("xfs", "btrfs"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                             return std::string(i.param);
                         });

TEST_F(E2eTest, SecondInstanceExitsZeroWhileTheFirstRuns)
{
    // The first launcher stays inside its start script until the gate opens.
    const QString gate = home() + "/gate";
    ASSERT_EQ(::mkfifo(QFile::encodeName(gate).constData(), 0600), 0);
    const QString script = path() + "/gated-start-stop";
    testsupport::writeFile(script,
                           "#!/bin/sh\n: > \"$HOME/at-gate\"\nread line < \"$HOME/gate\"\n");
    shipPackage(kSampleBuild.toInt(), script);

    QProcess first;
    first.setProcessEnvironment(baseEnvironment());
    first.start(launcherPath(), QStringList());
    ASSERT_TRUE(first.waitForStarted(30000));
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(home() + "/at-gate"); }));

    const LaunchResult second = launch();
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.out.startsWith("lib path = '")) << second.out.toStdString();
    // The same user on the same host, whatever its session says of a runtime folder.
    QProcessEnvironment bare = baseEnvironment();
    bare.remove("XDG_RUNTIME_DIR");
    const LaunchResult third = launch(bare);
    EXPECT_EQ(third.exitCode, 0) << third.err.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(logText().count(QRegularExpression(
                  "\\[WARNING\\] main\\.cpp\\(\\d+\\): app has already launched \\(lock '[^']+' is "
                  "held\\), return\n")),
              2)
        << logText().toStdString();

    QFile opener(gate);
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write("go\n");
    opener.close();
    const LaunchResult firstRun = finish(first);
    EXPECT_EQ(firstRun.exitCode, 0) << firstRun.err.toStdString();
}

// A start script that asks for input gets end of file at once; the next start is not
// refused by a launcher still waiting for the first one's script.
TEST_F(E2eTest, StartScriptThatReadsItsInputDoesNotHoldTheLauncher)
{
    const QString script = path() + "/asking-start-stop";
    testsupport::writeFile(script, "#!/bin/sh\nread answer\necho \"$?\" >> \"$HOME/asked\"\n");
    shipPackage(kSampleBuild.toInt(), script);
    for (int run = 0; run < 2; ++run) {
        QProcess proc;
        proc.setProcessEnvironment(baseEnvironment());
        proc.start(launcherPath(), QStringList());
        ASSERT_TRUE(proc.waitForFinished(30000)) << "the launcher waits for its script's input";
        EXPECT_EQ(proc.exitCode(), 0);
    }
    EXPECT_EQ(testsupport::readFile(home() + "/asked"), "1\n1\n");
    EXPECT_EQ(logText().indexOf("app has already launched"), -1) << logText().toStdString();
}

// A launcher killed while its script runs, its lock file then left empty (as by a kill
// between creating and writing it): the next start is not refused.
TEST_F(E2eTest, KilledLauncherWithAnEmptyLockFileDoesNotBlockTheNextStart)
{
    const QString gate = home() + "/gate";
    ASSERT_EQ(::mkfifo(QFile::encodeName(gate).constData(), 0600), 0);
    const QString script = path() + "/gated-start-stop";
    testsupport::writeFile(script, "#!/bin/sh\n[ -e \"$HOME/hold\" ] || exit 0\n"
                                   ": > \"$HOME/at-gate\"\nread line < \"$HOME/gate\"\n");
    shipPackage(kSampleBuild.toInt(), script);
    testsupport::writeFile(home() + "/hold", "");
    const QString runtime = home() + "/run";
    ASSERT_TRUE(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = baseEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime);

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(launcherPath(), QStringList());
    ASSERT_TRUE(first.waitForStarted(30000));
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(home() + "/at-gate"); }));
    first.kill();
    ASSERT_TRUE(first.waitForFinished(30000));
    // The lock is the same for every session of the user on this host.
    const QString folder =
        QDir::tempPath() + "/brisendale-singleapp-" + QString::number(::getuid());
    const QStringList locks = QDir(folder).entryList({"qtsingleapp-*.lock"}, QDir::Files);
    ASSERT_EQ(locks.size(), 1);
    ASSERT_TRUE(QFile::resize(folder + "/" + locks.first(), 0));
    QFile::remove(home() + "/hold");
    QFile opener(gate); // lets the orphaned script end
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write("go\n");
    opener.close();

    const int logBefore = logText().size();
    const LaunchResult next = launch(env);
    EXPECT_EQ(next.exitCode, 0) << next.err.toStdString();
    const QString newLines = logText().mid(logBefore);
    EXPECT_EQ(newLines.indexOf("app has already launched"), -1) << newLines.toStdString();
    EXPECT_NE(newLines.indexOf(QRegularExpression("launcher\\.cpp\\(\\d+\\): done\n")), -1)
        << newLines.toStdString();
}

TEST_F(E2eTest, InstallLaysOutTheSystemWideTree)
{
    const QString prefix = path() + "/prefix";
    QProcess install;
    install.start(QStringLiteral(E2E_CMAKE),
                  {"--install", QStringLiteral(E2E_BUILD_DIR), "--prefix", prefix});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();

    EXPECT_TRUE(QFileInfo(prefix + "/bin/brisendale-launcher").isExecutable());
    EXPECT_EQ(buildOf(prefix + "/INFO"), kSampleBuild);
    EXPECT_TRUE(QFileInfo(prefix + "/package/brisendale.nbx").isFile());
    EXPECT_EQ(QImageReader(prefix + "/images/ico_72_brisendale.png").size(), QSize(72, 72));
    EXPECT_TRUE(QFileInfo(prefix + "/log").isDir());
    EXPECT_TRUE(QFileInfo(prefix + "/conf").isDir());

    QProcess proc;
    proc.setProcessEnvironment(baseEnvironment());
    proc.start(prefix + "/bin/brisendale-launcher", QStringList());
    const LaunchResult run = finish(proc);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "lib path = '" + prefix + "/lib/plugins'\n");
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

// The line on stdout, for each way of naming the executable.
struct PluginLineRow
{
    const char* name;
    const char* commandLine; // run by /bin/sh
    const char* workDir;     // below the root; "" for the root itself
    const char* expected;    // %R stands for the root
};

void PrintTo(const PluginLineRow& row, std::ostream* os)
{
    *os << row.name;
}

class E2ePluginLineTest : public E2eTest, public ::testing::WithParamInterface<PluginLineRow>
{};

TEST_P(E2ePluginLineTest, PrintsTheFolderBesideTheInstallation)
{
    const PluginLineRow& row = GetParam();
    QProcessEnvironment env = baseEnvironment();
    env.insert("PATH", root() + "/bin:" + env.value("PATH"));
    env.insert("ROOT", root());
    const LaunchResult run = launchThroughShell(row.commandLine, root() + "/" + row.workDir, env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString expected = QString::fromUtf8(row.expected).replace("%R", root());
    EXPECT_EQ(run.out, "lib path = '" + expected + "'\n");
    expectInstalled(kSampleBuild);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, E2ePluginLineTest,
    ::testing::Values(
        PluginLineRow{"AbsolutePath", "exec \"$ROOT/bin/brisendale-launcher\"", "",
                      "%R/lib/plugins"},
        // A folder of someone else's with a plug-in folder beside it must not be searched.
        PluginLineRow{"BareNameThroughPath",
                      "mkdir -p ../x/lib/plugins/platforms ../x/work && cd ../x/work && "
                      "exec brisendale-launcher",
                      "conf", "%R/lib/plugins"},
        PluginLineRow{"RelativePath", "exec bin/brisendale-launcher", "", "%R/lib/plugins"},
        PluginLineRow{"DotSegments", "exec ./bin/../bin/brisendale-launcher", "", "%R/lib/plugins"},
        PluginLineRow{"ThroughASymbolicLink",
                      "mkdir \"$ROOT/conf/usr\" && ln -s \"$ROOT/bin/brisendale-launcher\" "
                      "\"$ROOT/conf/usr/link\" && exec \"$ROOT/conf/usr/link\"",
                      "", "%R/lib/plugins"}),
    [](const ::testing::TestParamInfo<PluginLineRow>& info) {
        return std::string(info.param.name);
    });

// The plug-in folder beside the installation: used when it is there, and its
// absence must not cost the run.
TEST_F(E2eTest, MissingPluginFolderStillRunsToTheEnd)
{
    ASSERT_FALSE(QFileInfo::exists(root() + "/lib/plugins"));
    const LaunchResult run = launch();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "lib path = '" + root() + "/lib/plugins'\n");
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

TEST_F(E2eTest, PluginFolderBesideTheInstallationIsSearched)
{
    QDir().mkpath(root() + "/lib");
    ASSERT_TRUE(
        QFile::link(QLibraryInfo::location(QLibraryInfo::PluginsPath), root() + "/lib/plugins"));
    QProcessEnvironment env = baseEnvironment();
    env.insert("QT_DEBUG_PLUGINS", "1");
    const LaunchResult run = launch(env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_NE(run.err.indexOf(root() + "/lib/plugins/platforms"), -1) << run.err.toStdString();
    expectInstalled(kSampleBuild);
}

// Sessions where no display platform can start: the run still upgrades and starts the
// client, on the offscreen platform.
struct DisplayRow
{
    const char* name;
    const char* display;
    const char* waylandDisplay;
};

void PrintTo(const DisplayRow& row, std::ostream* os)
{
    *os << row.name;
}

class E2eNoDisplayTest : public E2eTest, public ::testing::WithParamInterface<DisplayRow>
{};

TEST_P(E2eNoDisplayTest, InstallsAndStartsTheClient)
{
    QProcessEnvironment env = baseEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
        env.remove(name);
    if (*GetParam().display)
        env.insert("DISPLAY", GetParam().display);
    if (*GetParam().waylandDisplay) {
        env.insert("WAYLAND_DISPLAY", GetParam().waylandDisplay);
        env.insert("XDG_SESSION_TYPE", "wayland");
    }
    env.insert("XDG_RUNTIME_DIR", home());
    const LaunchResult run = launch(env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectInstalled(kSampleBuild);
    EXPECT_GT(waitForClient(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, E2eNoDisplayTest,
    ::testing::Values(DisplayRow{"NoDisplayAtAll", "", ""},
                      DisplayRow{"DisplayWithoutServer", ":4093", ""},
                      DisplayRow{"WaylandWithoutCompositor", "", "wayland-nowhere"}),
    [](const ::testing::TestParamInfo<DisplayRow>& info) { return std::string(info.param.name); });

// Locales: a language without a translation, and the C locale, whose ASCII
// character type must not stop a package with non-ASCII names.
struct LocaleRow
{
    const char* name;
    const char* locale;
};

void PrintTo(const LocaleRow& row, std::ostream* os)
{
    *os << row.name;
}

class E2eLocaleTest : public E2eTest, public ::testing::WithParamInterface<LocaleRow>
{};

TEST_P(E2eLocaleTest, InstallsAndStartsTheClient)
{
    const QString accented = QString::fromUtf8("bin/Gr\xC3\xBC\xC3\x9F"
                                               "e-\xE6\x97\xA5\xE6\x9C\xAC.txt");
    shipPackage(kSampleBuild.toInt(), QStringLiteral(E2E_START_STOP), {{accented, "hello\n"}});
    QProcessEnvironment env = baseEnvironment();
    env.insert("LC_ALL", GetParam().locale);
    env.insert("LANG", GetParam().locale);
    env.remove("LANGUAGE");
    const LaunchResult run = launch(env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectInstalled(kSampleBuild);
    EXPECT_EQ(testsupport::readFile(userApp() + "/" + accented), "hello\n")
        << logText().toStdString();
    EXPECT_EQ(logText().indexOf("[ERROR]"), -1) << logText().toStdString();
    EXPECT_GT(waitForClient(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, E2eLocaleTest,
                         ::testing::Values(LocaleRow{"NoTranslation", "sw_KE.UTF-8"},
                                           LocaleRow{"PosixLocale", "C"},
                                           LocaleRow{"GermanTranslation", "de_DE.UTF-8"}),
                         [](const ::testing::TestParamInfo<LocaleRow>& info) {
                             return std::string(info.param.name);
                         });

// --- A shared host: whose home, modes, limits ---

const uid_t kNobody = 65534;

// Runs the launcher as uid 65534 (setpriv), through `wrapper` (prlimit and its options)
// when given, with a HOME that belongs to that user.
class E2eOtherUserTest : public E2eTest
{
protected:
    // The other user's uid.
    virtual uid_t otherUid() const { return kNobody; }

    void SetUp() override
    {
        E2eTest::SetUp();
        if (IsSkipped())
            return;
        if (!testsupport::canDropPrivileges())
            GTEST_SKIP() << "needs root and setpriv to run the launcher as another user";
        // The scratch folder is the test's (0700): the other user must reach its home and
        // the system-wide root in it.
        ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0755), 0);
        for (const QString& dir : {home(), path() + "/nobody-run", path() + "/nobody-tmp"}) {
            QDir().mkpath(dir);
            ASSERT_EQ(::chown(QFile::encodeName(dir).constData(), otherUid(), otherUid()), 0);
            ::chmod(QFile::encodeName(dir).constData(), 0700);
        }
    }

    QProcessEnvironment nobodyEnvironment() const
    {
        QProcessEnvironment env = baseEnvironment();
        env.insert("HOME", home());
        env.insert("XDG_RUNTIME_DIR", path() + "/nobody-run");
        env.insert("TMPDIR", path() + "/nobody-tmp");
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_DATA_HOME");
        // The leak check stops the process's threads with threads of its own; a run with
        // no thread left to it would fail that check, not the launcher.
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "detect_leaks=0");
        return env;
    }

    void startAsNobody(QProcess* proc, const QStringList& wrapper = {})
    {
        proc->setProcessEnvironment(nobodyEnvironment());
        const QString uid = QString::number(otherUid());
        proc->start("setpriv",
                    QStringList{"--reuid=" + uid, "--regid=" + uid, "--clear-groups", "--"} +
                        wrapper + QStringList{launcherPath()});
    }

    LaunchResult launchAsNobody(const QStringList& wrapper = {})
    {
        QProcess proc;
        startAsNobody(&proc, wrapper);
        return finish(proc);
    }
};

// A HOME that is not the user's (a root shell that kept the user's HOME): nothing is made
// in it, no client starts, and one line on standard error says why.
TEST_F(E2eTest, ForeignHomeIsLeftAloneAndTheRunSaysWhy)
{
    if (!testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root to give the home to another user";
    ASSERT_EQ(::chown(QFile::encodeName(home()).constData(), kNobody, kNobody), 0);
    const LaunchResult run = launch();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("belongs to uid 65534")) << run.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(userRoot()));
    EXPECT_TRUE(
        QDir(home()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    EXPECT_EQ(pidFromFile(), 0);
}

// U left in the user's home by a root run of an older launcher, whole or in part: it is
// moved aside and kept, and the run installs afresh with one warning in the new log.
TEST_F(E2eOtherUserTest, PerUserFolderOfAnotherUserIsMovedAsideAndInstalledAfresh)
{
    struct Row
    {
        const char* name;
        bool rootOwnsU; // else only entries in it are root's
    };
    for (const Row& row : {Row{"U is root's", true}, Row{"entries in U are root's", false}}) {
        SCOPED_TRACE(row.name);
        stopClient();
        QDir(home()).removeRecursively();
        QDir().mkpath(home());
        ASSERT_EQ(::chown(QFile::encodeName(home()).constData(), kNobody, kNobody), 0);
        // As the older launcher left it: the application folder, the log, the lock, the
        // pid file, the manifest, all root's.
        testsupport::writeFile(userApp() + "/bin/brisendale-drive-ui", "root's\n");
        testsupport::writeFile(userRoot() + "/log/launcher.log", "root's log\n");
        testsupport::writeFile(userRoot() + "/launcher.lock", "");
        testsupport::writeFile(userRoot() + "/ui.pid", "pid=1\n");
        testsupport::writeFile(userRoot() + "/Brisendale.app.manifest", "root's\n");
        if (!row.rootOwnsU) {
            ASSERT_EQ(::chown(QFile::encodeName(userRoot()).constData(), kNobody, kNobody), 0);
        }

        const LaunchResult run = launchAsNobody();
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QString aside = home() + "/.Brisendale.foreign-1";
        EXPECT_EQ(testsupport::readFile(aside + "/log/launcher.log"), "root's log\n");
        EXPECT_EQ(QFileInfo(userRoot()).ownerId(), kNobody);
        expectInstalled(kSampleBuild);
        EXPECT_EQ(QFileInfo(userApp() + "/bin/brisendale-drive-ui").ownerId(), kNobody);
        const QString log = logText();
        EXPECT_EQ(log.count("[WARNING]"), 1) << log.toStdString();
        EXPECT_TRUE(log.contains("moved aside to '" + aside + "'")) << log.toStdString();
        EXPECT_GT(waitForClient(), 1);
    }
}

// Made under the usual umask 022, U and its log folder are 0700, the log and the state
// files 0600.
TEST_F(E2eTest, FirstInstallIsPrivateWhateverTheUmask)
{
    const mode_t old = ::umask(022);
    const LaunchResult first = launch();
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    ASSERT_GT(waitForClient(), 1);
    // A damaged package: the failed attempt is recorded in a state file.
    testsupport::writeFile(root() + "/INFO", testsupport::infoText(kSampleBuild.toInt() + 1));
    testsupport::writeFile(root() + "/package/brisendale.nbx", "this is not an archive\n");
    const LaunchResult second = launch();
    ::umask(old);
    ASSERT_EQ(second.exitCode, 0) << second.err.toStdString();
    const auto mode = [](const QString& p) {
        struct stat st;
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? (st.st_mode & 07777) : 0u;
    };
    EXPECT_EQ(mode(userRoot()), 0700u);
    EXPECT_EQ(mode(userRoot() + "/log"), 0700u);
    EXPECT_EQ(mode(userRoot() + "/log/launcher.log"), 0600u);
    ASSERT_TRUE(QFileInfo::exists(userApp() + ".attempts")) << logText().toStdString();
    EXPECT_EQ(mode(userApp() + ".attempts"), 0600u);
}

// The log on a file system with no room left: the upgrade is refused for want of room,
// and its [ERROR] line reaches standard error, after one line saying why the log could not
// take it.
TEST_F(E2eTest, FullLogFileSystemSendsTheErrorsToStandardError)
{
    ASSERT_TRUE(QDir().mkpath(userRoot()));
    QProcess mount;
    mount.start("mount", {"-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", userRoot()});
    if (!mount.waitForFinished(30000) || mount.exitCode() != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.readAllStandardError().constData();
    struct Unmount
    {
        QString at;
        ~Unmount() { QProcess::execute("umount", {"-l", at}); }
    } unmount{userRoot()};
    ASSERT_TRUE(QDir().mkpath(userRoot() + "/log"));
    // Empty, so that no page of it has room left either.
    testsupport::writeFile(userRoot() + "/log/launcher.log", "");
    {
        QFile filler(userRoot() + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    const LaunchResult run = launch();
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err.count("cannot write the log"), 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QRegularExpression("\\[ERROR\\] [^\n]*not enough room")))
        << run.err.toStdString();
    EXPECT_EQ(testsupport::readFile(userRoot() + "/log/launcher.log"), QByteArray());
}

// A user at the limit of processes and threads (RLIMIT_NPROC, as pids.max): with room for
// 0 to 6 more threads every run ends within a minute, 0, and its log says how far it got.
// A uid that no other test runs as: RLIMIT_NPROC counts every task of the user on the
// host, and tests run side by side.
class E2eThreadLimitTest : public E2eOtherUserTest
{
protected:
    uid_t otherUid() const override { return 64223; }
};

TEST_F(E2eThreadLimitTest, ThreadLimitNeverHoldsTheRun)
{
    ASSERT_EQ(launchAsNobody().exitCode, 0);
    ASSERT_GT(waitForClient(), 1);
    for (int room = 0; room <= 6; ++room) {
        SCOPED_TRACE("room for " + std::to_string(room) + " threads");
        stopClient();
        shipPackage(kSampleBuild.toInt() + 1 + room);
        // Every task of the user counts; in this pid namespace only the launcher will.
        const int logBefore = logText().size();
        QElapsedTimer timer;
        timer.start();
        QProcess proc;
        startAsNobody(&proc, {"prlimit", "--nproc=" + QString::number(1 + room), "--"});
        ASSERT_TRUE(proc.waitForFinished(60000)) << "held for a minute";
        EXPECT_LT(timer.elapsed(), 60000);
        EXPECT_EQ(proc.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(proc.exitCode(), 0) << proc.readAllStandardError().toStdString();
        const QString newLines = logText().mid(logBefore);
        const bool ran = newLines.contains(QRegularExpression("launcher\\.cpp\\(\\d+\\): done\n"));
        const bool said = newLines.contains("cannot start the worker thread");
        EXPECT_TRUE(ran || said) << newLines.toStdString();
        // No thread at all: the worker's is the one that cannot be done without.
        EXPECT_TRUE(room > 0 || said) << newLines.toStdString();
        if (said) {
            EXPECT_TRUE(newLines.contains("started the installed client") ||
                        newLines.contains("the client was not started"))
                << newLines.toStdString();
        }
        EXPECT_FALSE(QFileInfo::exists(userApp() + ".incomplete"));
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define BRISENDALE_E2E_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRISENDALE_E2E_ASAN 1
#endif
#endif

// Little address space (RLIMIT_AS 96 to 128 MiB): a run may fail wherever memory runs out,
// but whatever it did, the next start without the limit finds A whole and starts its client.
TEST_F(E2eTest, LittleAddressSpaceNeverLeavesAnUnrecoverableTree)
{
#ifdef BRISENDALE_E2E_ASAN
    GTEST_SKIP() << "the address sanitizer reserves far more address space than the limits";
#endif
    ASSERT_EQ(launch().exitCode, 0);
    for (int mib = 96; mib <= 128; mib += 8) {
        SCOPED_TRACE(std::to_string(mib) + " MiB");
        stopClient();
        shipPackage(kSampleBuild.toInt() + mib);
        const int logBefore = logText().size();
        QProcess limited;
        limited.setProcessEnvironment(baseEnvironment());
        limited.start("prlimit",
                      {"--as=" + QString::number(mib * 1024 * 1024), "--", launcherPath()});
        ASSERT_TRUE(limited.waitForFinished(60000)) << "held";
        const QString limitedLines = logText().mid(logBefore);
        if (limited.exitStatus() == QProcess::NormalExit) {
            EXPECT_EQ(limited.exitCode(), 0);
            EXPECT_TRUE(
                limitedLines.contains(QRegularExpression("launcher\\.cpp\\(\\d+\\): done\n")) ||
                limitedLines.contains("cannot start the worker thread") ||
                limitedLines.contains("the run failed"))
                << limitedLines.toStdString();
        }
        stopClient();
        const LaunchResult next = launch();
        EXPECT_EQ(next.exitCode, 0) << next.err.toStdString();
        EXPECT_TRUE(QFileInfo::exists(userApp() + "/bin/brisendale-drive-ui"));
        EXPECT_FALSE(QFileInfo::exists(userApp() + ".incomplete"));
        EXPECT_FALSE(QFileInfo::exists(userApp() + "_tmp"));
        EXPECT_GT(waitForClient(), 1) << logText().mid(logBefore).toStdString();
    }
}

// The launcher keeps its dialog off OpenGL, but the client must get the user's choice: the
// start script sees QT_XCB_GL_INTEGRATION as the user left it.
TEST_F(E2eTest, ClientInheritsTheUsersOpenGlChoice)
{
    const QString script = path() + "/env-start-stop";
    testsupport::writeFile(script, "#!/bin/sh\necho \"${QT_XCB_GL_INTEGRATION-unset}\" >> "
                                   "\"$HOME/gl\"\n");
    shipPackage(kSampleBuild.toInt(), script);
    QProcessEnvironment env = baseEnvironment();
    env.remove("QT_XCB_GL_INTEGRATION");
    ASSERT_EQ(launch(env).exitCode, 0);
    env.insert("QT_XCB_GL_INTEGRATION", "xcb_egl");
    ASSERT_EQ(launch(env, {"--reinstall"}).exitCode, 0);
    EXPECT_EQ(testsupport::readFile(home() + "/gl"), "unset\nxcb_egl\n");
}

// The processes of this test's namespace whose command line contains `text`.
QList<pid_t> processesWith(const QByteArray& text, bool byProgram)
{
    QList<pid_t> found;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&number));
        if (!number || pid == ::getpid())
            continue;
        const QByteArray what = byProgram
                                    ? QFileInfo("/proc/" + entry + "/exe").symLinkTarget().toUtf8()
                                    : testsupport::readFile("/proc/" + entry + "/cmdline");
        if (what.contains(text))
            found << pid;
    }
    return found;
}

// A start script that returns before its client is up (the client is brought up once
// something it waits for is there, the file "go" here, by the program `waiter`), in a
// copy whose check outlasts the toolkit's start: the client is started first, the copy
// healed after. The heal must end the client on its way, or the script run again after
// the switch brings a second client up on one folder.
class LateClientTest : public E2eTest
{
protected:
    // `launch` replaces the start script's launch of the client; `waiting` is what the
    // command line of a process still waiting holds.
    void expectOneClientAfterTheHeal(const QByteArray& launch, const QByteArray& waiting)
    {
        QByteArray script = testsupport::readFile(QStringLiteral(E2E_START_STOP));
        const QByteArray direct = "    setsid -f \"$client\" </dev/null >/dev/null 2>&1";
        ASSERT_TRUE(script.contains(direct));
        script.replace(direct, launch);
        const QString startStop = path() + "/late-start-stop";
        testsupport::writeFile(startStop, script);
        shipPackage(kSampleBuild.toInt(), startStop);
        const QString go = home() + "/go";
        testsupport::writeFile(go, "");
        ASSERT_EQ(E2eTest::launch().exitCode, 0);
        ASSERT_GT(waitForClient(), 1);
        stopClient();
        ASSERT_TRUE(QFile::remove(go));
        QFile info(userApp() + "/INFO");
        ASSERT_TRUE(info.open(QIODevice::Append));
        info.write("damaged\n");
        info.close();
        const QProcessEnvironment env = withSlowCopyCheck(baseEnvironment(), userApp());
        const int logBefore = logText().size();

        ASSERT_EQ(E2eTest::launch(env).exitCode, 0);
        const QString newLines = logText().mid(logBefore);
        ASSERT_NE(newLines.indexOf("starting the client first"), -1) << newLines.toStdString();
        ASSERT_NE(newLines.indexOf("reinstalling it"), -1) << newLines.toStdString();
        testsupport::writeFile(go, "");
        // Every waiter has brought its client up (or ended) once none waits any longer.
        EXPECT_TRUE(waitFor([&waiting] { return processesWith(waiting, false).isEmpty(); }));
        const QList<pid_t> clients =
            processesWith((userApp() + "/bin/brisendale-drive-ui").toUtf8(), true);
        EXPECT_EQ(clients.size(), 1);
        for (pid_t pid : clients) {
            ::kill(pid, SIGTERM);
            waitFor([pid] { return processGone(pid); });
        }
    }

    QString writeWaiter()
    {
        const QString waiter = path() + "/waiter";
        testsupport::writeExec(waiter, "#!/bin/sh\n"
                                       "n=0; while [ ! -e \"$HOME/go\" ] && [ $n -lt 200 ]; do "
                                       "sleep 0.05; n=$((n+1)); done; exec \"$1\"\n");
        return waiter;
    }
};

// The waiter is the start's own child, handed to the launcher when setsid's fork ends.
TEST_F(LateClientTest, ClientOnItsWayAtTheHealIsNotStartedTwice)
{
    const QByteArray waiter = writeWaiter().toUtf8();
    expectOneClientAfterTheHeal(
        "    setsid -f \"" + waiter + "\" \"$client\" </dev/null >/dev/null 2>&1", waiter);
}

// The waiter waits below a shell that stays its parent: it is handed to the launcher only
// once the heal has ended that shell.
TEST_F(LateClientTest, ClientOnItsWayBelowALiveParentAtTheHealIsNotStartedTwice)
{
    const QByteArray waiter = writeWaiter().toUtf8();
    expectOneClientAfterTheHeal("    setsid -f sh -c '\"$0\" \"$1\" & wait' \"" + waiter +
                                    "\" \"$client\" </dev/null >/dev/null 2>&1",
                                QByteArray("sh") + '\0' + waiter);
}

// A damaged start script that hangs, in a copy whose check outlasts the toolkit's start:
// once the check has found the damage, the hung script is ended and the copy healed at
// once, not after the script's minute; nothing of the damaged copy is left running.
TEST_F(E2eTest, HungStartScriptOfADamagedCopyDoesNotHoldTheHeal)
{
    ASSERT_EQ(launch().exitCode, 0);
    ASSERT_GT(waitForClient(), 1);
    stopClient();
    testsupport::writeExec(userApp() + "/package/start-stop", "#!/bin/sh\nexec sleep 300\n");
    const QProcessEnvironment env = withSlowCopyCheck(baseEnvironment(), userApp());
    const int logBefore = logText().size();

    QElapsedTimer took;
    took.start();
    const LaunchResult run = launch(env);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_LT(took.elapsed(), 30000) << "the hung script was waited for";
    const QString newLines = logText().mid(logBefore);
    EXPECT_NE(newLines.indexOf("ending it to heal the copy"), -1) << newLines.toStdString();
    EXPECT_GT(waitForClient(), 1);
    EXPECT_TRUE(processesWith("sleep 300", false).isEmpty());
}

// Puts the test run into a pid namespace of its own: the clients that the
// launcher starts detach, and ending them means signalling the pid in their
// pid file, which must never reach a process outside the test. Inside, the
// first process only reaps orphans (they become its children) and passes on
// the exit status of the process that runs the tests; when it ends the kernel
// ends whatever is left in the namespace.
void enterPidNamespace(int argc, char** argv)
{
    if (inOwnPidNamespace() || ::geteuid() != 0)
        return;
    if (std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0)
        return;
    std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("--pid"),
                               const_cast<char*>("--fork"), const_cast<char*>("--mount-proc"),
                               const_cast<char*>("--")};
    // Resolved here: inside unshare, /proc/self/exe would name unshare itself.
    static char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    self[n] = '\0';
    args.push_back(self);
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    ::setenv(kNamespaceMark, "1", 1);
    ::execvp("unshare", args.data());
    ::unsetenv(kNamespaceMark); // could not exec: run without the namespace
}

void reapAsInit()
{
    if (::getpid() != 1)
        return;
    const pid_t runner = ::fork();
    if (runner <= 0)
        return; // the child (or a failed fork) runs the tests
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0)
            ::_exit(1);
        if (pid == runner)
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
}

} // namespace

int main(int argc, char** argv)
{
    enterPidNamespace(argc, argv);
    reapAsInit();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
