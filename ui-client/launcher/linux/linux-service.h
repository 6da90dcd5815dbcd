#pragma once

#include "brisendale-service.h"
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
    void PreUpgrade() override;
    bool IsNeedUpgrade() override;

private:
    bool PerUserBinPathExist();
    UpgradeGuard MakeUpgradeGuard() const;
    bool UpgradeAllowed(const UpgradeGuard& guard);
    uint64_t ReadPackageCount(const char* key) const;
    int LaunchPerUserBin();
    void LoadTargetVerInfo();
    void LoadSourceVerInfo();
};
