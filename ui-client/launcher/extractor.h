#ifndef BRISENDALE_LAUNCHER_EXTRACTOR_H
#define BRISENDALE_LAUNCHER_EXTRACTOR_H

#include "ustring/ustring.h"

struct archive;

// Unpacks a package archive below a target folder, entry by entry, reporting progress
// through Notify_Adapter. Every operation opens and frees its own libarchive objects.
class Extractor
{
public:
    Extractor();
    ~Extractor();

    void SetSource(const ustring& source);
    void SetTarget(const ustring& target);

    // Number of entries whose headers could be read, or -1 when the archive cannot be opened.
    int Count();
    // 0 when every entry was written below the target, -1 otherwise; entries written
    // before a failure stay on disk.
    int Extract();
    // Writes every entry's stored path to standard output, one per line; 0 or -1.
    int List();

private:
    friend struct ExtractorTestPeer;

    // Copies the current entry's data from ar to aw block by block; 0 or -1.
    int copy_data(archive* ar, archive* aw);

    ustring target;
    ustring source;
};

#endif // BRISENDALE_LAUNCHER_EXTRACTOR_H
