#pragma once

// Finding and watching the per-user client's processes through /proc.

#include <string>
#include <sys/types.h>
#include <vector>

namespace client_process {

enum class PidOwner
{
    Gone,
    Client,
    Other,
};

// The canonical form of `path`, or an empty string when it cannot be resolved.
std::string canonical(const std::string& path);

// A descriptor that becomes readable when child `pid` ends, or -1 where the kernel has none.
int openPidFd(pid_t pid);

// Whether `pid` is the per-user client of this user: its executable, or one of its
// first two arguments (the interpreter's script), is `client`. A stale pid file
// after a crash or a reboot names whatever process got that number since.
PidOwner whoIs(pid_t pid, const std::string& client);

// True when `pid` names no process, or one that has ended and waits for its parent.
bool processGone(pid_t pid);

// Polls until `pid` is gone or `ms` milliseconds have passed; true when it is gone.
bool waitGone(pid_t pid, int ms);

// Adds every process of this user that runs `client` to `pids`; false when /proc
// cannot be listed, so nothing can be told.
bool findClientsInProc(const std::string& client, std::vector<pid_t>& pids);

} // namespace client_process
