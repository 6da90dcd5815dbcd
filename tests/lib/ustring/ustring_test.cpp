#include "ustring/ustring.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Exposes the buffer bookkeeping that the sizing rules are about.
class Probe : public ustring
{
public:
    using ustring::ustring;
    size_t cap() const { return data_cap; }
    size_t wcap() const { return wdata_cap; }
    size_t wlen() const { return wdata_len; }
};

std::vector<uchar16_t> units(const char16_t* s)
{
    std::vector<uchar16_t> v;
    for (; *s; ++s) {
        v.push_back(static_cast<uchar16_t>(*s));
    }
    v.push_back(0);
    return v;
}

std::u16string utf16(const ustring& s)
{
    std::u16string r;
    for (const uchar16_t* p = s.c_str_utf16(); *p; ++p) {
        r.push_back(static_cast<char16_t>(*p));
    }
    return r;
}

std::string text(const ustring& s)
{
    return std::string(s.c_str(), s.length());
}

// True when `out` is exactly one line "Warning: <what>: error code <n> at line <n>".
bool isWarningLine(const std::string& out, const std::string& what)
{
    std::string head = "Warning: " + what + ": error code ";
    if (out.compare(0, head.size(), head) != 0) {
        return false;
    }
    size_t i = head.size();
    auto digits = [&] {
        size_t from = i;
        while (i < out.size() && out[i] >= '0' && out[i] <= '9') {
            ++i;
        }
        return i > from;
    };
    if (!digits() || out.compare(i, 9, " at line ") != 0) {
        return false;
    }
    i += 9;
    return digits() && i + 1 == out.size() && out[i] == '\n';
}

// ---- sizes and buffers ----

TEST(UstringBasics, LengthsCountUtf8Bytes)
{
    EXPECT_EQ(ustring("abc").length(), 3u);
    ustring e_acute("\xC3\xA9");
    EXPECT_EQ(e_acute.size(), 2u);
    EXPECT_EQ(utf16(e_acute), u"\u00E9");
    EXPECT_TRUE(ustring().empty());
    EXPECT_STREQ(ustring().c_str_utf8(), "");
}

TEST(UstringBasics, CopiesStopAtTheFirstNul)
{
    EXPECT_EQ(text(ustring(std::string("ab\0cd", 5))), "ab");
    ustring s("x");
    s.append("ab\0cd", 5);
    EXPECT_EQ(text(s), "xab");
    s.append(std::string("q\0r", 3), 0, ustring::npos);
    EXPECT_EQ(text(s), "xabq");
    s.append('\0', 3);
    EXPECT_EQ(s.length(), 4u);
}

TEST(UstringBuffers, NewStringOwnsFourBytesAndFourUnits)
{
    Probe s;
    EXPECT_EQ(s.cap(), 4u);
    EXPECT_EQ(s.wcap(), 4u);
}

TEST(UstringBuffers, GrowsExactlyWithoutRounding)
{
    Probe s;
    s.append("abcdef");
    EXPECT_EQ(s.cap(), 7u);
    s.append("g");
    EXPECT_EQ(s.cap(), 8u);
    s.append('h', 3);
    EXPECT_EQ(s.cap(), 11u);
    EXPECT_EQ(text(s), "abcdefghhh");
}

TEST(UstringBuffers, ShrinksOnlyBelowHalf)
{
    Probe s("abcdefg"); // 8 bytes
    s.assign("abc");    // request 4 is half of 8: kept
    EXPECT_EQ(s.cap(), 8u);
    s.assign("ab"); // request 3 is below half: shrunk to it
    EXPECT_EQ(s.cap(), 3u);
    EXPECT_EQ(text(s), "ab");
}

TEST(UstringBuffers, Utf16BufferIsSizedToTheText)
{
    Probe s("abcdefgh");
    EXPECT_EQ(s.wlen(), 0u);
    s.c_str_utf16();
    EXPECT_EQ(s.wlen(), 8u);
    EXPECT_EQ(s.wcap(), 9u);
}

TEST(UstringBuffers, CopyTakesTextButNotTheCache)
{
    Probe a("hello");
    a.c_str_utf16();
    Probe b(a);
    EXPECT_EQ(text(b), "hello");
    EXPECT_EQ(b.wlen(), 0u);
    EXPECT_NE(b.c_str(), a.c_str());
}

