#include "fake_service.h"
#include "launcher.h"
#include "log/log.h"
#include "qtcompat.h"
#include "testsupport.h"
#include "texts/strtab.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEvent>
#include <QIcon>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

namespace {

QString text(int id)
{
    return StrTable::LoadStr(id);
}

ProcessingProgressDialog* findDialog()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<ProcessingProgressDialog*>(w))
            return d;
    }
    return nullptr;
}

// Logs into the scratch folder with the launcher's debug lines on.
class LoggedTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        testsupport::writeFile(path() + "/launcher.debug", "launcher_debug=7\n");
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, (pathStd() + "/launcher.log").c_str(),
                                        (pathStd() + "/launcher.debug").c_str(), 50));
    }
    void TearDown() override
    {
        Logger::Destroy();
        ScratchTest::TearDown();
    }

    // The texts of this unit's log lines, in order.
    QStringList launcherLogLines() const
    {
        QStringList lines;
        const QRegularExpression re(QStringLiteral("launcher\\.cpp\\(\\d+\\): (.*)$"));
        const QString log = QString::fromUtf8(testsupport::readFile(path() + "/launcher.log"));
        for (const QString& line : log.split('\n')) {
            const QRegularExpressionMatch m = re.match(line);
            if (m.hasMatch())
                lines << m.captured(1);
        }
        return lines;
    }

    QString agedFolder() const { return home() + "/.Brisendale/app"; }
};

// ---- Worker ----

struct WorkerRow
{
    const char* name;
    bool need_upgrade;
    int upgrade_result;
    QStringList journal;
    QStringList log;
};
void PrintTo(const WorkerRow& row, std::ostream* os)
{
    *os << row.name;
}

class WorkerTest : public LoggedTest, public ::testing::WithParamInterface<WorkerRow>
{};

TEST_P(WorkerTest, RunsTheServiceInOrderAndReportsThroughSignals)
{
    const WorkerRow& row = GetParam();
    Script script;
    script.need_upgrade = row.need_upgrade;
    script.upgrade_result = row.upgrade_result;
    std::shared_ptr<Journal> journal = script.journal;
    testsupport::writeFile(agedFolder() + "/stale", "x");

    Worker worker(new FakeService(script));
    QSignalSpy shown(&worker, &Worker::sigShowMsg);
    QSignalSpy progress(&worker, &Worker::sigUpdateProgress);
    QSignalSpy label(&worker, &Worker::sigSetLabelText);
    QSignalSpy done(&worker, &Worker::sigServiceDone);
    // Direct connections run on the worker thread, so they land in the journal in order.
    QObject::connect(&worker, &Worker::sigShowMsg, [journal] { journal->add("sigShowMsg"); });
    QObject::connect(&worker, &Worker::sigUpdateProgress, [journal](int total, int steps) {
        journal->add(QString("sigUpdateProgress(%1,%2)").arg(total).arg(steps));
    });
    QObject::connect(&worker, &Worker::sigSetLabelText,
                     [journal](const QString& l) { journal->add("sigSetLabelText(" + l + ")"); });
    // The clean-up comes after the client's start.
    QObject::connect(&worker, &Worker::sigClientStarted, [journal, this] {
        journal->add(QDir(agedFolder()).exists() ? "sigClientStarted(aged folder still there)"
                                                 : "sigClientStarted(aged folder gone)");
    });
    QObject::connect(&worker, &Worker::sigServiceDone, [journal, &worker] {
        journal->add("sigServiceDone");
        worker.QuitThread();
    });

    ASSERT_TRUE(worker.StartThread());
    ASSERT_TRUE(QMetaObject::invokeMethod(&worker, "HandleServicce", Qt::QueuedConnection));
    ASSERT_TRUE(worker.thread()->wait(30000)) << "the worker never finished";

    QStringList expected = row.journal;
    expected.replaceInStrings("<185>", text(185));
    EXPECT_EQ(expected, journal->entries());
    EXPECT_EQ(row.need_upgrade ? 1 : 0, shown.count());
    EXPECT_EQ(1, done.count());
    if (row.need_upgrade && row.upgrade_result == 0) {
        ASSERT_EQ(1, progress.count());
        EXPECT_EQ(100, progress.at(0).at(0).toInt());
        EXPECT_EQ(100, progress.at(0).at(1).toInt());
        ASSERT_EQ(1, label.count());
        EXPECT_EQ(text(185), label.at(0).at(0).toString());
    } else {
        EXPECT_EQ(0, progress.count());
        EXPECT_EQ(0, label.count());
    }
    EXPECT_FALSE(QDir(agedFolder()).exists()) << "RemoveAgedFolders must run on every path";
    EXPECT_EQ(row.log, launcherLogLines());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WorkerTest,
    ::testing::Values(
        WorkerRow{"no_upgrade",
                  false,
                  0,
                  {"PreUpgrade", "IsNeedUpgrade", "PostUpgrade",
                   "sigClientStarted(aged folder still there)", "sigServiceDone"},
                  {"running", "no need to upgrade", "done"}},
        WorkerRow{"upgrade_succeeds",
                  true,
                  0,
                  {"PreUpgrade", "IsNeedUpgrade", "sigShowMsg", "HandlePackageUpgrade",
                   "sigUpdateProgress(100,100)", "sigSetLabelText(<185>)", "PostUpgrade",
                   "sigClientStarted(aged folder still there)", "sigServiceDone"},
                  {"running", "done"}},
        WorkerRow{"upgrade_fails",
                  true,
                  -1,
                  {"PreUpgrade", "IsNeedUpgrade", "sigShowMsg", "HandlePackageUpgrade",
                   "PostUpgrade", "sigClientStarted(aged folder still there)", "sigServiceDone"},
                  {"running", "Failed to upgrade package", "done"}},
        WorkerRow{"any_nonzero_result_is_a_failure",
                  true,
                  1,
                  {"PreUpgrade", "IsNeedUpgrade", "sigShowMsg", "HandlePackageUpgrade",
                   "PostUpgrade", "sigClientStarted(aged folder still there)", "sigServiceDone"},
                  {"running", "Failed to upgrade package", "done"}}),
    [](const ::testing::TestParamInfo<WorkerRow>& info) { return info.param.name; });

