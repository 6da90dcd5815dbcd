// Recovery proven at every call: the launcher upgrades a small package over an older
// installation while the fail_at_call shim fails its N-th call that changes or flushes
// the per-user tree, for every N. Whatever the fault, nothing may be lost, and a normal
// run afterwards must end with exactly the new package.

#include "manifest.h"
#include "service_support.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <gtest/gtest.h>

#include <QThread>

#include <QElapsedTimer>
#include <QStandardPaths>

#include "file/unique_fd.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ftw.h>
#include <map>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

using servicetest::listTree;
using testsupport::infoText;
using testsupport::readFile;
using testsupport::writeExec;
using testsupport::writeFile;

namespace {

using Tree = QMap<QString, QString>;

struct FaultMode
{
    const char* name;
    bool killed;              // the faulted run ends by SIGKILL instead of exit code 0
    const char* fs = nullptr; // U on a loop-mounted image of this type; the scratch
                              // folder's own file system without
    bool powerCut = false;    // after the kill, only what fsync made durable stays
    bool install = false;     // no old installation: a first install
    bool exdev = false;       // A cannot be renamed (overlayfs): only its copy path is tried
    int stride = 1;           // times FAULT_STRIDE
    bool noExchange = false;  // the file system cannot exchange names: only the two renames
                              // of the switch and what follows them are tried
};

// The power cut of the shim's journal: each file written by the run keeps only the size
// that its last fsync made durable, a new one that was never fsynced nothing. Names,
// folders and links stay (metadata reaches storage at once, as with delayed allocation).
std::map<std::pair<dev_t, ino_t>, off_t> g_durable;

int cutFile(const char* path, const struct stat* st, int type, struct FTW*)
{
    if (type != FTW_F || !S_ISREG(st->st_mode))
        return 0;
    const auto it = g_durable.find({st->st_dev, st->st_ino});
    if (it != g_durable.end() && st->st_size > it->second && truncate(path, it->second) != 0)
        return -1;
    return 0;
}

bool applyPowerCut(const QString& journal, const QString& tree)
{
    g_durable.clear();
    for (const QByteArray& line : readFile(journal).split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() != 4)
            continue;
        const std::pair<dev_t, ino_t> key(f[1].toULongLong(), f[2].toULongLong());
        const off_t size = f[3].toLongLong();
        const auto it = g_durable.find(key);
        if (f[0] == "s" || it == g_durable.end())
            g_durable[key] = size;
        else
            it->second = std::min(it->second, size);
    }
    QFile::remove(journal);
    return nftw(QFile::encodeName(tree).constData(), cutFile, 32, FTW_PHYS) == 0;
}

// Records which tree's start script ran, and with what.
QByteArray startScript(const char* tree)
{
    return QByteArray("#!/bin/sh\nprintf '") + tree +
           "\\n%s\\n' \"$*\" > \"$HOME/.Brisendale/start-args\"\n";
}