// ---- self reference ----

TEST(UstringSelf, AppendOwnTextDoublesIt)
{
    Probe s("ab");
    s.append(s.c_str());
    EXPECT_EQ(text(s), "abab");
    EXPECT_EQ(s.cap(), 5u);
}

TEST(UstringSelf, AppendOwnTextAcrossAReallocation)
{
    // Long enough for realloc to move the block: the copy must read the new one.
    std::string big(5000, 'q');
    ustring s(big);
    s.append(s.c_str());
    EXPECT_EQ(text(s), big + big);
    s.append(s.c_str(), 3);
    EXPECT_EQ(s.length(), 10003u);
    s.append(s.c_str(), 1u << 20);
    EXPECT_EQ(s.length(), 20006u);
}

TEST(UstringSelf, AppendFromInsideOwnText)
{
    ustring s("abc");
    s.append(s.c_str() + 1);
    EXPECT_EQ(text(s), "abcbc");
}

TEST(UstringSelf, AssignOwnText)
{
    ustring s("abc");
    s.assign(s.c_str());
    EXPECT_EQ(text(s), "abc");
    s.assign(s.c_str(), 10);
    EXPECT_EQ(text(s), "abc");
    s.assign(s.c_str(), 1);
    EXPECT_EQ(text(s), "a");
    ustring t("abcd");
    t.assign(t.c_str() + 2);
    EXPECT_EQ(text(t), "cd");
}

TEST(UstringSelf, SelfAssignAndSubstringOfSelf)
{
    ustring s("abc");
    ustring& alias = s;
    s = alias;
    EXPECT_EQ(text(s), "abc");
    s.assign(alias, 1, ustring::npos);
    EXPECT_EQ(text(s), "bc");
    s += alias;
    EXPECT_EQ(text(s), "bcbc");
}

TEST(UstringSelf, FailedSubstringAssignLeavesStringEmpty)
{
    ustring s("keep");
    ustring other("xy");
    EXPECT_THROW(s.assign(other, 3, ustring::npos), std::out_of_range);
    EXPECT_TRUE(s.empty());
    EXPECT_THROW(s.append(std::string("xy"), 3, 1), std::out_of_range);
}

TEST(UstringSelf, Utf16AppendAndAssignOfOwnCache)
{
    ustring s("\xC3\xA9x"); // éx
    s.append(s.c_str_utf16());
    EXPECT_EQ(text(s), "\xC3\xA9x\xC3\xA9x");
    s.append(s.c_str_utf16(), 1);
    EXPECT_EQ(text(s), "\xC3\xA9x\xC3\xA9x\xC3\xA9");
    s.assign(s.c_str_utf16(), 2);
    EXPECT_EQ(text(s), "\xC3\xA9x");
    s.assign(s.c_str_utf16());
    EXPECT_EQ(text(s), "\xC3\xA9x");
}

// ---- the UTF-16 cache follows every UTF-8 change ----

struct CacheRow
{
    const char* name;
    const char* start;
    std::function<void(ustring&)> change;
    std::u16string expected;
};

void PrintTo(const CacheRow& row, std::ostream* os)
{
    *os << row.name;
}

class UstringCache : public ::testing::TestWithParam<CacheRow>
{};

TEST_P(UstringCache, RebuiltAfterChange)
{
    const CacheRow& row = GetParam();
    ustring s(row.start);
    ASSERT_EQ(utf16(s), std::u16string(row.start, row.start + strlen(row.start)));
    row.change(s);
    EXPECT_EQ(utf16(s), row.expected);
}

