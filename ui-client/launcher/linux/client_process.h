#pragma once

// Finding, watching and signalling the per-user client's processes through /proc.

#include "file/unique_fd.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace client_process {

enum class PidOwner
{
    Gone,
    Client,
    Other,
    // A process of this user whose program cannot be looked at (it made itself
    // undumpable, or runs a setuid or capable file) and whose name is the client's: it
    // is never signalled, and the tree is not replaced under it.
    Unknown,
};

// The client's file as a process shows it: an executable is its own /proc/N/exe; a
// script is run by the interpreter of its #! line, which gets the script as argument.
struct ClientFile
{
    bool valid = false;
    std::string path; // canonical
    dev_t dev = 0;
    ino_t ino = 0;
    bool script = false;
    dev_t interpreter_dev = 0;
    ino_t interpreter_ino = 0;
    // Where the kernel puts the script in the interpreter's arguments: after the
    // interpreter and the #! line's own argument, if any.
    size_t script_arg = 1;
    // The installation folder the client belongs to, canonical, with a trailing slash:
    // any program run from inside it is the client's (a start wrapper may exec another
    // file of the tree). Empty when not known.
    std::string tree;
};

// Describes the file at `path`, which belongs to the installation folder `tree` (empty
// when no folder counts); not valid when it cannot be looked at.
ClientFile describeClient(const std::string& path, const std::string& tree = std::string());

// The canonical form of `path`, or an empty string when it cannot be resolved.
std::string canonical(const std::string& path);

// A descriptor that refers to process `pid` for good, or -1 where the kernel has none.
// It becomes readable when the process ends.
int openPidFd(pid_t pid);

// Whether `pid` is a process of this user that runs `client`. Arguments alone never
// count: an editor, pager or debugger given the client's file is not the client.
PidOwner whoIs(pid_t pid, const ClientFile& client);

// True when `pid` names no process, or one that has ended and waits for its parent.
bool processGone(pid_t pid);

// The processes whose parent is this one (once it is their subreaper, whatever a start
// script left running) into `children`; false when that cannot be told: no /proc, or one
// of another pid namespace.
[[nodiscard]] bool childProcesses(std::vector<pid_t>& children);

// Adds every process of this user that runs `client` to `pids`; false when /proc
// cannot be listed, so nothing can be told.
bool findClientsInProc(const ClientFile& client, std::vector<pid_t>& pids);

// One process of the client, held through a pidfd where the kernel has one, so that
// a signal never reaches a later owner of its number.
class ClientHandle
{
public:
    // Takes hold of `pid` and then checks that it is the client.
    PidOwner open(pid_t pid, const ClientFile& client);
    // 0, or the errno of the failed signal.
    int signal(int sig);
    bool gone() const;
    // Polls until the process is gone or `ms` milliseconds have passed; true when gone.
    bool waitGone(int ms) const;

private:
    pid_t m_pid = 0;
    UniqueFd m_pidfd;
};

} // namespace client_process
