// Runs one service operation the way the launcher does, from wherever this binary was
// copied to (the system-wide root is the parent of its folder). Results go to standard
// output as key=value lines, the service's log to standard error.
//
//   service_probe getters | decide | prepare | copy SRC DEST
//   service_probe upgrade [--die-at-step K] [--start-wait S] [spawn options]
//   service_probe stop [--stop-timeout MS] [spawn options]
//
// Spawn options start a process before the operation, in the probe's process group:
//   --spawn [--nobody] [--write-pid] [--pid-text TEXT] [--reap-first] [--cwd DIR] -- PROGRAM
//   ARGS...
// Without --write-pid the program is expected to write its own pid file. --pid-text then
// replaces that file's text, %P standing for the pid, or removes it when it is "-". With --witness
// a bystander process is started as well; "witness=dead" tells that something
// signalled it. PROBE_SESSION_GONE set: the session check finds the session ended, as the
// launcher's does for a display that died unseen.

#include "adapter.h"
#include "file/file-op.h"
#include "linux/linux-service.h"
#include "log/log.h"
#include "stop_request.h"

#include <QCoreApplication>
#include <QObject>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class ProbeService : public LinuxService
{
public:
    ProbeService() : LinuxService(Layout::OfThisProcess()) {}
    using Service::FSCopyPath;
    using Service::PrepareUserEnv;

    void printVersions() const
    {
        printVersion("source", source_version);
        printVersion("target", target_version);
    }

private:
    static void printVersion(const char* name, const VersionInfo& v)
    {
        printf("%s=(%s,%s,%s,%s)\n", name, v.major_version.c_str(), v.minor_version.c_str(),
               v.build_version.c_str(), v.icon_overlay_version.c_str());
    }
};

std::string exeOf(pid_t pid)
{
    char buf[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string readAll(const std::string& path)
{
    std::string data;
    FILE* f = fopen(path.c_str(), "re");
    if (!f) {
        return data;
    }
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        data.append(buf, n);
    }
    fclose(f);
    return data;
}

void waitFor(const std::function<bool()>& done)
{
    for (int i = 0; i < 2000 && !done(); ++i) {
        usleep(5000);
    }
}

pid_t startChild(const std::vector<std::string>& argv, bool nobody, const std::string& cwd)
{
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    signal(SIGCHLD, SIG_DFL);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
        _exit(126);
    }
    if (nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
        _exit(126);
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Reaps the spawned process at once, so that an ended process is gone for kill(pid, 0).
class Reaper
{
public:
    explicit Reaper(pid_t pid)
        : m_pid(pid), m_thread([this] {
              int status = 0;
              pid_t r;
              do {
                  r = waitpid(m_pid, &status, 0);
              } while (r < 0 && errno == EINTR);
              std::lock_guard<std::mutex> lock(m_mutex);
              m_status = status;
              m_done = true;
              m_cv.notify_all();
          })
    {}
    ~Reaper()
    {
        if (!done()) {
            kill(m_pid, SIGKILL);
        }
        m_thread.join();
    }

    bool done()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_done;
    }

    std::string describe()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        // A SIGKILL sent just now may not have ended the process yet.
        m_cv.wait_for(lock, std::chrono::seconds(1), [this] { return m_done; });
        if (!m_done) {
            return "alive";
        }
        if (WIFEXITED(m_status)) {
            return "exited:" + std::to_string(WEXITSTATUS(m_status));
        }
        return "signaled:" + std::to_string(WTERMSIG(m_status));
    }

private:
    pid_t m_pid;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_status = 0;
    bool m_done = false;
    std::thread m_thread;
};

struct Spawn
{
    bool enabled = false;
    bool nobody = false;
    bool writePid = false;
    bool reapFirst = false;
    bool witness = false;
    std::string cwd;
    std::string pidText;
    std::vector<std::string> argv;
};

// Parses the spawn options from argv[first...]; other options are left to the caller.
Spawn parseSpawn(int argc, char** argv, int first, int* dieAtStep)
{
    Spawn s;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--spawn") {
            s.enabled = true;
        } else if (a == "--nobody") {
            s.nobody = true;
        } else if (a == "--write-pid") {
            s.writePid = true;
        } else if (a == "--witness") {
            s.witness = true;
        } else if (a == "--reap-first") {
            s.reapFirst = true;
        } else if (a == "--cwd" && i + 1 < argc) {
            s.cwd = argv[++i];
        } else if ((a == "--start-wait" || a == "--stop-timeout") && i + 1 < argc) {
            ++i; // read by main
        } else if (a == "--pid-text" && i + 1 < argc) {
            s.pidText = argv[++i];
        } else if (a == "--die-at-step" && i + 1 < argc && dieAtStep) {
            *dieAtStep = atoi(argv[++i]);
        } else if (a == "--") {
            for (++i; i < argc; ++i) {
                s.argv.push_back(argv[i]);
            }
        }
    }
    return s;
}

void writePidFile(pid_t pid)
{
    const std::string path = Layout::OfThisProcess().PidFile().c_str();
    std::string text = "pid=" + std::to_string(pid) + "\n";
    FILE* f = fopen(path.c_str(), "we");
    if (f) {
        fputs(text.c_str(), f);
        fclose(f);
    }
}