const CacheRow cache_rows[] = {
    {"append", "ab", [](ustring& s) { s.append("c"); }, u"abc"},
    {"append_chars", "ab", [](ustring& s) { s.append('z', 2); }, u"abzz"},
    {"assign", "ab", [](ustring& s) { s.assign("xyz"); }, u"xyz"},
    {"assign_own_prefix", "abc", [](ustring& s) { s.assign(s.c_str(), 1); }, u"a"},
    {"plus_equals", "ab", [](ustring& s) { s += ustring("!"); }, u"ab!"},
    {"write_through_index", "abc", [](ustring& s) { s[1] = 'X'; }, u"aXc"},
    {"replace", "banana", [](ustring& s) { s.replace('a', 'b'); }, u"bbnbnb"},
    {"ltrim", "  ab", [](ustring& s) { s.ltrim(" "); }, u"ab"},
    {"rtrim", "ab  ", [](ustring& s) { s.rtrim(" "); }, u"ab"},
    {"clear", "ab", [](ustring& s) { s.clear(); }, u""},
    {"swap", "ab",
     [](ustring& s) {
         ustring o("\xC3\xA9");
         o.c_str_utf16();
         s.swap(o);
     },
     u"\u00E9"},
    {"input_stream", "ab",
     [](ustring& s) {
         std::istringstream in("  word tail");
         in >> s;
     },
     u"word"},
};

INSTANTIATE_TEST_SUITE_P(Rows, UstringCache, ::testing::ValuesIn(cache_rows),
                         [](const ::testing::TestParamInfo<CacheRow>& i) {
                             return std::string(i.param.name);
                         });

TEST(UstringCacheConst, ReadingByIndexKeepsTheCache)
{
    Probe s("abc");
    s.c_str_utf16();
    const Probe& c = s;
    EXPECT_EQ(c[1], 'b');
    EXPECT_EQ(s.wlen(), 3u);
    s[1];
    EXPECT_EQ(s.wlen(), 0u);
}

// ---- searches ----

enum class Op
{
    Find,
    RFind,
    FirstOf,
    FirstNotOf,
    LastOf,
    LastNotOf
};

struct SearchRow
{
    const char* name;
    const char* hay;
    Op op;
    const char* needle;
    size_t pos;
    size_t expected;
};

void PrintTo(const SearchRow& row, std::ostream* os)
{
    *os << row.name;
}

class UstringSearch : public ::testing::TestWithParam<SearchRow>
{};

size_t run(const ustring& s, Op op, const char* n, size_t pos)
{
    switch (op) {
    case Op::Find:
        return s.find(n, pos);
    case Op::RFind:
        return s.rfind(n, pos);
    case Op::FirstOf:
        return s.find_first_of(n, pos);
    case Op::FirstNotOf:
        return s.find_first_not_of(n, pos);
    case Op::LastOf:
        return s.find_last_of(n, pos);
    case Op::LastNotOf:
        return s.find_last_not_of(n, pos);
    }
    return 0;
}

TEST_P(UstringSearch, Result)
{
    const SearchRow& r = GetParam();
    ustring hay(r.hay);
    EXPECT_EQ(run(hay, r.op, r.needle, r.pos), r.expected);
    // The std::string and ustring overloads pass the same bytes.
    EXPECT_EQ(run(hay, r.op, ustring(r.needle).c_str(), r.pos), r.expected);
}

