#include "command_line.h"

#include "file/unique_fd.h"
#include "manifest.h"
#include "status.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace command_line {
namespace {

const char* const PROGRAM = "brisendale-drive";

// False when the text did not reach its reader (a full disk, a closed stream).
bool write(std::FILE* to, const QString& text)
{
    const bool put = std::fputs(text.toLocal8Bit().constData(), to) >= 0;
    return std::fflush(to) == 0 && put && !std::ferror(to);
}

// The exit code of an answer that could not be written, as other commands give.
const int WRITE_FAILED = 1;

// Qt 5's parser reads the program name from the application object to write the
// usage line; a core one needs no display and touches no file.
QString usage(const QCommandLineParser& parser, char** argv)
{
    int argc = 1;
    QCoreApplication app(argc, argv);
    return parser.helpText();
}

int showHelp(const QCommandLineParser& parser, char** argv, const Layout&)
{
    return write(stdout, usage(parser, argv)) ? 0 : WRITE_FAILED;
}

int showVersion(const QCommandLineParser&, char**, const Layout& layout)
{
    const QString text = QStringLiteral("%1 %2\nper-user copy: %3\n")
                             .arg(QLatin1String(PROGRAM), QStringLiteral(BRISENDALE_VERSION),
                                  status::DescribeCopy(layout.App()));
    return write(stdout, text) ? 0 : WRITE_FAILED;
}

// Exit codes of --verify.
const int VERIFY_INTACT = 0;
const int VERIFY_DAMAGED = 1;
const int VERIFY_NOTHING_TO_CHECK = 3;
const int VERIFY_BUSY = 4;

// How long --verify waits for another launcher before it answers "busy". Tests may
// shorten it through the environment, never lengthen it.
std::chrono::milliseconds verifyWait()
{
    const std::chrono::milliseconds most(10000);
    bool ok = false;
    const long long ms = qgetenv("BRISENDALE_VERIFY_WAIT_MS").toLongLong(&ok);
    return ok && ms >= 0 && ms < most.count() ? std::chrono::milliseconds(ms) : most;
}

// Waits until no launcher holds the home lock, at most until `deadline`; false when one
// still does then. The lock is only probed, never kept: a launcher starting meanwhile
// must not take this check for another launcher at work. Opens the lock file read-only,
// so nothing is created. Polled, not blocked on: a holder that is stopped would hold a
// blocking wait for good.
bool waitForLaunchers(const UniqueFd& lock, std::chrono::steady_clock::time_point deadline,
                      const ustring& user_root)
{
    if (!lock.valid()) {
        return true;
    }
    bool told = false;
    while (::flock(lock.get(), LOCK_SH | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (!told) {
            write(stderr,
                  QStringLiteral("%1: waiting for the launcher at work on '%2'\n")
                      .arg(QLatin1String(PROGRAM), QString::fromUtf8(user_root.c_str_utf8())));
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    (void)::flock(lock.get(), LOCK_UN);
    return true;
}

ino_t appInode(const ustring& app)
{
    struct stat st;
    return ::lstat(app.c_str_utf8(), &st) == 0 ? st.st_ino : 0;
}

// Checks A against its manifest by metadata alone and writes nothing. A launcher that
// replaces A meanwhile is waited for, and the check is made again.
int verifyCopy(const QCommandLineParser&, char**, const Layout& layout)
{
    const ustring root = layout.UserRoot();
    const ustring app = layout.App();
    const UniqueFd lock(::open(layout.HomeLock().c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    const size_t shown = 100;
    const std::chrono::milliseconds wait = verifyWait();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    TreeCheck check;
    for (;;) {
        if (!waitForLaunchers(lock, deadline, root)) {
            write(stderr, QStringLiteral("%1: busy: another launcher has held '%2' for %3 s; "
                                         "try again later\n")
                              .arg(QLatin1String(PROGRAM),
                                   QString::fromUtf8(layout.HomeLock().c_str_utf8()))
                              .arg(QString::number(static_cast<double>(wait.count()) / 1000)));
            return VERIFY_BUSY;
        }
        const ino_t before = appInode(app);
        if (::access((app + ".incomplete").c_str_utf8(), F_OK) == 0) {
            write(stdout, QStringLiteral("%1: the last upgrade did not finish; the next start "
                                         "puts the copy right\n")
                              .arg(QString::fromUtf8(app.c_str_utf8())));
            return VERIFY_DAMAGED;
        }
        check = CheckInstalledTree(root, app, shown + 1);
        const bool held = lock.valid() && ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0;
        if (lock.valid() && !held) {
            (void)::flock(lock.get(), LOCK_UN);
        }
        if (!held && appInode(app) == before) {
            break;
        }
    }
    const QString where = QString::fromUtf8(app.c_str_utf8());
    switch (check.state) {
    case TreeState::Intact:
        write(stdout, QStringLiteral("%1: intact\n").arg(where));
        return VERIFY_INTACT;
    case TreeState::NothingToCheck:
        write(stdout, QStringLiteral("%1: nothing to check: %2\n")
                          .arg(where, QString::fromStdString(check.differences.empty()
                                                                 ? std::string("no manifest")
                                                                 : check.differences.front())));
        return VERIFY_NOTHING_TO_CHECK;
    case TreeState::Damaged:
        break;
    }
    write(stdout, QStringLiteral("%1: damaged; the next start reinstalls it\n").arg(where));
    for (size_t i = 0; i < check.differences.size() && i < shown; ++i) {
        write(stdout, QStringLiteral("  %1\n").arg(QString::fromStdString(check.differences[i])));
    }
    if (check.differences.size() > shown) {
        write(stdout, QStringLiteral("  ...\n"));
    }
    return VERIFY_DAMAGED;
}

// Reports the copy, the package and the decision a start would make, and writes nothing.
// Needs no display.
int showStatus(const QCommandLineParser& parser, char**, const Layout& layout)
{
    const status::Report report = status::Gather(layout.SystemRoot(), layout.UserRoot());
    const bool put =
        parser.isSet(QStringLiteral("json"))
            ? write(stdout, QString::fromUtf8(status::Json(report)))
            : write(stdout, status::Text(report, static_cast<int64_t>(::time(nullptr))));
    if (!put) {
        return WRITE_FAILED;
    }
    return report.installed ? 0 : status::NOT_INSTALLED;
}

// Options that answer and end the run, each with the function that answers. Of those
// given, the first in this list wins.
struct Answer
{
    QStringList names;
    const char* description;
    int (*run)(const QCommandLineParser& parser, char** argv, const Layout& layout);
};

// The options that QGuiApplication and QApplication take out of argv, and whether each
// takes a value. Hidden from the usage: they are the toolkit's, documented with it.
struct ToolkitOption
{
    const char* name;
    bool takes_value;
};
const ToolkitOption TOOLKIT_OPTIONS[] = {
    {"platform", true},        {"platformpluginpath", true},
    {"platformtheme", true},   {"plugin", true},
    {"qwindowgeometry", true}, {"geometry", true},
    {"qwindowtitle", true},    {"title", true},
    {"qwindowicon", true},     {"icon", true},
    {"display", true},         {"name", true},
    {"session", true},         {"style", true},
    {"stylesheet", true},      {"qmljsdebugger", true},
    {"reverse", false},        {"widgetcount", false},
    {"testability", false},    {"nograb", false},
    {"dograb", false},         {"sync", false},
};

} // namespace

void ReportUnmetRequest(const std::string& why)
{
    std::fprintf(stderr, "%s: nothing reinstalled: %s\n", PROGRAM, why.c_str());
    std::fflush(stderr);
}

Request Handle(int argc, char** argv, const Layout& layout)
{
    Request request;
    if (argc <= 1) {
        return request;
    }
    QCommandLineParser parser;
    // Qt's own options have one dash and long names (-platform xcb).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Brings the per-user copy of Brisendale Drive in ~/.Brisendale up to "
                       "date\nwith the installed one, then starts it."));

    const Answer answers[] = {
        {{QStringLiteral("h"), QStringLiteral("help")}, "Display this help and exit.", showHelp},
        {{QStringLiteral("v"), QStringLiteral("version")},
         "Print the launcher's version and the build of the per-user copy, and exit.",
         showVersion},
        {{QStringLiteral("verify")},
         "Check the per-user copy against the list of what was installed, without writing "
         "anything. Exit 0 when intact, 1 when damaged, 3 when there is nothing to check, "
         "4 when another launcher keeps the copy busy for 10 s.",
         verifyCopy},
        {{QStringLiteral("status")},
         "Show the build of the per-user copy and of the installed package, whether an "
         "upgrade is due and why, the failed attempts and their back-off, and the copy's "
         "check against its list, without writing anything. Exit 0, or 3 when there is no "
         "per-user copy.",
         showStatus},
    };
    for (const Answer& answer : answers) {
        parser.addOption(QCommandLineOption(answer.names, QString::fromUtf8(answer.description)));
    }
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --status: answer in JSON, for scripts."));
    parser.addOption(json);
    const QCommandLineOption reinstall(
        QStringLiteral("reinstall"),
        QStringLiteral("Replace the per-user copy with the installed package even when its "
                       "build is the same, then start the client."));
    parser.addOption(reinstall);
    for (const ToolkitOption& toolkit : TOOLKIT_OPTIONS) {
        QCommandLineOption option(QString::fromLatin1(toolkit.name));
        if (toolkit.takes_value) {
            option.setValueName(QStringLiteral("value"));
        }
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    QString error;
    if (!parser.parse(args)) {
        error = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments()[0]);
    } else if (parser.isSet(reinstall) && !parser.isSet(QStringLiteral("help")) &&
               (parser.isSet(QStringLiteral("version")) || parser.isSet(QStringLiteral("verify")) ||
                parser.isSet(QStringLiteral("status")))) {
        // Either would be dropped without a word.
        error = QStringLiteral("'--reinstall' cannot be given with '--version' or '--verify'.");
    } else if (parser.isSet(json) && !parser.isSet(QStringLiteral("status")) &&
               !parser.isSet(QStringLiteral("help"))) {
        error = QStringLiteral("'--json' goes with '--status'.");
    }
    if (!error.isEmpty()) {
        write(stderr,
              QStringLiteral("%1: %2\n").arg(QLatin1String(PROGRAM), error) + usage(parser, argv));
        request.exit_code = USAGE_ERROR;
        return request;
    }
    for (const Answer& answer : answers) {
        if (parser.isSet(answer.names.first())) {
            request.exit_code = answer.run(parser, argv, layout);
            return request;
        }
    }
    request.reinstall = parser.isSet(reinstall);
    return request;
}

} // namespace command_line
