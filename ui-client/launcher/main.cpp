#include "brisendale-service.h"
#include "command_line.h"
#include "kest-locale.h"
#include "launcher.h"
#include "linux/direct_start.h"
#include "linux/display_probe.h"
#include "linux/home_owner.h"
#include "linux/linux-service.h"
#include "log/log_macros.h"
#include "manifest.h"
#include "qtcompat.h"
#include "qtsingleapplication.h"
#include "texts/strtab.h"
#include "ustring/ustring.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QtGui/qtguiglobal.h>
#if QT_CONFIG(opengl)
#include <QOpenGLContext>
#endif
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QThreadPool>
#include <QTranslator>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <memory>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

// Made by the resource compiler for the collection that holds the translations.
extern int qInitResources_texts();

namespace {

// Under an ASCII character type libarchive refuses every non-ASCII name in the package.
// QApplication reads the locale from the environment again, so this runs after it too.
void use_utf8_character_type()
{
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || std::strcmp(codeset, "UTF-8") != 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

// The absolute path of this process's executable, links resolved; empty without /proc.
QString ownExecutable()
{
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) {
            return QString();
        }
        if (static_cast<size_t>(n) < buf.size()) {
            // A package update may have replaced the file since; its folder is still ours.
            QString exe = QFile::decodeName(QByteArray(buf.data(), static_cast<int>(n)));
            const QString deleted = QStringLiteral(" (deleted)");
            if (exe.endsWith(deleted)) {
                exe.chop(deleted.size());
            }
            return exe;
        }
        buf.resize(buf.size() * 2);
    }
}

void initialize_resources(const char* bin)
{
    std::setlocale(LC_ALL, "");
    use_utf8_character_type();
    qInitResources_texts();

    // The plug-in folder comes from the executable the kernel started: argv[0] without a
    // slash, or a relative one, would make it a folder below the working folder, where
    // anyone could plant a plug-in that then runs as this user.
    QString bin_path = ownExecutable();
    if (bin_path.isEmpty() && bin[0] == '/') {
        bin_path = QString::fromUtf8(bin);
    }
    QString path;
    if (!bin_path.isEmpty()) {
        path = QDir::cleanPath(bin_path + QStringLiteral("/../../lib/plugins"));
    }
    // Without the folder the toolkit's own list stays: replacing it would leave no
    // platform plug-in at all.
    if (!path.isEmpty() && QFileInfo(path).isDir()) {
        QStringList paths;
        paths << path;
        QCoreApplication::setLibraryPaths(paths);
    }
    std::printf("lib path = '%s'\n", path.toUtf8().constData());
    std::fflush(stdout);
}

// A reader of standard output or error that has gone (a closed pipe, a logger that
// ended) must not end the run: SIGPIPE is ignored for the whole process. Nor must a file
// size limit: with SIGXFSZ ignored a write beyond it fails with EFBIG, a clean failure
// with its log line. The start script gets the defaults back (linux-service).
void ignore_sigpipe()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
    // Inherited as ignored, it would reap the start script unseen, and its pid could be
    // another process's by the time it is signalled.
    struct sigaction reap = {};
    reap.sa_handler = SIG_DFL;
    sigemptyset(&reap.sa_mask);
    sigaction(SIGCHLD, &reap, nullptr);
}

// The value of the argument `name` ("-platform", "-display"), null when it is not given.
const char* argumentValue(int argc, char** argv, const char* name)
{
    const char* value = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            value = argv[++i];
        }
    }
    return value;
}

// The platforms for the toolkit to try in turn: the one it would pick itself, then the
// offscreen one, so that a session without a usable display still upgrades and starts
// the client instead of aborting. Given as an argument, not through the environment,
// which the start script and the client inherit.
QByteArray platformList(int argc, char** argv)
{
    // The argument, as for the toolkit itself, before the environment.
    const char* given = argumentValue(argc, argv, "-platform");
    QByteArray list = given ? QByteArray(given) : qgetenv("QT_QPA_PLATFORM");
    if (list.isEmpty()) {
        const bool waylandSession = qgetenv("XDG_SESSION_TYPE") == "wayland";
        if (!waylandSession && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
            qEnvironmentVariableIsEmpty("DISPLAY")) {
            return QByteArrayLiteral("offscreen");
        }
        // The toolkit's own choice (Qt 5.15 and 6 alike): Wayland first in a Wayland
        // session, X11 otherwise and as the fallback.
        list = waylandSession ? QByteArrayLiteral("wayland;xcb") : QByteArrayLiteral("xcb");
    }
    if (!list.split(';').contains("offscreen")) {
        list += ";offscreen";
    }
    return list;
}

// The toolkit connects to its display without a time limit: a display that accepts and
// never answers would hold the run for good. The display platforms that do not answer
// within the bound are taken off the list; the text for the log is left in `warning`,
// because the logger does not exist yet.
DisplayProbe::Session displaySession(int argc, char** argv)
{
    DisplayProbe::Session session;
    const char* display = argumentValue(argc, argv, "-display");
    session.x11_display_set = display != nullptr || qEnvironmentVariableIsSet("DISPLAY");
    session.x11_display = display ? std::string(display) : qgetenv("DISPLAY").toStdString();
    session.wayland_display = qgetenv("WAYLAND_DISPLAY").toStdString();
    session.runtime_dir = qgetenv("XDG_RUNTIME_DIR").toStdString();
    session.wayland_socket = qEnvironmentVariableIsSet("WAYLAND_SOCKET");
    return session;
}

