#include "gzip_stage.h"

#include <isa-l/igzip_lib.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Input is read in these steps; output is handed over in blocks of libarchive's own gzip
// filter, so that a damaged member after the archive's end is met at the same point.
const size_t IN_BLOCK = 256 * 1024;
const size_t OUT_BLOCK = 64 * 1024;
const size_t FIXED_HEADER = 10;
// The error number libarchive's own filters give to damaged data.
const int ERRNO_MISC = -1;

const uint8_t FLAG_HCRC = 0x02;
const uint8_t FLAG_EXTRA = 0x04;
const uint8_t FLAG_NAME = 0x08;
const uint8_t FLAG_COMMENT = 0x10;
const uint8_t FLAG_RESERVED = 0xE0;

} // namespace

GzipStage::GzipStage() = default;

GzipStage::~GzipStage() = default;

bool GzipStage::open(const char* path)
{
    m_fd.emplace(::open(path, O_RDONLY | O_CLOEXEC));
    if (!m_fd->valid()) {
        return false;
    }
    m_in.resize(IN_BLOCK);
    return headerLength() != 0;
}

int GzipStage::attach(archive* reader)
{
    m_out.resize(OUT_BLOCK);
    m_state.reset(new inflate_state);
    return archive_read_open(reader, this, nullptr, &GzipStage::readCallback, nullptr);
}

la_ssize_t GzipStage::readCallback(archive* a, void* self, const void** buffer)
{
    return static_cast<GzipStage*>(self)->read(a, buffer);
}

bool GzipStage::ensure(size_t n)
{
    if (m_end - m_pos >= n) {
        return true;
    }
    if (m_pos > 0) {
        std::memmove(m_in.data(), m_in.data() + m_pos, m_end - m_pos);
        m_base += static_cast<int64_t>(m_pos);
        m_end -= m_pos;
        m_pos = 0;
    }
    if (m_in.size() < n) {
        // Only a member header with a long name or comment gets here.
        m_in.resize(n);
    }
    while (m_end < n) {
        const ssize_t got = ::read(m_fd->get(), m_in.data() + m_end, m_in.size() - m_end);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            m_read_errno = errno;
            return false;
        }
        if (got == 0) {
            return false;
        }
        m_end += static_cast<size_t>(got);
    }
    return true;
}

size_t GzipStage::headerLength()
{
    if (!ensure(FIXED_HEADER) || std::memcmp(&m_in[m_pos], "\x1f\x8b\x08", 3) != 0) {
        return 0;
    }
    const uint8_t flags = m_in[m_pos + 3];
    if (flags & FLAG_RESERVED) {
        return 0;
    }
    size_t len = FIXED_HEADER;
    if (flags & FLAG_EXTRA) {
        if (!ensure(len + 2)) {
            return 0;
        }
        // Not checked against the file's end here, as libarchive does not: a cut extra
        // field shows as a cut member.
        len += 2 + (m_in[m_pos + len] | (size_t(m_in[m_pos + len + 1]) << 8));
    }
    for (const uint8_t text : {FLAG_NAME, FLAG_COMMENT}) {
        if (flags & text) {
            do {
                ++len;
                if (!ensure(len)) {
                    return 0;
                }
            } while (m_in[m_pos + len - 1] != 0);
        }
    }
    if (flags & FLAG_HCRC) {
        if (!ensure(len + 2)) {
            return 0;
        }
        len += 2;
    }
    return len;
}

la_ssize_t GzipStage::fail(archive* a, const char* text)
{
    if (m_read_errno != 0) {
        archive_set_error(a, m_read_errno, "Error reading file");
    } else {
        archive_set_error(a, ERRNO_MISC, "%s", text);
    }
    return ARCHIVE_FATAL;
}

// Fills one output block: the members' data in order, up to the first bytes that do not
// start a member. Like libarchive's filter, a failure drops the block.
la_ssize_t GzipStage::read(archive* a, const void** buffer)
{
    size_t filled = 0;
    while (filled < m_out.size() && !m_done) {
        if (!m_in_member) {
            const size_t len = headerLength();
            if (m_read_errno != 0) {
                return fail(a, "");
            }
            if (len == 0) {
                m_done = true;
                break;
            }
            m_pos = ensure(len) ? m_pos + len : m_end;
            isal_inflate_init(m_state.get());
            // The header is read above, by libarchive's rules; the decoder checks the
            // trailer's CRC32 and ISIZE.
            m_state->crc_flag = ISAL_GZIP_NO_HDR_VER;
            m_in_member = true;
        }
        if (!ensure(1)) {
            return fail(a, "truncated gzip input");
        }
        inflate_state* s = m_state.get();
        s->next_in = m_in.data() + m_pos;
        s->avail_in = static_cast<uint32_t>(m_end - m_pos);
        s->next_out = m_out.data() + filled;
        s->avail_out = static_cast<uint32_t>(m_out.size() - filled);
        const int r = isal_inflate(s);
        const size_t used = (m_end - m_pos) - s->avail_in;
        const size_t made = (m_out.size() - filled) - s->avail_out;
        m_pos += used;
        filled += made;
        if (r == ISAL_INCORRECT_CHECKSUM) {
            return fail(a, "gzip member CRC32 or ISIZE mismatch");
        }
        if (r < 0) {
            return fail(a, "gzip decompression failed");
        }
        if (s->block_state != ISAL_BLOCK_FINISH) {
            // Without progress the decoder waits for more input than is buffered.
            if (used == 0 && made == 0 && !ensure(m_end - m_pos + 1)) {
                return fail(a, "truncated gzip input");
            }
            continue;
        }
        m_in_member = false;
    }
    *buffer = m_out.data();
    return static_cast<la_ssize_t>(filled);
}
