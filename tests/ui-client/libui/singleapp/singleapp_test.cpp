#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

const QString kHelper = QStringLiteral(SINGLEAPP_HELPER);

struct Outcome
{
    QString state; // "running", "refused", or empty when the helper said nothing
    QString lock;
};

class Helper
{
public:
    explicit Helper(const QString& program, const QStringList& args,
                    QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
    {
        // Full allocation stacks, so that the leak suppressions can name the
        // platform plug-in (its frames lack frame pointers).
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "fast_unwind_on_malloc=0");
        m_proc.setProcessEnvironment(env);
        m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_proc.start(program, args);
    }
    ~Helper()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(30000);
        }
    }

    bool started() { return m_proc.waitForStarted(30000); }
    void release() { m_proc.write("\n"); }

    Outcome outcome()
    {
        while (!m_proc.canReadLine()) {
            if (!m_proc.waitForReadyRead(30000))
                return {};
        }
        const QString line = QString::fromUtf8(m_proc.readLine()).trimmed();
        const int blank = line.indexOf(QLatin1Char(' '));
        return {line.left(blank), line.mid(blank + 1)};
    }

    // Ends a holder normally (end of stdin) and returns its exit code.
    int finish()
    {
        m_proc.closeWriteChannel();
        if (!m_proc.waitForFinished(30000))
            return -1;
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
    }

    void killHard()
    {
        m_proc.kill();
        m_proc.waitForFinished(30000);
    }

private:
    QProcess m_proc;
};

class SingleAppTest : public testsupport::ScratchTest
{};

TEST_F(SingleAppTest, ExactlyOneOfTwoSimultaneousStartsRuns)
{
    for (int pair = 0; pair < 20; ++pair) {
        Helper a(kHelper, {"hold", "sync"});
        Helper b(kHelper, {"hold", "sync"});
        ASSERT_TRUE(a.started());
        ASSERT_TRUE(b.started());
        a.release();
        b.release();
        const Outcome oa = a.outcome();
        const Outcome ob = b.outcome();
        ASSERT_FALSE(oa.state.isEmpty()) << "pair " << pair;
        ASSERT_FALSE(ob.state.isEmpty()) << "pair " << pair;
        EXPECT_EQ((oa.state == "running") + (ob.state == "running"), 1)
            << "pair " << pair << ": " << oa.state.toStdString() << " / " << ob.state.toStdString();
        EXPECT_EQ(oa.lock, ob.lock);
        EXPECT_EQ(a.finish(), 0);
        EXPECT_EQ(b.finish(), 0);
    }
}

TEST_F(SingleAppTest, NormalEndReleasesTheGuard)
{
    Outcome first;
    {
        Helper holder(kHelper, {"hold"});
        first = holder.outcome();
        ASSERT_EQ(first.state, "running");
        Helper second(kHelper, {"hold"});
        EXPECT_EQ(second.outcome().state, "refused");
        EXPECT_EQ(second.finish(), 0);
        EXPECT_EQ(holder.finish(), 0);
    }
    EXPECT_FALSE(QFile::exists(first.lock));
    Helper next(kHelper, {"hold"});
    EXPECT_EQ(next.outcome().state, "running");
    EXPECT_EQ(next.finish(), 0);
}

TEST_F(SingleAppTest, KilledHolderDoesNotBlockTheNextStart)
{
    Helper holder(kHelper, {"hold"});
    const Outcome held = holder.outcome();
    ASSERT_EQ(held.state, "running");
    holder.killHard();
    // The killed holder leaves its lock file behind; the next start must see through it.
    ASSERT_TRUE(QFile::exists(held.lock));

    Helper next(kHelper, {"hold"});
    EXPECT_EQ(next.outcome().state, "running");
    Helper third(kHelper, {"hold"});
    EXPECT_EQ(third.outcome().state, "refused");
    EXPECT_EQ(third.finish(), 0);
    EXPECT_EQ(next.finish(), 0);
}

// The lock file names a live process of the same name that no longer holds the
// lock, as after a crash whose pid was handed to a new process.
TEST_F(SingleAppTest, LockOfLiveProcessThatDroppedItDoesNotBlock)
{
    Helper orphan(kHelper, {"orphan"});
    const Outcome dropped = orphan.outcome();
    ASSERT_EQ(dropped.state, "running");
    ASSERT_TRUE(QFile::exists(dropped.lock));

    Helper next(kHelper, {"hold"});
    EXPECT_EQ(next.outcome().state, "running");
    EXPECT_EQ(next.finish(), 0);
    EXPECT_EQ(orphan.finish(), 0);
}

TEST_F(SingleAppTest, OldLockOfLiveHolderStillRefuses)
{
    Helper holder(kHelper, {"hold"});
    const Outcome held = holder.outcome();
    ASSERT_EQ(held.state, "running");
    const QByteArray native = QFile::encodeName(held.lock);
    struct utimbuf old = {};
    old.actime = old.modtime = QDateTime::currentSecsSinceEpoch() - 24 * 3600;
    ASSERT_EQ(::utime(native.constData(), &old), 0);

    Helper second(kHelper, {"hold"});
    EXPECT_EQ(second.outcome().state, "refused");
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(holder.finish(), 0);
}

