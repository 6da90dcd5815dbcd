#include "package_digest.h"

// EVP would fetch SHA-256 from a provider, which builds OpenSSL's tables of every
// algorithm first: 1.3 MiB more of the library touched, for the same assembly code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cctype>
#include <new>

struct PackageDigest::State
{
    SHA256_CTX ctx;
};

PackageDigest::PackageDigest() : m_state(new (std::nothrow) State)
{
    m_ok = m_state && SHA256_Init(&m_state->ctx) == 1;
}

PackageDigest::~PackageDigest() = default;

void PackageDigest::update(const void* data, size_t size)
{
    if (m_ok && size > 0) {
        m_ok = SHA256_Update(&m_state->ctx, data, size) == 1;
    }
}

std::string PackageDigest::finish()
{
    unsigned char md[SHA256_DIGEST_LENGTH];
    const unsigned int len = SHA256_DIGEST_LENGTH;
    if (!m_ok || SHA256_Final(md, &m_state->ctx) != 1) {
        m_ok = false;
        return std::string();
    }
    m_ok = false; // a finished context takes no more bytes
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * len);
    for (unsigned int i = 0; i < len; ++i) {
        out += HEX[md[i] >> 4];
        out += HEX[md[i] & 15];
    }
    return out;
}

bool PackageDigest::parseHex(const std::string& text, std::string* lower)
{
    if (text.size() != 64) {
        return false;
    }
    std::string out;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    *lower = out;
    return true;
}
