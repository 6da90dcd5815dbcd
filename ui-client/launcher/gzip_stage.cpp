#include "gzip_stage.h"

#include "package_source.h"

#if BRISENDALE_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

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

const char* const READ_ERROR = "Error reading file";
const char* const TRUNCATED = "truncated gzip input";
const char* const BAD_CHECK = "gzip member CRC32 or ISIZE mismatch";
const char* const BAD_DATA = "gzip decompression failed";

} // namespace

// One member's deflate data and its trailer, whose CRC32 and ISIZE are checked.
class GzipStage::Inflater
{
public:
    enum Result
    {
        MORE,      // wants more input or output room
        END,       // the member and its trailer were consumed and checked
        BAD_CHECK, // the trailer does not match the data
        BAD_DATA
    };

    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool ok() const { return m_ok; }
    void begin();
    Result run(const uint8_t* in, size_t inLen, size_t* used, uint8_t* out, size_t outLen,
               size_t* made);

private:
    bool m_ok = false;
#if BRISENDALE_HAVE_ISAL
    std::unique_ptr<inflate_state> m_state;
#else
    z_stream m_z;
    uLong m_crc = 0;
    uint32_t m_size = 0;
    bool m_in_trailer = false;
    uint8_t m_trailer[8];
    size_t m_trailer_len = 0;
#endif
};

#if BRISENDALE_HAVE_ISAL

GzipStage::Inflater::Inflater() : m_state(new inflate_state)
{
    m_ok = true;
}

GzipStage::Inflater::~Inflater() = default;

void GzipStage::Inflater::begin()
{
    isal_inflate_init(m_state.get());
    // The header is read by the stage, by libarchive's rules; the decoder checks the
    // trailer's CRC32 and ISIZE.
    m_state->crc_flag = ISAL_GZIP_NO_HDR_VER;
}

GzipStage::Inflater::Result GzipStage::Inflater::run(const uint8_t* in, size_t inLen, size_t* used,
                                                     uint8_t* out, size_t outLen, size_t* made)
{
    inflate_state* s = m_state.get();
    s->next_in = const_cast<uint8_t*>(in);
    s->avail_in = static_cast<uint32_t>(std::min<size_t>(inLen, UINT32_MAX));
    s->next_out = out;
    s->avail_out = static_cast<uint32_t>(outLen);
    const uint32_t availIn = s->avail_in;
    const int r = isal_inflate(s);
    *used = availIn - s->avail_in;
    *made = outLen - s->avail_out;
    if (r == ISAL_INCORRECT_CHECKSUM) {
        return BAD_CHECK;
    }
    if (r < 0) {
        return BAD_DATA;
    }
    return s->block_state == ISAL_BLOCK_FINISH ? END : MORE;
}

#else

GzipStage::Inflater::Inflater()
{
    std::memset(&m_z, 0, sizeof m_z);
    m_ok = inflateInit2(&m_z, -MAX_WBITS) == Z_OK;
}

GzipStage::Inflater::~Inflater()
{
    if (m_ok) {
        inflateEnd(&m_z);
    }
}

void GzipStage::Inflater::begin()
{
    inflateReset(&m_z);
    m_crc = crc32(0, nullptr, 0);
    m_size = 0;
    m_in_trailer = false;
    m_trailer_len = 0;
}

