#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

typedef uint16_t uchar16_t;

// NUL-terminated UTF-8 text with a UTF-16 copy built on demand. Positions and
// lengths count UTF-8 bytes; ordering is byte-wise. Not safe for concurrent use,
// not even read-only use once UTF-16 is asked for (the cache is rebuilt then).
class ustring
{
public:
    static const size_t npos = static_cast<size_t>(-1);

    enum normalization_form
    {
        NFC = 0,
        NFD = 1,
    };

    ustring();
    ustring(const char* s);
    ustring(const std::string& s);
    ustring(const ustring& s);
    ustring(char c);
    ustring(const uchar16_t* s);
    ~ustring();

    const char* c_str() const { return data; }
    const char* c_str_utf8() const { return data; }
    const uchar16_t* c_str_utf16() const;
    size_t length() const { return data_len; }
    size_t size() const { return data_len; }
    bool empty() const { return data_len == 0; }

    // The non-const form empties the UTF-16 cache: the caller may write through it.
    char& operator[](size_t pos);
    const char& operator[](size_t pos) const { return data[pos]; }

    ustring& clear();

    ustring& append(const char* s);
    ustring& append(const char* s, size_t n);
    ustring& append(const std::string& x, size_t pos = 0, size_t len = npos);
    ustring& append(const ustring& x, size_t pos = 0, size_t len = npos);
    ustring& append(char c, size_t n);
    ustring& append(const uchar16_t* s);
    ustring& append(const uchar16_t* s, size_t n);
    ustring& append(uchar16_t c, size_t n);

    ustring& assign(const char* s);
    ustring& assign(const char* s, size_t n);
    ustring& assign(const std::string& x, size_t pos = 0, size_t len = npos);
    ustring& assign(const ustring& x, size_t pos = 0, size_t len = npos);
    ustring& assign(char c, size_t n);
    ustring& assign(const uchar16_t* s);
    ustring& assign(const uchar16_t* s, size_t n);
    ustring& assign(uchar16_t c, size_t n);

    ustring& operator=(const ustring& x);
    ustring& operator=(const std::string& x);
    ustring& operator=(const char* s);
    ustring& operator=(const uchar16_t* s);
    ustring& operator=(char c);
    ustring& operator=(uchar16_t c);

    ustring& operator+=(const ustring& x);
    ustring& operator+=(const std::string& x);
    ustring& operator+=(const char* s);
    ustring& operator+=(const uchar16_t* s);
    ustring& operator+=(char c);
    ustring& operator+=(uchar16_t c);

    ustring& ltrim(const char* list);
    ustring& ltrim(const ustring& list);
    ustring& rtrim(const char* list);
    ustring& rtrim(const ustring& list);
    ustring& trim(const char* list);
    ustring& trim(const ustring& list);

    void replace(char c1, char c2);
    void swap(ustring& s);

    size_t find(const char* s, size_t pos = 0) const;
    size_t find(const std::string& s, size_t pos = 0) const;
    size_t find(const ustring& s, size_t pos = 0) const;
    size_t find(char c, size_t pos = 0) const;

    size_t rfind(const char* s, size_t pos = npos) const;
    size_t rfind(const std::string& s, size_t pos = npos) const;
    size_t rfind(const ustring& s, size_t pos = npos) const;
    size_t rfind(char c, size_t pos = npos) const;

    size_t find_first_of(const char* s, size_t pos = 0) const;
    size_t find_first_of(const std::string& s, size_t pos = 0) const;
    size_t find_first_of(const ustring& s, size_t pos = 0) const;
    size_t find_first_of(char c, size_t pos = 0) const;

    size_t find_first_not_of(const char* s, size_t pos = 0) const;
    size_t find_first_not_of(const std::string& s, size_t pos = 0) const;
    size_t find_first_not_of(const ustring& s, size_t pos = 0) const;
    size_t find_first_not_of(char c, size_t pos = 0) const;

    size_t find_last_of(const char* s, size_t pos = npos) const;
    size_t find_last_of(const std::string& s, size_t pos = npos) const;
    size_t find_last_of(const ustring& s, size_t pos = npos) const;
    size_t find_last_of(char c, size_t pos = npos) const;

    size_t find_last_not_of(const char* s, size_t pos = npos) const;
    size_t find_last_not_of(const std::string& s, size_t pos = npos) const;
    size_t find_last_not_of(const ustring& s, size_t pos = npos) const;
    size_t find_last_not_of(char c, size_t pos = npos) const;

    ustring substr(size_t start = 0, size_t len = npos) const;

    static int compare(const ustring& a, const ustring& b, bool caseless);
    int compare(const ustring& str) const;
    int compare(const ustring& str, size_t n) const;

    static ustring normalize(const ustring& x, normalization_form n);
    ustring normalize(normalization_form n) const;
    static bool is_valid(const ustring& x);

protected:
    void realloc_data(size_t len);
    void realloc_wdata(size_t len) const;
    void clear_data();
    void clear_wdata() const;
    void init();
    int convert_from_wdata();
    int convert_from_data() const;

    char* data;
    size_t data_len;
    size_t data_cap;
    mutable uchar16_t* wdata;
    mutable size_t wdata_len;
    mutable size_t wdata_cap;

private:
    // Makes the UTF-16 cache valid before a UTF-16 edit; false when the
    // UTF-8 text cannot be converted.
    bool prepare_wdata();
    void append_wdata(const uchar16_t* s, size_t n);
};

bool operator<(const ustring& lhs, const ustring& rhs);
bool operator>(const ustring& lhs, const ustring& rhs);
bool operator==(const ustring& lhs, const ustring& rhs);
bool operator!=(const ustring& lhs, const ustring& rhs);
bool operator<=(const ustring& lhs, const ustring& rhs);
bool operator>=(const ustring& lhs, const ustring& rhs);

ustring operator+(const ustring& lhs, const ustring& rhs);
ustring operator+(const ustring& lhs, const char* rhs);
ustring operator+(const ustring& lhs, char rhs);
ustring operator+(const ustring& lhs, const uchar16_t* rhs);
ustring operator+(const ustring& lhs, uchar16_t rhs);

std::ostream& operator<<(std::ostream& os, const ustring& s);
std::istream& operator>>(std::istream& is, ustring& s);

void swap(ustring& a, ustring& b);