// A holder killed between creating its lock file and writing it leaves an empty file:
// stale once nobody holds it, never taken from a live holder.
TEST_F(SingleAppTest, EmptyLockFileIsStaleOnlyWithoutAHolder)
{
    Helper holder(kHelper, {"hold"});
    const Outcome held = holder.outcome();
    ASSERT_EQ(held.state, "running");
    ASSERT_TRUE(QFile::resize(held.lock, 0));
    {
        Helper second(kHelper, {"hold"});
        EXPECT_EQ(second.outcome().state, "refused");
        EXPECT_EQ(second.finish(), 0);
    }
    holder.killHard();
    ASSERT_TRUE(QFile::exists(held.lock));
    ASSERT_EQ(QFileInfo(held.lock).size(), 0);

    Helper next(kHelper, {"hold"});
    EXPECT_EQ(next.outcome().state, "running");
    EXPECT_EQ(next.finish(), 0);
}

// Identity: who counts as "the same instance" as a running holder.
struct IdentityRow
{
    const char* name;
    // Returns the program to start as the second instance and adjusts its environment.
    std::function<QString(const QString& scratch, QProcessEnvironment& env, QStringList& prefix)>
        prepare;
    const char* expected;
    bool needsPrivilegeDrop;
};

void PrintTo(const IdentityRow& row, std::ostream* os)
{
    *os << row.name;
}

class SingleAppIdentityTest : public SingleAppTest,
                              public ::testing::WithParamInterface<IdentityRow>
{};

