// Start-up of the real executable in a scratch installation: the locale and plug-in folder
// handling can only be seen in a process of its own.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace {

const QString NON_ASCII_NAME = QString::fromUtf8("h\xc3\xa9llo.txt");

struct LocaleRow
{
    const char* name;
    const char* lc_all;
};
void PrintTo(const LocaleRow& row, std::ostream* os)
{
    *os << row.name;
}

class StartupTest : public testsupport::ScratchTest, public ::testing::WithParamInterface<LocaleRow>
{
protected:
    QString root() const { return path() + "/root"; }

    // A system-wide installation whose package holds a non-ASCII file name.
    void makeInstallation()
    {
        const QString bsdtar = QStandardPaths::findExecutable("bsdtar");
        if (bsdtar.isEmpty())
            GTEST_SKIP() << "bsdtar is needed to build the package";

        const QString info = "[Version]\nmajor_version=1\nminor_version=0\nbuild_version=7\n"
                             "icon_overlay_version=1\n";
        testsupport::writeFile(root() + "/INFO", info.toUtf8());
        const QString content = path() + "/content";
        testsupport::writeFile(content + "/INFO", info.toUtf8());
        testsupport::writeFile(content + "/bin/brisendale-drive-ui", "#!/bin/sh\nexit 0\n");
        testsupport::writeFile(content + "/bin/" + NON_ASCII_NAME, "hello\n");
        testsupport::writeFile(content + "/package/start-stop",
                               "#!/bin/sh\necho \"$1\" > \"$HOME/started\"\n");
        for (const QString& exe :
             {content + "/bin/brisendale-drive-ui", content + "/package/start-stop"})
            ASSERT_TRUE(
                QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QDir().mkpath(root() + "/package");
        QProcess tar;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        tar.setProcessEnvironment(env);
        tar.start(bsdtar, {"-cf", root() + "/package/brisendale.nbx", "-C", content, "INFO", "bin",
                           "package"});
        ASSERT_TRUE(tar.waitForFinished(60000));
        ASSERT_EQ(0, tar.exitCode()) << tar.readAllStandardError().toStdString();

        QDir().mkpath(root() + "/bin");
        ASSERT_TRUE(QFile::copy(LAUNCHER_EXECUTABLE, root() + "/bin/brisendale-launcher"));
    }
};

TEST_P(StartupTest, UnpacksNonAsciiNamesAndStartsWithoutPluginFolder)
{
    makeInstallation();
    if (IsSkipped() || HasFatalFailure())
        return;

    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", GetParam().lc_all);
    env.remove("LC_CTYPE");
    env.remove("LANG");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    launcher.setProcessEnvironment(env);
    // The plug-in folder <scratch>/lib/plugins does not exist.
    launcher.start(root() + "/bin/brisendale-launcher", QStringList());
    ASSERT_TRUE(launcher.waitForFinished(120000));
    const QString out = QString::fromUtf8(launcher.readAllStandardOutput());
    const QString err = QString::fromUtf8(launcher.readAllStandardError());

    EXPECT_EQ(QProcess::NormalExit, launcher.exitStatus()) << err.toStdString();
    EXPECT_EQ(0, launcher.exitCode()) << err.toStdString();
    EXPECT_TRUE(out.contains("lib path = '" + root() + "/lib/plugins'\n")) << out.toStdString();
    const QString app = home() + "/.Brisendale/Brisendale.app";
    EXPECT_TRUE(QFileInfo::exists(app + "/bin/" + NON_ASCII_NAME));
    const QByteArray log = testsupport::readFile(home() + "/.Brisendale/log/launcher.log");
    EXPECT_FALSE(log.contains("Failed to upgrade package")) << log.toStdString();
    EXPECT_EQ(QByteArray("start\n"), testsupport::readFile(home() + "/started"));
}

INSTANTIATE_TEST_SUITE_P(Locales, StartupTest,
                         ::testing::Values(LocaleRow{"c_locale", "C"},
                                           LocaleRow{"posix_locale", "POSIX"},
                                           LocaleRow{"utf8_locale", "C.UTF-8"}),
                         [](const ::testing::TestParamInfo<LocaleRow>& info) {
                             return info.param.name;
                         });

} // namespace