class UpgradeFaultTest : public testsupport::ScratchTest,
                         public ::testing::WithParamInterface<FaultMode>
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        m_root = path() + "/root";
        QDir().mkpath(m_root + "/bin");
        ASSERT_TRUE(QFile::copy(FAULT_LAUNCHER, m_root + "/bin/brisendale-launcher"));
        QFile::setPermissions(m_root + "/bin/brisendale-launcher",
                              QFile::permissions(FAULT_LAUNCHER));
        writeFile(m_root + "/log/launcher.debug", "service_debug=7\n");
        writeFile(m_root + "/INFO", infoText(125));

        const QString fresh = path() + "/new";
        writeFile(fresh + "/INFO", infoText(125));
        writeExec(fresh + "/bin/brisendale-drive-ui", "#!/bin/sh\n");
        writeExec(fresh + "/package/start-stop", startScript("new"));
        writeFile(fresh + "/lib/libx.so.1", "new library");
        ASSERT_TRUE(QFile::link("libx.so.1", fresh + "/lib/libx.so"));
        ASSERT_EQ(link(QFile::encodeName(fresh + "/lib/libx.so.1").constData(),
                       QFile::encodeName(fresh + "/lib/libx-alias.so.1").constData()),
                  0);
        for (int i = 0; i < 30; ++i)
            writeFile(fresh + QString("/share/d%1/f%2").arg(i % 5).arg(i),
                      QByteArray(300, 'a' + i));
        ASSERT_TRUE(servicetest::writeArchive(fresh, m_root + "/package/brisendale.nbx"));
        m_newTree = listTree(fresh);

        m_old = path() + "/old";
        writeFile(m_old + "/INFO", infoText(120));
        writeExec(m_old + "/bin/brisendale-drive-ui", "#!/bin/sh\n");
        writeExec(m_old + "/package/start-stop", startScript("old"));
        writeFile(m_old + "/lib/libx.so.1", "old library");
        for (int i = 0; i < 8; ++i)
            writeFile(m_old + QString("/share/old/f%1").arg(i), QByteArray(200, 'A' + i));
        m_oldTree = listTree(m_old);
    }

    QString user() const { return home() + "/.Brisendale"; }
    QString app() const { return user() + "/Brisendale.app"; }
    QString marker() const { return app() + ".incomplete"; }

    // Everything the launcher must leave alone: the root and the home outside U.
    Tree outsideUser() const
    {
        Tree tree;
        const Tree homeTree = listTree(home());
        for (auto it = homeTree.begin(); it != homeTree.end(); ++it) {
            if (it.key() != ".Brisendale" && !it.key().startsWith(".Brisendale/"))
                tree.insert("home/" + it.key(), it.value());
        }
        const Tree rootTree = listTree(m_root);
        for (auto it = rootTree.begin(); it != rootTree.end(); ++it)
            tree.insert("root/" + it.key(), it.value());
        return tree;
    }

    void installOld()
    {
        QDir(user()).removeRecursively();
        QDir().mkpath(user());
        if (m_install)
            return;
        ASSERT_EQ(QProcess::execute("cp", {"-a", m_old, app()}), 0);
    }

    // Runs the launcher to its end; the exit code, or -1 when a signal ended it.
    int runLauncher(const QStringList& faultSettings)
    {
        QProcess proc;
        startLauncher(&proc, faultSettings);
        if (!proc.waitForFinished(120000)) {
            proc.kill();
            proc.waitForFinished();
            return -2;
        }
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    }

    // `wrapper`, when given, is a command line that runs the launcher (unshare ...).
    void startLauncher(QProcess* proc, const QStringList& faultSettings,
                       const QStringList& wrapper = QStringList())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LC_ALL", "C.UTF-8");
        if (!faultSettings.filter("FAIL_AT_CALL_").isEmpty()) {
            env.insert("LD_PRELOAD", FAIL_AT_CALL_SHIM);
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
            env.insert("FAIL_AT_CALL_ROOT", user());
        }
        for (const QString& setting : faultSettings)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        proc->setProcessEnvironment(env);
        proc->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc->setStandardOutputFile(QProcess::nullDevice());
        const QString launcher = m_root + "/bin/brisendale-launcher";
        if (wrapper.isEmpty())
            proc->start(launcher, QStringList());
        else
            proc->start(wrapper.first(), wrapper.mid(1) + QStringList{launcher});
    }

    // After the faulted run: A is the old tree or the new one, or the marker names
    // where the whole old tree is. An empty string when that holds.
    QString checkNothingLost() const
    {
        const Tree appTree = QFileInfo::exists(app()) ? listTree(app()) : Tree();
        if (m_install) {
            if (QFileInfo::exists(marker()))
                return QSettings(marker(), QSettings::IniFormat).value("old").toString().isEmpty()
                           ? QString()
                           : "a first install's marker names an old installation";
            if (!QFileInfo::exists(app()) || appTree == m_newTree)
                return QString();
            return "no marker, and A is neither absent nor the new tree";
        }
        if (!QFileInfo::exists(marker())) {
            // A manifest that does not describe A would have the next start reinstall it.
            if (QFileInfo::exists(app()) && (appTree == m_oldTree || appTree == m_newTree))
                return manifestState() == TreeState::Damaged ? "A is taken for damaged" : QString();
            return "no marker, and A is neither the old tree nor the new one";
        }
        QSettings saved(marker(), QSettings::IniFormat);
        const QString oldName = saved.value("old").toString();
        const QString nextName = saved.value("next").toString();
        // Around an exchange A holds either tree, each complete: the marker only says so.
        if (oldName == "Brisendale.app" && nextName == "Brisendale.app.staging") {
            if (QFileInfo::exists(app()) && (appTree == m_oldTree || appTree == m_newTree))
                return QString();
            return "the marker of an exchange, and A is neither the old tree nor the new one";
        }
        QString where = user() + "/" + oldName;
        if (oldName.isEmpty() || !QFileInfo::exists(where))
            where = nextName.isEmpty() ? QString() : user() + "/" + nextName;
        if (where.isEmpty() || !QFileInfo::exists(where))
            return "the marker names no existing folder: old=" + oldName + " next=" + nextName;
        if (listTree(where) != m_oldTree)
            return "the folder that the marker names is not the whole old tree: " + where;
        return QString();
    }

    // After a normal run: exactly the new package, nothing left over, its client started.
    QString checkUpgraded(int exitCode, const Tree& outside) const
    {
        if (exitCode != 0)
            return "the normal run ended with " + QString::number(exitCode);
        if (listTree(app()) != m_newTree)
            return "A is not exactly the new package";
        QStringList left =
            QDir(user()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        // A fault may have kept the manifest from being written: the tree is then trusted.
        left.removeOne("Brisendale.app.manifest");
        if (left != QStringList({"Brisendale.app", "launcher.lock", "log", "start-args"}))
            return "U holds " + left.join(' ');
        if (manifestState() == TreeState::Damaged)
            return "A is taken for damaged";
        if (readFile(user() + "/start-args") != "new\nstart\n")
            return "the new tree's start script did not run with 'start'";
        if (outsideUser() != outside)
            return "something outside U changed";
        return QString();
    }

    TreeState manifestState() const
    {
        const QByteArray u = QFile::encodeName(user());
        const QByteArray a = QFile::encodeName(app());
        return CheckInstalledTree(ustring(u.constData()), ustring(a.constData()), 1).state;
    }

    QString m_root;
    QString m_old;
    bool m_install = false;
    Tree m_oldTree;
    Tree m_newTree;
};

