#include "ustring/ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <utility>

const size_t ustring::npos;

namespace {

UChar* as_uchar(uchar16_t* p)
{
    return reinterpret_cast<UChar*>(p);
}

const UChar* as_uchar(const uchar16_t* p)
{
    return reinterpret_cast<const UChar*>(p);
}

void warn(const char* what, UErrorCode status, int line)
{
    fprintf(stderr, "Warning: %s: error code %d at line %d\n", what, static_cast<int>(status),
            line);
    fflush(stderr);
}

// The size-only run of a conversion reports overflow when it works.
bool sizing_failed(UErrorCode status)
{
    return U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR;
}

size_t checked_sum(size_t len, size_t add)
{
    if (add > static_cast<size_t>(-1) - len - 1) {
        throw std::bad_alloc();
    }
    return len + add + 1;
}

// Offset of p inside [base, base + len], or npos when p points elsewhere.
template <typename T>
size_t offset_in(const T* p, const T* base, size_t len)
{
    std::less<const T*> before;
    if (before(p, base) || before(base + len, p)) {
        return ustring::npos;
    }
    return static_cast<size_t>(p - base);
}

struct ByteSet
{
    explicit ByteSet(const char* s)
    {
        memset(in, 0, sizeof(in));
        for (; s && *s; ++s) {
            in[static_cast<unsigned char>(*s)] = true;
            empty = false;
        }
    }
    bool contains(char c) const { return in[static_cast<unsigned char>(c)]; }
    bool in[256];
    bool empty = true;
};

struct FoldTable
{
    FoldTable()
    {
        for (int i = 0; i < 256; ++i) {
            map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i - 'A' + 'a' : i);
        }
    }
    unsigned char map[256];
};

} // namespace

// ---- construction ----

ustring::ustring()
{
    init();
}

ustring::ustring(const char* s)
{
    init();
    try {
        append(s);
    } catch (...) {
        free(data);
        free(wdata);
        throw;
    }
}

ustring::ustring(const std::string& s)
{
    init();
    try {
        append(s.c_str(), s.size());
    } catch (...) {
        free(data);
        free(wdata);
        throw;
    }
}

ustring::ustring(const ustring& s)
{
    init();
    try {
        append(s.data, s.data_len);
    } catch (...) {
        free(data);
        free(wdata);
        throw;
    }
}

ustring::ustring(char c)
{
    init();
    try {
        append(c, 1);
    } catch (...) {
        free(data);
        free(wdata);
        throw;
    }
}

ustring::ustring(const uchar16_t* s)
{
    init();
    try {
        append(s);
    } catch (...) {
        free(data);
        free(wdata);
        throw;
    }
}

ustring::~ustring()
{
    free(data);
    free(wdata);
}

void ustring::init()
{
    data = nullptr;
    data_len = 0;
    data_cap = 0;
    wdata = nullptr;
    wdata_len = 0;
    wdata_cap = 0;
    realloc_data(4);
    try {
        realloc_wdata(4);
    } catch (...) {
        free(data);
        throw;
    }
    clear();
}

// ---- buffers ----

void ustring::realloc_data(size_t len)
{
    if (data_cap >= len && len >= (data_cap >> 1)) {
        return;
    }
    char* p = static_cast<char*>(realloc(data, len));
    if (!p) {
        throw std::bad_alloc();
    }
    data = p;
    data_cap = len;
}

void ustring::realloc_wdata(size_t len) const
{
    if (wdata_cap >= len && len >= (wdata_cap >> 1)) {
        return;
    }
    if (len > static_cast<size_t>(-1) / sizeof(uchar16_t)) {
        throw std::bad_alloc();
    }
    uchar16_t* p = static_cast<uchar16_t*>(realloc(wdata, len * sizeof(uchar16_t)));
    if (!p) {
        throw std::bad_alloc();
    }
    wdata = p;
    wdata_cap = len;
}

void ustring::clear_data()
{
    data_len = 0;
    data[0] = '\0';
}

void ustring::clear_wdata() const
{
    wdata_len = 0;
    wdata[0] = 0;
}

ustring& ustring::clear()
{
    clear_data();
    clear_wdata();
    return *this;
}

// ---- conversions ----

