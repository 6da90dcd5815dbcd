#pragma once

#include "brisendale-service.h"
#include "linux/upgrade_guard.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

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

    // How long PostUpgrade waits for the start script (60 s); tests shorten it.
    void SetStartWait(int seconds);

private:
    bool PerUserBinPathExist();
    bool FindClients(std::vector<pid_t>& pids);
    // Ends every running client of A; false when one may still run.
    [[nodiscard]] bool StopClients();
    bool StopProcess(pid_t pid, const std::string& client);
    UpgradeGuard MakeUpgradeGuard() const;
    bool UpgradeAllowed(const UpgradeGuard& guard);
    uint64_t ReadInstalledSize() const;
    int LaunchPerUserBin();
    void LoadTargetVerInfo();
    void LoadSourceVerInfo();

    int start_wait_seconds = 60;
};
