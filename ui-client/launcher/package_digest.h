#ifndef BRISENDALE_LAUNCHER_PACKAGE_DIGEST_H
#define BRISENDALE_LAUNCHER_PACKAGE_DIGEST_H

#include <cstddef>
#include <memory>
#include <string>

// A SHA-256 over bytes fed in order, through OpenSSL's SHA-256 functions, which use the
// CPU's SHA extensions where they exist.
class PackageDigest
{
public:
    PackageDigest();
    ~PackageDigest();
    PackageDigest(const PackageDigest&) = delete;
    PackageDigest& operator=(const PackageDigest&) = delete;

    // False when the library could not set the digest up.
    [[nodiscard]] bool ok() const { return m_ok; }
    void update(const void* data, size_t size);
    // The digest of everything fed, in lower-case hex; "" when the library failed.
    [[nodiscard]] std::string finish();

    // True when text is 64 hex digits; *lower gets them in lower case.
    static bool parseHex(const std::string& text, std::string* lower);

private:
    struct State;
    std::unique_ptr<State> m_state;
    bool m_ok = false;
};

#endif // BRISENDALE_LAUNCHER_PACKAGE_DIGEST_H