TEST_P(UpgradeFaultTest, NothingIsLostWhateverCallFails)
{
    const FaultMode mode = GetParam();
    // The other file systems try a spread of the points: their faults take the same paths.
    const int stride = mode.fs ? FAULT_STRIDE * 9 : FAULT_STRIDE;
    // The row's name less its file system: "xfs_eio" is the shim's "eio".
    const QString shimMode = QString(mode.name).section('_', -1);
    if (mode.fs) {
        const QString why =
            testsupport::mountLoopImage(mode.fs, path() + "/user.img", 320ll << 20, user());
        if (!why.isEmpty())
            GTEST_SKIP() << why.toStdString();
    }
    m_install = mode.install;
    // The shim's faults and its power-cut model need no real flush: a tmpfs keeps these
    // rows cheap where it can be mounted (each run fsyncs every file); on the scratch
    // folder's file system they only take longer.
    if (!mode.fs && geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && QDir().mkpath(user()))
        mount("tmpfs", QFile::encodeName(user()).constData(), "tmpfs", 0, "size=256m");
    installOld();
    const Tree outside = outsideUser();
    const QString trace = path() + "/calls";
    const QString journal = path() + "/durable";
    // The overlayfs case: the folder at A when each run starts cannot be renamed.
    QStringList lower = mode.exdev ? QStringList{"FAIL_AT_CALL_EXDEV=" + app()} : QStringList();
    if (mode.noExchange)
        lower << "FAIL_AT_CALL_NO_EXCHANGE=1";
    const QStringList cut =
        mode.powerCut ? QStringList{"FAIL_AT_CALL_DURABLE=" + journal} : QStringList();
    ASSERT_EQ(runLauncher(QStringList{"FAIL_AT_CALL_TRACE=" + trace} + lower + cut), 0);
    // A run that reported success left exactly the new tree on storage.
    if (mode.powerCut) {
        ASSERT_TRUE(applyPowerCut(journal, user()));
        ASSERT_EQ(listTree(app()), m_newTree) << "a power cut after a reported upgrade";
    }
    ASSERT_EQ(checkUpgraded(0, outside), QString()) << "without a fault";
    ASSERT_EQ(manifestState(), TreeState::Intact) << "without a fault";
    const QStringList calls = QString::fromUtf8(readFile(trace)).split('\n');
    const int total = calls.size() - 1;
    ASSERT_GT(total, 100) << "the shim counted too few calls";
    int first = 1;
    int last = total;
    if (mode.noExchange) {
        while (first <= total && !(calls[first - 1].contains(" rename ") &&
                                   calls[first - 1].endsWith(" " + app() + "_tmp")))
            ++first;
        ASSERT_LE(first, total) << "A was never renamed aside";
        last = std::min(first + 40, total);
    }
    if (mode.exdev) {
        // From the refused rename of A to the marker that names the copy and A as next.
        auto renames = [&calls](int i, const QString& to) {
            return calls[i].contains(" rename ") && calls[i].endsWith(" " + to);
        };
        first = 0;
        while (first < total && !renames(first, app() + "_tmp"))
            ++first;
        ASSERT_LT(first, total) << "A was never renamed";
        int markers = 0;
        for (last = first + 1; last < total && markers < 2; ++last)
            markers += renames(last, marker());
        ASSERT_EQ(markers, 2) << "the copy path wrote no two markers";
        first += 1; // call numbers count from 1
        last = std::min(last + 2, total);
    }

    int tried = 0;
    int failures = 0;
    for (int n = first; n <= last && failures < 5; n += stride * mode.stride) {
        ++tried;
        installOld();
        QFile::remove(user() + "/start-args");
        // The run's own trace names the call: a flush on a timer may shift the numbers.
        const QString hitTrace = path() + "/calls-" + QString::number(n);
        const int code = runLauncher(QStringList{"FAIL_AT_CALL_N=" + QString::number(n),
                                                 "FAIL_AT_CALL_MODE=" + shimMode,
                                                 "FAIL_AT_CALL_TRACE=" + hitTrace} +
                                     lower + cut);
        QString problem;
        if (mode.killed ? code != -1 : code != 0)
            problem = "the faulted run ended with " + QString::number(code);
        if (problem.isEmpty() && mode.powerCut && !applyPowerCut(journal, user()))
            problem = "the power cut could not be applied";
        if (problem.isEmpty())
            problem = checkNothingLost();
        if (problem.isEmpty()) {
            QFile::remove(user() + "/start-args");
            problem = checkUpgraded(runLauncher(lower), outside);
        }
        if (!problem.isEmpty()) {
            ++failures;
            ADD_FAILURE() << mode.name << " at call " << n << " ("
                          << readFile(hitTrace).split('\n').value(n - 1).toStdString()
                          << "): " << problem.toStdString();
        }
        QFile::remove(hitTrace);
    }
    std::printf("%s: %d of %d points tried\n", mode.name, tried, total);
    if (mode.fs)
        testsupport::unmountLoopImage(user());
}

