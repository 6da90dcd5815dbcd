#ifndef BRISENDALE_LAUNCHER_PACKAGE_SOURCE_H
#define BRISENDALE_LAUNCHER_PACKAGE_SOURCE_H

#include "file/unique_fd.h"

#include <archive.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/types.h>

class PackageDigest;

// The package file as its readers see it. With a digest attached, every byte of the
// file is fed to it once and in order, as the readers consume it: bytes a reader seeks
// past are read for the digest when a later read or the end needs them.
class PackageSource
{
public:
    // False, with errno set, when path cannot be opened.
    bool open(const char* path);
    void hashWith(PackageDigest* digest) { m_digest = digest; }

    // Up to size bytes at the current offset; -1 with errno set on a read error.
    ssize_t read(void* buffer, size_t size);
    // lseek's result, the file offset afterwards.
    int64_t seek(int64_t offset, int whence);
    // Feeds the digest one step further towards the file's end: 1 while bytes are left,
    // 0 at the end, -1 with errno set on a read error.
    int hashStep();

    // Hands the file to reader through archive_read_open, with blocks of blockSize
    // bytes; libarchive's result. The source must outlive the reader.
    int attach(archive* reader, size_t blockSize);

private:
    static la_ssize_t readCallback(archive* a, void* self, const void** buffer);
    static la_int64_t seekCallback(archive* a, void* self, la_int64_t offset, int whence);
    // Feeds the digest the bytes before end that no read has given it yet.
    bool catchUp(int64_t end);
    void hashRead(const uint8_t* data, size_t size);
    std::vector<uint8_t>& hashBuffer();

    UniqueFd m_fd;
    int64_t m_pos = 0;
    int64_t m_hashed = 0;
    PackageDigest* m_digest = nullptr;
    std::vector<uint8_t> m_block;
    std::vector<uint8_t> m_hash_block;
};

#endif // BRISENDALE_LAUNCHER_PACKAGE_SOURCE_H
