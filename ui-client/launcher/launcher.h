#ifndef BRISENDALE_LAUNCHER_LAUNCHER_H
#define BRISENDALE_LAUNCHER_LAUNCHER_H

#include "upgrade_fault.h"

#include <QObject>
#include <QProgressDialog>
#include <QString>
#include <QThread>

#include <memory>
#include <string>

class QCloseEvent;
class QKeyEvent;
class Service;

// The worker's thread: an event loop of its own until quit.
class HandlerThread : public QThread
{
    Q_OBJECT

public:
    HandlerThread();
    ~HandlerThread() override;

protected:
    void run() override;
};

// Runs the whole upgrade through its service on its own thread and reports to the interface
// only through signals. Owns its thread and its service.
class Worker : public QObject
{
    Q_OBJECT

public:
    // Drives a LinuxService of its own.
    // Drives `service` instead and takes ownership of it.
    explicit Worker(Service* service);
    // Waits for the thread to end if it still runs, then deletes it and the service.
    ~Worker() override;

    // False, having logged why, when the thread could not be started (no thread left to
    // the user under RLIMIT_NPROC or pids.max): then there is nothing to wait for.
    [[nodiscard]] bool StartThread();
    void QuitThread();
    void JoinThread();
    // True on the worker's own thread.
    bool RunsHere() const;
    // What the command line asked for and the run did not do; read after JoinThread.
    std::string UnmetRequest() const { return m_unmet_request; }

signals:
    void sigServiceDone();
    // The client's start script has run; the clean-up that follows is not waited for.
    void sigClientStarted();
    void sigShowMsg();
    void sigUpdateProgress(int, int);
    void sigSetLabelText(const QString&);
    // The service is done with the dialog; only the start of the client is left.
    void sigHideMsg();

private slots:
    void HandleServicce();

private:
    Q_DISABLE_COPY(Worker)

    void runService();
    UpgradeOutcome upgrade();
    void startClient();
    void tellUser();
    // After an exception on the worker's thread: logs it, lets the tree go and starts
    // the client when its copy is whole, unless it was started already.
    void failCleanly(const char* what);
    bool m_client_started = false;
    // Set while a copy found damaged after the client's start is healed, and once that
    // heal has stopped the client, which a failure must then start again.
    bool m_healing = false;
    bool m_heal_stopped_client = false;

    // Released in the destructor, the thread first.
    std::unique_ptr<HandlerThread> m_handler_thread;
    std::unique_ptr<Service> m_service;
    std::string m_unmet_request;
};

// The small modal progress bar shown while the per-user copy is replaced. It cannot be
// dismissed: the worker would be left running with nothing to end the run.
class ProcessingProgressDialog : public QProgressDialog
{
    Q_OBJECT

public:
    explicit ProcessingProgressDialog(const QString& icon_path);
    ~ProcessingProgressDialog() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// Owns the progress dialog on the main thread and the worker on its thread; ends the event
// loop once the worker is done.
class Launcher : public QObject
{
    Q_OBJECT

public:
    // The worker drives `service` (ownership passes to the worker).
    explicit Launcher(Service* service);
    ~Launcher() override;

    // Starts the worker's thread; false (logged) when it could not be started.
    [[nodiscard]] bool Run();
    void Start();
    // False when the dialog must not be drawn (the toolkit's drawing threads cannot start):
    // the run then does the same work without it.
    static void AllowDialog(bool allowed);
    // Once the event loop has ended: what the command line asked for and the run did not
    // do, empty when nothing.
    std::string UnmetRequest() const { return m_worker ? m_worker->UnmetRequest() : std::string(); }

signals:
    void sigStart();

private slots:
    void LaunchDone();
    void HideDialog();
    void UpdateProgress(int total, int steps);
    void SetLabelText(const QString& label);
    void ShowMsgBox();

private:
    Q_DISABLE_COPY(Launcher)

    void setUp();
    // The dialog, built on the first call.
    ProcessingProgressDialog* progress();

    // Released in the destructor, the worker first.
    std::unique_ptr<Worker> m_worker;
    std::unique_ptr<ProcessingProgressDialog> m_progress;
    QString m_icon_path;
};

#endif // BRISENDALE_LAUNCHER_LAUNCHER_H
