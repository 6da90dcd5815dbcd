#pragma once

#include "ustring/ustring.h"

#include <cstddef>
#include <pthread.h>

// Short random names for temporary files: 8 characters of [0-9a-zA-Z-_] drawn
// from an RC4 generator keyed once per process. Names only; nothing is created.
class TmpNameGen
{
public:
    static TmpNameGen& getInstance();

    ustring getTmpName();
    // prefix + "/" + a fresh name; prefix is used unchanged.
    ustring getTmpPath(const ustring& prefix);

private:
    TmpNameGen();
    TmpNameGen(const TmpNameGen&);
    TmpNameGen& operator=(const TmpNameGen&) = delete;

    static void get_key(unsigned char* key, size_t len);
    static void rc4_init(unsigned char* S, const unsigned char* key);
    static void rc4_randomize(unsigned char* S, unsigned char* buffer, int length);
    void lock();
    void unlock();

    pthread_mutex_t m_lock;
    unsigned char m_s_box[256];
    unsigned char m_key[256];
    unsigned char m_buffer[6];
};
