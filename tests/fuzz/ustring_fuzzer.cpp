// Fuzz target for ustring: construction from UTF-8 and UTF-16, appends and assignments
// (from its own buffers too), searches with fuzzed positions, substr and normalize.
// Byte-level results are checked against std::string, conversions against their round
// trip.
#include "fuzz_support.h"
#include "ustring/ustring.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ustring keeps text up to the first NUL.
std::string model(const std::string& bytes)
{
    return bytes.substr(0, bytes.find('\0'));
}

void checkSame(const ustring& s, const std::string& expected, const char* what)
{
    fuzz::check(s.length() == expected.size() && std::strlen(s.c_str()) == s.length() &&
                    expected.compare(0, std::string::npos, s.c_str(), s.length()) == 0,
                what, "'" + std::string(s.c_str()) + "' != '" + expected + "'");
}

// Valid UTF-8 survives the trip through UTF-16 unchanged.
void checkUtf16RoundTrip(const ustring& s)
{
    if (s.empty() || !ustring::is_valid(s)) {
        return;
    }
    const ustring back(s.c_str_utf16());
    checkSame(back, s.c_str(), "UTF-8 -> UTF-16 -> UTF-8");
}

// Code units up to the first 0, with a 0 added at the end.
std::vector<uchar16_t> units(const std::string& bytes)
{
    std::vector<uchar16_t> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uchar16_t u = static_cast<uchar16_t>(static_cast<uint8_t>(bytes[i]) |
                                                   static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (u == 0) {
            break;
        }
        out.push_back(u);
    }
    out.push_back(0);
    return out;
}

void searches(const ustring& s, const std::string& m, fuzz::Input& in)
{
    const std::string needle = model(in.text());
    const size_t pos = in.upTo(m.size() + 2);
    const size_t rpos = in.byte() & 1 ? ustring::npos : in.upTo(m.size() + 2);
    // For an empty needle or a start past the end ustring answers differently from
    // std::string by design; the rest must agree.
    if (!needle.empty()) {
        const size_t f = s.find(needle.c_str(), pos);
        fuzz::check(f == (pos < m.size() ? m.find(needle, pos) : std::string::npos), "find");
        fuzz::check(s.rfind(needle.c_str(), rpos) == m.rfind(needle, rpos), "rfind");
        fuzz::check(s.find_first_of(needle.c_str(), pos) == m.find_first_of(needle, pos),
                    "find_first_of");
        fuzz::check(s.find_last_of(needle.c_str(), rpos) == m.find_last_of(needle, rpos),
                    "find_last_of");
    }
    if (!needle.empty() && !m.empty()) {
        const char c = needle[0];
        fuzz::check(s.find(c, pos) == (pos < m.size() ? m.find(c, pos) : std::string::npos),
                    "find(char)");
        fuzz::check(s.rfind(c, rpos) == m.rfind(c, rpos), "rfind(char)");
    }
}

void substrings(const ustring& s, const std::string& m, fuzz::Input& in)
{
    const size_t start = in.upTo(m.size() + 2);
    const size_t len = in.byte() & 1 ? ustring::npos : in.upTo(m.size() + 2);
    try {
        const ustring part = s.substr(start, len);
        fuzz::check(start <= m.size(), "substr past the end did not throw");
        checkSame(part, m.substr(start, len), "substr");
    } catch (const std::out_of_range&) {
        fuzz::check(start > m.size(), "substr threw inside the text");
    }
}

// Appends `more` (0-terminated), or the same units from `from` when given, and checks
// the result against a separate conversion: invalid UTF-8 is left alone, and text whose
// UTF-16 is invalid is not checked (the conversion drops it).
void appendUtf16(ustring& s, const std::vector<uchar16_t>& more, const uchar16_t* from = nullptr)
{
    const ustring before(s);
    const ustring added(more.data());
    s.append(from ? from : more.data(), more.size() - 1);
    if (!ustring::is_valid(before)) {
        checkSame(s, before.c_str(), "append(UTF-16) changed unconvertible text");
    } else if (more.size() == 1 || !added.empty()) {
        checkSame(s, std::string(before.c_str()) + added.c_str(), "append(UTF-16)");
    }
}

