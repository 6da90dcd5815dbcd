#include "linux/install_decision.h"

InstallDecision DecideInstall(const InstallFacts& facts)
{
    InstallDecision decision;
    if (facts.marker_left) {
        decision.reason = InstallReason::Unfinished;
    } else if (!facts.client_present) {
        decision.reason = InstallReason::MissingClient;
    } else if (facts.shipped_build > facts.installed_build) {
        decision.reason = InstallReason::NewerBuild;
    } else if (facts.reinstall_requested) {
        decision.reason = InstallReason::Requested;
    } else if (facts.copy == CopyCheck::Damaged) {
        decision.reason = InstallReason::DamagedTree;
    } else if (facts.copy == CopyCheck::Pending) {
        decision.check_after_start = true;
    }
    return decision;
}

Refusal AdmitInstall(const AdmissionFacts& facts)
{
    if (!facts.package_usable) {
        return Refusal::PackageUnusable;
    }
    if (facts.client_present && facts.retry_at > facts.now) {
        return Refusal::BackedOff;
    }
    if (!facts.enough_bytes) {
        return Refusal::NoRoom;
    }
    if (!facts.enough_entries) {
        return Refusal::NoInodes;
    }
    return Refusal::None;
}

const char* DescribeInstallReason(InstallReason reason)
{
    switch (reason) {
    case InstallReason::None:
        break;
    case InstallReason::Unfinished:
        return "the last upgrade did not finish";
    case InstallReason::MissingClient:
        return "the client is missing";
    case InstallReason::NewerBuild:
        return "its build is newer";
    case InstallReason::DamagedTree:
        return "the installed copy is damaged";
    case InstallReason::Requested:
        return "a reinstall asked for by the user";
    }
    return "not needed";
}
