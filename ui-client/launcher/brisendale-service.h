#pragma once

#include "layout.h"
#include "linux/package_info.h"
#include "notice_reason.h"
#include "upgrade_fault.h"
#include "ustring/ustring.h"

#include <string>

// Backup names tried before the upgrade gives up: A_tmp, A_tmp1 ... A_tmp9.
constexpr int MAX_RENAME_COUNT = 10;

// The upgrade service: the install layout, the versions of the per-user copy
// ("source") and of the shipped package ("target"), and the safe replacement
// of the per-user application folder.
class Service
{
public:
    using VersionInfo = ::VersionInfo;

    explicit Service(Layout layout);
    virtual ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    virtual void StopService() = 0;
    virtual void SetTimeout(int timeout);
    // Installs the shipped package as A. Never ends the process: a session that ended
    // during it is told in the outcome.
    [[nodiscard]] virtual UpgradeOutcome HandlePackageUpgrade() = 0;
    virtual void PostUpgrade() = 0;
    virtual void PreUpgrade() = 0;
    virtual bool IsNeedUpgrade() = 0;
    // Asked once the client has started: true when the copy, whose check was left to run
    // on while the client started, turned out damaged and is to be healed now by
    // HandlePackageUpgrade. Waits for that check. False by default.
    virtual bool IsDamagedAfterStart() { return false; }

    // Removes the aged folder U + "/app" and, when no upgrade is unfinished, the
    // backups that earlier runs left; runs on every run.
    void RemoveAgedFolders();
    // Lets another launcher work on the tree: called once the removal of left-overs is
    // over. Nothing to release by default.
    virtual void ReleaseTree() {}
    // Why the run did not do what the command line asked for, for standard error; empty
    // when it did or nothing was asked.
    virtual std::string UnmetRequest() const { return std::string(); }
    // Who the last failed PrepareUserEnv is to be blamed on; None after a success.
    Blame FailureBlame() const { return failure_blame; }
    // What the user should hear of this run's upgrade (a failure, a back-off), and the
    // shipped package's identity; false when nothing.
    virtual bool Problem(NoticeEvent& /*event*/, NoticeReason& /*reason*/,
                         std::string& /*identity*/) const
    {
        return false;
    }

    const Layout& GetLayout() const { return layout; }

protected:
    // Creates `dest` and extracts the package into it, checked whole; 0 or -1, with
    // failure_blame set.
    virtual int ExtractPackage(const ustring& dest);
    virtual void LoadSourceVersion();
    virtual void LoadTargetVersion();
    // Prepares the new copy beside A while the client runs, then stops the client and
    // switches the copy in; 0, or -1 with failure_blame set. A failure before the switch
    // leaves A and the running client as they were.
    virtual int PrepareUserEnv();
    // Ends the running client just before the switch; false when it may still run, and
    // A must then stay. Nothing to stop by default.
    virtual bool StopClientsBeforeSwitch() { return true; }

    // Copies a file or a whole folder tree; 0 or -1.
    int FSCopyPath(const ustring& src, const ustring& dest);
    // FSCopyPath's copy of the entries of the folder src into dest, made already.
    int CopyFolderEntries(const ustring& src, const ustring& dest);

    // Present from before A is first touched until the new A is on storage or the old
    // one is back; it names where the complete old installation is meanwhile.
    ustring GetIncompleteMarkerPath() const { return per_user_install_path + ".incomplete"; }
    // Where the new copy is prepared, beside A on the same file system so that it can be
    // switched in by a rename. After an exchange it holds the old copy until removed.
    ustring GetStagingPath() const { return per_user_install_path + ".staging"; }
    // Puts back what a run that ended half-way left: the old installation into A, or
    // no A at all when there was none. 0 when no marker is left, -1 otherwise.
    [[nodiscard]] int RecoverInterruptedUpgrade();
    // Leaves the marker in place after a failed rollback, says so, and records that A
    // may be unfinished. Always -1.
    [[nodiscard]] int KeepMarker(const ustring& marker, const ustring& old_dir);
    // Puts the old installation at backup_dir back into A, durably, and drops the marker;
    // keeps the marker when that fails. Always -1.
    [[nodiscard]] int RollBack(const ustring& app_dir, const ustring& backup_dir,
                               const ustring& marker);
    // The steps of PrepareUserEnv, in their order. Each logs its own failure.
    // Extracts the package into the staging folder, checks that the package did not change
    // while it was read, and makes the tree durable; 0 or -1.
    [[nodiscard]] int PrepareStaging(const ustring& staging);
    // Removes the staging folder of a failed preparation, unless the session is ending
    // (the next run removes it then). Always -1.
    [[nodiscard]] int AbandonStaging(const ustring& staging);
    // Puts the complete, durable staging folder in place as A: an exchange of the two
    // names where the file system has it, two renames under the marker otherwise; 0, or
    // -1 with a complete A in place or named by the marker.
    [[nodiscard]] int SwitchIn(const ustring& app_dir, const ustring& staging,
                               const ustring& marker);
    // The exchange, under the marker that PrepareUserEnv wrote; 0 once the new tree is A on
    // storage, 1 when the file system cannot exchange (nothing changed), -1 when it failed
    // after all (A is the old tree).
    [[nodiscard]] int ExchangeIn(const ustring& app_dir, const ustring& staging);
    // The two renames, for file systems that cannot exchange.
    [[nodiscard]] int RenameIn(const ustring& app_dir, const ustring& staging,
                               const ustring& marker);
    // Moves A aside to a free backup name (backup_dir, left empty when there is no A),
    // the marker naming it first; 0, or -1 with A back in place or the marker kept.
    [[nodiscard]] int MoveAsideOldInstallation(const ustring& app_dir, const ustring& marker,
                                               ustring& backup_dir);
    // Rewrites the marker to name the backup before a new A may appear; 0 or -1.
    [[nodiscard]] int PointMarkerAtBackup(const ustring& app_dir, const ustring& backup_dir,
                                          const ustring& marker);
    // After ExtractPackage: puts the new tree's name on storage and describes it as the
    // next A; 0 or -1.
    [[nodiscard]] int FlushNewTree(const ustring& app_dir, const ustring& tree);
    // Drops the marker, which makes the new A the installation; always 0.
    [[nodiscard]] int CommitNewTree(const ustring& app_dir, const ustring& marker);
    // Puts the backup back into A, or clears A when there was none; always -1.
    [[nodiscard]] int UndoFailedInstall(const ustring& app_dir, const ustring& backup_dir,
                                        const ustring& marker);
    void RemoveLeftOverBackups();

    const Layout layout;
    int timeout;
    // Set when a failed upgrade could not put A back: A may be partial while the old
    // installation waits under a backup name, so its client must not be started.
    bool unfinished_tree = false;
    // Set when the marker could not be removed for good after a successful upgrade: a
    // marker that comes back names the backup, which must then stay.
    bool keep_backups = false;
    // Set when another launcher is working on the tree: this one leaves it alone and
    // only starts the client.
    bool tree_busy = false;
    // Who the last failure of PrepareUserEnv is to be blamed on, and its error number
    // where one is known (0 otherwise).
    Blame failure_blame = Blame::None;
    int failure_errno = 0;
    // Set once the client was stopped for the switch: a failure after it restarts the client.
    bool client_stopped = false;
    ustring per_user_install_path;
    // The shipped version file, read once by LoadTargetVersion; its version is target_version.
    PackageInfo shipped;
    VersionInfo target_version;
    VersionInfo source_version;
};
