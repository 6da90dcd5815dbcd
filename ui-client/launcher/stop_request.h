#pragma once

#include <signal.h>

// The end of a session (SIGTERM, SIGINT or SIGHUP) while an upgrade runs: the handlers
// only record the signal, so that the extraction can stop at its next entry or block,
// roll back, and the launcher can then end as the signal asked.
class StopSignals
{
public:
    // Installs the recording handlers; the destructor puts the earlier ones back.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The recorded signal, 0 while none came.
    static int Requested();
    // Records `sig` as if it had come: the end of the session seen another way (the
    // display connection broke). A signal already recorded stays.
    static void Request(int sig);
    // A check that the session still runs, asked before a step that stops the client
    // (the switch): a session that ended unseen (its display died while the toolkit had
    // not yet noticed) must not cost the user their client. Null: no check.
    static void SetSessionCheck(bool (*session_alive)());
    // True once the session has ended: a signal recorded, or the check found it gone,
    // which is then recorded as SIGHUP.
    static bool SessionEnded();
    // Ends the process by the recorded signal with its default action.
    [[noreturn]] static void ExitAsAsked();

private:
    static constexpr int kCount = 3;
    struct sigaction m_old[kCount];
};
