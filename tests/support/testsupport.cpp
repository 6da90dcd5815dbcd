#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

void setOrUnset(const char* name, const QByteArray& value)
{
    if (value.isNull())
        unsetenv(name);
    else
        setenv(name, value.constData(), 1);
}

QByteArray current(const char* name)
{
    const char* v = getenv(name);
    return v ? QByteArray(v) : QByteArray();
}

} // namespace

void ScratchTest::SetUp()
{
    ASSERT_TRUE(m_dir.isValid());
    m_oldHome = current("HOME");
    m_oldRuntime = current("XDG_RUNTIME_DIR");
    m_oldConfig = current("XDG_CONFIG_HOME");
    m_oldData = current("XDG_DATA_HOME");
    m_oldTemp = current("TMPDIR");
    ASSERT_TRUE(QDir().mkpath(home()));
    QDir().mkpath(path() + "/runtime");
    QFile::setPermissions(path() + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setenv("HOME", home().toLocal8Bit().constData(), 1);
    setenv("XDG_RUNTIME_DIR", (path() + "/runtime").toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (home() + "/.config").toLocal8Bit().constData(), 1);
    setenv("XDG_DATA_HOME", (home() + "/.local/share").toLocal8Bit().constData(), 1);
    // The single-instance lock lives below it: each test gets a host of its own.
    QDir().mkpath(path() + "/tmp");
    setenv("TMPDIR", (path() + "/tmp").toLocal8Bit().constData(), 1);
}

void ScratchTest::TearDown()
{
    setOrUnset("HOME", m_oldHome);
    setOrUnset("XDG_RUNTIME_DIR", m_oldRuntime);
    setOrUnset("XDG_CONFIG_HOME", m_oldConfig);
    setOrUnset("XDG_DATA_HOME", m_oldData);
    setOrUnset("TMPDIR", m_oldTemp);
    if (HasFailure()) {
        m_dir.setAutoRemove(false);
        std::cerr << "scratch folder kept: " << m_dir.path().toStdString() << "\n";
    }
}

EnvGuard::EnvGuard(const char* name, const QByteArray& value)
    : m_name(name), m_old(current(name)), m_wasSet(getenv(name) != nullptr)
{
    setOrUnset(name, value);
}

EnvGuard::~EnvGuard()
{
    setOrUnset(m_name.c_str(), m_wasSet ? m_old : QByteArray());
}

void writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(contents), contents.size());
}

void writeExec(const QString& path, const QByteArray& text)
{
    writeFile(path, text);
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0755), 0) << path.toStdString();
}

QByteArray infoText(const QByteArray& build)
{
    return "[Version]\nmajor_version=1\nminor_version=0\nbuild_version=" + build +
           "\nicon_overlay_version=1\n";
}

QByteArray infoText(int build)
{
    return infoText(QByteArray::number(build));
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

bool canDropPrivileges()
{
    return geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty();
}

} // namespace testsupport

namespace testsupport {

QString mountLoopImage(const QString& type, const QString& image, qint64 size,
                       const QString& mountPoint)
{
    if (::geteuid() != 0)
        return "needs root to mount a loop device";
    if (!QFileInfo::exists("/dev/loop-control"))
        return "no loop devices here";
    // Private: the mount goes with this process, whatever happens to the test.
    static bool ownNamespace = false;
    if (!ownNamespace) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QString("cannot make a mount namespace here: ") + strerror(errno);
        ownNamespace = true;
    }
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return "cannot make the image " + image;
    file.close();
    auto run = [](const QString& program, const QStringList& args) -> QString {
        QProcess proc;
        proc.setProcessChannelMode(QProcess::MergedChannels);
        proc.start(program, args);
        if (!proc.waitForFinished(120000) || proc.exitStatus() != QProcess::NormalExit ||
            proc.exitCode() != 0)
            return program + " failed: " + QString::fromLocal8Bit(proc.readAll()).trimmed() +
                   proc.errorString();
        return QString();
    };
    const QStringList force = {type == "ext4" ? "-F" : "-f"};
    QString why = run("mkfs." + type, QStringList{"-q"} + force + QStringList{image});
    if (why.isEmpty()) {
        QDir().mkpath(mountPoint);
        why = run("mount", {"-o", "loop", image, mountPoint});
    }
    return why;
}

void unmountLoopImage(const QString& mountPoint)
{
    // Lazily: a client started from the tree may still have it open.
    QProcess::execute("umount", {"-l", mountPoint});
}

} // namespace testsupport