// An exception in the service never leaves the worker's thread: the run ends as a
// failure, logged, and the client is started from A when A is whole, once.
struct ThrowRow
{
    const char* name;
    const char* throw_in;
    bool bad_alloc;
    bool unfinished; // A carries the marker of a half-done upgrade
    int starts;      // how often the start script runs
    const char* logged;
};
void PrintTo(const ThrowRow& row, std::ostream* os)
{
    *os << row.name;
}

class WorkerThrowTest : public LoggedTest, public ::testing::WithParamInterface<ThrowRow>
{};

TEST_P(WorkerThrowTest, FailsTheRunCleanlyAndStartsAWholeClient)
{
    const ThrowRow& row = GetParam();
    const QString app = home() + "/.Brisendale/Brisendale.app";
    testsupport::writeExec(app + "/bin/brisendale-drive-ui", "#!/bin/sh\n");
    testsupport::writeExec(app + "/package/start-stop",
                           "#!/bin/sh\necho \"$1\" >> \"$HOME/started\"\n");
    if (row.unfinished)
        testsupport::writeFile(app + ".incomplete", "old=x\n");
    Script script;
    script.need_upgrade = true;
    script.throw_in = row.throw_in;
    script.throw_bad_alloc = row.bad_alloc;
    Worker worker(new FakeService(script));
    QSignalSpy done(&worker, &Worker::sigServiceDone);
    QObject::connect(&worker, &Worker::sigServiceDone, [&worker] { worker.QuitThread(); });
    ASSERT_TRUE(worker.StartThread());
    ASSERT_TRUE(QMetaObject::invokeMethod(&worker, "HandleServicce", Qt::QueuedConnection));
    ASSERT_TRUE(worker.thread()->wait(30000)) << "the worker never finished";
    EXPECT_EQ(1, done.count());
    EXPECT_EQ(testsupport::readFile(home() + "/started").count("start\n"), row.starts);
    const QString log = launcherLogLines().join('\n');
    EXPECT_TRUE(log.contains(row.logged)) << log.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WorkerThrowTest,
    ::testing::Values(
        ThrowRow{"bad_alloc_mid_upgrade", "HandlePackageUpgrade", true, false, 1,
                 "the run failed: out of memory"},
        ThrowRow{"exception_before_the_decision", "PreUpgrade", false, false, 1,
                 "the run failed: thrown in PreUpgrade"},
        ThrowRow{"half_done_tree_is_not_started", "HandlePackageUpgrade", true, true, 0,
                 "the client was not started: '"},
        // PostUpgrade's own start is the fake's: the worker starts it, as it never ran.
        ThrowRow{"exception_while_starting", "PostUpgrade", false, false, 1,
                 "the run failed: thrown in PostUpgrade"}),
    [](const ::testing::TestParamInfo<ThrowRow>& info) { return std::string(info.param.name); });