// Every flush of the upgrade fails in turn: a large file's early write-back and the fsync
// of each file and folder. Data that may not be on storage must never
// replace the old installation.
TEST_F(UpgradeFaultTest, EveryFailedFlushLeavesTheOldTree)
{
    // A file large enough for its own write-back, and writes slow enough for the periodic
    // flush to run a few times.
    const QString fresh = path() + "/new";
    writeFile(fresh + "/share/large.bin", QByteArray(1024 * 1024, 'L'));
    ASSERT_TRUE(servicetest::writeArchive(fresh, m_root + "/package/brisendale.nbx"));
    // Inside the new A only: the small state files beside it have failures of their own.
    const QStringList flushes = {"FAIL_AT_CALL_CALLS=fsync,sync_file_range",
                                 "FAIL_AT_CALL_MATCH=/Brisendale.app.staging/"};
    // On a tmpfs the tree is fsynced file by file; on ext4, XFS and btrfs one syncfs does
    // it, whose failures the loop-mounted rows above try.
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !QDir().mkpath(user()) ||
        mount("tmpfs", QFile::encodeName(user()).constData(), "tmpfs", 0, "size=256m") != 0)
        GTEST_SKIP() << "needs a tmpfs of its own, where each file is fsynced";
    installOld();
    const QString trace = path() + "/flushes";
    ASSERT_EQ(runLauncher(flushes + QStringList{"FAIL_AT_CALL_TRACE=" + trace}), 0);
    const QString calls = QString::fromUtf8(readFile(trace));
    ASSERT_GT(calls.count(" fsync "), 30) << calls.toStdString();
    ASSERT_GT(calls.count(" sync_file_range "), 0) << calls.toStdString();
    const int total = calls.count('\n');

    int judged = 0;
    for (int n = 1; n <= total; ++n) {
        installOld();
        const QString hitTrace = path() + "/flushes-" + QString::number(n);
        const int code = runLauncher(flushes + QStringList{"FAIL_AT_CALL_N=" + QString::number(n),
                                                           "FAIL_AT_CALL_MODE=eio",
                                                           "FAIL_AT_CALL_TRACE=" + hitTrace});
        const QStringList hit = QString::fromUtf8(readFile(hitTrace)).split('\n');
        QFile::remove(hitTrace);
        // The periodic flush runs on a timer: this run may have made fewer calls.
        if (hit.size() <= n)
            continue;
        ++judged;
        const QString where = hit.value(n - 1);
        EXPECT_EQ(code, 0) << where.toStdString();
        EXPECT_TRUE(listTree(app()) == m_oldTree)
            << "not the old tree after " << where.toStdString();
        EXPECT_FALSE(QFileInfo::exists(marker())) << where.toStdString();
        EXPECT_FALSE(QFileInfo::exists(app() + "_tmp")) << where.toStdString();
        EXPECT_FALSE(QFileInfo::exists(app() + ".staging")) << where.toStdString();
        EXPECT_FALSE(QFileInfo::exists(app() + ".attempts")) << "a failed flush is no attempt";
    }
    EXPECT_GT(judged, 2);
}

