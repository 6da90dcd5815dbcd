#pragma once

#include "brisendale-service.h"
#include "file/unique_fd.h"
#include "linux/client_process.h"
#include "linux/install_decision.h"
#include "linux/upgrade_guard.h"
#include "manifest.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// The Linux service: the upgrade decision, stopping the running client through
// its pid file, and starting the per-user client.
class LinuxService : public Service
{
public:
    explicit LinuxService(Layout layout);
    ~LinuxService() override;

    void StopService() override;
    UpgradeOutcome HandlePackageUpgrade() override;
    void PostUpgrade() override;
    void ReleaseTree() override;
    void PreUpgrade() override;
    bool IsNeedUpgrade() override;
    bool IsDamagedAfterStart() override;

protected:
    bool StopClientsBeforeSwitch() override;

public:
    // Takes the upgrade path even when the builds are equal: lock, stop, backup, marker,
    // rollback and guards as for a newer package.
    void RequestReinstall() { reinstall_requested = true; }
    // Starts the check of the per-user copy against its manifest on a thread of its own, so
    // that it runs while the toolkit starts; the decision uses it when the copy is unchanged.
    static TreeCheckAhead StartTreeCheck(const Layout& layout);
    void UseTreeCheck(TreeCheckAhead ahead) { tree_check_ahead = std::move(ahead); }
    std::string UnmetRequest() const override;
    bool Problem(NoticeEvent& event, NoticeReason& reason, std::string& identity) const override;
    // How long PostUpgrade waits for the start script (60 s); tests shorten it.
    void SetStartWait(int seconds);

private:
    // Gathers the facts of the decision into install_facts, the copy's check only when
    // nothing cheaper calls for an install, and decides.
    InstallDecision DecideFromFacts();
    CopyCheck TakeCopyCheck();
    // Whether the install that `install_reason` calls for goes ahead: the package can be
    // read, and the back-off and room allow it. With no reason, forgets past failures.
    bool UpgradeGoesAhead();
    void LogBackOff(const UpgradeGuard& guard);
    void LogNoRoom(const UpgradeGuard::Room& room, Refusal refusal);
    // Takes the home lock without waiting. False when another launcher holds it; true
    // when taken or when the home cannot hold a lock.
    bool LockHome();
    bool PerUserBinPathExist();
    bool FindClients(const client_process::ClientFile& client, std::vector<pid_t>& pids);
    // Ends every running client of A; false when one may still run.
    [[nodiscard]] bool StopClients();
    bool StopProcess(pid_t pid, const client_process::ClientFile& client);
    UpgradeGuard MakeUpgradeGuard() const;
    // The package exists and can be read: checked before anything is touched.
    bool PackageReadable() const;
    int LaunchPerUserBin();
    // Makes this process the subreaper of what the start script leaves running, before a
    // start that a heal may follow.
    void AdoptWhatTheStartLeaves();
    // Whether the copy's check, once it has ended, found the copy damaged; taken once.
    bool DamagedMeanwhile();
    // Ends what the start left running (TERM, then KILL after the timeout); false when
    // something may still run.
    [[nodiscard]] bool StopAdopted();
    void LoadTargetVerInfo();
    void LoadSourceVerInfo();

    int start_wait_seconds = 60;
    bool reinstall_requested = false;
    bool reinstalled = false;
    TreeCheckAhead tree_check_ahead;
    // The check was still running when the decision was made: the client starts first and
    // IsDamagedAfterStart takes the check afterwards.
    bool tree_check_deferred = false;
    // The deferred check has been taken into install_facts.copy.
    bool copy_taken = false;
    // This process is the subreaper of what its start left running.
    bool adopting = false;
    InstallFacts install_facts;
    InstallReason install_reason = InstallReason::None;
    // What the user is told of this run: set where an upgrade is held back or fails while
    // the installed copy keeps working.
    bool problem = false;
    NoticeEvent problem_event = NoticeEvent::UpgradeFailed;
    NoticeReason problem_reason = NoticeReason::Other;
    std::string problem_identity;
    void NoteProblem(NoticeEvent event, NoticeReason reason, const UpgradeGuard& guard);
    // Held from the recovery through the removal of left-overs, which follows the
    // client's start.
    UniqueFd home_lock;
};