// Runs `operation` with the spawned process and the witness around it.
int withProcesses(const Spawn& spawn, const std::function<void()>& operation)
{
    pid_t witness = spawn.witness ? startChild({"/bin/sleep", "600"}, false, std::string()) : -1;
    std::unique_ptr<Reaper> reaper;
    if (spawn.enabled && !spawn.argv.empty()) {
        const std::string self = exeOf(getpid());
        pid_t child = startChild(spawn.argv, spawn.nobody, spawn.cwd);
        if (spawn.reapFirst) {
            int status;
            waitpid(child, &status, 0);
        } else {
            reaper.reset(new Reaper(child));
            // Without /proc (self unknown) the pid file the program writes is the sign.
            if (!self.empty()) {
                waitFor([&] { return reaper->done() || exeOf(child) != self; });
            }
        }
        const std::string pidFile = Layout::OfThisProcess().PidFile().c_str();
        if (spawn.writePid) {
            writePidFile(child);
        } else {
            const std::string want = "pid=" + std::to_string(child) + "\n";
            waitFor([&] { return reaper->done() || readAll(pidFile) == want; });
        }
        if (spawn.pidText == "-") {
            unlink(pidFile.c_str());
        } else if (!spawn.pidText.empty()) {
            std::string text = spawn.pidText;
            const size_t at = text.find("%P");
            if (at != std::string::npos) {
                text.replace(at, 2, std::to_string(child));
            }
            FILE* f = fopen(pidFile.c_str(), "we");
            if (f) {
                fputs(text.c_str(), f);
                fclose(f);
            }
        }
    }

    operation();

    if (reaper) {
        printf("target=%s\n", reaper->describe().c_str());
    }
    if (witness > 0) {
        int status = 0;
        printf("witness=%s\n", waitpid(witness, &status, WNOHANG) == 0 ? "alive" : "dead");
        kill(witness, SIGKILL);
        waitpid(witness, &status, 0);
    }
    reaper.reset();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        fprintf(stderr, "usage: service_probe MODE ...\n");
        return 2;
    }
    const Layout layout = Layout::OfThisProcess();
    Logger::Initialize(Logger::STDERR_LOGGER, "", layout.LogLevelFile(), 50);

    const std::string mode = argv[1];
    ProbeService service;
    for (int i = 2; i + 1 < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--start-wait") {
            service.SetStartWait(atoi(argv[i + 1]));
        } else if (std::string(argv[i]) == "--stop-timeout") {
            service.SetTimeout(atoi(argv[i + 1]));
        }
    }
    if (mode == "getters") {
        printf("root=%s\n", layout.SystemRoot().c_str());
        printf("user=%s\n", layout.UserRoot().c_str());
        printf("app=%s\n", layout.App().c_str());
        return 0;
    }
    if (mode == "decide") {
        service.PreUpgrade();
        service.printVersions();
        printf("need=%d\n", service.IsNeedUpgrade() ? 1 : 0);
        return 0;
    }
    if (mode == "prepare") {
        printf("prepare=%d\n", service.PrepareUserEnv());
        return 0;
    }
    if (mode == "copy" && argc == 4) {
        printf("copy=%d\n", service.FSCopyPath(argv[2], argv[3]));
        return 0;
    }
    if (mode == "stop") {
        return withProcesses(parseSpawn(argc, argv, 2, nullptr), [&] { service.StopService(); });
    }
    if (mode == "upgrade") {
        int dieAtStep = 0;
        Spawn spawn = parseSpawn(argc, argv, 2, &dieAtStep);
        if (dieAtStep > 0) {
            // Direct connection: runs inside the extraction, right after that entry.
            QObject::connect(Notify_Adapter::GetInstance(), &Notify_Adapter::sigUpdateProgress,
                             [dieAtStep](int, int step) {
                                 if (step == dieAtStep) {
                                     raise(SIGKILL);
                                 }
                             });
        }
        if (getenv("PROBE_SESSION_GONE") != nullptr) {
            StopSignals::SetSessionCheck([] { return false; });
        }
        // The worker's order: decide, upgrade when due, start the client, clean up.
        return withProcesses(spawn, [&] {
            service.PreUpgrade();
            bool need = service.IsNeedUpgrade();
            printf("need=%d\n", need ? 1 : 0);
            if (need) {
                const UpgradeOutcome outcome = service.HandlePackageUpgrade();
                // As the launcher's worker does: a logout ends the run by its signal.
                if (outcome.session_signal != 0) {
                    StopSignals::ExitAsAsked();
                }
                printf("upgrade=%d\n", outcome.Done() ? 0 : -1);
            }
            service.PostUpgrade();
            NoticeEvent event;
            NoticeReason reason;
            std::string identity;
            if (service.Problem(event, reason, identity)) {
                printf("problem=%d,%d\n", static_cast<int>(event), static_cast<int>(reason));
            }
            service.RemoveAgedFolders();
            service.ReleaseTree();
        });
    }
    fprintf(stderr, "unknown mode '%s'\n", mode.c_str());
    return 2;
}
