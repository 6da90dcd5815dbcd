#pragma once

#include "brisendale-service.h"
#include "file/unique_fd.h"
#include "linux/upgrade_guard.h"

#include <cstdint>

// The Linux service: the upgrade decision, stopping the running client through
// its pid file, and starting the per-user client.
class LinuxService : public Service
{
public:
    LinuxService();
    ~LinuxService() override;

    // A process-wide instance; the worker makes its own.
    static LinuxService& GetInstace();

    void StopService() override;
    int HandlePackageUpgrade() override;
    void PostUpgrade() override;
    void ReleaseTree() override;
    void PreUpgrade() override;
    bool IsNeedUpgrade() override;

    // The lock that keeps a second launcher of the same home (another machine, another
    // login) off the tree, in U: never removed, or the next two launchers would each
    // lock a file of their own.
    static ustring GetHomeLockPath();

private:
    // Takes the home lock, waiting up to HOME_LOCK_WAIT_MS. False when another launcher
    // holds it all that time; true when taken or when the home cannot hold a lock.
    bool LockHome();
    bool PerUserBinPathExist();
    UpgradeGuard MakeUpgradeGuard() const;
    bool UpgradeAllowed(const UpgradeGuard& guard);
    uint64_t ReadPackageCount(const char* key) const;
    int LaunchPerUserBin();
    void LoadTargetVerInfo();
    void LoadSourceVerInfo();

    static constexpr int HOME_LOCK_WAIT_MS = 30000;
    // Held from the recovery through the removal of left-overs, which follows the
    // client's start.
    UniqueFd home_lock;
};