// ---- Launcher, whole run through the event loop ----

// Records the dialog's visibility changes with what it shows at that moment, and the
// bar's values from the first show on. Watches the whole application: the launcher
// builds its dialog only when first asked to show or report.
class DialogWatcher : public QObject
{
public:
    QStringList events;
    QList<int> values;
    QSemaphore hidden;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Also called from ~QWidget, when the object is no longer a dialog.
        auto* dialog = qobject_cast<ProcessingProgressDialog*>(watched);
        if (!dialog)
            return false;
        if (event->type() == QEvent::Show) {
            events << "show";
            QProgressBar* bar = dialog->findChild<QProgressBar*>();
            if (bar && m_watched.insert(bar).second)
                QObject::connect(bar, &QProgressBar::valueChanged, [this](int v) { values << v; });
        } else if (event->type() == QEvent::Hide) {
            events << QString("hide %1 %2").arg(dialog->value()).arg(dialog->labelText());
            hidden.release();
        }
        return false;
    }

private:
    std::set<QProgressBar*> m_watched;
};

struct FlowRow
{
    const char* name;
    bool need_upgrade;
    int upgrade_result;
    QString dialog_text;
    std::vector<std::pair<int, int>> reports;
    QList<int> bar_values;
    QStringList dialog_events;
};
void PrintTo(const FlowRow& row, std::ostream* os)
{
    *os << row.name;
}

class LauncherFlowTest : public LoggedTest, public ::testing::WithParamInterface<FlowRow>
{};

TEST_P(LauncherFlowTest, ShowsProgressThenHidesAndEndsTheLoop)
{
    const FlowRow& row = GetParam();
    Script script;
    script.need_upgrade = row.need_upgrade;
    script.upgrade_result = row.upgrade_result;
    script.dialog_text = row.dialog_text;
    script.reports = row.reports;
    std::shared_ptr<Journal> journal = script.journal;

    DialogWatcher watcher;
    if (row.need_upgrade)
        script.hidden = &watcher.hidden;
    std::unique_ptr<Launcher> launcher(new Launcher(new FakeService(script)));
    qApp->installEventFilter(&watcher);

    bool gaveUp = false;
    QTimer::singleShot(30000, qApp, [&gaveUp] {
        gaveUp = true;
        QCoreApplication::exit(99);
    });
    ASSERT_TRUE(launcher->Run());
    launcher->Start();
    const int rc = QApplication::exec();
    ASSERT_FALSE(gaveUp) << "LaunchDone never ended the loop";

    qApp->removeEventFilter(&watcher);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(row.bar_values, watcher.values);
    QStringList expected = row.dialog_events;
    expected.replaceInStrings("<185>", text(185)).replaceInStrings("<61>", text(61));
    EXPECT_EQ(expected, watcher.events);
    ProcessingProgressDialog* dialog = findDialog();
    EXPECT_EQ(row.need_upgrade, dialog != nullptr) << "built only when an upgrade shows it";
    EXPECT_TRUE(!dialog || !dialog->isVisible());
    EXPECT_TRUE(journal->entries().contains("PostUpgrade")) << "the client must be started";
    launcher.reset();
    EXPECT_EQ(nullptr, findDialog());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LauncherFlowTest,
    ::testing::Values(
        // Never asked to show, so never built.
        FlowRow{"no_upgrade", false, 0, {}, {}, {}, {}},
        FlowRow{"upgrade_succeeds",
                true,
                0,
                "unpacking",
                {{3, 1}, {3, 2}, {3, 3}},
                {33, 66, 100},
                {"show", "hide 100 <185>"}},
        // Adapter and worker reports share the slots and keep their emission order.
        FlowRow{"reports_keep_their_order",
                true,
                0,
                {},
                {{3, 2}, {3, 1}},
                {66, 33, 100},
                {"show", "hide 100 <185>"}},
        // The label keeps its last text; the bar still ends at 100 before hiding.
        FlowRow{"upgrade_fails",
                true,
                -1,
                "unpacking",
                {{4, 1}},
                {25, 100},
                {"show", "hide 100 unpacking"}},
        FlowRow{
            "upgrade_fails_before_unpacking", true, -1, {}, {}, {100}, {"show", "hide 100 <61>"}}),
    [](const ::testing::TestParamInfo<FlowRow>& info) { return info.param.name; });