const size_t N = ustring::npos;
const SearchRow search_rows[] = {
    {"find_basic", "abcabc", Op::Find, "bc", 0, 1},
    {"find_from_pos", "abcabc", Op::Find, "bc", 2, 4},
    {"find_at_pos", "abcabc", Op::Find, "ca", 2, 2},
    {"find_missing", "abcabc", Op::Find, "cb", 0, N},
    {"find_needle_longer", "ab", Op::Find, "abc", 0, N},
    {"find_empty_needle", "abc", Op::Find, "", 1, 1},
    {"find_empty_needle_at_end", "abc", Op::Find, "", 3, N},
    {"find_pos_npos", "abc", Op::Find, "a", N, N},
    {"find_in_empty", "", Op::Find, "", 0, N},
    {"rfind_slash", "/a/b", Op::RFind, "/", N, 2},
    {"rfind_in_empty", "", Op::RFind, "/", N, N},
    {"rfind_limited_pos", "/a/b", Op::RFind, "/", 1, 0},
    {"rfind_at_pos", "abab", Op::RFind, "ab", 2, 2},
    {"rfind_past_end_clamped", "abab", Op::RFind, "ab", 100, 2},
    {"rfind_empty_needle", "abc", Op::RFind, "", N, 2},
    {"rfind_empty_needle_pos", "abc", Op::RFind, "", 1, 1},
    {"rfind_needle_longer", "ab", Op::RFind, "abc", N, N},
    {"rfind_whole", "abc", Op::RFind, "abc", 0, 0},
    {"first_of", "hello", Op::FirstOf, "lo", 0, 2},
    {"first_of_from_pos", "hello", Op::FirstOf, "lo", 4, 4},
    {"first_of_empty_set", "hello", Op::FirstOf, "", 0, N},
    {"first_of_pos_at_end", "hello", Op::FirstOf, "o", 5, N},
    {"first_not_of", "aab", Op::FirstNotOf, "a", 0, 2},
    {"first_not_of_empty_set", "aab", Op::FirstNotOf, "", 1, 1},
    {"first_not_of_all_in_set", "aaa", Op::FirstNotOf, "a", 0, N},
    {"first_not_of_pos_at_end", "aab", Op::FirstNotOf, "", 3, N},
    {"last_of_clamped", "xax", Op::LastOf, "x", 100, 2},
    {"last_of_limited", "xax", Op::LastOf, "x", 1, 0},
    {"last_of_empty_set", "xax", Op::LastOf, "", N, N},
    {"last_of_in_empty", "", Op::LastOf, "x", N, N},
    {"last_of_utf8_byte", "a\xC3\xA9", Op::LastOf, "\xC3", N, 1},
    {"last_not_of", "abxx", Op::LastNotOf, "x", N, 1},
    {"last_not_of_empty_set", "abc", Op::LastNotOf, "", N, 2},
    {"last_not_of_in_empty", "", Op::LastNotOf, "", N, N},
    {"last_not_of_all_in_set", "xx", Op::LastNotOf, "x", N, N},
};

INSTANTIATE_TEST_SUITE_P(Rows, UstringSearch, ::testing::ValuesIn(search_rows),
                         [](const ::testing::TestParamInfo<SearchRow>& i) {
                             return std::string(i.param.name);
                         });

TEST(UstringSearchChar, NulCharIsAnEmptyNeedleOrSet)
{
    ustring s("abc");
    EXPECT_EQ(s.find('\0', 1), 1u);
    EXPECT_EQ(s.find_first_of('\0', 0), N);
    EXPECT_EQ(s.find_last_not_of('\0', N), 2u);
    EXPECT_EQ(s.find('c'), 2u);
    EXPECT_EQ(s.rfind(std::string("a")), 0u);
}

// ---- substrings and comparison ----

TEST(UstringSubstr, Boundaries)
{
    ustring s("abc");
    EXPECT_EQ(text(s.substr(3, N)), "");
    EXPECT_EQ(text(s.substr(1, N)), "bc");
    EXPECT_EQ(text(s.substr(1, 1)), "b");
    EXPECT_EQ(text(s.substr(1, 99)), "bc");
    EXPECT_EQ(text(s.substr()), "abc");
    try {
        s.substr(4, N);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "substr");
    }
}

TEST(UstringCompare, ByteDifferencesAndCaselessAsciiOnly)
{
    EXPECT_EQ(ustring::compare("a", "c", false), 'a' - 'c');
    EXPECT_EQ(ustring::compare("ab", "a", false), 'b');
    EXPECT_EQ(ustring::compare("ABC", "abc", true), 0);
    EXPECT_NE(ustring::compare("ABC", "abc", false), 0);
    EXPECT_NE(ustring::compare("\xC3\x89", "\xC3\xA9", true), 0);
    // Bytes compare unsigned: UTF-8 sorts after ASCII.
    EXPECT_GT(ustring::compare("\xC3\xA9", "z", false), 0);
    EXPECT_EQ(ustring("abcd").compare(ustring("abzz"), 2), 0);
    EXPECT_LT(ustring("abcd").compare(ustring("abzz"), 3), 0);
    EXPECT_EQ(ustring("a").compare(ustring("b"), 0), 0);
    EXPECT_EQ(ustring("ab").compare(ustring("ab"), 10), 0);
}

