#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <string>

namespace testsupport {

// A scratch folder for one test. HOME and the XDG folders point into it for
// the test's life; the folder is kept (and its path printed) when the test failed.
class ScratchTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    QString path() const { return m_dir.path(); }
    std::string pathStd() const { return m_dir.path().toStdString(); }
    QString home() const { return m_dir.path() + "/home"; }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
    QByteArray m_oldRuntime;
    QByteArray m_oldConfig;
    QByteArray m_oldData;
    QByteArray m_oldTemp;
};

// Restores an environment variable when it leaves scope.
class EnvGuard
{
public:
    EnvGuard(const char* name, const QByteArray& value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string m_name;
    QByteArray m_old;
    bool m_wasSet;
};

// Writes `contents` to `path`, creating parent folders. Fails the test on error.
void writeFile(const QString& path, const QByteArray& contents);
// Writes `text` to `path` as an executable (mode 0755), creating parent folders. Fails the
// test on error.
void writeExec(const QString& path, const QByteArray& text);
// The INFO file of an installation or a package whose build number is `build`.
QByteArray infoText(const QByteArray& build);
QByteArray infoText(int build);
// The whole contents of `path`, or an empty array when it cannot be read.
QByteArray readFile(const QString& path);

// True when the process may drop privileges with setpriv (root and setpriv present).
bool canDropPrivileges();

// Formats a sparse image of `size` bytes at `image` with mkfs.`type` and mounts it on
// `mountPoint`, inside a mount namespace of this process's own. An empty string when
// it is mounted, otherwise why it is not (to skip with).
QString mountLoopImage(const QString& type, const QString& image, qint64 size,
                       const QString& mountPoint);
void unmountLoopImage(const QString& mountPoint);

} // namespace testsupport