QByteArray reachablePlatforms(const QByteArray& list, const DisplayProbe::Session& session,
                              QString* warning)
{
    std::string dropped;
    const std::string kept =
        DisplayProbe::ReachablePlatforms(list.toStdString(), session, &dropped);
    if (!dropped.empty()) {
        *warning = QStringLiteral("no answer within %1 s from %2, trying '%3'")
                       .arg(DisplayProbe::TIMEOUT_MS / 1000)
                       .arg(QString::fromStdString(dropped), QString::fromStdString(kept));
    }
    return QByteArray::fromStdString(kept);
}

// Only a home of this user is worked on; U left by another user (a root run with the
// user's HOME) is moved aside first. False when the run must end, having said why on
// standard error: nothing may be created in a home that is not ours, the log included.
bool claimHome(QString* warning)
{
    const std::string home = HomeOwner::HomeFromEnvironment();
    const HomeOwner::Outcome outcome = HomeOwner::Check(home, ::geteuid());
    switch (outcome.verdict) {
    case HomeOwner::Verdict::ForeignHome:
    case HomeOwner::Verdict::ForeignRoot:
        std::fprintf(stderr, "brisendale-drive: %s\n", outcome.why.c_str());
        return false;
    case HomeOwner::Verdict::MovedAside:
        HomeOwner::RememberMovedAside(outcome.moved_to);
        *warning = QString::fromStdString(outcome.why);
        break;
    case HomeOwner::Verdict::Ours:
        break;
    }
    // Before anything else makes U (the home lock, the logger) with the umask's modes.
    if (HomeOwner::MakePrivateUserRoot(HomeOwner::UserRoot(home)) != 0) {
        const int err = errno;
        QString line = QStringLiteral("cannot create '%1' privately: %2")
                           .arg(QString::fromStdString(HomeOwner::UserRoot(home)),
                                QString::fromUtf8(std::strerror(err)));
        *warning = warning->isEmpty() ? line : *warning + QStringLiteral("; ") + line;
    }
    return true;
}

// A progress bar needs no OpenGL, and a display that dies under Mesa's GLX can take the
// process down with it. Set only when the user has not chosen; returns whether it was.
bool avoidOpenGl()
{
    if (qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) {
        return false;
    }
    qputenv("QT_XCB_GL_INTEGRATION", QByteArrayLiteral("none"));
    return true;
}

// The start script and the client inherit the environment: once the toolkit has made its
// choice (asking about OpenGL makes it now, not at the first window), the setting goes.
void forgetOpenGlChoice(bool setHere)
{
    if (!setHere) {
        return;
    }
#if QT_CONFIG(opengl)
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        (void)QOpenGLContext::supportsThreadedOpenGL();
    }
#endif
    qunsetenv("QT_XCB_GL_INTEGRATION");
}

// Qt 6 paints large areas on its global thread pool and waits for them: a pool thread that
// cannot start (a task or memory limit) would hold the dialog's first paint for good. One
// pool thread is started now and kept for the run; without it no dialog is drawn.
bool keepDrawingThread()
{
    // A thread of our own first: a pool thread that fails to start is waited for at exit.
    try {
        std::thread([] {}).join();
    } catch (const std::system_error&) {
        return false;
    }
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setExpiryTimeout(-1);
    pool->setMaxThreadCount(1);
    // Shared: a thread that starts after the wait has given up still finds it.
    auto ran = std::make_shared<QSemaphore>();
    pool->start([ran] { ran->release(); });
    return ran->tryAcquire(1, 2000);
}

// Without a worker thread the client is started from here when its copy is whole.
int startWithoutWorker(const Layout& layout)
{
    const std::string app = std::string(layout.App().c_str_utf8());
    std::string why;
    if (DirectStart::StartClient(app, 60, &why)) {
        LAUNCHER_LOG(L_WARNING,
                     "[WARNING] main.cpp(%d): started the installed client without checking "
                     "for an upgrade\n");
    } else {
        LAUNCHER_LOG(L_ERR, "[ERROR] main.cpp(%d): the client was not started: %s\n", why.c_str());
    }
    return 0;
}

void initialize_logger(const Layout& layout)
{
    const ustring log_level = layout.LogLevelFile();
    const ustring log_folder_path = layout.LogFolder();
    QDir d;
    if (!d.mkpath(QString::fromUtf8(log_folder_path.c_str_utf8()))) {
        return;
    }
    // A log that cannot be opened must not stop the run.
    Logger::Initialize(Logger::FILE_LOGGER, log_folder_path + ustring("/launcher.log"), log_level,
                       50);
}

QString getCurrentLanguageFileName()
{
    const QString strDefLan = KestLocale::getInstance()->getDefaultLanguage();
    return QStringLiteral(":/") + strDefLan + QStringLiteral(".qm");
}