int ustring::convert_from_data() const
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    if (data_len <= static_cast<size_t>(INT32_MAX)) {
        u_strFromUTF8(nullptr, 0, &len, data, -1, &status);
    } else {
        status = U_INDEX_OUTOFBOUNDS_ERROR;
    }
    if (!sizing_failed(status)) {
        realloc_wdata(static_cast<size_t>(len) + 1);
        status = U_ZERO_ERROR;
        u_strFromUTF8(as_uchar(wdata), static_cast<int32_t>(std::min<size_t>(wdata_cap, INT32_MAX)),
                      &len, data, -1, &status);
    }
    if (U_FAILURE(status)) {
        warn("u_strFromUTF8", status, __LINE__);
        clear_wdata();
        return -1;
    }
    wdata_len = static_cast<size_t>(len);
    wdata[wdata_len] = 0;
    return 0;
}

int ustring::convert_from_wdata()
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    if (wdata_len <= static_cast<size_t>(INT32_MAX)) {
        u_strToUTF8(nullptr, 0, &len, as_uchar(wdata), -1, &status);
    } else {
        status = U_INDEX_OUTOFBOUNDS_ERROR;
    }
    if (!sizing_failed(status)) {
        realloc_data(static_cast<size_t>(len) + 1);
        status = U_ZERO_ERROR;
        u_strToUTF8(data, static_cast<int32_t>(std::min<size_t>(data_cap, INT32_MAX)), &len,
                    as_uchar(wdata), -1, &status);
    }
    if (U_FAILURE(status)) {
        warn("u_strToUTF8", status, __LINE__);
        clear();
        return -1;
    }
    data_len = static_cast<size_t>(len);
    data[data_len] = '\0';
    return 0;
}

bool ustring::prepare_wdata()
{
    if (wdata_len == 0 && data_len != 0) {
        return convert_from_data() == 0;
    }
    return true;
}

const uchar16_t* ustring::c_str_utf16() const
{
    if (wdata_len == 0 && data_len != 0) {
        convert_from_data();
    }
    return wdata;
}

// ---- access ----

char& ustring::operator[](size_t pos)
{
    clear_wdata();
    return data[pos];
}

// ---- UTF-8 modification ----

ustring& ustring::append(const char* s)
{
    return append(s, npos);
}

ustring& ustring::append(const char* s, size_t n)
{
    if (!s) {
        return *this;
    }
    // Text from our own buffer is read again after the buffer may have moved.
    size_t own = offset_in(s, static_cast<const char*>(data), data_len);
    size_t count = own != npos ? std::min(n, data_len - own) : strnlen(s, n);
    realloc_data(checked_sum(data_len, count));
    const char* src = own != npos ? data + own : s;
    memcpy(data + data_len, src, count);
    data_len += count;
    data[data_len] = '\0';
    if (count) {
        clear_wdata();
    }
    return *this;
}

ustring& ustring::append(const std::string& x, size_t pos, size_t len)
{
    std::string part = x.substr(pos, len);
    return append(part.c_str(), part.size());
}

ustring& ustring::append(const ustring& x, size_t pos, size_t len)
{
    if (pos > x.data_len) {
        throw std::out_of_range("substr");
    }
    return append(x.data + pos, std::min(len, x.data_len - pos));
}

ustring& ustring::append(char c, size_t n)
{
    if (c == '\0') {
        n = 0;
    }
    realloc_data(checked_sum(data_len, n));
    memset(data + data_len, c, n);
    data_len += n;
    data[data_len] = '\0';
    if (n) {
        clear_wdata();
    }
    return *this;
}

ustring& ustring::assign(const char* s)
{
    return assign(s, npos);
}

ustring& ustring::assign(const char* s, size_t n)
{
    size_t own = s ? offset_in(s, static_cast<const char*>(data), data_len) : npos;
    if (own == npos) {
        clear();
        return append(s, n);
    }
    size_t count = std::min(n, data_len - own);
    if (own == 0 && count == data_len) {
        return *this;
    }
    memmove(data, data + own, count);
    data_len = count;
    data[data_len] = '\0';
    clear_wdata();
    return *this;
}

ustring& ustring::assign(const std::string& x, size_t pos, size_t len)
{
    clear();
    return append(x, pos, len);
}

ustring& ustring::assign(const ustring& x, size_t pos, size_t len)
{
    if (&x == this) {
        ustring part = x.substr(pos, len);
        clear();
        return append(part.data, part.data_len);
    }
    clear();
    return append(x, pos, len);
}

ustring& ustring::assign(char c, size_t n)
{
    clear();
    return append(c, n);
}

