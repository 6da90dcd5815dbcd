// The desktop notifications, on a private session bus with a recording notification
// service of the test's own.
#include "fake_service.h"
#include "launcher.h"
#include "notice.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class NoticeTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        QDir().mkpath(user());
        // Nothing of the machine's own session reaches the test.
        m_address =
            std::make_unique<testsupport::EnvGuard>("DBUS_SESSION_BUS_ADDRESS", QByteArray());
    }
    void TearDown() override
    {
        for (QProcess* p : {&m_server, &m_bus}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(10000);
            }
        }
        m_address.reset();
        ScratchTest::TearDown();
    }

    QString user() const { return home() + "/.Brisendale"; }
    ustring userRoot() const { return ustring(user().toStdString()); }
    Layout layout() const { return Layout("/nonexistent", ustring(home().toStdString())); }
    QString calls() const { return path() + "/calls"; }

    // Starts a session bus of the test's own and points the environment at it.
    void startBus()
    {
        const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
        if (daemon.isEmpty())
            GTEST_SKIP() << "dbus-daemon is needed for a private session bus";
        m_bus.start(daemon, {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        ASSERT_TRUE(m_bus.waitForStarted(10000));
        QByteArray line;
        QElapsedTimer timer;
        timer.start();
        while (!line.contains('\n') && timer.elapsed() < 10000) {
            m_bus.waitForReadyRead(100);
            line += m_bus.readAllStandardOutput();
        }
        ASSERT_TRUE(line.contains('\n')) << "the bus gave no address";
        qputenv("DBUS_SESSION_BUS_ADDRESS", line.trimmed());
    }

    void startServer()
    {
        m_server.start(NOTIFY_SERVER, {calls()});
        ASSERT_TRUE(m_server.waitForStarted(10000));
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (!out.contains("ready") && timer.elapsed() < 10000 &&
               m_server.state() == QProcess::Running) {
            m_server.waitForReadyRead(100);
            out += m_server.readAllStandardOutput();
        }
        ASSERT_TRUE(out.contains("ready"))
            << m_server.exitCode() << " " << m_server.readAllStandardError().constData();
    }

    // Each notification shown, its fields split.
    std::vector<QStringList> shown() const
    {
        std::vector<QStringList> all;
        for (const QByteArray& line : testsupport::readFile(calls()).split('\n'))
            if (!line.isEmpty())
                all.push_back(QString::fromUtf8(line).split('\t'));
        return all;
    }

    void runWorker(const Script& script)
    {
        Worker worker(new FakeService(script));
        QObject::connect(&worker, &Worker::sigServiceDone, [&worker] { worker.QuitThread(); });
        ASSERT_TRUE(worker.StartThread());
        ASSERT_TRUE(QMetaObject::invokeMethod(&worker, "HandleServicce", Qt::QueuedConnection));
        ASSERT_TRUE(worker.thread()->wait(30000)) << "the worker never finished";
    }

    QProcess m_bus, m_server;
    std::unique_ptr<testsupport::EnvGuard> m_address;
};

// One notification per failure of a package: the same failure again is not news, a
// back-off or another package is; without the service nothing is sent or remembered.
TEST_F(NoticeTest, OncePerFailureOnceForTheBackOff)
{
    startBus();
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_FALSE(NotifyUser(layout(), NoticeEvent::UpgradeFailed, NoticeReason::NoRoom, "p1"));
    startServer();
    if (HasFatalFailure())
        return;

    EXPECT_TRUE(NotifyUser(layout(), NoticeEvent::UpgradeFailed, NoticeReason::NoRoom, "p1"));
    EXPECT_FALSE(NotifyUser(layout(), NoticeEvent::UpgradeFailed, NoticeReason::NoRoom, "p1"));
    EXPECT_TRUE(NotifyUser(layout(), NoticeEvent::BackedOff, NoticeReason::NoRoom, "p1"));
    EXPECT_TRUE(NotifyUser(layout(), NoticeEvent::UpgradeFailed, NoticeReason::NoRoom, "p2"));
    EXPECT_FALSE(NotifyUser(layout(), NoticeEvent::BackedOff, NoticeReason::NoRoom, "p1"));

    const std::vector<QStringList> all = shown();
    ASSERT_EQ(all.size(), 3u);
    ASSERT_EQ(all[0].size(), 5);
    EXPECT_EQ(all[0][0], "Brisendale Drive");
    EXPECT_FALSE(all[0][1].isEmpty()) << "no icon";
    EXPECT_EQ(all[0][2], "Brisendale Drive could not be updated");
    EXPECT_EQ(all[0][3], "There is not enough free disk space.|The installed version keeps "
                         "working.|Details: " +
                             user() + "/log/launcher.log");
    EXPECT_TRUE(all[0][4].contains("urgency"));
    EXPECT_EQ(all[1][2], "Brisendale Drive stops trying this update for now");
    EXPECT_EQ(
        QFileInfo(QString::fromUtf8(notice::StatePath(userRoot()).c_str_utf8())).permissions() &
            0x7777,
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
}

// Without a bus nothing waits; a bus that never answers holds the call for its bound only.
TEST_F(NoticeTest, WithoutAnAnsweringBusNothingWaitsLong)
{
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(NotifyUser(layout(), NoticeEvent::UpgradeFailed, NoticeReason::Other, "p"));
    EXPECT_LT(timer.elapsed(), 200);

    // Accepts connections (the kernel's backlog) and never says a word.
    const QString socket_path = path() + "/silent";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const QByteArray name = socket_path.toLocal8Bit();
    ASSERT_LT(static_cast<size_t>(name.size()), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, name.constData(), static_cast<size_t>(name.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + name);
    timer.restart();
    EXPECT_FALSE(NotifyUser(layout(), NoticeEvent::UpgradeFailed, NoticeReason::Other, "p"));
    const qint64 held = timer.elapsed();
    ::close(fd);
    EXPECT_GE(held, notice::BOUND_MS - 100);
    EXPECT_LT(held, notice::BOUND_MS + 700);
    EXPECT_FALSE(QFileInfo::exists(QString::fromUtf8(notice::StatePath(userRoot()).c_str_utf8())));
}

// The worker tells of what the service reports, once the client is started, and of
// nothing after a success.
TEST_F(NoticeTest, WorkerTellsOfAFailureAndABackOffNotOfASuccess)
{
    startBus();
    if (IsSkipped() || HasFatalFailure())
        return;
    startServer();
    if (HasFatalFailure())
        return;

    Script failed;
    failed.need_upgrade = true;
    failed.upgrade_result = -1;
    failed.problem = true;
    failed.reason = NoticeReason::DamagedPackage;
    failed.identity = "p1";
    runWorker(failed);
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_TRUE(shown()[0][3].startsWith("The update package is damaged.|"));

    Script success;
    success.need_upgrade = true;
    runWorker(success);
    EXPECT_EQ(shown().size(), 1u);

    Script backed_off = failed;
    backed_off.need_upgrade = false;
    backed_off.event = NoticeEvent::BackedOff;
    runWorker(backed_off);
    runWorker(backed_off);
    ASSERT_EQ(shown().size(), 2u);
    EXPECT_EQ(shown()[1][2], "Brisendale Drive stops trying this update for now");
}

struct BodyRow
{
    const char* name;
    NoticeEvent event;
    NoticeReason reason;
    const char* begins;
    bool keeps_working;
};
void PrintTo(const BodyRow& row, std::ostream* os)
{
    *os << row.name;
}
class NoticeBodyTest : public ::testing::TestWithParam<BodyRow>
{};

// Each reason has its own line; a copy moved aside does not claim the old one still works.
TEST_P(NoticeBodyTest, NamesTheReason)
{
    const BodyRow& row = GetParam();
    const QString body = notice::Body(row.event, row.reason, ustring("/u"));
    EXPECT_TRUE(body.startsWith(QString::fromUtf8(row.begins))) << body.toStdString();
    EXPECT_EQ(body.contains("The installed version keeps working."), row.keeps_working);
    EXPECT_TRUE(body.endsWith("\nDetails: /u/log/launcher.log"));
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, NoticeBodyTest,
    ::testing::Values(BodyRow{"no_room", NoticeEvent::UpgradeFailed, NoticeReason::NoRoom,
                              "There is not enough", true},
                      BodyRow{"quota", NoticeEvent::BackedOff, NoticeReason::Quota,
                              "Your disk quota", true},
                      BodyRow{"damaged", NoticeEvent::UpgradeFailed, NoticeReason::DamagedPackage,
                              "The update package is damaged.", true},
                      BodyRow{"foreign", NoticeEvent::CopyMovedAside, NoticeReason::ForeignFiles,
                              "Files of another user", false},
                      BodyRow{"other", NoticeEvent::UpgradeFailed, NoticeReason::Other,
                              "An unexpected error", true}),
    [](const ::testing::TestParamInfo<BodyRow>& info) { return info.param.name; });

} // namespace
