#include "stop_request.h"

#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> g_requested{0};
std::atomic<bool (*)()> g_session_alive{nullptr};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

void record(int sig)
{
    int none = 0;
    g_requested.compare_exchange_strong(none, sig);
}

} // namespace

StopSignals::StopSignals()
{
    struct sigaction act = {};
    act.sa_handler = record;
    sigemptyset(&act.sa_mask);
    // Interrupted waits (the stop of the client) return early; reads and writes resume.
    act.sa_flags = SA_RESTART;
    for (int i = 0; i < kCount; ++i) {
        sigaction(kSignals[i], &act, &m_old[i]);
    }
}

StopSignals::~StopSignals()
{
    for (int i = 0; i < kCount; ++i) {
        sigaction(kSignals[i], &m_old[i], nullptr);
    }
}

void StopSignals::Request(int sig)
{
    record(sig);
}

void StopSignals::SetSessionCheck(bool (*session_alive)())
{
    g_session_alive.store(session_alive);
}

bool StopSignals::SessionEnded()
{
    if (g_requested.load() != 0) {
        return true;
    }
    bool (*alive)() = g_session_alive.load();
    if (alive == nullptr || alive()) {
        return false;
    }
    record(SIGHUP);
    return true;
}

int StopSignals::Requested()
{
    return g_requested.load();
}

void StopSignals::ExitAsAsked()
{
    const int sig = g_requested.load();
    struct sigaction act = {};
    act.sa_handler = SIG_DFL;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(sig);
    // Only reached when the default action could not end the process.
    ::_exit(128 + sig);
}