TEST(UstringCompare, OperatorsIncludingInclusiveOnes)
{
    ustring a("abc");
    ustring b("abd");
    ustring a2("abc");
    EXPECT_TRUE(a < b && b > a && a != b && !(a == b));
    EXPECT_TRUE(a == a2 && !(a < a2) && !(a > a2));
    EXPECT_TRUE(a <= a2);
    EXPECT_TRUE(a >= a2);
    EXPECT_TRUE(a <= b && !(a >= b));
    EXPECT_TRUE(b >= a && !(b <= a));
}

// ---- modification ----

struct TrimRow
{
    const char* name;
    const char* start;
    const char* list;
    const char* left;
    const char* right;
    const char* both;
};

void PrintTo(const TrimRow& row, std::ostream* os)
{
    *os << row.name;
}

class UstringTrim : public ::testing::TestWithParam<TrimRow>
{};

TEST_P(UstringTrim, Results)
{
    const TrimRow& r = GetParam();
    EXPECT_EQ(text(ustring(r.start).ltrim(r.list)), r.left);
    EXPECT_EQ(text(ustring(r.start).rtrim(r.list)), r.right);
    EXPECT_EQ(text(ustring(r.start).trim(r.list)), r.both);
    EXPECT_EQ(text(ustring(r.start).trim(ustring(r.list))), r.both);
}