// ---- UpdateProgress arithmetic ----

struct ProgressRow
{
    const char* name;
    int total;
    int steps;
    int expected;
};
void PrintTo(const ProgressRow& row, std::ostream* os)
{
    *os << row.name;
}

class UpdateProgressTest : public testsupport::ScratchTest,
                           public ::testing::WithParamInterface<ProgressRow>
{};

TEST_P(UpdateProgressTest, SetsStepsTimes100OverTotal)
{
    const ProgressRow& row = GetParam();
    Launcher launcher(new FakeService(Script()));
    // A known value first, so that a report that must change nothing is visible as such.
    ASSERT_TRUE(QMetaObject::invokeMethod(&launcher, "UpdateProgress", Qt::DirectConnection,
                                          Q_ARG(int, 4), Q_ARG(int, 1)));
    ProcessingProgressDialog* dialog = findDialog();
    ASSERT_NE(nullptr, dialog);
    ASSERT_EQ(25, dialog->value());
    ASSERT_TRUE(QMetaObject::invokeMethod(&launcher, "UpdateProgress", Qt::DirectConnection,
                                          Q_ARG(int, row.total), Q_ARG(int, row.steps)));
    EXPECT_EQ(row.expected, dialog->value());
}

INSTANTIATE_TEST_SUITE_P(
    Reports, UpdateProgressTest,
    ::testing::Values(ProgressRow{"one_third", 3, 1, 33}, ProgressRow{"two_thirds", 3, 2, 66},
                      ProgressRow{"all", 3, 3, 100}, ProgressRow{"none", 7, 0, 0},
                      ProgressRow{"truncated_not_rounded", 1000, 999, 99},
                      ProgressRow{"same_value_again", 8, 2, 25},
                      // steps * 100 exceeds the int range here.
                      ProgressRow{"huge_package", 30000000, 29999999, 99},
                      ProgressRow{"zero_total_ignored", 0, 5, 25}),
    [](const ::testing::TestParamInfo<ProgressRow>& info) { return info.param.name; });

// ---- Teardown while the worker still runs ----

TEST_F(LoggedTest, LauncherDeletedWhileWorkerRunsWaitsForIt)
{
    QSemaphore started;
    QSemaphore proceed;
    Script script;
    script.started = &started;
    script.proceed = &proceed;
    std::shared_ptr<Journal> journal = script.journal;

    std::unique_ptr<Launcher> launcher(new Launcher(new FakeService(script)));
    ASSERT_TRUE(launcher->Run());
    launcher->Start();
    ASSERT_TRUE(started.tryAcquire(1, 30000));
    // The service is held inside PreUpgrade until after the deletion has begun.
    std::thread releaser([&proceed] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        proceed.release();
    });
    launcher.reset();
    releaser.join();
    EXPECT_EQ(QStringList({"PreUpgrade", "IsNeedUpgrade", "PostUpgrade"}), journal->entries());
}

// ---- The dialog ----

struct DismissRow
{
    const char* name;
    void (*attempt)(QWidget*);
};
void PrintTo(const DismissRow& row, std::ostream* os)
{
    *os << row.name;
}

class DialogDismissTest : public testsupport::ScratchTest,
                          public ::testing::WithParamInterface<DismissRow>
{};

TEST_P(DialogDismissTest, CannotBeDismissed)
{
    // The launcher's dialog: without a cancel button, so without its Escape shortcut.
    Launcher launcher(new FakeService(Script()));
    ASSERT_TRUE(QMetaObject::invokeMethod(&launcher, "ShowMsgBox", Qt::DirectConnection));
    ProcessingProgressDialog* dialog = findDialog();
    ASSERT_NE(nullptr, dialog);
    QSignalSpy canceled(dialog, &QProgressDialog::canceled);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    GetParam().attempt(dialog);
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(0, canceled.count());
    dialog->hide();
    EXPECT_FALSE(dialog->isVisible()) << "hide() must still work for LaunchDone";
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, DialogDismissTest,
    ::testing::Values(DismissRow{"window_manager_close",
                                 [](QWidget* w) {
                                     QCloseEvent close;
                                     QApplication::sendEvent(w, &close);
                                 }},
                      DismissRow{"escape_key",
                                 [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }}),
    [](const ::testing::TestParamInfo<DismissRow>& info) { return info.param.name; });