// ---- UTF-16 modification ----

void ustring::append_wdata(const uchar16_t* s, size_t n)
{
    // Checked before the cache is rebuilt, which may move the buffer.
    size_t own = wdata_len ? offset_in(s, static_cast<const uchar16_t*>(wdata), wdata_len) : npos;
    bool stale_own = wdata_len == 0 && s == wdata;
    if (stale_own) {
        return;
    }
    if (!prepare_wdata()) {
        // Unconvertible UTF-8 stays as it is rather than be replaced.
        return;
    }
    const uchar16_t* src = own != npos ? wdata + own : s;
    size_t count = 0;
    if (own != npos) {
        count = std::min(n, wdata_len - own);
    } else {
        while (count < n && src[count]) {
            ++count;
        }
    }
    if (count == 0) {
        return;
    }
    realloc_wdata(checked_sum(wdata_len, count));
    src = own != npos ? wdata + own : s;
    memcpy(wdata + wdata_len, src, count * sizeof(uchar16_t));
    wdata_len += count;
    wdata[wdata_len] = 0;
    convert_from_wdata();
}

ustring& ustring::append(const uchar16_t* s)
{
    return append(s, npos);
}

ustring& ustring::append(const uchar16_t* s, size_t n)
{
    if (s) {
        append_wdata(s, n);
    }
    return *this;
}

ustring& ustring::append(uchar16_t c, size_t n)
{
    if (c == 0 || n == 0 || !prepare_wdata()) {
        return *this;
    }
    realloc_wdata(checked_sum(wdata_len, n));
    std::fill(wdata + wdata_len, wdata + wdata_len + n, c);
    wdata_len += n;
    wdata[wdata_len] = 0;
    convert_from_wdata();
    return *this;
}

ustring& ustring::assign(const uchar16_t* s)
{
    return assign(s, npos);
}

ustring& ustring::assign(const uchar16_t* s, size_t n)
{
    if (s && s == wdata) {
        // Our own UTF-16 text: at most a truncation.
        if (wdata_len == 0) {
            return clear();
        }
        if (n < wdata_len) {
            wdata_len = n;
            wdata[n] = 0;
            if (n == 0) {
                return clear();
            }
            convert_from_wdata();
        }
        return *this;
    }
    clear();
    return append(s, n);
}

ustring& ustring::assign(uchar16_t c, size_t n)
{
    clear();
    return append(c, n);
}

// ---- operators = and += ----

ustring& ustring::operator=(const ustring& x)
{
    return assign(x, 0, npos);
}

ustring& ustring::operator=(const std::string& x)
{
    return assign(x, 0, npos);
}

ustring& ustring::operator=(const char* s)
{
    return assign(s);
}

ustring& ustring::operator=(const uchar16_t* s)
{
    return assign(s);
}

ustring& ustring::operator=(char c)
{
    return assign(c, 1);
}

ustring& ustring::operator=(uchar16_t c)
{
    return assign(c, 1);
}

ustring& ustring::operator+=(const ustring& x)
{
    return append(x, 0, npos);
}

ustring& ustring::operator+=(const std::string& x)
{
    return append(x, 0, npos);
}

ustring& ustring::operator+=(const char* s)
{
    return append(s);
}

ustring& ustring::operator+=(const uchar16_t* s)
{
    return append(s);
}

ustring& ustring::operator+=(char c)
{
    return append(c, 1);
}

ustring& ustring::operator+=(uchar16_t c)
{
    return append(c, 1);
}

// ---- trimming, replace, swap ----

ustring& ustring::ltrim(const char* list)
{
    ByteSet set(list);
    size_t i = 0;
    while (i < data_len && set.contains(data[i])) {
        ++i;
    }
    if (i > 0) {
        memmove(data, data + i, data_len - i + 1);
        data_len -= i;
        clear_wdata();
    }
    return *this;
}

ustring& ustring::ltrim(const ustring& list)
{
    return ltrim(list.c_str());
}

ustring& ustring::rtrim(const char* list)
{
    ByteSet set(list);
    size_t j = data_len;
    while (j > 0 && set.contains(data[j - 1])) {
        --j;
    }
    if (j < data_len) {
        data_len = j;
        data[j] = '\0';
        clear_wdata();
    }
    return *this;
}

ustring& ustring::rtrim(const ustring& list)
{
    return rtrim(list.c_str());
}

