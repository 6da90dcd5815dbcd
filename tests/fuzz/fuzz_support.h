#pragma once

// Small helpers shared by the fuzz targets.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

// Stops the run with a message: libFuzzer saves the input that got here.
[[noreturn]] inline void fail(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = std::string())
{
    if (!ok) {
        fail(what, detail);
    }
}

// Reads fields from the front of the input; past its end every read gives zeros.
class Input
{
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint8_t byte() { return m_size ? (--m_size, *m_data++) : 0; }
    // A size in [0, limit], so that positions hit both ends and beyond.
    size_t upTo(size_t limit)
    {
        const size_t raw = static_cast<size_t>(byte()) << 8 | byte();
        return raw % (limit + 1);
    }
    // The next `n` bytes (fewer at the end) as a string; may hold NULs.
    std::string bytes(size_t n)
    {
        n = n < m_size ? n : m_size;
        std::string out(reinterpret_cast<const char*>(m_data), n);
        m_data += n;
        m_size -= n;
        return out;
    }
    // A string whose length is read first.
    std::string text() { return bytes(byte()); }
    std::string rest() { return bytes(m_size); }
    bool empty() const { return m_size == 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
};

} // namespace fuzz
