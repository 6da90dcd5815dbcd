#ifndef BRISENDALE_LAUNCHER_EXTRACTOR_H
#define BRISENDALE_LAUNCHER_EXTRACTOR_H

#include "upgrade_fault.h"
#include "ustring/ustring.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct archive;

// Unpacks a package archive below a target folder in one pass, reporting progress
// through Notify_Adapter. Every operation opens and frees its own libarchive objects.
class Extractor
{
public:
    Extractor();
    ~Extractor();

    void SetSource(const ustring& source);
    void SetTarget(const ustring& target);
    // What the package must be, from its version file's group "Package": the SHA-256 of
    // the package file in hex and the number of entries it installs, the target folder
    // included. Empty or 0: not checked.
    void SetExpectedSha256(const std::string& sha256);
    void SetExpectedEntries(uint64_t entries);

    // Number of entries whose headers could be read, or -1 when the archive cannot be opened.
    int Count();
    // 0 when every entry was written below the target and the package was read whole and
    // matched what is expected of it, -1 otherwise; entries written before a failure stay
    // on disk. Decodes on the calling thread and writes on a second one; reports once per
    // entry, with a bar that follows the bytes consumed.
    int Extract();
    // Who the last failed Extract is to be blamed on; None after a success.
    Blame FailureBlame() const { return failure_blame; }
    // The error number behind the last failure, 0 when none is known.
    int FailureErrno() const { return failure_errno; }
    // Writes every entry's stored path to standard output, one per line; 0 or -1.
    int List();

private:
    friend struct ExtractorTestPeer;

    int extractNoting(FaultNote& fault);
    // Copies the current entry's data from ar to aw block by block; 0 or -1.
    int copy_data(archive* ar, archive* aw);

    ustring target;
    ustring source;
    std::string expected_sha256;
    uint64_t expected_entries = 0;
    // The most bytes that the last Extract held between its two threads.
    size_t queue_peak = 0;
    Blame failure_blame = Blame::None;
    int failure_errno = 0;
};

#endif // BRISENDALE_LAUNCHER_EXTRACTOR_H