ustring& ustring::trim(const char* list)
{
    return ltrim(list).rtrim(list);
}

ustring& ustring::trim(const ustring& list)
{
    // A copy: the list may be this very string.
    ustring copy(list);
    return trim(copy.c_str());
}

void ustring::replace(char c1, char c2)
{
    if (c1 == '\0') {
        return;
    }
    for (size_t i = 0; i < data_len; ++i) {
        if (data[i] == c1) {
            if (c2 == '\0') {
                // No embedded NUL: the text ends here.
                data_len = i;
                break;
            }
            data[i] = c2;
        }
    }
    data[data_len] = '\0';
    clear_wdata();
}

void ustring::swap(ustring& s)
{
    std::swap(data, s.data);
    std::swap(data_len, s.data_len);
    std::swap(data_cap, s.data_cap);
    std::swap(wdata, s.wdata);
    std::swap(wdata_len, s.wdata_len);
    std::swap(wdata_cap, s.wdata_cap);
}

void swap(ustring& a, ustring& b)
{
    a.swap(b);
}

// ---- searches ----

size_t ustring::find(const char* s, size_t pos) const
{
    if (pos >= data_len) {
        return npos;
    }
    if (!s || !*s) {
        return pos;
    }
    const char* hit = strstr(data + pos, s);
    return hit ? static_cast<size_t>(hit - data) : npos;
}

size_t ustring::rfind(const char* s, size_t pos) const
{
    if (data_len == 0) {
        return npos;
    }
    size_t p = std::min(pos, data_len - 1);
    size_t slen = s ? strlen(s) : 0;
    if (slen == 0) {
        return p;
    }
    if (slen > data_len) {
        return npos;
    }
    for (size_t i = std::min(p, data_len - slen) + 1; i-- > 0;) {
        if (memcmp(data + i, s, slen) == 0) {
            return i;
        }
    }
    return npos;
}

size_t ustring::find_first_of(const char* s, size_t pos) const
{
    ByteSet set(s);
    if (pos >= data_len || set.empty) {
        return npos;
    }
    for (size_t i = pos; i < data_len; ++i) {
        if (set.contains(data[i])) {
            return i;
        }
    }
    return npos;
}

size_t ustring::find_first_not_of(const char* s, size_t pos) const
{
    ByteSet set(s);
    for (size_t i = pos; i < data_len; ++i) {
        if (!set.contains(data[i])) {
            return i;
        }
    }
    return npos;
}

size_t ustring::find_last_of(const char* s, size_t pos) const
{
    ByteSet set(s);
    if (data_len == 0 || set.empty) {
        return npos;
    }
    for (size_t i = std::min(pos, data_len - 1) + 1; i-- > 0;) {
        if (set.contains(data[i])) {
            return i;
        }
    }
    return npos;
}

size_t ustring::find_last_not_of(const char* s, size_t pos) const
{
    ByteSet set(s);
    if (data_len == 0) {
        return npos;
    }
    for (size_t i = std::min(pos, data_len - 1) + 1; i-- > 0;) {
        if (!set.contains(data[i])) {
            return i;
        }
    }
    return npos;
}

#define USTRING_SEARCH_OVERLOADS(name)                                                             \
    size_t ustring::name(const std::string& s, size_t pos) const                                   \
    {                                                                                              \
        return name(s.c_str(), pos);                                                               \
    }                                                                                              \
    size_t ustring::name(const ustring& s, size_t pos) const                                       \
    {                                                                                              \
        return name(s.c_str(), pos);                                                               \
    }                                                                                              \
    size_t ustring::name(char c, size_t pos) const                                                 \
    {                                                                                              \
        const char one[2] = {c, '\0'};                                                             \
        return name(one, pos);                                                                     \
    }

USTRING_SEARCH_OVERLOADS(find)
USTRING_SEARCH_OVERLOADS(rfind)
USTRING_SEARCH_OVERLOADS(find_first_of)
USTRING_SEARCH_OVERLOADS(find_first_not_of)
USTRING_SEARCH_OVERLOADS(find_last_of)
USTRING_SEARCH_OVERLOADS(find_last_not_of)

#undef USTRING_SEARCH_OVERLOADS

ustring ustring::substr(size_t start, size_t len) const
{
    if (start > data_len) {
        throw std::out_of_range("substr");
    }
    ustring part;
    part.append(data + start, std::min(len, data_len - start));
    return part;
}

