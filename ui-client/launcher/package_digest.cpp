#include "package_digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cctype>

void PackageDigest::CtxFree::operator()(evp_md_ctx_st* ctx) const
{
    EVP_MD_CTX_free(ctx);
}

namespace {

// The system's OpenSSL configuration is not read: a digest needs none of it, and its
// providers and engines would only add to the launcher's memory.
bool initCrypto()
{
    static const bool ok = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    return ok;
}

} // namespace

PackageDigest::PackageDigest()
{
    if (initCrypto()) {
        m_ctx.reset(EVP_MD_CTX_new());
    }
    m_ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) == 1;
}

PackageDigest::~PackageDigest() = default;

void PackageDigest::update(const void* data, size_t size)
{
    if (m_ok && size > 0) {
        m_ok = EVP_DigestUpdate(m_ctx.get(), data, size) == 1;
    }
}

std::string PackageDigest::finish()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!m_ok || EVP_DigestFinal_ex(m_ctx.get(), md, &len) != 1) {
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