TEST_F(LoggedTest, DialogIsBuiltOnFirstUseHiddenWithItsTextsAndLook)
{
    Launcher launcher(new FakeService(Script()));
    EXPECT_EQ(nullptr, findDialog()) << "a start without an upgrade needs no dialog";
    ASSERT_TRUE(QMetaObject::invokeMethod(&launcher, "UpdateProgress", Qt::DirectConnection,
                                          Q_ARG(int, 4), Q_ARG(int, 0)));
    ProcessingProgressDialog* dialog = findDialog();
    ASSERT_NE(nullptr, dialog);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(text(309), dialog->windowTitle());
    EXPECT_EQ(text(61), dialog->labelText());
    EXPECT_EQ(0, dialog->minimum());
    EXPECT_EQ(100, dialog->maximum());
    EXPECT_EQ(0, dialog->value());
    EXPECT_EQ(400, dialog->minimumWidth());
    EXPECT_EQ(400, dialog->maximumWidth());
    EXPECT_EQ(Qt::WindowModal, dialog->windowModality());
    EXPECT_FALSE(dialog->autoReset());
    EXPECT_EQ(nullptr, dialog->findChild<QPushButton*>()) << "no cancel button";
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowContextHelpButtonHint));
    EXPECT_EQ(
        QString(" QProgressDialog { background-color: WhiteSmoke; \n  vertical-align: middle } "),
        dialog->styleSheet());
    EXPECT_EQ(QString("Arial"), dialog->font().family());
}

// With this argument the binary prints the shown dialog's size in device pixels and the pixel
// ratio of a 16-pixel icon, for the scale factor of its environment.
const char* const kDialogMetricsMode = "--dialog-metrics";

int printDialogMetrics()
{
    ProcessingProgressDialog dialog(QString::fromUtf8(Layout::OfThisProcess().Icon().c_str_utf8()));
    dialog.show();
    QCoreApplication::processEvents();
    const QPixmap shot = dialog.grab();
    QPixmap source(72, 72);
    source.fill(Qt::blue);
    const QPixmap icon = QIcon(source).pixmap(QSize(16, 16));
    std::printf("%d %d %d %g\n", dialog.width(), shot.width(), shot.height(),
                icon.devicePixelRatio());
    return 0;
}

struct DialogMetrics
{
    int logical_width = 0;
    int width = 0;
    int height = 0;
    double icon_ratio = 0;
};

DialogMetrics dialogMetricsAt(const char* scale)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", scale);
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {kDialogMetricsMode});
    DialogMetrics m;
    if (!child.waitForFinished(30000) || child.exitCode() != 0)
        return m;
    const QStringList f = QString::fromLatin1(child.readAllStandardOutput()).split(' ');
    if (f.size() == 4)
        m = {f[0].toInt(), f[1].toInt(), f[2].toInt(), f[3].toDouble()};
    return m;
}

// Qt 6 scales on its own; Qt 5 only with the switches the launcher's main sets first.
TEST(HighDpiTest, DialogAtScaleTwoIsTwiceAsLargeWithSharpIcons)
{
    const DialogMetrics one = dialogMetricsAt("1");
    const DialogMetrics two = dialogMetricsAt("2");
    ASSERT_GT(one.width, 0);
    EXPECT_EQ(400, one.logical_width);
    EXPECT_EQ(400, two.logical_width);
    EXPECT_EQ(2 * one.width, two.width);
    EXPECT_EQ(2 * one.height, two.height);
    EXPECT_EQ(1.0, one.icon_ratio);
    EXPECT_EQ(2.0, two.icon_ratio) << "icons drawn from low-resolution pixmaps";
}

} // namespace

int main(int argc, char** argv)
{
    const bool metrics = argc == 2 && std::strcmp(argv[1], kDialogMetricsMode) == 0;
    if (!metrics)
        ::testing::InitGoogleTest(&argc, argv);
    // Test discovery runs without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As the launcher's main does, before the application object exists.
    QtCompat::enableHighDpiScaling();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    StrTable::InitStrTable();
    if (metrics)
        return printDialogMetrics();
    return RUN_ALL_TESTS();
}
