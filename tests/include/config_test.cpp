#include "config.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;

Entries entries(const Config& c)
{
    Entries out;
    for (const auto& e : c) {
        out.emplace_back(std::string(e.first.c_str(), e.first.length()),
                         std::string(e.second.c_str(), e.second.length()));
    }
    return out;
}

class ConfigFile : public testsupport::ScratchTest
{
protected:
    std::string file(const char* name, const std::string& contents)
    {
        QString p = path() + "/" + name;
        testsupport::writeFile(p, QByteArray(contents.data(), static_cast<int>(contents.size())));
        return p.toStdString();
    }
};

// ---- the grammar, one file per row ----

struct GrammarRow
{
    std::string name;
    std::string contents;
    bool preserve;
    int result;
    Entries expected;
    bool lenient = false;
};

void PrintTo(const GrammarRow& row, std::ostream* os)
{
    *os << row.name;
}

std::vector<GrammarRow> grammar_rows()
{
    const std::string x8186(8186, 'x');
    const std::string x8188(8188, 'x');
    return {
        {"pid_line", "pid=42\n", false, 0, {{"pid", "42"}}},
        {"blanks_and_double_quotes", "pid = \"42\"\n", false, 0, {{"pid", "42"}}},
        {"preserve_keeps_double_quotes", "pid = \"42\"\n", true, 0, {{"pid", "\"42\""}}},
        {"preserve_keeps_apostrophes", "k='v w'\n", true, 0, {{"k", "'v w'"}}},
        {"preserve_leaves_bare_value", "k=v\n", true, 0, {{"k", "v"}}},
        {"key_without_equals", "pid\n", false, -1, {}},
        {"key_without_equals_at_end_of_file", "a=1\npid", false, 0, {{"a", "1"}}},
        {"hash_inside_bare_value", "key=abc#x\n", false, 0, {{"key", "abc#x"}}},
        {"trailing_comment", "key=abc #x\n", false, 0, {{"key", "abc"}}},
        {"blank_in_bare_value", "key=a b\n", false, -1, {}},
        {"blank_in_quoted_value", "key='a b'\n", false, 0, {{"key", "a b"}}},
        {"empty_bare_value", "key=\n", false, -1, {}},
        {"empty_bare_value_at_end_of_file", "key=", false, -1, {}},
        {"empty_quoted_value", "key=\"\"\n", false, 0, {{"key", ""}}},
        {"crlf_line", "pid=42\r\n", false, 0, {{"pid", "42"}}},
        {"byte_order_mark", "\xEF\xBB\xBFpid=42\n", false, -1, {}},
        {"empty_file", "", false, 0, {}},
        {"comments_and_blank_lines_only", "# one\n   # two\n\n \t \n", false, 0, {}},
        {"last_line_without_line_feed", "a=1\nb=2", false, 0, {{"a", "1"}, {"b", "2"}}},
        {"leading_spaces", "\t  k=v\n", false, 0, {{"k", "v"}}},
        {"all_space_bytes_around_equals", "\vk\f\t=\r v \t\n", false, 0, {{"k", "v"}}},
        {"every_key_character", "Az09-._=v\n", false, 0, {{"Az09-._", "v"}}},
        {"empty_key", "=v\n", false, 0, {{"", "v"}}},
        {"foreign_key_character", "a/b=v\n", false, -1, {}},
        {"key_directly_followed_by_comment", "key#note\n", false, 0, {}},
        {"key_blank_comment", "key #note\n", false, -1, {}},
        {"unterminated_quote", "k=\"abc\n", false, -1, {}},
        {"unterminated_quote_at_end_of_file", "k='abc", false, -1, {}},
        {"tab_inside_quotes", "k=\"a\tb\"\n", false, -1, {}},
        {"other_quote_inside_quotes", "k=\"it's\"\n", false, 0, {{"k", "it's"}}},
        {"hash_inside_quotes", "k=\"a #b\"\n", false, 0, {{"k", "a #b"}}},
        {"text_after_closing_quote", "k=\"a\"b\n", false, -1, {}},
        {"comment_after_closing_quote", "k=\"a\"  # c\n", false, 0, {{"k", "a"}}},
        {"equals_inside_value", "k=a=b\n", false, 0, {{"k", "a=b"}}},
        {"utf8_value", "k=\xC3\xBC\xC3\xB1\n", false, 0, {{"k", "\xC3\xBC\xC3\xB1"}}},
        {"delete_byte_in_value", "k=a\x7f\n", false, -1, {}},
        {"control_byte_in_value", "k=a\x01\n", false, -1, {}},
        {"later_line_replaces_value", "k=1\nk=2\n", false, 0, {{"k", "2"}}},
        {"error_clears_earlier_lines", "a=1\nbad\nb=2\n", false, -1, {}},
        {"entries_in_key_order", "b=1\na=2\nB=3\n", false, 0, {{"B", "3"}, {"a", "2"}, {"b", "1"}}},
        {"line_of_8191_bytes_is_whole", "k=" + x8188 + "\n", false, 0, {{"k", x8188}}},
        // Never a second line: the rest would pass for an entry of its own.
        {"long_line_is_an_error_of_the_file", "note=" + x8186 + "pid=4242\n", false, -1, {}},
        {"nul_byte_is_an_error_of_the_file", std::string("a=1\nk=ab\0cd\n", 12), false, -1, {}},
        // Lenient reading: a bad line costs that line only.
        {"lenient_skips_a_byte_order_mark",
         "\xEF\xBB\xBFpid=42\n",
         false,
         0,
         {{"pid", "42"}},
         true},
        {"lenient_skips_bad_lines",
         "pid=42\r\nstarted=Mon Dec 8 16:00\r\nk: v\nk2\n",
         false,
         0,
         {{"pid", "42"}},
         true},
        {"lenient_long_line_still_fails", "note=" + x8186 + "pid=4242\n", false, -1, {}, true},
        {"lenient_nul_byte_still_fails",
         std::string("pid=4\0"
                     "2\n",
                     8),
         false,
         -1,
         {},
         true},
    };
}

