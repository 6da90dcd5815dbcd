#include "launcher.h"

#include "adapter.h"
#include "brisendale-service.h"
#include "linux/direct_start.h"
#include "linux/display_probe.h"
#include "linux/home_owner.h"
#include "linux/linux-service.h"
#include "log/log_macros.h"
#include "notice.h"
#include "stop_request.h"
#include "texts/strtab.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QtGlobal>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

namespace {

const int ID_APP_NAME = 309;
const int ID_PREPARING = 61;
const int ID_PREPARATION_DONE = 185;

// The worker whose thread may be running the service; null before Run and once joined.
std::atomic<Worker*> g_running_worker{nullptr};
std::atomic<bool> g_display_lost{false};
std::atomic<bool> g_dialog_allowed{true};
QtMessageHandler g_previous_handler = nullptr;

// The display connection broke: the toolkit is about to end the process (Qt's X11
// plug-in calls exit(1)), which would leave the worker mid-extraction, with the marker,
// the backup and the attempt counted. Treated as the logout it is: the upgrade is asked
// to stop as for SIGHUP, rolls back uncounted, and the worker ends the process by that
// signal without starting the client. Never returns while a worker runs.
void stopForLostDisplay(const char* how)
{
    Worker* worker = g_running_worker.load();
    if (worker == nullptr || worker->RunsHere()) {
        return;
    }
    bool first = false;
    if (!g_display_lost.compare_exchange_strong(first, true)) {
        return;
    }
    LAUNCHER_LOG(L_WARNING,
                 "[WARNING] launcher.cpp(%d): the display connection broke (%s), ending the "
                 "run as at logout\n",
                 how);
    StopSignals::Request(SIGHUP);
    worker->QuitThread();
    worker->JoinThread();
    // The worker was past its last check (the client was already being started).
    StopSignals::ExitAsAsked();
}

// The toolkit's two texts for a broken X connection, printed just before its exit(1).
void watchMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (g_previous_handler) {
        g_previous_handler(type, context, text);
    }
    if (text.startsWith(QLatin1String("The X11 connection broke"))) {
        stopForLostDisplay("X11");
    }
}

// Any other exit() while the worker runs. Registered last before the worker starts, so
// it runs before the static destructors of everything made until then; the logger's
// mutex and map are among those.
void atExit()
{
    stopForLostDisplay("exit");
}

// Asked by the worker before it stops the client for the switch: the toolkit notices a
// dead display only when it next reads from it, which a worker that was held (stopped,
// or slow storage) can outrun. Only a display that refuses is gone: a slow one is alive.
// The toolkit's own notice still ends the run through stopForLostDisplay.
bool displayStillThere()
{
    if (!DisplayProbe::WatchedDisplayGone(DisplayProbe::LIVE_TIMEOUT_MS)) {
        return true;
    }
    LAUNCHER_LOG(L_WARNING, "[WARNING] launcher.cpp(%d): the display connection broke (it "
                            "refuses before the switch), ending the run as at logout\n");
    return false;
}

void watchForLostDisplay()
{
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    StopSignals::SetSessionCheck(displayStillThere);
    g_previous_handler = qInstallMessageHandler(watchMessages);
    std::atexit(atExit);
}

} // namespace

HandlerThread::HandlerThread() : QThread(nullptr) {}

HandlerThread::~HandlerThread() = default;

void HandlerThread::run()
{
    exec();
}

Worker::Worker(Service* service)
    : QObject(nullptr), m_handler_thread(new HandlerThread), m_service(service)
{
    moveToThread(m_handler_thread.get());
}

Worker::~Worker()
{
    if (m_handler_thread) {
        // Deleting a running thread aborts the process, so a run whose event loop ended
        // early waits here for the service to finish.
        m_handler_thread->quit();
        m_handler_thread->wait();
        m_handler_thread.reset();
    }
    m_service.reset();
}

bool Worker::StartThread()
{
    // QThread::start only warns when pthread_create fails (EAGAIN under RLIMIT_NPROC or
    // pids.max) and leaves the thread not running.
    m_handler_thread->start(QThread::InheritPriority);
    if (m_handler_thread->isRunning()) {
        return true;
    }
    LAUNCHER_LOG(L_ERR,
                 "[ERROR] launcher.cpp(%d): cannot start the worker thread (a limit on the "
                 "user's processes and threads, or on memory, is reached); upgrading nothing\n");
    return false;
}

void Worker::QuitThread()
{
    m_handler_thread->quit();
}

void Worker::JoinThread()
{
    m_handler_thread->wait(ULONG_MAX);
}

bool Worker::RunsHere() const
{
    return QThread::currentThread() == m_handler_thread.get();
}

// A stop asked while the worker ran (the display connection broke, or a signal that came
// just after the upgrade's own check): the run ends here, by that signal, and the
// client is not started, as at logout.
static void endIfStopAsked()
{
    if (StopSignals::Requested() != 0) {
        StopSignals::ExitAsAsked();
    }
}

