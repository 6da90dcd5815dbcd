#include "linux/direct_start.h"
#include "linux/spawn_object.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace DirectStart {

bool AppIsWhole(const std::string& app_dir, std::string* why)
{
    struct stat st;
    if (::lstat((app_dir + ".incomplete").c_str(), &st) == 0) {
        *why = "'" + app_dir + "' is unfinished (its marker is there)";
        return false;
    }
    if (::stat((app_dir + "/bin/brisendale-drive-ui").c_str(), &st) != 0) {
        *why = "'" + app_dir + "' has no client executable";
        return false;
    }
    return true;
}

bool StartClient(const std::string& app_dir, int wait_seconds, std::string* why)
{
    if (!AppIsWhole(app_dir, why)) {
        return false;
    }
    const std::string script = app_dir + "/package/start-stop";
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok() ||
        posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0) {
        *why = "cannot prepare to run '" + script + "'";
        return false;
    }
    RestoreDefaultSignals(&attributes.value);
    char start[] = "start";
    char* argv[] = {const_cast<char*>(script.c_str()), start, nullptr};
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, script.c_str(), &actions.value, &attributes.value, argv, environ);
    if (rc != 0) {
        *why = "cannot run '" + script + "': " + std::strerror(rc);
        return false;
    }
    // Polled: a thread or a signal handler to wait with is what this run may not have.
    const int steps = wait_seconds * 100;
    for (int i = 0;; ++i) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            *why = "waitpid '" + script + "': " + std::strerror(errno);
            return false;
        }
        if (r == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                return true;
            }
            *why = "'" + script + " start' " +
                   (WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                      : "was ended by signal " + std::to_string(WTERMSIG(status)));
            return false;
        }
        if (i >= steps) {
            // Left to run on its own, as the service does with a slow script.
            return true;
        }
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

} // namespace DirectStart