// A second launcher of the same home while the first, stopped in an upgrade that will
// roll back, holds a half-written tree. On this host with another runtime folder, the
// single-instance lock refuses it; from another host (a temporary folder of its own),
// the home's lock leaves the start to the first. Either way it ends at once and runs
// nothing from A; the first then puts A back and starts its client.
TEST_F(UpgradeFaultTest, SecondLauncherDuringASlowUpgradeThatFails)
{
    struct Row
    {
        const char* name;
        const char* setting;
        const char* logged;
    };
    for (const Row& row :
         {Row{"another runtime folder", "XDG_RUNTIME_DIR=/run2", "app has already launched (lock"},
          Row{"another host", "TMPDIR=/tmp2",
              "leaving the installation and the client's start to it"}}) {
        SCOPED_TRACE(row.name);
        installOld();
        for (const char* dir : {"/run1", "/run2", "/tmp2"}) {
            ASSERT_TRUE(QDir().mkpath(path() + dir));
            QFile::setPermissions(path() + dir,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // Slow writes, and one that fails late in share/: the upgrade rolls back, and lasts
        // well beyond the second launcher's look at a held home lock.
        QProcess first;
        startLauncher(&first,
                      {"FAIL_AT_CALL_MATCH=/Brisendale.app.staging/share/", "FAIL_AT_CALL_N=40",
                       "FAIL_AT_CALL_MODE=eio", "FAIL_AT_CALL_PAUSE_US=500000",
                       "XDG_RUNTIME_DIR=" + path() + "/run1"});
        ASSERT_TRUE(first.waitForStarted());
        const QString staging = app() + ".staging";
        for (int i = 0; i < 600 && !QFileInfo::exists(staging); ++i)
            QThread::msleep(20);
        ASSERT_TRUE(QFileInfo::exists(staging)) << "the first launcher never began the upgrade";

        const QString setting = row.setting;
        QProcess second;
        startLauncher(&second,
                      {setting.section('=', 0, 0) + "=" + path() + setting.section('=', 1)});
        EXPECT_TRUE(second.waitForFinished(30000)) << "the second launcher waits";
        EXPECT_EQ(second.exitCode(), 0);
        EXPECT_EQ(first.state(), QProcess::Running) << "the upgrade was not slow enough";
        EXPECT_FALSE(QFileInfo::exists(user() + "/start-args")) << "started from a changing A";

        EXPECT_TRUE(first.waitForFinished(120000));
        EXPECT_EQ(first.exitCode(), 0);
        EXPECT_TRUE(listTree(app()) == m_oldTree) << "A is not the old tree";
        EXPECT_FALSE(QFileInfo::exists(marker()));
        EXPECT_FALSE(QFileInfo::exists(staging));
        // Only the first started a client: the old one.
        EXPECT_EQ(readFile(user() + "/start-args"), "old\nstart\n");
        const QString log = QString::fromUtf8(readFile(user() + "/log/launcher.log"));
        EXPECT_EQ(log.count(row.logged), 1) << log.toStdString();
        EXPECT_EQ(log.count("'start-stop start'"), 0) << log.toStdString();
    }
}

// A display number that no server and no lock file claims.
int freeDisplayNumber()
{
    for (int n = 90; n < 400; ++n) {
        if (!QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n)) &&
            !QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n)))
            return n;
    }
    return -1;
}

