// What a heal after the start stops: every process the start left, and nothing else; where
// /proc is not this process's own, the list is refused rather than trusted.

#include "linux/client_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum class Proc
{
    Real,
    Hidden,        // something else mounted on /proc
    OfAnotherPidNs // a pid namespace of its own, /proc still the one outside
};

// In a child: forks a process that waits, asks for the children, ends the one it started.
// Exit 0: exactly that one was listed, or no list was given; 1: it was missing; 2: a
// process that is not a child of the caller was listed; 77: the setup failed.
int childSeen(Proc proc)
{
    if (proc == Proc::OfAnotherPidNs && ::unshare(CLONE_NEWPID) != 0) {
        return 77;
    }
    const pid_t probe = ::fork();
    if (probe == 0) {
        if (proc == Proc::Hidden &&
            (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
            ::_exit(77);
        }
        int gate[2];
        if (::pipe(gate) != 0) {
            ::_exit(77);
        }
        const pid_t waiter = ::fork();
        if (waiter == 0) {
            char c;
            ::close(gate[1]);
            (void)::read(gate[0], &c, 1);
            ::_exit(0);
        }
        ::close(gate[0]);
        std::vector<pid_t> seen;
        if (!client_process::childProcesses(seen)) {
            ::close(gate[1]);
            int status = 0;
            (void)::waitpid(waiter, &status, 0);
            ::_exit(proc == Proc::Real ? 1 : 0);
        }
        const bool listed = std::find(seen.begin(), seen.end(), waiter) != seen.end();
        bool foreign = false;
        for (const pid_t pid : seen) {
            int status = 0;
            foreign = foreign || (pid != waiter && ::waitpid(pid, &status, WNOHANG) < 0);
        }
        ::close(gate[1]);
        int status = 0;
        (void)::waitpid(waiter, &status, 0);
        ::_exit(foreign ? 2 : listed ? 0 : 1);
    }
    int status = 0;
    if (probe < 0 || ::waitpid(probe, &status, 0) != probe || !WIFEXITED(status)) {
        return 77;
    }
    return WEXITSTATUS(status);
}

class AdoptedChildrenTest : public ::testing::TestWithParam<Proc>
{};

TEST_P(AdoptedChildrenTest, ALiveChildIsListedOrTheListIsNotTrusted)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "namespaces need root";
    }
    // The pid namespace is entered in a child of the test: the test itself stays outside.
    int seen = 77;
    const pid_t runner = ::fork();
    if (runner == 0) {
        ::_exit(childSeen(GetParam()));
    }
    int status = 0;
    if (runner > 0 && ::waitpid(runner, &status, 0) == runner && WIFEXITED(status)) {
        seen = WEXITSTATUS(status);
    }
    if (seen == 77) {
        GTEST_SKIP() << "no namespace here";
    }
    EXPECT_NE(seen, 1) << "a running child missing from the list: the heal would take it "
                          "for ended and switch the copy below it";
    EXPECT_NE(seen, 2) << "a process that is not the caller's child listed: the heal would "
                          "signal it";
    EXPECT_EQ(seen, 0);
}

INSTANTIATE_TEST_SUITE_P(Proc, AdoptedChildrenTest,
                         ::testing::Values(Proc::Real, Proc::Hidden, Proc::OfAnotherPidNs),
                         [](const ::testing::TestParamInfo<Proc>& info) {
                             switch (info.param) {
                             case Proc::Real:
                                 return "Real";
                             case Proc::Hidden:
                                 return "Hidden";
                             case Proc::OfAnotherPidNs:
                                 return "OfAnotherPidNs";
                             }
                             return "";
                         });

} // namespace
