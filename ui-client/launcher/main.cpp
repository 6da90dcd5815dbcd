#include "brisendale-service.h"
#include "kest-locale.h"
#include "launcher.h"
#include "log/log.h"
#include "qtsingleapplication.h"
#include "texts/strtab.h"
#include "ustring/ustring.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTranslator>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <signal.h>

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

void initialize_resources(const char* bin)
{
    std::setlocale(LC_ALL, "");
    use_utf8_character_type();
    qInitResources_texts();

    QString bin_path = QString::fromUtf8(bin);
    // Started through a symbolic link (/usr/bin/brisendale-drive), the folders beside the
    // link are not the installation's: plug-ins must come from beside the real file.
    const QFileInfo bin_info(bin_path);
    if (bin_path.contains('/') && bin_info.isSymLink() && bin_info.exists()) {
        bin_path = bin_info.canonicalFilePath();
    }
    const QString path = QDir::cleanPath(bin_path + QStringLiteral("/../../lib/plugins"));
    // Without the folder the toolkit's own list stays: replacing it would leave no
    // platform plug-in at all.
    if (QFileInfo(path).isDir()) {
        QStringList paths;
        paths << path;
        QCoreApplication::setLibraryPaths(paths);
    }
    // The line is informational: a reader that has gone must not end the run.
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    std::printf("lib path = '%s'\n", path.toUtf8().constData());
    std::fflush(stdout);
    sigaction(SIGPIPE, &old, nullptr);
}

void initialize_logger()
{
    const ustring log_level =
        Service::GetRootBrisendaleInstallPath() + ustring("/log/launcher.debug");
    const ustring log_folder_path = Service::GetUserBrisendaleInstallPath() + ustring("/log");
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

} // namespace

int main(int argc, char** argv)
{
    int ret = -1;

    initialize_resources(argv[0]);

    QtSingleApplication app(argc, argv, true);
    use_utf8_character_type();
    // Only LaunchDone may end the run: the worker thread must never be left running.
    app.setQuitOnLastWindowClosed(false);

    initialize_logger();

    if (app.isRunning()) {
        Logger::LogMsg(Logger::L_DEBUG, "launcher_debug",
                       "[DEBUG] main.cpp(%d): app has already launched, return\n", __LINE__);
        return 0;
    }

    QTranslator trans(nullptr);
    QString strLan = QStringLiteral(":/enu.qm");
    strLan = getCurrentLanguageFileName();
    trans.load(strLan, QString(), QString(), QString());
    if (!trans.isEmpty()) {
        QCoreApplication::installTranslator(&trans);
    }

    StrTable::InitStrTable();

    Launcher* launcher = new Launcher;
    launcher->Run();
    launcher->Start();

    ret = QApplication::exec();

    if (launcher) {
        delete launcher;
        launcher = nullptr;
    }
    return ret;
}
