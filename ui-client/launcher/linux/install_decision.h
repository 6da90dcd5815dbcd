#pragma once

#include <cstdint>

// Whether the per-user copy is (re)installed at this start, decided from facts gathered
// once beforehand, by functions that touch nothing: each rule is one row of a table.

// Why the per-user copy is (re)installed; None when it is not.
enum class InstallReason
{
    None,
    Unfinished,    // a marker is left from a run that ended half-way
    MissingClient, // no client executable in A
    NewerBuild,    // the shipped build is greater than the installed one
    DamagedTree,   // A differs from the manifest written when it was installed
    Requested,     // the user asked for a reinstall (--reinstall)
};

// What is known of A's check against its manifest when the decision is made.
enum class CopyCheck
{
    Intact,
    Damaged,
    Unknown, // nothing to check it against
    Pending, // still running: the client may start first
};

struct InstallFacts
{
    bool marker_left = false;
    bool client_present = false;
    int installed_build = 0;
    int shipped_build = 0;
    bool reinstall_requested = false;
    CopyCheck copy = CopyCheck::Unknown;
};

struct InstallDecision
{
    InstallReason reason = InstallReason::None;
    // The copy's check is to be taken after the client's start, and may then call for a heal.
    bool check_after_start = false;
};

// The first reason that holds, cheapest first; the copy's check only when nothing else
// calls for an install, and left for after the start while it still runs.
InstallDecision DecideInstall(const InstallFacts& facts);

// Why an install that is called for does not go ahead.
enum class Refusal
{
    None,
    PackageUnusable, // missing, not a regular file, unreadable: nothing touched or counted
    BackedOff,       // the package failed its attempts and waits out the back-off
    NoRoom,          // too few free bytes in U
    NoInodes,        // too few free inodes in U
};

struct AdmissionFacts
{
    bool package_usable = false;
    bool client_present = false;
    int64_t retry_at = 0; // when the back-off ends, seconds since the epoch; 0: none
    int64_t now = 0;
    bool enough_bytes = false;
    bool enough_entries = false;
};

// Without a client there is nothing left to protect, so the back-off never holds it back.
Refusal AdmitInstall(const AdmissionFacts& facts);

const char* DescribeInstallReason(InstallReason reason);
