#pragma once

// What `--status` and `--version` tell about the per-user copy: read only, with no file
// created, no lock kept and no wait on another launcher.
#include "manifest.h"
#include "ustring/ustring.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>

namespace status {

// The build of the copy in A, or of the copy being replaced while an upgrade is under way
// or was left half-way: "build 7", "not installed", ... (for --version).
QString DescribeCopy(const ustring& app_dir);

struct Report
{
    ustring user_root, app_dir, package, shipped_info;
    bool installed = false;      // A is there, or a half-done upgrade holds it
    std::string installed_build; // A/INFO's build; empty when unknown
    std::string shipped_build;   // P/INFO's build; empty when unknown
    bool marker = false;         // A.incomplete: the last upgrade did not finish
    bool staging = false;        // a new copy is being prepared beside A
    bool busy = false;           // another launcher holds the home lock
    std::string reason;          // why an upgrade is due, a key; empty when none is
    int attempts = 0;            // failed or interrupted attempts of the shipped package
    int64_t last_attempt = 0;    // seconds since the epoch, 0 when unknown
    int64_t retry_at = 0;        // the back-off's end, 0 when there is none
    TreeCheck check;
    bool check_cut = false; // the check took too long and was stopped
};

// Gathers the report for P = `root` and U = `user_root`; writes nothing. Bounded: the
// manifest check is stopped after `check_ms` milliseconds.
Report Gather(const ustring& root, const ustring& user_root, int check_ms = 1500);

// The report for people, one fact a line, and for scripts.
QString Text(const Report& report, int64_t now);
QByteArray Json(const Report& report);

// The exit code of --status with nothing installed.
constexpr int NOT_INSTALLED = 3;

} // namespace status
