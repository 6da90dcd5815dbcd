#pragma once

#include "ustring/ustring.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Reader (and writer) of small key=value files: one entry per line, optional
// spaces around "=", values bare or in double quotes or apostrophes, "#" comments.
class Config
{
public:
    typedef std::map<ustring, ustring> map_type;
    typedef map_type::iterator iterator;
    typedef map_type::const_iterator const_iterator;

    Config() : preserve(false), lenient(false) {}
    // Reads `path` at once; a failure leaves the store empty.
    explicit Config(const ustring& path);
    ~Config() {}

    void set_preserve(bool p) { preserve = p; }
    // Lenient reading skips a byte-order mark and every line that does not parse,
    // so that one odd line does not cost the others; rejected() counts them.
    void set_lenient(bool l) { lenient = l; }
    int rejected() const { return rejected_lines; }

    // Merges the entries of the file into the store: 0 on success; -1 when the
    // file cannot be opened (store unchanged), or on a syntax or read error, a
    // line longer than the limit or one holding a NUL byte (store cleared,
    // earlier entries included). Lenient reading has no syntax errors.
    int read(const ustring& path);
    // Writes every entry so that read() gives the same store back; -1 when an
    // entry cannot be written that way or the file cannot be written.
    int write(const ustring& path) const;

    ustring& operator[](const ustring& key) { return store[key]; }

    // The value as a decimal int; `def` when absent, not a number or out of range.
    int get_int(const ustring& key, int def = 0) const;
    // True for "1", "true", "yes", "on" (ASCII letters in any case), false otherwise.
    bool get_bool(const ustring& key, bool def = false) const;
    void unset(const ustring& key) { store.erase(key); }

    iterator begin() { return store.begin(); }
    iterator end() { return store.end(); }
    const_iterator begin() const { return store.begin(); }
    const_iterator end() const { return store.end(); }

private:
    enum
    {
        LINE_BUFFER_SIZE = 8192
    };

    // The file at path open for reading; null when it cannot be opened, and with the
    // store cleared when it is not a regular file.
    FILE* open_file(const ustring& path);
    // Reads every line of fp into the store: 0, or -1 on a line it cannot take.
    int read_lines(FILE* fp);
    // fgets, retried after a signal; false at the end or on a read error.
    static bool next_line(FILE* fp, char* buf, int size);
    // Stores the pair of one line, or counts it rejected when lenient: 0, or -1 for a
    // syntax error in strict reading.
    int take_line(char* line, size_t n);
    // One line into key and value: 0, 1 for a blank or comment line, 2 for a syntax error.
    int parse(char* buf, int n, ustring& key, ustring& value);
    // Finds the key from p and moves p past the "=" and blanks after it; parse's codes.
    static int scan_key(char*& p, char*& key_begin, char*& key_end);
    // Finds the value at p, bare or quoted (delim is the quote, ' ' for none), and checks
    // that only blanks or a comment follow it; false on a syntax error.
    static bool scan_value(char*& p, char& delim, char*& value_begin, char*& value_end);
    // The text of one line for `key` and `value`, without its line feed;
    // false when read() could not give back the same pair.
    bool encode(const ustring& key, const ustring& value, std::string& line) const;

    static bool is_key_char(unsigned char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '-' || c == '.' || c == '_';
    }
    static bool is_value_char(unsigned char c) { return c >= 32 && c != 127; }
    static bool is_space(unsigned char c) { return (c >= 9 && c <= 13) || c == 32; }
    static char* skip_space(char* p)
    {
        while (is_space(static_cast<unsigned char>(*p))) {
            ++p;
        }
        return p;
    }

    map_type store;
    bool preserve;
    bool lenient;
    int rejected_lines = 0;
};

inline Config::Config(const ustring& path) : preserve(false), lenient(false)
{
    read(path);
}

inline int Config::read(const ustring& path)
{
    std::unique_ptr<FILE, int (*)(FILE*)> fp(open_file(path), fclose);
    if (!fp) {
        return -1;
    }
    rejected_lines = 0;
    int result = read_lines(fp.get());
    // A read error would otherwise pass for a short file.
    if (result == 0 && ferror(fp.get())) {
        result = -1;
    }
    if (result != 0) {
        store.clear();
    }
    return result;
}

inline FILE* Config::open_file(const ustring& path)
{
    if (path.empty()) {
        return nullptr;
    }
    // Close-on-exec: the launcher starts child processes later. Non-blocking, and
    // regular files only: a FIFO in the file's place would hold the reader for good.
    const int fd = ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    // What opens but is no file fails as a file whose reads fail.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        store.clear();
        return nullptr;
    }
    FILE* fp = fdopen(fd, "r");
    if (!fp) {
        ::close(fd);
    }
    return fp;
}

inline int Config::read_lines(FILE* fp)
{
    char buf[LINE_BUFFER_SIZE];
    bool first = true;
    long start = ftell(fp);
    while (next_line(fp, buf, sizeof(buf))) {
        size_t n = strlen(buf);
        // fgets stops at a NUL byte unseen; what the stream moved tells. Streams that
        // cannot tell (a pipe) are taken as they read.
        const long end = ftell(fp);
        const bool has_nul = start >= 0 && end >= 0 && static_cast<size_t>(end - start) != n;
        start = end;
        // A longer line would reach parse in pieces, the rest as a line of its own.
        const bool too_long = n == sizeof(buf) - 1 && buf[n - 1] != '\n';
        if (has_nul || too_long) {
            return -1;
        }
        char* line = buf;
        if (first && lenient && strncmp(line, "\xEF\xBB\xBF", 3) == 0) {
            line += 3;
            n -= 3;
        }
        first = false;
        if (take_line(line, n) != 0) {
            return -1;
        }
    }
    return 0;
}