// Runs on the worker thread: nothing may escape it, or the process aborts with the tree
// half-done and the lock held.
void Worker::HandleServicce()
{
    try {
        runService();
        return;
    } catch (const std::bad_alloc&) {
        failCleanly("out of memory");
    } catch (const std::exception& e) {
        failCleanly(e.what());
    } catch (...) {
        failCleanly("an unknown exception");
    }
}

void Worker::failCleanly(const char* what)
{
    try {
        LAUNCHER_LOG(L_ERR, "[ERROR] launcher.cpp(%d): the run failed: %s\n", what);
        // A half-done upgrade keeps its marker: the next start recovers it.
        m_service->ReleaseTree();
        // A heal that failed after it stopped the client starts it again.
        if (!m_client_started || m_heal_stopped_client) {
            std::string why;
            if (DirectStart::StartClient(std::string(m_service->GetLayout().App().c_str_utf8()), 60,
                                         &why)) {
                LAUNCHER_LOG(L_WARNING,
                             "[WARNING] launcher.cpp(%d): started the installed client\n");
            } else {
                LAUNCHER_LOG(L_ERR, "[ERROR] launcher.cpp(%d): the client was not started: %s\n",
                             why.c_str());
            }
        }
        emit sigHideMsg();
        emit sigServiceDone();
    } catch (...) {
        // Not even the end of the run can be reported to the event loop, which would wait
        // for ever holding the single-instance lock.
        std::_Exit(0);
    }
}

// Every step after the decision runs whatever the upgrade's outcome: the per-user
// client is started also after a failed upgrade.
void Worker::runService()
{
    LAUNCHER_LOG(L_DEBUG, "[DEBUG] launcher.cpp(%d): running\n");
    m_service->PreUpgrade();
    if (!m_service->IsNeedUpgrade()) {
        LAUNCHER_LOG(L_DEBUG, "[DEBUG] launcher.cpp(%d): no need to upgrade\n");
    } else {
        upgrade();
    }
    startClient();
    // A copy whose check outlasted the toolkit's start is healed now, beside the running
    // client, which is stopped only for the switch.
    if (m_service->IsDamagedAfterStart()) {
        m_healing = true;
        if (upgrade().client_stopped) {
            startClient();
        }
        m_healing = false;
    }
    tellUser();
    // After the client's start: the user need not wait for the old tree's removal. A run
    // killed before it leaves left-overs that the next run removes. The tree stays locked
    // until then: another launcher could be making a backup.
    m_service->RemoveAgedFolders();
    m_service->ReleaseTree();
    m_unmet_request = m_service->UnmetRequest();
    LAUNCHER_LOG(L_DEBUG, "[DEBUG] launcher.cpp(%d): done\n");
    emit sigServiceDone();
}

UpgradeOutcome Worker::upgrade()
{
    endIfStopAsked();
    emit sigShowMsg();
    const UpgradeOutcome outcome = m_service->HandlePackageUpgrade();
    m_heal_stopped_client = m_healing && outcome.client_stopped;
    // A logout during the upgrade: the run ends here, and no client is started.
    endIfStopAsked();
    if (!outcome.Done()) {
        LAUNCHER_LOG(L_ERR, "[ERROR] launcher.cpp(%d): Failed to upgrade package\n");
        return outcome;
    }
    emit sigUpdateProgress(100, 100);
    emit sigSetLabelText(StrTable::LoadStr(ID_PREPARATION_DONE));
    return outcome;
}

void Worker::startClient()
{
    // The start script may take up to a minute: the finished bar must not stay up meanwhile.
    endIfStopAsked();
    emit sigHideMsg();
    m_service->PostUpgrade();
    m_client_started = true;
    emit sigClientStarted();
}

// After the client's start, within a second, without waiting for the client.
void Worker::tellUser()
{
    NoticeEvent event = NoticeEvent::UpgradeFailed;
    NoticeReason reason = NoticeReason::Other;
    std::string identity;
    if (m_service->Problem(event, reason, identity)) {
        (void)NotifyUser(m_service->GetLayout(), event, reason, identity);
    }
    // Another user's files were in the way and were moved aside, kept for the user.
    if (!HomeOwner::MovedAsideTo().empty()) {
        (void)NotifyUser(m_service->GetLayout(), NoticeEvent::CopyMovedAside,
                         NoticeReason::ForeignFiles, HomeOwner::MovedAsideTo());
    }
}