const TrimRow trim_rows[] = {
    {"blanks", "  a b  ", " ", "a b  ", "  a b", "a b"},
    {"empty_list", "  a b  ", "", "  a b  ", "  a b  ", "  a b  "},
    {"only_list_bytes", "   ", " ", "", "", ""},
    {"several_bytes", "\t x\t ", " \t", "x\t ", "\t x", "x"},
    {"nothing_to_remove", "abc", " ", "abc", "abc", "abc"},
    {"empty_string", "", " ", "", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, UstringTrim, ::testing::ValuesIn(trim_rows),
                         [](const ::testing::TestParamInfo<TrimRow>& i) {
                             return std::string(i.param.name);
                         });

TEST(UstringTrimSelf, TrimWithItselfAsList)
{
    ustring s("aaa");
    s.trim(s);
    EXPECT_TRUE(s.empty());
}

TEST(UstringModify, ReplaceAndSwap)
{
    ustring s("a/b/c");
    s.replace('/', '\\');
    EXPECT_EQ(text(s), "a\\b\\c");
    s.replace('\\', '\0');
    EXPECT_EQ(text(s), "a");
    EXPECT_EQ(s.length(), 1u);

    ustring x("one");
    ustring y("three");
    const char* px = x.c_str();
    swap(x, y);
    EXPECT_EQ(text(x), "three");
    EXPECT_EQ(text(y), "one");
    EXPECT_EQ(y.c_str(), px);
}

TEST(UstringModify, ConcatenationAndStreams)
{
    ustring base("a");
    EXPECT_EQ(text(base + ustring("b") + "c" + 'd'), "abcd");
    EXPECT_EQ(text(base + units(u"\u00E9").data() + static_cast<uchar16_t>(u'z')), "a\xC3\xA9z");
    EXPECT_EQ(text(base), "a");

    std::ostringstream out;
    out << ustring("x\xC3\xA9") << '|';
    EXPECT_EQ(out.str(), "x\xC3\xA9|");
    std::istringstream in(" first  second");
    ustring t1;
    ustring t2;
    ustring t3("unchanged");
    in >> t1 >> t2;
    EXPECT_EQ(text(t1), "first");
    EXPECT_EQ(text(t2), "second");
    in >> t3;
    EXPECT_TRUE(in.fail());
    EXPECT_EQ(text(t3), "unchanged");
}

// ---- UTF-16 input ----

TEST(UstringUtf16, AppendsConvertToUtf8)
{
    ustring s("x");
    s.append(units(u"\u00E9\U0001F600").data());
    EXPECT_EQ(text(s), "x\xC3\xA9\xF0\x9F\x98\x80");
    s.append(units(u"abc").data(), 2);
    EXPECT_EQ(text(s), "x\xC3\xA9\xF0\x9F\x98\x80"
                       "ab");
    s.assign(static_cast<uchar16_t>(0x20AC), 2);
    EXPECT_EQ(text(s), "\xE2\x82\xAC\xE2\x82\xAC");
    s = units(u"q").data();
    EXPECT_EQ(text(s), "q");
    EXPECT_EQ(text(ustring(units(u"\u00FC").data())), "\xC3\xBC");
}

TEST(UstringUtf16, UnpairedSurrogateEmptiesStringWithOneWarning)
{
    ustring s("abc");
    testing::internal::CaptureStderr();
    s.append(static_cast<uchar16_t>(0xD83D), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(s.empty());
    EXPECT_STREQ(s.c_str(), "");
    EXPECT_EQ(utf16(s), u"");
    EXPECT_TRUE(isWarningLine(err, "u_strToUTF8")) << err;
}

TEST(UstringUtf16, LoneLowSurrogateInTextIsRejectedToo)
{
    ustring s;
    testing::internal::CaptureStderr();
    s.append(units(u"a\xDC00").data());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(s.empty());
    EXPECT_NE(err.find("u_strToUTF8"), std::string::npos);
}

TEST(UstringUtf16, InvalidUtf8GivesEmptyUtf16AndIsRetried)
{
    ustring s("a\xFF");
    testing::internal::CaptureStderr();
    EXPECT_EQ(utf16(s), u"");
    EXPECT_EQ(utf16(s), u"");
    std::string err = testing::internal::GetCapturedStderr();
    size_t first = err.find("Warning: u_strFromUTF8: error code ");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_NE(err.find("Warning: u_strFromUTF8", first + 1), std::string::npos) << err;
    EXPECT_EQ(text(s), "a\xFF");
}

TEST(UstringUtf16, Utf16AppendToInvalidUtf8KeepsTheText)
{
    ustring s("a\xFF");
    testing::internal::CaptureStderr();
    s.append(units(u"b").data());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(text(s), "a\xFF");
}

// ---- validity and normalisation ----

struct ValidRow
{
    const char* name;
    const char* bytes;
    bool valid;
};

void PrintTo(const ValidRow& row, std::ostream* os)
{
    *os << row.name;
}

class UstringValid : public ::testing::TestWithParam<ValidRow>
{};

TEST_P(UstringValid, Verdict)
{
    EXPECT_EQ(ustring::is_valid(ustring(GetParam().bytes)), GetParam().valid);
}

const ValidRow valid_rows[] = {
    {"empty", "", true},
    {"ascii", "abc", true},
    {"two_byte", "\xC3\xA9", true},
    {"four_byte", "\xF0\x9F\x98\x80", true},
    {"byte_ff", "\xFF", false},
    {"truncated_sequence", "a\xC3", false},
    {"overlong_slash", "\xC0\xAF", false},
    {"encoded_surrogate", "\xED\xA0\x80", false},
    {"stray_continuation", "\x80", false},
};

INSTANTIATE_TEST_SUITE_P(Rows, UstringValid, ::testing::ValuesIn(valid_rows),
                         [](const ::testing::TestParamInfo<ValidRow>& i) {
                             return std::string(i.param.name);
                         });

TEST(UstringNormalize, DecomposeAndComposeEAcute)
{
    ustring nfd = ustring::normalize(ustring("\xC3\xA9"), ustring::NFD);
    EXPECT_EQ(text(nfd), "e\xCC\x81");
    EXPECT_EQ(nfd.length(), 3u);
    ustring nfc = nfd.normalize(ustring::NFC);
    EXPECT_EQ(text(nfc), "\xC3\xA9");
    EXPECT_TRUE(ustring::normalize(ustring(), ustring::NFC).empty());
}

TEST(UstringNormalize, RoundTripsOfComposedText)
{
    // Latin with two accents, Hangul syllables, and text normalisation leaves alone.
    const char* samples[] = {"\xE1\xBB\x87", "\xED\x95\x9C\xEA\xB8\x80", "plain/path.txt",
                             "\xC3\x85ngstr\xC3\xB6m"};
    for (const char* s : samples) {
        ustring x(s);
        ustring d = x.normalize(ustring::NFD);
        ustring back = d.normalize(ustring::NFC);
        EXPECT_EQ(text(back), s);
        EXPECT_EQ(text(d.normalize(ustring::NFD)), text(d));
        EXPECT_TRUE(ustring::is_valid(d));
    }
    EXPECT_GT(ustring("\xED\x95\x9C").normalize(ustring::NFD).length(), 3u);
}

} // namespace