// ---- comparison ----

int ustring::compare(const ustring& a, const ustring& b, bool caseless)
{
    static const FoldTable fold;
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(a.data);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(b.data);
    for (size_t i = 0;; ++i) {
        int ca = caseless ? fold.map[pa[i]] : pa[i];
        int cb = caseless ? fold.map[pb[i]] : pb[i];
        if (ca != cb) {
            return ca - cb;
        }
        if (ca == 0) {
            return 0;
        }
    }
}

int ustring::compare(const ustring& str) const
{
    return compare(*this, str, false);
}

int ustring::compare(const ustring& str, size_t n) const
{
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(str.data);
    for (size_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i]) {
            return pa[i] - pb[i];
        }
        if (pa[i] == 0) {
            break;
        }
    }
    return 0;
}

bool operator<(const ustring& lhs, const ustring& rhs)
{
    return ustring::compare(lhs, rhs, false) < 0;
}

bool operator>(const ustring& lhs, const ustring& rhs)
{
    return ustring::compare(lhs, rhs, false) > 0;
}

bool operator==(const ustring& lhs, const ustring& rhs)
{
    return ustring::compare(lhs, rhs, false) == 0;
}

bool operator!=(const ustring& lhs, const ustring& rhs)
{
    return ustring::compare(lhs, rhs, false) != 0;
}

bool operator<=(const ustring& lhs, const ustring& rhs)
{
    return ustring::compare(lhs, rhs, false) <= 0;
}

bool operator>=(const ustring& lhs, const ustring& rhs)
{
    return ustring::compare(lhs, rhs, false) >= 0;
}

// ---- concatenation and streams ----

ustring operator+(const ustring& lhs, const ustring& rhs)
{
    ustring r(lhs);
    r.append(rhs, 0, ustring::npos);
    return r;
}

ustring operator+(const ustring& lhs, const char* rhs)
{
    ustring r(lhs);
    r.append(rhs);
    return r;
}

ustring operator+(const ustring& lhs, char rhs)
{
    ustring r(lhs);
    r.append(rhs, 1);
    return r;
}

ustring operator+(const ustring& lhs, const uchar16_t* rhs)
{
    ustring r(lhs);
    r.append(rhs);
    return r;
}

ustring operator+(const ustring& lhs, uchar16_t rhs)
{
    ustring r(lhs);
    r.append(rhs, 1);
    return r;
}

std::ostream& operator<<(std::ostream& os, const ustring& s)
{
    return os.write(s.c_str(), static_cast<std::streamsize>(s.length()));
}

std::istream& operator>>(std::istream& is, ustring& s)
{
    std::string token;
    if (is >> token) {
        s.assign(token, 0, ustring::npos);
    }
    return is;
}

// ---- Unicode services ----

ustring ustring::normalize(const ustring& x, normalization_form n)
{
    static const UNormalization2Mode modes[2] = {UNORM2_COMPOSE, UNORM2_DECOMPOSE};
    ustring result;
    if (x.empty()) {
        return result;
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* norm = unorm2_getInstance(nullptr, "nfc", modes[n == NFD ? 1 : 0], &status);
    if (U_FAILURE(status) || !norm) {
        warn("unorm2_getInstance", status, __LINE__);
        return result;
    }
    const UChar* src = as_uchar(x.c_str_utf16());
    int32_t len = unorm2_normalize(norm, src, -1, nullptr, 0, &status);
    if (!sizing_failed(status) && len >= 0) {
        result.realloc_wdata(static_cast<size_t>(len) + 1);
        status = U_ZERO_ERROR;
        len = unorm2_normalize(norm, src, -1, as_uchar(result.wdata),
                               static_cast<int32_t>(std::min<size_t>(result.wdata_cap, INT32_MAX)),
                               &status);
    }
    if (U_FAILURE(status)) {
        warn("unorm2_normalize", status, __LINE__);
        result.clear();
        return result;
    }
    result.wdata_len = static_cast<size_t>(len);
    result.wdata[result.wdata_len] = 0;
    result.convert_from_wdata();
    return result;
}

ustring ustring::normalize(normalization_form n) const
{
    return normalize(*this, n);
}

bool ustring::is_valid(const ustring& x)
{
    if (x.empty()) {
        return true;
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8(nullptr, 0, &len, x.data, -1, &status);
    return status != U_INVALID_CHAR_FOUND;
}