inline bool Config::next_line(FILE* fp, char* buf, int size)
{
    for (;;) {
        if (fgets(buf, size, fp)) {
            return true;
        }
        if (!ferror(fp) || errno != EINTR) {
            return false;
        }
        clearerr(fp);
    }
}

inline int Config::take_line(char* line, size_t n)
{
    ustring key;
    ustring value;
    const int rc = parse(line, static_cast<int>(n), key, value);
    if (rc == 0) {
        store[key] = value;
    } else if (rc == 2 && lenient) {
        ++rejected_lines;
    } else if (rc == 2) {
        return -1;
    }
    return 0;
}

inline int Config::parse(char* buf, int n, ustring& key, ustring& value)
{
    (void)n;
    char* p = buf;
    char* key_begin = nullptr;
    char* key_end = nullptr;
    const int rc = scan_key(p, key_begin, key_end);
    if (rc != 0) {
        return rc;
    }
    char delim = ' ';
    char* value_begin = nullptr;
    char* value_end = nullptr;
    if (!scan_value(p, delim, value_begin, value_end)) {
        return 2;
    }
    *key_end = '\0';
    *value_end = '\0';
    key.assign(key_begin);
    value.assign(value_begin);
    if (preserve && delim != ' ') {
        ustring wrapped(delim);
        wrapped.append(value);
        wrapped.append(delim, 1);
        value.swap(wrapped);
    }
    return 0;
}

inline int Config::scan_key(char*& p, char*& key_begin, char*& key_end)
{
    p = key_begin = skip_space(p);
    while (is_key_char(static_cast<unsigned char>(*p))) {
        ++p;
    }
    key_end = p;
    if (*p == '#' || *p == '\0') {
        return 1;
    }
    p = skip_space(p);
    if (*p != '=') {
        return 2;
    }
    p = skip_space(p + 1);
    return 0;
}

inline bool Config::scan_value(char*& p, char& delim, char*& value_begin, char*& value_end)
{
    if (*p == '\0') {
        return false;
    }
    const bool quoted = *p == '"' || *p == '\'';
    delim = quoted ? *p++ : ' ';
    value_begin = p;
    while (is_value_char(static_cast<unsigned char>(*p)) && *p != delim) {
        ++p;
    }
    value_end = p;
    if (quoted) {
        if (*p != delim) {
            return false;
        }
        ++p;
    }
    p = skip_space(p);
    return *p == '\0' || *p == '#';
}

inline bool Config::encode(const ustring& key, const ustring& value, std::string& line) const
{
    for (size_t i = 0; i < key.length(); ++i) {
        if (!is_key_char(static_cast<unsigned char>(key[i]))) {
            return false;
        }
    }
    bool blank_or_quote = value.empty();
    bool has_dquote = false;
    bool has_squote = false;
    for (size_t i = 0; i < value.length(); ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (!is_value_char(c)) {
            return false;
        }
        has_dquote = has_dquote || c == '"';
        has_squote = has_squote || c == '\'';
        blank_or_quote = blank_or_quote || c == ' ' || c == '#' || c == '"' || c == '\'';
    }
    line.assign(key.c_str(), key.length());
    line += '=';
    if (preserve) {
        // Values that were read in quotes carry them: they go out as they are.
        size_t len = value.length();
        char first = len ? value[0] : '\0';
        if (len >= 2 && (first == '"' || first == '\'') && value[len - 1] == first &&
            value.find(first, 1) == len - 1) {
            line.append(value.c_str(), len);
            return true;
        }
        // Anything else must read back bare: quotes would be kept on reading.
        if (value.empty() || first == '"' || first == '\'' || value.find(' ') != ustring::npos) {
            return false;
        }
        line.append(value.c_str(), len);
        return true;
    }
    if (!blank_or_quote) {
        line.append(value.c_str(), value.length());
        return true;
    }
    if (has_dquote && has_squote) {
        return false;
    }
    char delim = has_dquote ? '\'' : '"';
    line += delim;
    line.append(value.c_str(), value.length());
    line += delim;
    return true;
}

inline int Config::write(const ustring& path) const
{
    if (path.empty()) {
        return -1;
    }
    std::string text;
    std::string line;
    for (const auto& entry : store) {
        // A longer line would reach the reader in pieces.
        if (!encode(entry.first, entry.second, line) || line.size() + 1 >= LINE_BUFFER_SIZE) {
            return -1;
        }
        text += line;
        text += '\n';
    }
    std::unique_ptr<FILE, int (*)(FILE*)> fp(fopen(path.c_str_utf8(), "we"), fclose);
    if (!fp) {
        return -1;
    }
    if (fwrite(text.data(), 1, text.size(), fp.get()) != text.size()) {
        return -1;
    }
    FILE* raw = fp.release();
    return fclose(raw) == 0 ? 0 : -1;
}

inline int Config::get_int(const ustring& key, int def) const
{
    const_iterator it = store.find(key);
    if (it == store.end() || it->second.empty()) {
        return def;
    }
    const char* text = it->second.c_str();
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || end == text || v < INT_MIN || v > INT_MAX) {
        return def;
    }
    return static_cast<int>(v);
}

inline bool Config::get_bool(const ustring& key, bool def) const
{
    const_iterator it = store.find(key);
    if (it == store.end()) {
        return def;
    }
    static const char* const yes[] = {"1", "true", "yes", "on"};
    for (const char* word : yes) {
        if (ustring::compare(it->second, ustring(word), true) == 0) {
            return true;
        }
    }
    return false;
}