// True when the process is stopped (SIGSTOP, as the shim's stop mode leaves it).
bool stopped(qint64 pid)
{
    const QByteArray stat = readFile("/proc/" + QString::number(pid) + "/stat");
    const int end = stat.lastIndexOf(')');
    return end > 0 && stat.mid(end + 2, 1) == "T";
}

// The X server ends while the package is unpacked, as at the end of a session: the
// upgrade rolls back as for SIGHUP, counts as no attempt, and no client is started. The
// launcher ends by SIGHUP.
TEST_F(UpgradeFaultTest, DisplayLostMidUpgradeEndsAsAtLogout)
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    const int number = freeDisplayNumber();
    if (xvfb.isEmpty() || number < 0)
        GTEST_SKIP() << "needs Xvfb and a free display number";
    // Far more entries than the reader may run ahead of the writer: the stop comes while
    // entries are still being read.
    for (int i = 0; i < 400; ++i)
        writeFile(path() + QString("/new/share/many/f%1").arg(i), QByteArray(300, 'm'));
    ASSERT_TRUE(servicetest::writeArchive(path() + "/new", m_root + "/package/brisendale.nbx"));
    installOld();
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(xvfb,
                 {QString(":%1").arg(number), "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    ASSERT_TRUE(server.waitForStarted());
    for (int i = 0; i < 200 && !QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(number)); ++i)
        QThread::msleep(50);

    QProcess launcher;
    startLauncher(&launcher,
                  {"FAIL_AT_CALL_MATCH=/Brisendale.app.staging/share/", "FAIL_AT_CALL_N=1",
                   "FAIL_AT_CALL_MODE=stop", "FAIL_AT_CALL_PAUSE_US=20000", "QT_QPA_PLATFORM=xcb",
                   QString("DISPLAY=:%1").arg(number)});
    ASSERT_TRUE(launcher.waitForStarted());
    for (int i = 0; i < 600 && !stopped(launcher.processId()); ++i)
        QThread::msleep(50);
    const bool reached = stopped(launcher.processId());
    server.terminate();
    EXPECT_TRUE(server.waitForFinished(30000));
    ::kill(static_cast<pid_t>(launcher.processId()), SIGCONT);
    ASSERT_TRUE(reached) << "the launcher never reached the extraction";
    ASSERT_TRUE(launcher.waitForFinished(120000));

    EXPECT_EQ(launcher.exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(launcher.exitCode(), SIGHUP);
    EXPECT_TRUE(listTree(app()) == m_oldTree) << "the old tree is untouched";
    EXPECT_FALSE(QFileInfo::exists(marker()));
    EXPECT_FALSE(QFileInfo::exists(app() + "_tmp"));
    EXPECT_FALSE(QFileInfo::exists(app() + ".attempts")) << "a logout is no failed attempt";
    EXPECT_FALSE(QFileInfo::exists(user() + "/start-args")) << "no client at logout";
    const QByteArray log = readFile(user() + "/log/launcher.log");
    EXPECT_TRUE(log.contains("the display connection broke")) << log.toStdString();
}

// The X server killed in the first 100 ms of an upgrade that is held (writes slowed, or the
// writer stopped), at moments 10 ms apart, ten times, half of the runs in a pid namespace
// of their own: each ends as a logout, by SIGHUP, with A whole, no attempt counted and no
// client started.
TEST_F(UpgradeFaultTest, DisplayKilledEarlyInAHeldUpgradeEndsEveryRunAsALogout)
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty())
        GTEST_SKIP() << "needs Xvfb";
    for (int run = 0; run < 10; ++run) {
        const bool ownNamespace = run >= 5;
        const bool stoppedWriter = !ownNamespace && run % 2 == 1;
        const int delayMs = (run * 10) % 100;
        SCOPED_TRACE("run " + std::to_string(run) + (ownNamespace ? ", own pid namespace" : "") +
                     (stoppedWriter ? ", writer stopped" : ", writes slowed") + ", killed after " +
                     std::to_string(delayMs) + " ms");
        installOld();
        QProcess server;
        server.setProcessChannelMode(QProcess::SeparateChannels);
        // The server picks a free display and names it once it accepts connections.
        server.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "320x240x24"});
        QByteArray number;
        while (!number.endsWith('\n') && server.waitForReadyRead(10000))
            number += server.readAllStandardOutput();
        number = number.trimmed();
        ASSERT_FALSE(number.isEmpty()) << "Xvfb did not start";

        QStringList settings{"FAIL_AT_CALL_MATCH=/Brisendale.app.staging/share/",
                             "QT_QPA_PLATFORM=xcb", "DISPLAY=:" + QString::fromLatin1(number)};
        settings << (stoppedWriter ? QStringList{"FAIL_AT_CALL_N=1", "FAIL_AT_CALL_MODE=stop"}
                                   : QStringList{"FAIL_AT_CALL_PAUSE_US=20000"});
        QProcess launcher;
        startLauncher(&launcher, settings,
                      // The shim leaves no trace for children: preloaded again inside.
                      ownNamespace ? QStringList{"unshare", "--pid", "--fork", "--mount-proc", "--",
                                                 "env", "LD_PRELOAD=" FAIL_AT_CALL_SHIM}
                                   : QStringList());
        ASSERT_TRUE(launcher.waitForStarted());
        for (int i = 0; i < 5000 && !QFileInfo::exists(app() + ".staging") &&
                        launcher.state() == QProcess::Running;
             ++i)
            QThread::usleep(2000);
        const bool begun = QFileInfo::exists(app() + ".staging");
        QThread::msleep(static_cast<unsigned long>(delayMs));
        const qint64 serverPid = server.processId();
        server.kill();
        EXPECT_TRUE(server.waitForFinished(10000));
        // A killed server leaves its lock and socket behind; ours alone are removed.
        const QString lock = "/tmp/.X" + QString::fromLatin1(number) + "-lock";
        if (readFile(lock).trimmed().toLongLong() == serverPid) {
            QFile::remove("/tmp/.X11-unix/X" + QString::fromLatin1(number));
            QFile::remove(lock);
        }
        if (stoppedWriter) {
            for (int i = 0; i < 500 && !stopped(launcher.processId()); ++i)
                QThread::msleep(2);
            // The dialog needs no OpenGL: the toolkit's GLX part (and Mesa's) is not loaded.
            const QByteArray maps =
                readFile("/proc/" + QString::number(launcher.processId()) + "/maps");
            EXPECT_TRUE(maps.contains("libQt")) << "not the launcher's map";
            EXPECT_FALSE(maps.contains("glx")) << "OpenGL loaded";
            ::kill(static_cast<pid_t>(launcher.processId()), SIGCONT);
        }
        ASSERT_TRUE(begun) << "the launcher never began the upgrade";
        ASSERT_TRUE(launcher.waitForFinished(30000));

        const QByteArray log = readFile(user() + "/log/launcher.log");
        // As the first process of its namespace the launcher cannot be ended by its own
        // signal: it exits with 128 + SIGHUP instead.
        if (ownNamespace) {
            EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(launcher.exitCode(), 128 + SIGHUP);
        } else {
            EXPECT_EQ(launcher.exitStatus(), QProcess::CrashExit);
            EXPECT_EQ(launcher.exitCode(), SIGHUP);
        }
        EXPECT_TRUE(listTree(app()) == m_oldTree) << "the old tree is untouched\n"
                                                  << log.toStdString();
        EXPECT_FALSE(QFileInfo::exists(marker()));
        EXPECT_FALSE(QFileInfo::exists(app() + "_tmp"));
        EXPECT_FALSE(QFileInfo::exists(app() + ".attempts")) << "a logout is no failed attempt";
        EXPECT_FALSE(QFileInfo::exists(user() + "/start-args")) << "no client at logout";
        EXPECT_TRUE(log.contains("the display connection broke")) << log.toStdString();
    }
}

