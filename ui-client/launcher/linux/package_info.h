#pragma once

#include "ustring/ustring.h"

#include <cstdint>
#include <string>

// The group "Version" of a version file (INFO): the build of a copy or of the shipped
// package. Absent keys stay empty.
struct VersionInfo
{
    ustring major_version;
    ustring minor_version;
    ustring build_version;
    ustring icon_overlay_version;
};

// What a version file says: its version, and the group "Package", which describes the
// package shipped beside it.
struct PackageInfo
{
    VersionInfo version;
    // Counts: 0 when missing or not a number, and the largest count when too large to
    // hold, so that it never fits.
    uint64_t installed_size = 0;
    uint64_t installed_entries = 0;
    std::string sha256; // "" when missing
};

// Reads the version file at `path` once, values trimmed. Anything but a regular file
// reads as empty: a FIFO would hold the run.
PackageInfo ReadPackageInfo(const ustring& path);
