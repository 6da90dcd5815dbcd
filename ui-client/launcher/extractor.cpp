#include "extractor.h"

#include "adapter.h"
#include "log/log.h"
#include "texts/strtab.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

const char* const COMPONENT = "extractor_debug";
const size_t BLOCK_SIZE = 10240;
const int STR_EXTRACT_STARTED = 61;

// SECURE_SYMLINKS makes the writer replace a symlink met on an entry's path instead of
// following it out of the target. NOABSOLUTEPATHS must stay off: every rewritten path
// is absolute.
const int DISK_OPTIONS = ARCHIVE_EXTRACT_UNLINK | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                         ARCHIVE_EXTRACT_MAC_METADATA | ARCHIVE_EXTRACT_SECURE_SYMLINKS;

struct ReadFree
{
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree
{
    void operator()(archive* a) const { archive_write_free(a); }
};
struct CFree
{
    void operator()(char* p) const { free(p); }
};
using ReadHandle = std::unique_ptr<archive, ReadFree>;
using WriteHandle = std::unique_ptr<archive, WriteFree>;

const char* errorText(archive* a)
{
    const char* s = archive_error_string(a);
    return s ? s : "";
}

// A reader with every filter and format enabled, opened on path; null, with the log line
// written, when it cannot be made or opened.
ReadHandle openReader(const ustring& path)
{
    ReadHandle reader(archive_read_new());
    if (!reader) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Allocate archive failed\n", __LINE__);
        return nullptr;
    }
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    if (archive_read_open_filename(reader.get(), path.c_str(), BLOCK_SIZE) != ARCHIVE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): archive_read_open_filename failed: '%s'\n",
                       __LINE__, errorText(reader.get()));
        return nullptr;
    }
    return reader;
}

// Creates path and its missing parents, like mkdir -p; 0 or the errno of the failure.
int makeFolders(const std::string& path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') {
            continue;
        }
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    return 0;
}

// The components of a stored path without empty and "." ones: "./a//b/" gives {a, b}.
std::vector<std::string> components(const char* stored)
{
    std::vector<std::string> out;
    const char* p = stored;
    while (*p) {
        const char* end = std::strchr(p, '/');
        const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len > 0 && !(len == 1 && p[0] == '.')) {
            out.emplace_back(p, len);
        }
        p += len;
        if (*p == '/') {
            ++p;
        }
    }
    return out;
}

std::string join(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) {
            out += '/';
        }
        out += part;
    }
    return out;
}

// Paths below the target, as join(components(stored)), where this run made a symlink.
// libarchive silently replaces a symlink met on an entry's path; meeting one of these
// means the archive tried to redirect its later entries, so the run fails instead.
// Kept in memory: an lstat of every parent folder would add a fifth to the CPU time.
using LinkSet = std::set<std::string>;

// The link of links that a path passes through on the way to its last component, or "".
std::string linkOnPath(const LinkSet& links, const std::vector<std::string>& parts)
{
    if (links.empty()) {
        return std::string();
    }
    std::string prefix;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (i > 0) {
            prefix += '/';
        }
        prefix += parts[i];
        if (links.count(prefix) != 0) {
            return prefix;
        }
    }
    return std::string();
}

// Checks a stored path (of the entry or of its hard-link target) before it is placed
// below root. False with the log line written when it must not be extracted.
bool pathAllowed(const std::string& root, const char* stored, const std::vector<std::string>& parts,
                 const LinkSet& links, int line)
{
    if (root.size() + 1 + std::strlen(stored) >= PATH_MAX) {
        // libarchive would chdir the whole process step by step to reach such a path.
        Logger::LogMsg(Logger::L_ERR, COMPONENT, "[ERROR] extractor.cpp(%d): path too long: '%s'\n",
                       line, stored);
        return false;
    }
    const std::string link = linkOnPath(links, parts);
    if (!link.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): '%s' passes through the symlink '%s/%s'\n", line,
                       stored, root.c_str(), link.c_str());
        return false;
    }
    return true;
}