TEST_P(SingleAppIdentityTest, SecondStartAgainstHolder)
{
    const IdentityRow& row = GetParam();
    if (row.needsPrivilegeDrop && !testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root and setpriv to run as another user";

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList prefix;
    const QString program = row.prepare(path(), env, prefix);
    ASSERT_FALSE(program.isEmpty());
    // Another user's instance starts the very file the holder runs.
    Helper holder(prefix.isEmpty() ? kHelper : program, {"hold"});
    ASSERT_EQ(holder.outcome().state, "running");
    Helper second(
        prefix.isEmpty() ? program : prefix.first(),
        prefix.isEmpty() ? QStringList{"hold"} : prefix.mid(1) + QStringList{program, "hold"}, env);
    EXPECT_EQ(second.outcome().state, row.expected);
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(holder.finish(), 0);
}

QString symlinked(const QString& scratch, QProcessEnvironment&, QStringList&)
{
    QDir().mkpath(scratch + "/elsewhere");
    const QString link = scratch + "/elsewhere/launcher";
    return QFile::link(kHelper, link) ? link : QString();
}

QString copied(const QString& scratch, QProcessEnvironment&, QStringList&)
{
    QDir().mkpath(scratch + "/other-install/bin");
    const QString copy = scratch + "/other-install/bin/" + QFileInfo(kHelper).fileName();
    if (!QFile::copy(kHelper, copy))
        return QString();
    QFile::setPermissions(copy, QFile::permissions(kHelper));
    return copy;
}

QString otherUser(const QString& scratch, QProcessEnvironment& env, QStringList& prefix)
{
    // The other user cannot use our runtime folder; give it a shared temporary folder.
    const QString tmp = scratch + "/tmp";
    QDir().mkpath(tmp);
    ::chmod(QFile::encodeName(scratch).constData(), 0755);
    ::chmod(QFile::encodeName(tmp).constData(), 01777);
    env.remove("XDG_RUNTIME_DIR");
    env.insert("TMPDIR", tmp);
    env.insert("HOME", tmp);
    prefix = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    // A copy the other user can reach: the build folder may sit in a private checkout.
    const QString copy = tmp + "/" + QFileInfo(kHelper).fileName();
    if (!QFile::copy(kHelper, copy))
        return QString();
    QFile::setPermissions(copy, QFile::permissions(kHelper) | QFile::ExeOther | QFile::ReadOther);
    return copy;
}

// A lock file left by a killed holder that its owner may no longer read is stale too.
TEST_F(SingleAppTest, LockFileItsOwnerCannotReadIsStale)
{
    if (!testsupport::canDropPrivileges())
        GTEST_SKIP() << "needs root and setpriv: root reads every file";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList prefix;
    const QString program = otherUser(path(), env, prefix);
    ASSERT_FALSE(program.isEmpty());
    const QStringList args = prefix.mid(1) + QStringList{program, "hold"};
    Helper holder(prefix.first(), args, env);
    const Outcome held = holder.outcome();
    ASSERT_EQ(held.state, "running");
    holder.killHard();
    ASSERT_EQ(::chmod(QFile::encodeName(held.lock).constData(), 0), 0);

    Helper next(prefix.first(), args, env);
    EXPECT_EQ(next.outcome().state, "running");
    EXPECT_EQ(next.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SingleAppIdentityTest,
    ::testing::Values(IdentityRow{"SymlinkToSameExecutableIsRefused", symlinked, "refused", false},
                      IdentityRow{"CopyInAnotherInstallRuns", copied, "running", false},
                      IdentityRow{"OtherUserRuns", otherUser, "running", true}),
    [](const ::testing::TestParamInfo<IdentityRow>& info) { return std::string(info.param.name); });

// Where the guard lives when the session has no runtime folder.
TEST_F(SingleAppTest, WithoutRuntimeFolderUsesPrivateTemporaryFolder)
{
    const QString tmp = path() + "/tmp";
    QDir().mkpath(tmp);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    env.insert("TMPDIR", tmp);

    Helper holder(kHelper, {"hold"}, env);
    const Outcome held = holder.outcome();
    ASSERT_EQ(held.state, "running");
    const QString folder = tmp + "/brisendale-singleapp-" + QString::number(::getuid());
    EXPECT_EQ(QFileInfo(held.lock).absolutePath(), folder);
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    Helper second(kHelper, {"hold"}, env);
    EXPECT_EQ(second.outcome().state, "refused");
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(holder.finish(), 0);
}

TEST_F(SingleAppTest, OpenTemporaryFolderOfThatNameIsNotTrusted)
{
    const QString tmp = path() + "/tmp";
    const QString planted = tmp + "/brisendale-singleapp-" + QString::number(::getuid());
    QDir().mkpath(planted);
    ::chmod(QFile::encodeName(planted).constData(), 0777);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    env.insert("TMPDIR", tmp);

    Helper holder(kHelper, {"hold"}, env);
    const Outcome held = holder.outcome();
    ASSERT_EQ(held.state, "running");
    EXPECT_NE(QFileInfo(held.lock).absolutePath(), planted);
    EXPECT_TRUE(held.lock.startsWith(home())) << held.lock.toStdString();
    Helper second(kHelper, {"hold"}, env);
    EXPECT_EQ(second.outcome().state, "refused");
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(holder.finish(), 0);
}

// The same user on the same host is one instance whatever its session says of a
// runtime folder: another one, or none.
TEST_F(SingleAppTest, RuntimeFolderDoesNotChangeTheIdentity)
{
    for (const bool unset : {false, true}) {
        Helper holder(kHelper, {"hold"});
        ASSERT_EQ(holder.outcome().state, "running");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString other = path() + "/other-runtime";
        QDir().mkpath(other);
        QFile::setPermissions(other, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (unset)
            env.remove("XDG_RUNTIME_DIR");
        else
            env.insert("XDG_RUNTIME_DIR", other);
        Helper second(kHelper, {"hold"}, env);
        EXPECT_EQ(second.outcome().state, "refused") << (unset ? "unset" : "another folder");
        EXPECT_EQ(second.finish(), 0);
        EXPECT_EQ(holder.finish(), 0);
    }
}

// Another host's holder, as a UTS namespace with its own host name. In a folder of this
// host its lock names that host: once unheld, it is taken over. In the home, which hosts
// share, each host has a lock file of its own.
TEST_F(SingleAppTest, LockOfAnotherHost)
{
    for (const bool home_folder : {false, true}) {
        SCOPED_TRACE(home_folder ? "in the home" : "in the temporary folder");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (home_folder) {
            // Another user took the temporary folder's name.
            const QString tmp = path() + "/planted-tmp";
            const QString planted = tmp + "/brisendale-singleapp-" + QString::number(::getuid());
            QDir().mkpath(planted);
            ::chmod(QFile::encodeName(planted).constData(), 0777);
            env.insert("TMPDIR", tmp);
        }
        const QString script = "hostname brisendale-other-host && exec \"$0\" hold";
        Helper other("unshare", {"--uts", "sh", "-c", script, kHelper}, env);
        const Outcome held = other.outcome();
        if (held.state.isEmpty())
            GTEST_SKIP() << "cannot make a UTS namespace here";
        ASSERT_EQ(held.state, "running");
        if (home_folder) {
            EXPECT_TRUE(held.lock.startsWith(home())) << held.lock.toStdString();
            EXPECT_TRUE(held.lock.endsWith("-brisendale-other-host.lock"))
                << held.lock.toStdString();
            // A live holder on another host does not refuse a start here.
            Helper here(kHelper, {"hold"}, env);
            EXPECT_EQ(here.outcome().state, "running");
            EXPECT_EQ(here.finish(), 0);
            other.killHard();
            continue;
        }
        other.killHard();
        ASSERT_TRUE(QFile(held.lock).open(QIODevice::ReadOnly));
        ASSERT_TRUE(testsupport::readFile(held.lock).contains("brisendale-other-host"));
        Helper next(kHelper, {"hold"}, env);
        const Outcome taken = next.outcome();
        EXPECT_EQ(taken.state, "running");
        EXPECT_EQ(taken.lock, held.lock);
        EXPECT_EQ(next.finish(), 0);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The helpers are widget applications; they never need a display here.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
