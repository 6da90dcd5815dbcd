#ifndef BRISENDALE_LAUNCHER_LINUX_VERSION_PARSE_H
#define BRISENDALE_LAUNCHER_LINUX_VERSION_PARSE_H

#include "ustring/ustring.h"

#include <sys/types.h>

// A build number as atoi reads it, clamped to the int range instead of overflowing.
int parseBuildNumber(const ustring& text);

// A process id from 1 to the largest pid_t written in decimal digits alone, or 0.
// Anything else would reach a process group, or every process of the user.
pid_t parsePid(const ustring& text);

#endif // BRISENDALE_LAUNCHER_LINUX_VERSION_PARSE_H
