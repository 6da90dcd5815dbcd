#pragma once

#include "file/file-op.h"
#include "log/log.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>

#include <functional>
#include <grp.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// A scratch folder whose log lines of "file_op_debug" (every level) land in <scratch>/ops.log.
class FileOpTest : public testsupport::ScratchTest
{
protected:
    void SetUp() override
    {
        testsupport::ScratchTest::SetUp();
        testsupport::writeFile(path() + "/levels", "file_op_debug=7\n");
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, p("ops.log"), p("levels"), 50));
    }

    void TearDown() override
    {
        for (const std::string& dir : m_mounts)
            umount2(dir.c_str(), MNT_DETACH);
        Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(), 50);
        testsupport::ScratchTest::TearDown();
    }

    // Absolute path below the scratch folder.
    std::string p(const std::string& rel) const { return pathStd() + "/" + rel; }
    ustring u(const std::string& rel) const { return ustring(p(rel)); }
    QByteArray log() const { return testsupport::readFile(path() + "/ops.log"); }
    void write(const std::string& rel, const QByteArray& data)
    {
        testsupport::writeFile(QString::fromStdString(p(rel)), data);
    }
    QByteArray read(const std::string& rel) const
    {
        return testsupport::readFile(QString::fromStdString(p(rel)));
    }
    bool exists(const std::string& rel) const
    {
        struct stat st;
        return lstat(p(rel).c_str(), &st) == 0;
    }

    // Mounts a tmpfs of the given size at <scratch>/<rel>; false when mounting is refused.
    bool mountTmpfs(const std::string& rel, const char* size)
    {
        QDir().mkpath(QString::fromStdString(p(rel)));
        const std::string opts = std::string("size=") + size;
        if (mount("tmpfs", p(rel).c_str(), "tmpfs", 0, opts.c_str()) != 0)
            return false;
        m_mounts.push_back(p(rel));
        return true;
    }

    // Runs fn in a child process as nobody; returns fn's result (-128..127).
    static int runAsNobody(const std::function<int()>& fn)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                _exit(255);
            _exit((fn() + 128) & 0xFF);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 255)
            return 1000;
        return WEXITSTATUS(status) - 128;
    }

private:
    std::vector<std::string> m_mounts;
};

#define REQUIRE_TMPFS(rel, size)                                                                   \
    if (!mountTmpfs(rel, size))                                                                    \
    GTEST_SKIP() << "mounting a tmpfs was refused; a second file system is needed"