// Refuses entries that could reach outside root, replace it or be redirected; otherwise
// sets the entry's path (and hard-link target) to root + "/" + the stored one and returns
// true, with key set to the entry's place in links and makesLink to whether it is a symlink.
bool placeEntry(archive_entry* entry, const std::string& root, const char* stored,
                const LinkSet& links, std::string* key, bool* makesLink)
{
    const char* hardlink = archive_entry_hardlink_utf8(entry);
    const mode_t type = archive_entry_filetype(entry);
    if (!hardlink && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): unsupported entry type 0%o: '%s'\n", __LINE__,
                       static_cast<unsigned>(type), stored);
        return false;
    }
    const std::vector<std::string> parts = components(stored);
    // "." as anything but a folder would unlink the target folder itself.
    if ((hardlink || type != AE_IFDIR) && parts.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): '%s' would replace the target folder\n",
                       __LINE__, stored);
        return false;
    }
    if (!pathAllowed(root, stored, parts, links, __LINE__)) {
        return false;
    }
    *key = join(parts);
    *makesLink = !hardlink && type == AE_IFLNK;
    if (hardlink) {
        // Stored link targets are relative to the archive root, not the working directory.
        const std::vector<std::string> linkParts = components(hardlink);
        if (!pathAllowed(root, hardlink, linkParts, links, __LINE__)) {
            return false;
        }
        // A hard link to a symlink is a symlink too.
        *makesLink = links.count(join(linkParts)) != 0;
        archive_entry_set_hardlink_utf8(entry, (root + "/" + hardlink).c_str());
    }
    archive_entry_set_pathname_utf8(entry, (root + "/" + stored).c_str());
    return true;
}

} // namespace

Extractor::Extractor() = default;

Extractor::~Extractor() = default;

void Extractor::SetSource(const ustring& source)
{
    this->source = source;
}

void Extractor::SetTarget(const ustring& target)
{
    this->target = target;
}

int Extractor::Count()
{
    if (target.empty() || source.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT, "[ERROR] extractor.cpp(%d): Invalid argument\n",
                       __LINE__);
        return -1;
    }
    ReadHandle reader = openReader(source);
    if (!reader) {
        return -1;
    }
    int count = 0;
    archive_entry* entry = nullptr;
    // A damaged archive counts the entries read up to the damage; Extract then fails on it.
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        ++count;
        archive_read_data_skip(reader.get());
    }
    return count;
}

