// The decision to (re)install the per-user copy, as a table: each row is a start's facts
// and what must follow from them, in process, with nothing on disk.
#include "linux/install_decision.h"

#include <gtest/gtest.h>

namespace {

// An installed copy of build 120 with its client, nothing left half-way, and 120 shipped.
InstallFacts settled()
{
    InstallFacts f;
    f.client_present = true;
    f.installed_build = 120;
    f.shipped_build = 120;
    f.copy = CopyCheck::Intact;
    return f;
}

struct DecisionRow
{
    const char* name;
    InstallFacts facts;
    InstallReason reason;
    bool check_after_start;
};

InstallFacts with(InstallFacts f, void (*change)(InstallFacts&))
{
    change(f);
    return f;
}

class DecisionTest : public ::testing::TestWithParam<DecisionRow>
{};

TEST_P(DecisionTest, FollowsFromTheFacts)
{
    const DecisionRow& row = GetParam();
    const InstallDecision decision = DecideInstall(row.facts);
    EXPECT_EQ(decision.reason, row.reason) << DescribeInstallReason(decision.reason);
    EXPECT_EQ(decision.check_after_start, row.check_after_start);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DecisionTest,
    ::testing::Values(
        DecisionRow{"intact", settled(), InstallReason::None, false},
        DecisionRow{"nothing_to_check_against",
                    with(settled(), [](InstallFacts& f) { f.copy = CopyCheck::Unknown; }),
                    InstallReason::None, false},
        DecisionRow{"damaged",
                    with(settled(), [](InstallFacts& f) { f.copy = CopyCheck::Damaged; }),
                    InstallReason::DamagedTree, false},
        // The login does not wait for the check: the client starts, the check follows.
        DecisionRow{"check_still_running",
                    with(settled(), [](InstallFacts& f) { f.copy = CopyCheck::Pending; }),
                    InstallReason::None, true},
        DecisionRow{"newer_build", with(settled(), [](InstallFacts& f) { f.shipped_build = 121; }),
                    InstallReason::NewerBuild, false},
        // An older shipped build is no downgrade.
        DecisionRow{"older_build", with(settled(), [](InstallFacts& f) { f.shipped_build = 119; }),
                    InstallReason::None, false},
        DecisionRow{"reinstall_asked",
                    with(settled(), [](InstallFacts& f) { f.reinstall_requested = true; }),
                    InstallReason::Requested, false},
        DecisionRow{"client_missing",
                    with(settled(), [](InstallFacts& f) { f.client_present = false; }),
                    InstallReason::MissingClient, false},
        // A half-done upgrade outranks everything; a pending check is not waited for.
        DecisionRow{"unfinished_over_all",
                    with(settled(),
                         [](InstallFacts& f) {
                             f.marker_left = true;
                             f.client_present = false;
                             f.shipped_build = 121;
                             f.copy = CopyCheck::Pending;
                         }),
                    InstallReason::Unfinished, false},
        DecisionRow{"newer_build_needs_no_check",
                    with(settled(),
                         [](InstallFacts& f) {
                             f.shipped_build = 121;
                             f.copy = CopyCheck::Pending;
                         }),
                    InstallReason::NewerBuild, false}),
    [](const ::testing::TestParamInfo<DecisionRow>& i) { return std::string(i.param.name); });

struct AdmissionRow
{
    const char* name;
    AdmissionFacts facts;
    Refusal refusal;
};

AdmissionFacts admissible()
{
    AdmissionFacts f;
    f.package_usable = true;
    f.client_present = true;
    f.now = 1'000'000;
    f.enough_bytes = true;
    f.enough_entries = true;
    return f;
}

AdmissionFacts with(AdmissionFacts f, void (*change)(AdmissionFacts&))
{
    change(f);
    return f;
}

class AdmissionTest : public ::testing::TestWithParam<AdmissionRow>
{};

TEST_P(AdmissionTest, FollowsFromTheFacts)
{
    EXPECT_EQ(AdmitInstall(GetParam().facts), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AdmissionTest,
    ::testing::Values(
        AdmissionRow{"all_well", admissible(), Refusal::None},
        AdmissionRow{"back_off_over",
                     with(admissible(), [](AdmissionFacts& f) { f.retry_at = f.now; }),
                     Refusal::None},
        AdmissionRow{"backed_off",
                     with(admissible(), [](AdmissionFacts& f) { f.retry_at = f.now + 1; }),
                     Refusal::BackedOff},
        // With no client left there is nothing to protect: the back-off does not hold.
        AdmissionRow{"backed_off_without_a_client",
                     with(admissible(),
                          [](AdmissionFacts& f) {
                              f.retry_at = f.now + 1;
                              f.client_present = false;
                          }),
                     Refusal::None},
        // Nothing is touched or counted before the package can be read.
        AdmissionRow{"package_unusable_first",
                     with(admissible(),
                          [](AdmissionFacts& f) {
                              f.package_usable = false;
                              f.retry_at = f.now + 1;
                              f.enough_bytes = false;
                          }),
                     Refusal::PackageUnusable},
        AdmissionRow{"no_room",
                     with(admissible(), [](AdmissionFacts& f) { f.enough_bytes = false; }),
                     Refusal::NoRoom},
        AdmissionRow{"no_inodes",
                     with(admissible(), [](AdmissionFacts& f) { f.enough_entries = false; }),
                     Refusal::NoInodes}),
    [](const ::testing::TestParamInfo<AdmissionRow>& i) { return std::string(i.param.name); });

} // namespace
