#include "linux/version_parse.h"

#include <climits>
#include <limits>

namespace {

bool isBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

int parseBuildNumber(const ustring& text)
{
    const char* p = text.c_str_utf8();
    while (isBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) {
            value = limit;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(value);
}

pid_t parsePid(const ustring& text)
{
    const char* p = text.c_str_utf8();
    if (*p == '\0') {
        return 0;
    }
    const long long max = std::numeric_limits<pid_t>::max();
    long long value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        value = value * 10 + (*p - '0');
        if (value > max) {
            return 0;
        }
    }
    return static_cast<pid_t>(value);
}
