#include "tmp_name_gen/tmp_name_gen.h"

#include <cstdio>
#include <memory>
#include <sys/time.h>

namespace {

const char ALPHABET[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
const size_t KEY_SIZE = 256;

struct FileCloser
{
    void operator()(FILE* fp) const { fclose(fp); }
};

} // namespace

TmpNameGen& TmpNameGen::getInstance()
{
    static TmpNameGen instance;
    return instance;
}

TmpNameGen::TmpNameGen() : m_s_box(), m_key(), m_buffer()
{
    pthread_mutex_init(&m_lock, nullptr);
    get_key(m_key, sizeof(m_key));
    rc4_init(m_s_box, m_key);
}

// 256 bytes from the random device; failing that, the time of day as text.
void TmpNameGen::get_key(unsigned char* key, size_t len)
{
    {
        std::unique_ptr<FILE, FileCloser> dev(fopen("/dev/urandom", "rbe"));
        if (dev && fread(key, 1, KEY_SIZE, dev.get()) == KEY_SIZE)
            return;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    char text[64];
    snprintf(text, sizeof(text), "%lu-%lu", static_cast<unsigned long>(tv.tv_sec),
             static_cast<unsigned long>(tv.tv_usec));
    if (len == 0)
        return;
    size_t i = 0;
    for (; i + 1 < len && text[i] != '\0'; ++i)
        key[i] = static_cast<unsigned char>(text[i]);
    key[i] = 0;
}

void TmpNameGen::rc4_init(unsigned char* S, const unsigned char* key)
{
    for (int i = 0; i < 256; ++i)
        S[i] = static_cast<unsigned char>(i);
    unsigned j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (j + S[i] + key[i % KEY_SIZE]) & 0xFF;
        const unsigned char t = S[i];
        S[i] = S[j];
        S[j] = t;
    }
}

// The indices start at 0 on every call; only the permutation carries over.
void TmpNameGen::rc4_randomize(unsigned char* S, unsigned char* buffer, int length)
{
    unsigned i = 0;
    unsigned j = 0;
    for (int n = 0; n < length; ++n) {
        i = (i + 1) & 0xFF;
        j = (j + S[i]) & 0xFF;
        const unsigned char t = S[i];
        S[i] = S[j];
        S[j] = t;
        buffer[n] = S[(S[i] + S[j]) & 0xFF];
    }
}

void TmpNameGen::lock()
{
    pthread_mutex_lock(&m_lock);
}

void TmpNameGen::unlock()
{
    pthread_mutex_unlock(&m_lock);
}

ustring TmpNameGen::getTmpName()
{
    char name[9];
    lock();
    rc4_randomize(m_s_box, m_buffer, sizeof(m_buffer));
    for (int group = 0; group < 2; ++group) {
        const unsigned char* b = m_buffer + 3 * group;
        const unsigned long v = (static_cast<unsigned long>(b[0]) << 16) |
                                (static_cast<unsigned long>(b[1]) << 8) | b[2];
        for (int k = 0; k < 4; ++k)
            name[4 * group + k] = ALPHABET[(v >> (18 - 6 * k)) & 0x3F];
    }
    name[8] = '\0';
    unlock();
    return ustring(name);
}

ustring TmpNameGen::getTmpPath(const ustring& prefix)
{
    return prefix + "/" + getTmpName();
}
