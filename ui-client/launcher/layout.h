#pragma once

#include "ustring/ustring.h"

// Where the launcher's files are: P, the read-only system-wide root, whose bin folder
// holds the launcher; U, the per-user root in HOME; A, the per-user copy in U; and every
// path derived from them. Made once in main and handed to whatever needs a path, so that
// a test builds one for its scratch folders.
class Layout
{
public:
    Layout() = default;
    Layout(ustring system_root, ustring home);
    // P from the running executable's place (its folder's parent), the home from HOME
    // ("/" when unset), as the toolkit finds both; usable before the application object,
    // with `argv0` for a system without /proc.
    static Layout OfThisProcess(const char* argv0 = nullptr);

    const ustring& SystemRoot() const { return m_system_root; } // P
    const ustring& Home() const { return m_home; }
    ustring UserRoot() const { return m_home + "/.Brisendale"; }   // U
    ustring App() const { return UserRoot() + "/Brisendale.app"; } // A

    // In P.
    ustring ShippedInfo() const { return m_system_root + "/INFO"; }
    ustring Package() const { return m_system_root + "/package/brisendale.nbx"; }
    ustring LogLevelFile() const { return m_system_root + "/log/launcher.debug"; }
    ustring Icon() const { return m_system_root + "/images/ico_72_brisendale.png"; }
    // In U.
    ustring LogFolder() const { return UserRoot() + "/log"; }
    // Keeps a second launcher of the same home (another machine, another login) off the
    // tree: never removed, or the next two launchers would each lock a file of their own.
    ustring HomeLock() const { return UserRoot() + "/launcher.lock"; }
    ustring PidFile() const { return UserRoot() + "/ui.pid"; }
    ustring Data() const { return UserRoot() + "/data"; }
    // In A.
    ustring Client() const { return App() + "/bin/brisendale-drive-ui"; }
    ustring StartScript() const { return App() + "/package/start-stop"; }

private:
    ustring m_system_root;
    ustring m_home;
};