// Another user's listener on the abstract X socket that accepts and never answers: the
// launcher gives the display up within its bound and runs to its end offscreen.
TEST_F(UpgradeFaultTest, DisplayThatNeverAnswersFallsBackToOffscreen)
{
    installOld();
    UniqueFd listener;
    int number = 0;
    for (int n = 7700; n < 7999 && !listener.valid(); ++n) {
        listener = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        const QByteArray name = "/tmp/.X11-unix/X" + QByteArray::number(n);
        std::memcpy(addr.sun_path + 1, name.constData(), static_cast<size_t>(name.size()));
        const socklen_t len =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listener.get(), 8) != 0)
            listener.reset();
        number = n;
    }
    ASSERT_TRUE(listener.valid());

    QElapsedTimer timer;
    timer.start();
    QProcess launcher;
    startLauncher(&launcher, {"QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11",
                              QString("DISPLAY=:%1").arg(number)});
    ASSERT_TRUE(launcher.waitForFinished(30000)) << "held by a display that never answers";
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_EQ(listTree(app()), m_newTree);
    EXPECT_TRUE(QFileInfo::exists(user() + "/start-args"));
    const QByteArray log = readFile(user() + "/log/launcher.log");
    EXPECT_EQ(log.count("[WARNING] main.cpp("), 1) << log.toStdString();
    EXPECT_TRUE(log.contains(QString("no answer within 2 s from xcb on display ':%1', trying "
                                     "'offscreen'")
                                 .arg(number)
                                 .toUtf8()))
        << log.toStdString();
}