int Extractor::Extract()
{
    if (source.empty() || target.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT, "[ERROR] extractor.cpp(%d): Invalid Argument\n",
                       __LINE__);
        return -1;
    }
    Logger::LogMsg(Logger::L_DEBUG, COMPONENT,
                   "[DEBUG] extractor.cpp(%d): decompress from '%s' to '%s'\n", __LINE__,
                   source.c_str(), target.c_str());
    Notify_Adapter::GetInstance()->UpdateDialogText(StrTable::LoadStr(STR_EXTRACT_STARTED));

    const int total = Count();
    if (total <= 0) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Failed to calculate total file numbers, ret: "
                       "%d\n",
                       __LINE__, total);
        return -1;
    }

    // libarchive's checks remove any symlink they meet on a path, so entry paths must not
    // pass through one on the way to the target (a home folder reached through a link).
    const int err = makeFolders(target.c_str());
    if (err != 0) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Failed to create target '%s': %s\n", __LINE__,
                       target.c_str(), std::strerror(err));
        return -1;
    }
    std::unique_ptr<char, CFree> resolved(realpath(target.c_str(), nullptr));
    if (!resolved) {
        const int resolveErr = errno;
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Failed to resolve target '%s': %s\n", __LINE__,
                       target.c_str(), std::strerror(resolveErr));
        return -1;
    }
    const std::string root = resolved.get();

    ReadHandle reader(archive_read_new());
    if (!reader) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Allocate extractor failed\n", __LINE__);
        return -1;
    }
    WriteHandle writer(archive_write_disk_new());
    if (!writer) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Allocate extractor failed\n", __LINE__);
        return -1;
    }
    archive_write_disk_set_options(writer.get(), DISK_OPTIONS);
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_all(reader.get());
    if (archive_read_open_filename(reader.get(), source.c_str(), BLOCK_SIZE) != ARCHIVE_OK) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): Failed to read file '%s' ('%s')\n", __LINE__,
                       source.c_str(), errorText(reader.get()));
        return -1;
    }

    int result = -1;
    int step = 0;
    LinkSet links;
    Notify_Adapter* const adapter = Notify_Adapter::GetInstance();
    for (;;) {
        archive_entry* entry = nullptr;
        const int r = archive_read_next_header(reader.get(), &entry);
        if (r == ARCHIVE_EOF) {
            result = 0;
            break;
        }
        // Warnings and ARCHIVE_RETRY included: only a clean header is extracted.
        if (r != ARCHIVE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] extractor.cpp(%d): archive_read_next_header failed: '%s'\n",
                           __LINE__, errorText(reader.get()));
            break;
        }
        const char* stored = archive_entry_pathname_utf8(entry);
        if (!stored) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] extractor.cpp(%d): archive_entry_pathname failed", __LINE__);
            break;
        }
        // The stored path is overwritten below; keep it alive for the log lines.
        const std::string storedCopy = stored;
        std::string key;
        bool makesLink = false;
        if (!placeEntry(entry, root, storedCopy.c_str(), links, &key, &makesLink)) {
            break;
        }
        // The secure options report their refusals as ARCHIVE_WARN: anything short of
        // ARCHIVE_OK means the entry was not written as stored.
        if (archive_read_extract2(reader.get(), entry, writer.get()) != ARCHIVE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] extractor.cpp(%d): archive_read_extract2 failed: '%s'\n",
                           __LINE__, errorText(writer.get()));
            break;
        }
        if (makesLink) {
            links.insert(key);
        } else {
            links.erase(key); // a folder or file took the link's place
        }
        ++step;
        adapter->UpdateProgress(total, step);
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] extractor.cpp(%d): archive_write_finish_entry failed: '%s'\n",
                           __LINE__, errorText(writer.get()));
            break;
        }
    }
    return result;
}

int Extractor::List()
{
    if (target.empty() || source.empty()) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT, "[ERROR] extractor.cpp(%d): Invalid argument\n",
                       __LINE__);
        return -1;
    }
    ReadHandle reader = openReader(source);
    if (!reader) {
        return -1;
    }
    archive_entry* entry = nullptr;
    int r;
    while ((r = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        const char* path = archive_entry_pathname(entry);
        std::printf("%s\n", path ? path : "");
        // A skip past the end leaves the reader at a clean-looking end of archive.
        r = archive_read_data_skip(reader.get());
        if (r != ARCHIVE_OK) {
            break;
        }
    }
    std::fflush(stdout);
    // A damaged archive must not pass for a complete listing.
    if (r != ARCHIVE_EOF) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT,
                       "[ERROR] extractor.cpp(%d): archive_read_next_header failed: '%s'\n",
                       __LINE__, errorText(reader.get()));
        return -1;
    }
    archive_read_close(reader.get());
    return 0;
}

int Extractor::copy_data(archive* ar, archive* aw)
{
    if (!ar || !aw) {
        Logger::LogMsg(Logger::L_ERR, COMPONENT, "[ERROR] extractor.cpp(%d): Invalid Argument\n",
                       __LINE__);
        return -1;
    }
    for (;;) {
        const void* buff = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(ar, &buff, &size, &offset);
        if (r == ARCHIVE_EOF) {
            return 0;
        }
        if (r != ARCHIVE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] extractor.cpp(%d): archive_read_data_block failed: '%s'\n",
                           __LINE__, errorText(ar));
            return -1;
        }
        if (archive_write_data_block(aw, buff, size, offset) != ARCHIVE_OK) {
            Logger::LogMsg(Logger::L_ERR, COMPONENT,
                           "[ERROR] extractor.cpp(%d): archive_write_data_block failed: '%s'\n",
                           __LINE__, errorText(aw));
            return -1;
        }
    }
}