ProcessingProgressDialog::ProcessingProgressDialog(const QString& icon_path)
    : QProgressDialog(nullptr, Qt::WindowFlags())
{
    const QFont font(QStringLiteral("Arial"), -1, -1, false);

    setWindowTitle(StrTable::LoadStr(ID_APP_NAME));
    setWindowIcon(QIcon(icon_path));
    // Replaces every default flag, the window type included: no close, minimise or
    // maximise button is asked for.
    setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
    setValue(0);
    setRange(0, 100);
    setLabelText(StrTable::LoadStr(ID_PREPARING));
    setFont(font);
    setFixedWidth(400);
    setModal(true);
    setWindowModality(Qt::WindowModal);
    setStyleSheet(QStringLiteral(
        " QProgressDialog { background-color: WhiteSmoke; \n  vertical-align: middle } "));
}

ProcessingProgressDialog::~ProcessingProgressDialog() = default;

// A window-manager close would emit canceled() and hide the dialog while the worker runs.
void ProcessingProgressDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
}

// Escape would reject() the dialog.
void ProcessingProgressDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QProgressDialog::keyPressEvent(event);
}

// The dialog is built on first use: a start without an upgrade never shows it, and its
// font set-up alone costs a quarter of such a start.
Launcher::Launcher(Service* service)
    : QObject(nullptr), m_worker(new Worker(service)),
      m_icon_path(QString::fromUtf8(service->GetLayout().Icon().c_str_utf8()))
{
    setUp();
}

ProcessingProgressDialog* Launcher::progress()
{
    if (!m_progress) {
        m_progress.reset(new ProcessingProgressDialog(m_icon_path));
        m_progress->setCancelButton(nullptr);
        // Reaching the maximum must neither reset nor hide the bar; HideDialog hides it.
        m_progress->setAutoReset(false);
    }
    return m_progress.get();
}

void Launcher::setUp()
{
    // The worker's slot is private, so this one is made by signature.
    connect(this, SIGNAL(sigStart()), m_worker.get(), SLOT(HandleServicce()));
    connect(m_worker.get(), &Worker::sigShowMsg, this, &Launcher::ShowMsgBox);
    connect(m_worker.get(), &Worker::sigServiceDone, this, &Launcher::LaunchDone);
    connect(m_worker.get(), &Worker::sigHideMsg, this, &Launcher::HideDialog);
    connect(m_worker.get(), &Worker::sigUpdateProgress, this, &Launcher::UpdateProgress);
    connect(m_worker.get(), &Worker::sigSetLabelText, this, &Launcher::SetLabelText);
    // The first GetInstance call: the adapter is made here, on the main thread.
    connect(Notify_Adapter::GetInstance(), &Notify_Adapter::sigUpdateProgress, this,
            &Launcher::UpdateProgress);
    connect(Notify_Adapter::GetInstance(), &Notify_Adapter::sigUpdateDialogText, this,
            &Launcher::SetLabelText);
}

Launcher::~Launcher()
{
    if (m_worker) {
        Worker* mine = m_worker.get();
        g_running_worker.compare_exchange_strong(mine, nullptr);
        m_worker.reset();
    }
    m_progress.reset();
}

bool Launcher::Run()
{
    watchForLostDisplay();
    g_running_worker.store(m_worker.get());
    if (m_worker->StartThread()) {
        return true;
    }
    g_running_worker.store(nullptr);
    return false;
}

void Launcher::Start()
{
    emit sigStart();
}

void Launcher::LaunchDone()
{
    HideDialog();
    m_worker->QuitThread();
    m_worker->JoinThread();
    Worker* mine = m_worker.get();
    g_running_worker.compare_exchange_strong(mine, nullptr);
    QCoreApplication::quit();
}

void Launcher::HideDialog()
{
    if (m_progress) {
        m_progress->setValue(100);
        m_progress->hide();
    }
}

void Launcher::AllowDialog(bool allowed)
{
    g_dialog_allowed = allowed;
}

void Launcher::UpdateProgress(int total, int steps)
{
    // A progress dialog shows itself once its bar has moved for a while.
    if (!g_dialog_allowed) {
        return;
    }
    // No sender reports a non-positive total; one would divide by zero.
    if (total <= 0) {
        return;
    }
    // Widened so that packages of more than 21 million entries do not overflow.
    const qint64 percent = static_cast<qint64>(steps) * 100 / total;
    const int value = static_cast<int>(qBound(qint64{INT_MIN}, percent, qint64{INT_MAX}));
    // A modal dialog's setValue runs a nested event loop; most reports change nothing.
    if (value != progress()->value()) {
        m_progress->setValue(value);
    }
}

void Launcher::SetLabelText(const QString& label)
{
    if (!g_dialog_allowed) {
        return;
    }
    progress()->setLabelText(label);
}

void Launcher::ShowMsgBox()
{
    if (!g_dialog_allowed) {
        return;
    }
    // A window made on a connection that has gone would meet the toolkit's exit on a
    // broken display half-way; the session has ended, so the run ends as at logout.
    if (!DisplayProbe::WatchedDisplayAnswers(DisplayProbe::LIVE_TIMEOUT_MS)) {
        stopForLostDisplay("no answer before the dialog was shown");
        return;
    }
    progress()->show();
}