// The run's warnings found before the logger existed, logged once it does.
void logEarlyWarnings(bool drawing, const QString& display, const QString& home)
{
    if (!drawing) {
        LAUNCHER_LOG(L_WARNING, "[WARNING] main.cpp(%d): the toolkit cannot start a drawing "
                                "thread, working without the progress dialog\n");
    }
    if (!display.isEmpty()) {
        LAUNCHER_LOG(L_WARNING, "[WARNING] main.cpp(%d): %s\n", display.toUtf8().constData());
    }
    if (!home.isEmpty()) {
        LAUNCHER_LOG(L_WARNING, "[WARNING] main.cpp(%d): %s\n", home.toUtf8().constData());
    }
}

// Another launcher holds the single-instance lock: it starts the client. 0, or the exit
// code that tells a user who asked for a reinstall that nothing was done.
int leaveToTheOtherLauncher(const QtSingleApplication& app, const command_line::Request& request)
{
    // Visible at the default level: a refused start leaves no client behind.
    LAUNCHER_LOG(L_WARNING,
                 "[WARNING] main.cpp(%d): app has already launched (lock '%s' is held), "
                 "return\n",
                 app.lockFilePath().toUtf8().constData());
    // A start at login may meet another one; a reinstall the user asked for is news.
    if (request.reinstall) {
        command_line::ReportUnmetRequest(
            "another launcher is running for this user; try again when it has finished");
        return command_line::REQUEST_NOT_MET;
    }
    return 0;
}

// The dialog's texts in the user's language; a failed load leaves them in English.
void loadTranslation(QTranslator& translator)
{
    if (translator.load(getCurrentLanguageFileName(), QString(), QString(), QString()) &&
        !translator.isEmpty()) {
        QCoreApplication::installTranslator(&translator);
    }
}

// Runs the worker over the event loop until it is done; the run's exit code.
int runWorker(const Layout& layout, TreeCheckAhead treeCheck, const command_line::Request& request)
{
    auto service = std::make_unique<LinuxService>(layout);
    service->UseTreeCheck(std::move(treeCheck));
    if (request.reinstall) {
        service->RequestReinstall();
    }
    // The launcher's worker takes the service over.
    auto launcher = std::make_unique<Launcher>(service.release());
    if (!launcher->Run()) {
        // Nothing to wait for: the worker's thread does not exist.
        launcher.reset();
        return startWithoutWorker(layout);
    }
    launcher->Start();

    int ret = QApplication::exec();
    const std::string unmet = launcher->UnmetRequest();
    if (!unmet.empty()) {
        command_line::ReportUnmetRequest(unmet);
        ret = command_line::REQUEST_NOT_MET;
    }
    // Before the application object: the dialog is a widget.
    launcher.reset();
    return ret;
}

} // namespace

int main(int argc, char** argv)
{
    ignore_sigpipe();
    const Layout layout = Layout::OfThisProcess(argv[0]);
    // --help, --version and a usage error answer here, before anything is touched.
    const command_line::Request request = command_line::Handle(argc, argv, layout);
    if (request.done()) {
        return request.exit_code;
    }
    // The toolkit takes the first thread that asks for its thread data as its main thread:
    // this one asks before the check below may create an object on its own thread.
    (void)QThread::currentThread();
    QString homeWarning;
    if (!claimHome(&homeWarning)) {
        return 1;
    }
    // Before the first thread: the environment is changed safely only while there is one.
    const bool glSetHere = avoidOpenGl();
    TreeCheckAhead treeCheck = LinuxService::StartTreeCheck(layout);

    initialize_resources(argv[0]);
    QtCompat::enableHighDpiScaling();

    QString displayWarning;
    const DisplayProbe::Session session = displaySession(argc, argv);
    QByteArray platforms = reachablePlatforms(platformList(argc, argv), session, &displayWarning);
    char platformOption[] = "-platform";
    // Ahead of the user's arguments: the toolkit takes the last -platform, so one given
    // on the command line wins.
    std::vector<char*> args{argv[0], platformOption, platforms.data()};
    args.insert(args.end(), argv + 1, argv + argc);
    args.push_back(nullptr);
    int args_count = argc + 2;

    QtSingleApplication app(args_count, args.data(), true);
    const bool drawing = keepDrawingThread();
    Launcher::AllowDialog(drawing);
    DisplayProbe::ReleaseHeld();
    DisplayProbe::WatchDisplay(QGuiApplication::platformName().toStdString(), session);
    forgetOpenGlChoice(glSetHere);
    use_utf8_character_type();
    // Only LaunchDone may end the run: the worker thread must never be left running.
    app.setQuitOnLastWindowClosed(false);

    initialize_logger(layout);
    logEarlyWarnings(drawing, displayWarning, homeWarning);
    if (app.isRunning()) {
        return leaveToTheOtherLauncher(app, request);
    }
    QTranslator translator(nullptr);
    loadTranslation(translator);
    StrTable::InitStrTable();
    return runWorker(layout, std::move(treeCheck), request);
}
