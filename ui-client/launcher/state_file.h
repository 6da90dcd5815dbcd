#pragma once

#include "ustring/ustring.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

// The small key=value files that the service keeps beside the per-user
// application folder: one "key=value" per line, nothing else.
using StateValues = std::map<std::string, std::string>;

enum class StateRead
{
    Ok,
    Missing,
    Unreadable, // an I/O error: what the file says is unknown
};

// Reads at most 8 KiB; lines without '=' are skipped.
StateRead ReadStateFile(const ustring& path, StateValues& values);
// Replaces the file atomically and durably, keys in the given order, making its folder
// first when it is missing. 0 or -1.
int WriteStateFile(const ustring& path,
                   const std::vector<std::pair<std::string, std::string>>& values);
