#include "package_source.h"

#include "package_digest.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// One buffer of this size, kept: a larger one, freed after each step, would raise
// malloc's mmap threshold and stay in the heap's touched pages for the rest of the run.
const size_t HASH_STEP = 64 * 1024;

ssize_t readRetrying(int fd, void* buffer, size_t size)
{
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

} // namespace

bool PackageSource::open(const char* path)
{
    m_fd = UniqueFd(::open(path, O_RDONLY | O_CLOEXEC));
    m_pos = 0;
    m_hashed = 0;
    return m_fd.valid();
}

ssize_t PackageSource::read(void* buffer, size_t size)
{
    if (m_digest && m_pos > m_hashed && !catchUp(m_pos)) {
        return -1;
    }
    const ssize_t got = readRetrying(m_fd.get(), buffer, size);
    if (got > 0) {
        hashRead(static_cast<const uint8_t*>(buffer), static_cast<size_t>(got));
        m_pos += got;
    }
    return got;
}

void PackageSource::hashRead(const uint8_t* data, size_t size)
{
    const int64_t end = m_pos + static_cast<int64_t>(size);
    // Only the part not hashed before: a reader that seeks back reads bytes twice.
    if (m_digest && m_pos <= m_hashed && m_hashed < end) {
        m_digest->update(data + (m_hashed - m_pos), static_cast<size_t>(end - m_hashed));
        m_hashed = end;
    }
}

int64_t PackageSource::seek(int64_t offset, int whence)
{
    const off_t at = lseek(m_fd.get(), offset, whence);
    if (at >= 0) {
        m_pos = at;
    }
    return at;
}

bool PackageSource::catchUp(int64_t end)
{
    std::vector<uint8_t>& buffer = hashBuffer();
    while (m_hashed < end) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(end - m_hashed, HASH_STEP));
        ssize_t got;
        do {
            got = pread(m_fd.get(), buffer.data(), want, m_hashed);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            // The file shrank under the reader: its next read fails or ends.
            return true;
        }
        m_digest->update(buffer.data(), static_cast<size_t>(got));
        m_hashed += got;
    }
    return true;
}

std::vector<uint8_t>& PackageSource::hashBuffer()
{
    m_hash_block.resize(HASH_STEP);
    return m_hash_block;
}

int PackageSource::hashStep()
{
    if (!m_digest) {
        return 0;
    }
    std::vector<uint8_t>& buffer = hashBuffer();
    ssize_t got;
    do {
        got = pread(m_fd.get(), buffer.data(), buffer.size(), m_hashed);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return -1;
    }
    m_digest->update(buffer.data(), static_cast<size_t>(got));
    m_hashed += got;
    return got > 0 ? 1 : 0;
}

int PackageSource::attach(archive* reader, size_t blockSize)
{
    m_block.resize(blockSize);
    archive_read_set_callback_data(reader, this);
    archive_read_set_read_callback(reader, &PackageSource::readCallback);
    archive_read_set_seek_callback(reader, &PackageSource::seekCallback);
    return archive_read_open1(reader);
}

la_ssize_t PackageSource::readCallback(archive* a, void* self, const void** buffer)
{
    PackageSource* source = static_cast<PackageSource*>(self);
    const ssize_t got = source->read(source->m_block.data(), source->m_block.size());
    if (got < 0) {
        archive_set_error(a, errno, "Error reading file");
        return ARCHIVE_FATAL;
    }
    *buffer = source->m_block.data();
    return got;
}

la_int64_t PackageSource::seekCallback(archive* a, void* self, la_int64_t offset, int whence)
{
    const int64_t at = static_cast<PackageSource*>(self)->seek(offset, whence);
    if (at < 0) {
        archive_set_error(a, errno, "Error seeking in file");
        return ARCHIVE_FATAL;
    }
    return at;
}
