#pragma once

#include <string>
#include <sys/types.h>

// Whose home the launcher is about to work in. A launcher started with another user's
// HOME (sudo without -H, a root shell with HOME kept) would otherwise fill that home with
// files the user cannot change, and start a client of the wrong user.
namespace HomeOwner {

enum class Verdict
{
    Ours,        // HOME and U are this user's (U may be missing); go on
    MovedAside,  // U held another user's entries and was moved aside; go on afresh
    ForeignHome, // HOME is not this user's: touch nothing
    ForeignRoot, // U is not this user's and could not be moved aside: touch nothing
};

struct Outcome
{
    Verdict verdict = Verdict::Ours;
    // Why, for the refusal's line on standard error or the warning in the new log.
    std::string why;
    // The new name of the old U, for MovedAside.
    std::string moved_to;
};

// The per-user root below `home`: "<home>/.Brisendale".
std::string UserRoot(const std::string& home);

// Looks at `home` and its U for the effective uid `euid`. U, when it or one of the
// entries the launcher makes in it (the application folder and its companions, the log,
// the lock, the pid file) belongs to another uid while the home is ours, is renamed to
// the first free "<home>/.Brisendale.foreign-<n>" and kept for the user. Changes nothing
// else, and nothing at all for a foreign home.
Outcome Check(const std::string& home, uid_t euid);

// The HOME the toolkit uses (QDir::homePath): the variable, "/" when empty.
std::string HomeFromEnvironment();

// Creates U as 0700 whatever the umask, with its log folder, so that no other path makes
// it first with looser modes. An existing U is left as it is. 0, or -1 with errno.
int MakePrivateUserRoot(const std::string& user_root);

// The new name of U when this process moved it aside, empty otherwise: for a desktop
// notification once a session is there to show it.
const std::string& MovedAsideTo();
void RememberMovedAside(const std::string& to);

} // namespace HomeOwner
