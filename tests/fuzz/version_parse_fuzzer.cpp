// Fuzz target for the service's parsing of build numbers and pid values: both are read
// from files that other programs write. Each result is checked against the C library.
#include "fuzz_support.h"
#include "linux/version_parse.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

// What atoi would give if it clamped instead of overflowing.
int referenceBuildNumber(const char* text)
{
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) {
        return INT_MAX;
    }
    return v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

// Digits alone, not all zeros, no larger than pid_t holds; 0 otherwise.
pid_t referencePid(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > static_cast<unsigned long long>(std::numeric_limits<pid_t>::max())) {
        return 0;
    }
    return static_cast<pid_t>(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The service sees text up to the first NUL, as ustring keeps it.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string text = raw.substr(0, raw.find('\0'));
    const ustring value(text);

    const int build = parseBuildNumber(value);
    const int expectedBuild = referenceBuildNumber(text.c_str());
    fuzz::check(build == expectedBuild, "parseBuildNumber",
                std::to_string(build) + " != " + std::to_string(expectedBuild));

    const pid_t pid = parsePid(value);
    const pid_t expectedPid = referencePid(text);
    fuzz::check(pid == expectedPid, "parsePid",
                std::to_string(pid) + " != " + std::to_string(expectedPid));
    fuzz::check(pid >= 0, "parsePid gave a negative pid");
    return 0;
}