// A home on overlayfs whose lower layer holds the installed client (a container or a live
// image): renaming A gives EXDEV, so the old tree is copied aside, and the upgrade works.
TEST_F(UpgradeFaultTest, OverlayHomeUpgrades)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount an overlay";
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "cannot make a mount namespace here: " << strerror(errno);
    const QString lower = path() + "/lower";
    for (const QString& dir : {lower, path() + "/upper", path() + "/work", user()})
        ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_EQ(QProcess::execute("cp", {"-a", m_old, lower + "/Brisendale.app"}), 0);
    const QByteArray options = QFile::encodeName("lowerdir=" + lower + ",upperdir=" + path() +
                                                 "/upper,workdir=" + path() + "/work");
    if (mount("overlay", QFile::encodeName(user()).constData(), "overlay", 0,
              options.constData()) != 0)
        GTEST_SKIP() << "cannot mount an overlay here: " << strerror(errno);
    const Tree outside = outsideUser();
    const int code = runLauncher({});
    const QString problem = checkUpgraded(code, outside);
    umount2(QFile::encodeName(user()).constData(), MNT_DETACH);
    EXPECT_EQ(problem, QString());
    EXPECT_EQ(listTree(lower + "/Brisendale.app"), m_oldTree) << "the lower layer changed";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, UpgradeFaultTest,
    ::testing::Values(FaultMode{"eio", false}, FaultMode{"enospc", false}, FaultMode{"kill", true},
                      FaultMode{"powercut_kill", true, nullptr, true, false, false, 6},
                      FaultMode{"install_powercut_kill", true, nullptr, true, true, false, 8},
                      FaultMode{"exdev_powercut_kill", true, nullptr, true, false, true, 4},
                      FaultMode{"noexchange_powercut_kill", true, nullptr, true, false, false, 1,
                                true},
                      FaultMode{"xfs_eio", false, "xfs"}, FaultMode{"xfs_enospc", false, "xfs"},
                      FaultMode{"xfs_kill", true, "xfs"}, FaultMode{"btrfs_eio", false, "btrfs"},
                      FaultMode{"btrfs_enospc", false, "btrfs"},
                      FaultMode{"btrfs_kill", true, "btrfs"}),
    [](const ::testing::TestParamInfo<FaultMode>& i) { return std::string(i.param.name); });

} // namespace