GzipStage::Inflater::Result GzipStage::Inflater::run(const uint8_t* in, size_t inLen, size_t* used,
                                                     uint8_t* out, size_t outLen, size_t* made)
{
    *used = 0;
    *made = 0;
    if (!m_in_trailer) {
        m_z.next_in = const_cast<Bytef*>(in);
        m_z.avail_in = static_cast<uInt>(std::min<size_t>(inLen, UINT_MAX));
        m_z.next_out = out;
        m_z.avail_out = static_cast<uInt>(outLen);
        const uInt availIn = m_z.avail_in;
        const int r = inflate(&m_z, Z_NO_FLUSH);
        *used = availIn - m_z.avail_in;
        *made = outLen - m_z.avail_out;
        m_crc = crc32(m_crc, out, static_cast<uInt>(*made));
        m_size += static_cast<uint32_t>(*made);
        if (r != Z_STREAM_END) {
            return r == Z_OK || r == Z_BUF_ERROR ? MORE : BAD_DATA;
        }
        m_in_trailer = true;
    }
    const size_t take = std::min(sizeof m_trailer - m_trailer_len, inLen - *used);
    std::memcpy(m_trailer + m_trailer_len, in + *used, take);
    m_trailer_len += take;
    *used += take;
    if (m_trailer_len < sizeof m_trailer) {
        return MORE;
    }
    const auto le32 = [](const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    return le32(m_trailer) == m_crc && le32(m_trailer + 4) == m_size ? END : BAD_CHECK;
}

#endif

GzipStage::GzipStage() = default;

GzipStage::~GzipStage() = default;

bool GzipStage::open(PackageSource* source)
{
    m_source = source;
    m_in.resize(IN_BLOCK);
    if (headerLength() != 0) {
        return true;
    }
    m_source->seek(0, SEEK_SET);
    return false;
}

int GzipStage::attach(archive* reader)
{
    m_out.resize(OUT_BLOCK);
    m_inflater.reset(new Inflater);
    if (!m_inflater->ok()) {
        archive_set_error(reader, ENOMEM, "Cannot set up the gzip decoder");
        return ARCHIVE_FATAL;
    }
    return archive_read_open(reader, this, nullptr, &GzipStage::readCallback, nullptr);
}

la_ssize_t GzipStage::readCallback(archive* a, void* self, const void** buffer)
{
    GzipStage* stage = static_cast<GzipStage*>(self);
    const char* error = "";
    const la_ssize_t n = stage->fill(&error);
    if (n < 0) {
        if (stage->m_read_errno != 0) {
            archive_set_error(a, stage->m_read_errno, "%s", error);
        } else {
            archive_set_error(a, ERRNO_MISC, "%s", error);
        }
        return ARCHIVE_FATAL;
    }
    *buffer = stage->m_out.data();
    return n;
}

int GzipStage::drainStep(const char** error)
{
    const la_ssize_t n = fill(error);
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
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
        const ssize_t got = m_source->read(m_in.data() + m_end, m_in.size() - m_end);
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

// Fills one output block: the members' data in order, up to the first bytes that do not
// start a member. Like libarchive's filter, a failure drops the block.
la_ssize_t GzipStage::fill(const char** error)
{
    size_t filled = 0;
    while (filled < m_out.size() && !m_done) {
        if (!m_in_member) {
            const size_t len = headerLength();
            if (m_read_errno != 0) {
                *error = READ_ERROR;
                return -1;
            }
            if (len == 0) {
                m_done = true;
                break;
            }
            m_pos = ensure(len) ? m_pos + len : m_end;
            m_inflater->begin();
            m_in_member = true;
        }
        if (!ensure(1)) {
            *error = m_read_errno != 0 ? READ_ERROR : TRUNCATED;
            return -1;
        }
        size_t used = 0;
        size_t made = 0;
        const Inflater::Result r =
            m_inflater->run(m_in.data() + m_pos, m_end - m_pos, &used, m_out.data() + filled,
                            m_out.size() - filled, &made);
        m_pos += used;
        filled += made;
        if (r == Inflater::BAD_CHECK) {
            *error = BAD_CHECK;
            return -1;
        }
        if (r == Inflater::BAD_DATA) {
            *error = BAD_DATA;
            return -1;
        }
        if (r == Inflater::MORE) {
            // Without progress the decoder waits for more input than is buffered.
            if (used == 0 && made == 0 && !ensure(m_end - m_pos + 1)) {
                *error = m_read_errno != 0 ? READ_ERROR : TRUNCATED;
                return -1;
            }
            continue;
        }
        m_in_member = false;
    }
    return static_cast<la_ssize_t>(filled);
}
