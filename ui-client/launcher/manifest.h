#pragma once

#include "ustring/ustring.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <vector>

// The manifest of an installed application folder A: for each entry its path, type, mode,
// size (regular files) and link target (symbolic links). It lives beside A in the per-user
// root U, never inside A, as U + "/" + name of A + ".manifest"; an install writes the next one
// as that name + ".next" before its commit and promotes it after. docs/self-healing.md gives
// the format.
//
// A manifest names the tree it describes by the inode number of A and the build in A/INFO.
// A rename keeps both, so a rolled-back or recovered tree still matches its own manifest,
// while a tree put in place any other way matches none and is not checked.

enum class TreeState
{
    Intact,
    Damaged,
    NothingToCheck, // no A, no manifest, or none that describes this A
};

struct TreeCheck
{
    TreeState state = TreeState::NothingToCheck;
    // Short human lines: each difference for Damaged, the reason for NothingToCheck.
    std::vector<std::string> differences;
};

// Compares A with the manifest that describes it, by lstat-like calls only: no file contents
// are read. A missing entry, or one of another type, mode, size or link target, is damage;
// entries that the manifest does not name are not (the client may add files of its own).
// Stops at `max_differences` differences (at least one is always recorded). Writes nothing.
// `cancel`, when given and set, ends the check early with NothingToCheck.
[[nodiscard]] TreeCheck CheckInstalledTree(const ustring& user_root, const ustring& app_dir,
                                           size_t max_differences,
                                           const std::atomic<bool>* cancel = nullptr);

// Describes `tree` as it is now in U's ".next" manifest of A, durably (temporary file, fsync,
// rename, fsync of U): a tree prepared beside A is described before it is switched in, and
// keeps its inode number through the switch. 0, or -1 (logged) with no ".next" left behind.
[[nodiscard]] int WriteNextTreeManifest(const ustring& user_root, const ustring& app_dir,
                                        const ustring& tree);
// Makes the ".next" manifest the manifest, durably: call once the tree it describes is
// committed. 0 or -1 (logged).
[[nodiscard]] int PromoteTreeManifest(const ustring& user_root, const ustring& app_dir);
// Before an install replaces A: promotes a ".next" manifest that describes A (a run ended
// between its commit and the promotion), and removes one that does not, so that no old
// description waits for a new tree to take its inode number.
void SettleTreeManifests(const ustring& user_root, const ustring& app_dir);

// What a check's result depends on besides the entries themselves: A, its INFO and both
// manifests, each by inode, size and change time. A tree whose stamp is unchanged since a
// check was not replaced, recovered or resettled meanwhile.
struct TreeStamp
{
    struct File
    {
        unsigned long long dev = 0, ino = 0, size = 0;
        long long ctime_s = 0, ctime_ns = 0;
        bool operator==(const File& o) const
        {
            return dev == o.dev && ino == o.ino && size == o.size && ctime_s == o.ctime_s &&
                   ctime_ns == o.ctime_ns;
        }
    };
    File app, info, manifest, next;
    bool operator==(const TreeStamp& o) const
    {
        return app == o.app && info == o.info && manifest == o.manifest && next == o.next;
    }
    bool operator!=(const TreeStamp& o) const { return !(*this == o); }
};
TreeStamp StampTree(const ustring& user_root, const ustring& app_dir);

// A check of A made on a thread of its own while the toolkit starts, which hides its
// thousands of stat calls. Its result is used only when the stamp of the tree is the same
// before the check, after it, and when it is asked for.
class TreeCheckAhead
{
public:
    TreeCheckAhead() = default;
    TreeCheckAhead(TreeCheckAhead&&) = default;
    TreeCheckAhead& operator=(TreeCheckAhead&& other);
    // A run that ends without its decision (a second launcher) does not wait for the
    // whole walk: the check is told to stop, then waited for.
    ~TreeCheckAhead();
    // Starts checking A against its manifest, as CheckInstalledTree does.
    static TreeCheckAhead Start(const ustring& user_root, const ustring& app_dir,
                                size_t max_differences);
    // The check's result when it still holds for the tree as it is now; false when there
    // was no check or the tree has changed since (the caller then checks again). Waits for
    // the check to end; once only.
    [[nodiscard]] bool Take(TreeCheck& result);
    // True once the check has ended, or when there is none.
    bool Done() const
    {
        return !m_outcome.valid() ||
               m_outcome.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

private:
    struct Outcome
    {
        TreeStamp before, after;
        TreeCheck check;
    };
    void stop();

    ustring m_user_root, m_app_dir;
    // Shared with the checking thread, which may outlive a moved-from holder's scope.
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::future<Outcome> m_outcome;
};

// The file names, for tests and documentation.
ustring TreeManifestPath(const ustring& user_root, const ustring& app_dir);
ustring NextTreeManifestPath(const ustring& user_root, const ustring& app_dir);