// Appends from outside and from the string itself, in both encodings. Past a kilobyte
// appends stop: self-appends would double the text at every step.
void appends(ustring& s, std::string& m, fuzz::Input& in)
{
    const uint8_t op = in.byte() % 5;
    if (m.size() > 1024) {
        return;
    }
    if (op == 0) {
        const std::string more = in.text();
        s.append(more.c_str(), more.size());
        m += model(more);
        checkSame(s, m, "append(const char*, n)");
    } else if (op == 1) {
        const ustring copy(s);
        const size_t pos = in.upTo(m.size() + 1);
        const size_t len = in.upTo(m.size() + 1);
        try {
            s.append(s, pos, len);
            fuzz::check(pos <= m.size(), "self-append past the end did not throw");
            m += m.substr(pos, len);
            checkSame(s, m, "append(self, pos, len)");
        } catch (const std::out_of_range&) {
            fuzz::check(pos > m.size(), "self-append threw inside the text");
            checkSame(s, copy.c_str(), "a throwing append changed the text");
        }
    } else if (op == 2) {
        const char c = static_cast<char>(in.byte());
        const size_t n = in.byte() % 8;
        s.append(c, n);
        m.append(c ? n : 0, c);
        checkSame(s, m, "append(char, n)");
    } else if (op == 3) {
        appendUtf16(s, units(in.text()));
        m = s.c_str();
    } else {
        // A prefix of our own UTF-16 cache, which may move as it grows.
        const uchar16_t* own = s.c_str_utf16();
        std::vector<uchar16_t> prefix;
        for (size_t n = in.byte(); own && n > 0 && own[prefix.size()] != 0; --n) {
            prefix.push_back(own[prefix.size()]);
        }
        prefix.push_back(0);
        appendUtf16(s, prefix, own);
        m = s.c_str();
    }
}

// Assignments from the string's own UTF-8 text or UTF-16 cache, which they overwrite.
void selfAssigns(ustring& s, std::string& m, fuzz::Input& in)
{
    const uint8_t op = in.byte() % 3;
    const size_t pos = in.upTo(m.size() + 1);
    const size_t n = in.byte() & 1 ? ustring::npos : in.upTo(m.size() + 1);
    if (op == 0) {
        const size_t from = pos < m.size() ? pos : m.size();
        s.assign(s.c_str() + from, n);
        m = m.substr(from, n);
        checkSame(s, m, "assign(own text + pos, n)");
    } else if (op == 1) {
        try {
            s.assign(s, pos, n);
            fuzz::check(pos <= m.size(), "self-assign past the end did not throw");
            m = m.substr(pos, n);
            checkSame(s, m, "assign(self, pos, len)");
        } catch (const std::out_of_range&) {
            fuzz::check(pos > m.size(), "self-assign threw inside the text");
            checkSame(s, m, "a throwing assign changed the text");
        }
    } else {
        const bool valid = ustring::is_valid(s);
        const uchar16_t* own = s.c_str_utf16();
        std::vector<uchar16_t> prefix;
        for (size_t i = 0; own && i < n && own[i] != 0; ++i) {
            prefix.push_back(own[i]);
        }
        prefix.push_back(0);
        const ustring expected(prefix.data());
        s.assign(own, n);
        if (valid) {
            checkSame(s, expected.c_str(), "assign(own UTF-16, n)");
        }
        m = s.c_str();
    }
}

void normalizations(const ustring& s)
{
    if (!ustring::is_valid(s)) {
        (void)s.normalize(ustring::NFC);
        return;
    }
    const ustring nfc = s.normalize(ustring::NFC);
    const ustring nfd = s.normalize(ustring::NFD);
    fuzz::check(nfc.normalize(ustring::NFC) == nfc, "NFC is not stable");
    fuzz::check(nfd.normalize(ustring::NFD) == nfd, "NFD is not stable");
    fuzz::check(nfd.normalize(ustring::NFC) == nfc, "NFC(NFD(x)) != NFC(x)");
    fuzz::check(s.empty() == nfc.empty(), "NFC emptied the text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const std::string first = in.text();
    ustring s(first);
    std::string m = model(first);
    checkSame(s, m, "construction from UTF-8");
    checkUtf16RoundTrip(s);

    const std::vector<uchar16_t> wide = units(in.text());
    const ustring fromWide(wide.data());
    checkUtf16RoundTrip(fromWide);

    // A bounded number of steps keeps each input fast enough to fuzz.
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.byte() % 5) {
        case 0:
            appends(s, m, in);
            break;
        case 3:
            selfAssigns(s, m, in);
            break;
        case 1:
            searches(s, m, in);
            break;
        case 2:
            substrings(s, m, in);
            break;
        default:
            normalizations(s);
            break;
        }
    }
    return 0;
}
