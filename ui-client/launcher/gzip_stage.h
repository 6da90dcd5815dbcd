#ifndef BRISENDALE_LAUNCHER_GZIP_STAGE_H
#define BRISENDALE_LAUNCHER_GZIP_STAGE_H

#include <archive.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class PackageSource;

// Inflates a gzip package in front of libarchive, with ISA-L where the build has it
// (less than half the CPU of zlib's inflate; the reading thread shares two cores with
// the writing one) and zlib otherwise.
//
// It reads the members as libarchive's gzip filter does: one after the other as one
// stream, ending at the first bytes that do not start a member (zero padding, other
// trailing data), and failing on a damaged or cut member. Unlike that filter, which
// reads no further than the archive's end and checks no trailer, it checks each
// member's CRC32 and ISIZE, and drain() reads the members to their end.
class GzipStage
{
public:
    GzipStage();
    ~GzipStage();
    GzipStage(const GzipStage&) = delete;
    GzipStage& operator=(const GzipStage&) = delete;

    // Reads from source at its start; false when it cannot be read or does not start
    // with a gzip member that libarchive's gzip filter would take, so that libarchive
    // reads it its own way (source is then put back at its start).
    bool open(PackageSource* source);
    // Hands the inflated stream to reader through archive_read_open; libarchive's
    // result. The stage must outlive the reader.
    int attach(archive* reader);
    // Inflates one more block past what the reader took: 1 while the members go on, 0
    // once every member was inflated and checked, -1 on damage (*error tells which).
    int drainStep(const char** error);
    // Bytes of the package consumed so far.
    int64_t consumed() const { return m_base + static_cast<int64_t>(m_pos); }

    class Inflater;

private:
    static la_ssize_t readCallback(archive* a, void* self, const void** buffer);
    // Fills m_out with the next block; its length, 0 at the end, -1 with *error set.
    la_ssize_t fill(const char** error);
    // Makes at least n bytes available from m_pos on; false at the end of the file or on a
    // read error (m_read_errno set).
    bool ensure(size_t n);
    // Length of the member header at m_pos by the rules of libarchive's gzip filter, 0
    // when no member starts there.
    size_t headerLength();

    PackageSource* m_source = nullptr;
    std::vector<uint8_t> m_in;
    size_t m_pos = 0;
    size_t m_end = 0;
    int64_t m_base = 0; // package offset of m_in[0]
    int m_read_errno = 0;
    std::vector<uint8_t> m_out;
    std::unique_ptr<Inflater> m_inflater;
    bool m_in_member = false;
    bool m_done = false;
};

#endif // BRISENDALE_LAUNCHER_GZIP_STAGE_H
