#include "command_line.h"

#include "brisendale-service.h"
#include "qtcompat.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace command_line {
namespace {

const char* const PROGRAM = "brisendale-drive";

void write(std::FILE* to, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

// Qt 5's parser reads the program name from the application object to write the
// usage line; a core one needs no display and touches no file.
QString usage(const QCommandLineParser& parser, char** argv)
{
    int argc = 1;
    QCoreApplication app(argc, argv);
    return parser.helpText();
}

// A/INFO's build, read only: the file is not created when it is absent.
QString installedBuild()
{
    const QString info =
        QString::fromUtf8((Service::GetUserBrisendaleAppInstallPath() + "/" + "INFO").c_str_utf8());
    if (!QFileInfo(info).isFile()) {
        return QStringLiteral("not installed");
    }
    QSettings settings(info, QSettings::IniFormat);
    QtCompat::readIniAsUtf8(settings);
    const QString build = settings.value(QStringLiteral("Version/build_version")).toString();
    return build.isEmpty() ? QStringLiteral("build unknown") : QStringLiteral("build ") + build;
}

int showHelp(const QCommandLineParser& parser, char** argv)
{
    write(stdout, usage(parser, argv));
    return 0;
}

int showVersion(const QCommandLineParser&, char**)
{
    write(stdout,
          QStringLiteral("%1 %2\nper-user copy: %3\n")
              .arg(QLatin1String(PROGRAM), QStringLiteral(BRISENDALE_VERSION), installedBuild()));
    return 0;
}

// Options that answer and end the run, each with the function that answers. The first
// one given wins.
struct Answer
{
    QStringList names;
    const char* description;
    int (*run)(const QCommandLineParser& parser, char** argv);
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

Request Handle(int argc, char** argv)
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
    };
    for (const Answer& answer : answers) {
        parser.addOption(QCommandLineOption(answer.names, QString::fromUtf8(answer.description)));
    }
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
    }
    if (!error.isEmpty()) {
        write(stderr,
              QStringLiteral("%1: %2\n").arg(QLatin1String(PROGRAM), error) + usage(parser, argv));
        request.exit_code = USAGE_ERROR;
        return request;
    }
    for (const Answer& answer : answers) {
        if (parser.isSet(answer.names.first())) {
            request.exit_code = answer.run(parser, argv);
            return request;
        }
    }
    request.reinstall = parser.isSet(reinstall);
    return request;
}

} // namespace command_line
