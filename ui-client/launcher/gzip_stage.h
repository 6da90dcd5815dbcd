#ifndef BRISENDALE_LAUNCHER_GZIP_STAGE_H
#define BRISENDALE_LAUNCHER_GZIP_STAGE_H

#include "file/unique_fd.h"

#include <archive.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct inflate_state;

// Inflates a gzip package with ISA-L in front of libarchive, which then reads the plain
// stream with its format readers only: ISA-L's inflate takes less than half the CPU of
// zlib's, and the reading thread shares two cores with the writing one.
//
// It reads the members as libarchive's gzip filter does: one after the other as one
// stream, ending at the first bytes that do not start a member (zero padding, other
// trailing data), and failing on a damaged or cut member. Unlike that filter it checks
// each member's CRC32 and ISIZE.
class GzipStage
{
public:
    GzipStage();
    ~GzipStage();
    GzipStage(const GzipStage&) = delete;
    GzipStage& operator=(const GzipStage&) = delete;

    // Opens path; false when it cannot be read or does not start with a gzip member that
    // libarchive's gzip filter would take, so that libarchive reads it its own way.
    bool open(const char* path);
    // Hands the plain stream to reader through archive_read_open; libarchive's result.
    // The stage must outlive the reader.
    int attach(archive* reader);
    // Bytes of the package consumed so far.
    int64_t consumed() const { return m_base + static_cast<int64_t>(m_pos); }

private:
    static la_ssize_t readCallback(archive* a, void* self, const void** buffer);
    la_ssize_t read(archive* a, const void** buffer);
    // Makes at least n bytes available from m_pos on; false at the end of the file or on a
    // read error (m_read_errno set).
    bool ensure(size_t n);
    // Length of the member header at m_pos by the rules of libarchive's gzip filter, 0
    // when no member starts there.
    size_t headerLength();
    la_ssize_t fail(archive* a, const char* text);

    std::optional<UniqueFd> m_fd;
    std::vector<uint8_t> m_in;
    size_t m_pos = 0;
    size_t m_end = 0;
    int64_t m_base = 0; // package offset of m_in[0]
    int m_read_errno = 0;
    std::vector<uint8_t> m_out;
    std::unique_ptr<inflate_state> m_state;
    bool m_in_member = false;
    bool m_done = false;
};

#endif // BRISENDALE_LAUNCHER_GZIP_STAGE_H