class ConfigGrammar : public ConfigFile, public ::testing::WithParamInterface<GrammarRow>
{};

TEST_P(ConfigGrammar, Reads)
{
    const GrammarRow& row = GetParam();
    Config c;
    c.set_preserve(row.preserve);
    c.set_lenient(row.lenient);
    EXPECT_EQ(c.read(file("in.conf", row.contents)), row.result);
    EXPECT_EQ(entries(c), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ConfigGrammar, ::testing::ValuesIn(grammar_rows()),
                         [](const ::testing::TestParamInfo<GrammarRow>& i) {
                             return i.param.name;
                         });

// ---- reading several files, failures ----

TEST_F(ConfigFile, SecondReadMergesAndOverrides)
{
    Config c;
    ASSERT_EQ(c.read(file("a", "a=1\nb=1\n")), 0);
    ASSERT_EQ(c.read(file("b", "b=2\nc=3\n")), 0);
    EXPECT_EQ(entries(c), (Entries{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
}

TEST_F(ConfigFile, SyntaxErrorClearsEntriesOfEarlierReads)
{
    Config c;
    ASSERT_EQ(c.read(file("good", "a=1\n")), 0);
    c["set"] = "by hand";
    EXPECT_EQ(c.read(file("bad", "b=2\nbroken line\n")), -1);
    EXPECT_TRUE(entries(c).empty());
}

TEST_F(ConfigFile, UnopenableFileLeavesStoreAlone)
{
    Config c;
    ASSERT_EQ(c.read(file("good", "a=1\n")), 0);
    EXPECT_EQ(c.read(ustring((pathStd() + "/missing").c_str())), -1);
    EXPECT_EQ(c.read(ustring()), -1);
    EXPECT_EQ(entries(c), (Entries{{"a", "1"}}));
}

TEST_F(ConfigFile, ReadErrorIsAFailureNotAnEmptyFile)
{
    // A folder opens for reading but every read of it fails; a FIFO would wait for a
    // writer for good.
    const std::string fifo = pathStd() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {pathStd(), fifo}) {
        Config c;
        ASSERT_EQ(c.read(file("good", "a=1\n")), 0);
        EXPECT_EQ(c.read(ustring(path.c_str())), -1) << path;
        EXPECT_TRUE(entries(c).empty()) << path;
    }
}

TEST_F(ConfigFile, PathConstructorReads)
{
    Config c(ustring(file("pid", "pid=77\n").c_str()));
    EXPECT_EQ(c.get_int("pid"), 77);
    EXPECT_EQ(entries(Config(ustring(file("bad", "x\n").c_str()))), Entries{});
}

TEST_F(ConfigFile, AbsentKeyReadsEmptyAndIsInserted)
{
    Config c;
    EXPECT_TRUE(c["nothing"].empty());
    EXPECT_EQ(entries(c), (Entries{{"nothing", ""}}));
    c.unset("nothing");
    c.unset("never-there");
    EXPECT_TRUE(entries(c).empty());
}

// A FIFO is refused at once, with no writer ever coming, and its descriptor is not kept.
TEST_F(ConfigFile, FifoIsRefusedWithoutWaitingAndLeavesNoDescriptor)
{
    const std::string fifo = pathStd() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto openDescriptors = [] {
        return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size();
    };
    const int before = openDescriptors();
    const auto started = std::chrono::steady_clock::now();
    Config c;
    EXPECT_EQ(c.read(ustring(fifo.c_str())), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(openDescriptors(), before);
}

// ---- typed getters ----

TEST(ConfigGetters, IntAndBool)
{
    Config c;
    c["n"] = "42";
    c["neg"] = "-7";
    c["junk"] = "12ab";
    c["huge"] = "99999999999";
    c["empty"] = "";
    c["yes"] = "TRUE";
    c["on"] = "on";
    c["one"] = "1";
    c["no"] = "nope";
    EXPECT_EQ(c.get_int("n"), 42);
    EXPECT_EQ(c.get_int("neg"), -7);
    EXPECT_EQ(c.get_int("junk", -1), -1);
    EXPECT_EQ(c.get_int("huge", -1), -1);
    EXPECT_EQ(c.get_int("empty", 5), 5);
    EXPECT_EQ(c.get_int("absent", 9), 9);
    EXPECT_TRUE(c.get_bool("yes"));
    EXPECT_TRUE(c.get_bool("on"));
    EXPECT_TRUE(c.get_bool("one"));
    EXPECT_FALSE(c.get_bool("no", true));
    EXPECT_TRUE(c.get_bool("absent", true));
    EXPECT_FALSE(c.get_bool("n"));
}

// ---- writing ----

TEST_F(ConfigFile, WriteReadsBackToTheSameStore)
{
    Config c;
    c["plain"] = "v";
    c["blank"] = "a b";
    c["hash"] = "#x";
    c["double"] = "say \"hi\"";
    c["single"] = "it's";
    c["empty"] = "";
    c["utf8"] = "\xC3\xBC \xC3\xB1";
    c[""] = "no key";
    c["eq"] = "a=b";
    c["long"] = std::string(8185, 'y'); // a line of 8191 bytes with its line feed
    std::string out = pathStd() + "/out.conf";
    ASSERT_EQ(c.write(ustring(out.c_str())), 0);
    Config back;
    ASSERT_EQ(back.read(ustring(out.c_str())), 0);
    EXPECT_EQ(entries(back), entries(c));
}

TEST_F(ConfigFile, WriteWithPreserveKeepsTheQuotesAsRead)
{
    Config c;
    c.set_preserve(true);
    ASSERT_EQ(c.read(file("in", "a=\"x y\"\nb='q'\nc=bare#1\nd=\"\"\n")), 0);
    std::string out = pathStd() + "/out.conf";
    ASSERT_EQ(c.write(ustring(out.c_str())), 0);
    Config back;
    back.set_preserve(true);
    ASSERT_EQ(back.read(ustring(out.c_str())), 0);
    EXPECT_EQ(entries(back), entries(c));
}

struct WriteRejectRow
{
    const char* name;
    std::string key;
    std::string value;
    bool preserve;
};

void PrintTo(const WriteRejectRow& row, std::ostream* os)
{
    *os << row.name;
}

class ConfigWriteReject : public ConfigFile, public ::testing::WithParamInterface<WriteRejectRow>
{};

TEST_P(ConfigWriteReject, FailsAndLeavesTheFile)
{
    const WriteRejectRow& row = GetParam();
    std::string out = file("out.conf", "old=1\n");
    Config c;
    c.set_preserve(row.preserve);
    c["fine"] = "1";
    c[ustring(row.key)] = ustring(row.value);
    EXPECT_EQ(c.write(ustring(out.c_str())), -1);
    Config back;
    ASSERT_EQ(back.read(ustring(out.c_str())), 0);
    EXPECT_EQ(entries(back), (Entries{{"old", "1"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigWriteReject,
    ::testing::Values(WriteRejectRow{"both_quote_kinds", "k", "a\"b'c", false},
                      WriteRejectRow{"tab_in_value", "k", "a\tb", false},
                      WriteRejectRow{"line_feed_in_value", "k", "a\nb=c", false},
                      WriteRejectRow{"delete_byte_in_value", "k", "a\x7f", false},
                      WriteRejectRow{"slash_in_key", "a/b", "v", false},
                      WriteRejectRow{"blank_in_key", "a b", "v", false},
                      WriteRejectRow{"line_over_8191_bytes", "k", std::string(8189, 'z'), false},
                      WriteRejectRow{"preserve_bare_blank", "k", "a b", true},
                      WriteRejectRow{"preserve_empty", "k", "", true}),
    [](const ::testing::TestParamInfo<WriteRejectRow>& i) { return std::string(i.param.name); });

TEST_F(ConfigFile, WriteToAMissingFolderFails)
{
    Config c;
    c["a"] = "1";
    EXPECT_EQ(c.write(ustring((pathStd() + "/no/such/file").c_str())), -1);
    EXPECT_EQ(c.write(ustring()), -1);
}

} // namespace
