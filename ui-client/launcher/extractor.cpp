#include "extractor.h"

#include "adapter.h"
#include "entry_queue.h"
#include "file/durable.h"
#include "file/unique_fd.h"
#include "gzip_stage.h"
#include "log/log.h"
#include "package_digest.h"
#include "package_source.h"
#include "stop_request.h"
#include "texts/strtab.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const char* const COMPONENT = "extractor_debug";

#define EXTRACTOR_LOG(level, fmt, ...)                                                             \
    Logger::LogMsg(Logger::level, COMPONENT, fmt, __LINE__, ##__VA_ARGS__)

// Larger than tar's 10,240-byte records: a sixth of the read calls, and the
// decompressors fill buffers of their own either way.
const size_t BLOCK_SIZE = 65536;
const int STR_EXTRACT_STARTED = 61;
const int STR_EXTRACT_FINISHING = 655;

// What the reading thread may run ahead of the writing one.
const size_t QUEUE_BUDGET = 128 * 1024;

// The bar's share of the extraction: the flush that follows moves it on to FLUSHED_PERCENT,
// the start is the last percent, and 100 is shown only once the upgrade is done.
const int64_t EXTRACTION_PERCENT = 90;
const int64_t FLUSHED_PERCENT = 99;
// Inside a large entry the bar moves at least this often.
const int64_t PROGRESS_STRIDE = 1024 * 1024;

// Where files are fsynced one by one, a large regular file's write-back is started every
// this many bytes while it is written, so that storage works while later entries are
// decoded; the flusher starts every file's write-back again once it is closed, then
// fsyncs it. Where one syncfs makes the tree durable no file is opened a second time.
const int64_t WRITE_BACK_STRIDE = 8 * 1024 * 1024;
const int64_t WRITE_BACK_MIN = 256 * 1024;

// SECURE_SYMLINKS: the writer never follows a symlink met on an entry's path.
const int SECURE_OPTIONS = ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_MAC_METADATA |
                           ARCHIVE_EXTRACT_SECURE_SYMLINKS;

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
struct DirClose
{
    void operator()(DIR* d) const { closedir(d); }
};
using ReadHandle = std::unique_ptr<archive, ReadFree>;
using WriteHandle = std::unique_ptr<archive, WriteFree>;

const char* errorText(archive* a)
{
    const char* s = archive_error_string(a);
    return s ? s : "";
}

// An open package: the file, its digest when one is checked, libarchive's reader and,
// for a gzip package, the stage that inflates it in front of the reader.
struct Package
{
    // Declared in the order they are used: each outlives the one that reads through it.
    std::unique_ptr<PackageDigest> digest;
    std::unique_ptr<PackageSource> source;
    std::unique_ptr<GzipStage> stage;
    ReadHandle reader;

    archive* get() const { return reader.get(); }
    explicit operator bool() const { return reader != nullptr; }
    // The package bytes consumed so far, whoever inflates them.
    int64_t consumed() const
    {
        if (stage) {
            return stage->consumed();
        }
        return archive_filter_bytes(reader.get(), -1);
    }
};

// A reader with every format and every filter enabled, opened on path; null, with the
// log line written, when it cannot be made or opened. The filters stay enabled behind
// the gzip stage too: a package compressed twice reads as libarchive reads it. With
// hashed, every byte of the file goes through a digest.
Package openReader(const ustring& path, bool hashed, FaultNote* fault = nullptr)
{
    FaultNote ignored;
    if (!fault) {
        fault = &ignored;
    }
    Package package;
    package.reader.reset(archive_read_new());
    package.source.reset(new PackageSource);
    if (hashed) {
        package.digest.reset(new PackageDigest);
    }
    if (!package.reader || (package.digest && !package.digest->ok())) {
        fault->Note(Blame::Environment);
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Allocate archive failed\n");
        return Package();
    }
    archive* reader = package.get();
    archive_read_support_format_all(reader);
    archive_read_support_filter_all(reader);
    int opened;
    if (!package.source->open(path.c_str())) {
        // Missing or unreadable since it was looked at: the machine's doing.
        fault->Note(Blame::Environment);
        archive_set_error(reader, errno, "Failed to open '%s'", path.c_str());
        opened = ARCHIVE_FATAL;
    } else {
        package.source->hashWith(package.digest.get());
        // Told by its first bytes, as libarchive tells it, not by the package's name.
        package.stage.reset(new GzipStage);
        if (package.stage->open(package.source.get())) {
            opened = package.stage->attach(reader);
        } else {
            package.stage.reset();
            opened = package.source->attach(reader, BLOCK_SIZE);
        }
    }
    if (opened != ARCHIVE_OK) {
        fault->NoteErrno(archive_errno(reader));
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): archive_read_open_filename failed: '%s'\n",
                      errorText(reader));
        return Package();
    }
    return package;
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

// True when path is a folder without entries; false when it has some or cannot be read.
bool isEmptyFolder(const std::string& path)
{
    std::unique_ptr<DIR, DirClose> dir(opendir(path.c_str()));
    if (!dir) {
        return false;
    }
    while (const dirent* e = readdir(dir.get())) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            return false;
        }
    }
    return true;
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

// A path relative to the target; the target itself is ".".
std::string relativePath(const std::vector<std::string>& parts)
{
    return parts.empty() ? std::string(".") : join(parts);
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
// makes the entry's path (and hard-link target) relative to root, records a symlink it
// makes in links, and returns true.
bool placeEntry(archive_entry* entry, const std::string& root, const char* stored, LinkSet* links)
{
    const char* hardlink = archive_entry_hardlink_utf8(entry);
    const mode_t type = archive_entry_filetype(entry);
    if (!hardlink && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): unsupported entry type 0%o: '%s'\n",
                      static_cast<unsigned>(type), stored);
        return false;
    }
    const std::vector<std::string> parts = components(stored);
    // "." as anything but a folder would unlink the target folder itself.
    if ((hardlink || type != AE_IFDIR) && parts.empty()) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): '%s' would replace the target folder\n",
                      stored);
        return false;
    }
    if (!pathAllowed(root, stored, parts, *links, __LINE__)) {
        return false;
    }
    bool makesLink = !hardlink && type == AE_IFLNK;
    if (hardlink) {
        // Stored link targets are relative to the archive root, not the working directory.
        const std::vector<std::string> linkParts = components(hardlink);
        if (!pathAllowed(root, hardlink, linkParts, *links, __LINE__)) {
            return false;
        }
        // A hard link to a symlink is a symlink too.
        makesLink = links->count(join(linkParts)) != 0;
        archive_entry_set_hardlink_utf8(entry, relativePath(linkParts).c_str());
    }
    const std::string key = join(parts);
    if (makesLink) {
        links->insert(key);
    } else {
        links->erase(key); // a folder or file takes the link's place
    }
    archive_entry_set_pathname_utf8(entry, relativePath(parts).c_str());
    return true;
}

// Reports once per entry read and every MiB inside a large one. step is the number of
// entries begun, total the number that the package would hold at the bytes per entry
// consumed so far: the bar (step * 100 / total) thus follows the package bytes consumed,
// without a counting pass. It never goes back and stays below 100.
class ProgressMeter
{
public:
    explicit ProgressMeter(int64_t size) : m_size(size) {}

    void entryBegun(int64_t consumed)
    {
        ++m_entries;
        m_reported = consumed;
    }
    void dataRead(int64_t consumed)
    {
        if (consumed - m_reported >= PROGRESS_STRIDE) {
            report(consumed);
        }
    }
    void entryRead(int64_t consumed) { report(consumed); }

private:
    void report(int64_t consumed)
    {
        m_reported = consumed;
        // Rounded up, so that the last entry shows the whole share though the reader
        // leaves the archive's trailer unread.
        int64_t want = 0;
        if (m_size > 0) {
            want = (std::min(consumed, m_size) * EXTRACTION_PERCENT + m_size - 1) / m_size;
        }
        want = std::max(want, m_shown);
        // The largest total that shows want, and always more than step: with few
        // entries the bar shows less than want, yet never less than before.
        const int64_t scaled = m_entries * 100;
        int64_t total = want > 0 ? scaled / want : scaled + 1;
        total = std::min<int64_t>(std::max<int64_t>(total, m_entries + 1), INT_MAX);
        m_shown = scaled / total;
        Notify_Adapter::GetInstance()->UpdateProgress(static_cast<int>(total),
                                                      static_cast<int>(m_entries));
    }

    const int64_t m_size;
    int64_t m_entries = 0;
    int64_t m_reported = 0;
    int64_t m_shown = 0;
};

// True, with the log line written, once the session's end asked the upgrade to stop.
bool stopAsked(FaultNote* fault)
{
    const int sig = StopSignals::Requested();
    if (sig != 0) {
        fault->Note(Blame::Environment);
        EXTRACTOR_LOG(L_WARNING, "[WARNING] extractor.cpp(%d): stopped by signal %d\n", sig);
        return true;
    }
    return false;
}

// A read error of the package file is the machine's; a format error the package's.
void noteReadFailure(archive* reader, FaultNote* fault)
{
    fault->NoteErrno(archive_errno(reader));
}

// Sends the current entry's data after its header piece; false when the archive cannot
// be read (logged) or the writing side has stopped.
bool sendData(const Package& package, EntryPiece piece, EntryQueue* queue, ProgressMeter* progress,
              FaultNote* fault)
{
    archive* reader = package.get();
    for (;;) {
        if (stopAsked(fault)) {
            return false;
        }
        const void* buff = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(reader, &buff, &size, &offset);
        if (r == ARCHIVE_EOF) {
            if (!queue->push(std::move(piece))) {
                return false;
            }
            progress->entryRead(package.consumed());
            return true;
        }
        if (r != ARCHIVE_OK) {
            noteReadFailure(reader, fault);
            EXTRACTOR_LOG(L_ERR,
                          "[ERROR] extractor.cpp(%d): archive_read_data_block failed: '%s'\n",
                          errorText(reader));
            return false;
        }
        if (!piece.data.empty()) {
            if (!queue->push(std::move(piece))) {
                return false;
            }
            piece = EntryPiece();
        }
        const char* bytes = static_cast<const char*>(buff);
        piece.data.assign(bytes, bytes + size);
        piece.offset = offset;
        progress->dataRead(package.consumed());
    }
}

// The reading side: checks every entry in archive order, starting with first, and queues
// it with its data. True once the whole archive was read and queued; *below counts the
// entries placed below the target (not the target itself).
bool readEntries(const Package& package, archive_entry* first, const std::string& root,
                 EntryQueue* queue, ProgressMeter* progress, uint64_t* below, FaultNote* fault)
{
    archive* reader = package.get();
    LinkSet links;
    archive_entry* entry = first;
    for (;;) {
        if (stopAsked(fault)) {
            return false;
        }
        if (!entry) {
            const int r = archive_read_next_header(reader, &entry);
            if (r == ARCHIVE_EOF) {
                return true;
            }
            // Warnings and ARCHIVE_RETRY included: only a clean header is extracted.
            if (r != ARCHIVE_OK) {
                noteReadFailure(reader, fault);
                EXTRACTOR_LOG(L_ERR,
                              "[ERROR] extractor.cpp(%d): archive_read_next_header failed: '%s'\n",
                              errorText(reader));
                return false;
            }
        }
        const char* stored = archive_entry_pathname_utf8(entry);
        if (!stored) {
            fault->Note(Blame::Package);
            EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): archive_entry_pathname failed");
            return false;
        }
        // The stored path is overwritten below; keep it alive for the log lines.
        const std::string storedCopy = stored;
        if (!placeEntry(entry, root, storedCopy.c_str(), &links)) {
            fault->Note(Blame::Package);
            return false;
        }
        if (std::strcmp(archive_entry_pathname_utf8(entry), ".") != 0) {
            ++*below;
        }
        EntryPiece piece;
        piece.entry.reset(archive_entry_clone(entry));
        if (!piece.entry) {
            fault->Note(Blame::Environment);
            EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Allocate extractor failed\n");
            return false;
        }
        progress->entryBegun(package.consumed());
        if (!sendData(package, std::move(piece), queue, progress, fault)) {
            return false;
        }
        entry = nullptr;
    }
}

// Reads the rest of the gzip members after the archive's end, so that every member's
// CRC32 and ISIZE is checked wherever the archive ends inside them. True, or false with
// the log line written.
bool drainMembers(Package& package, FaultNote* fault)
{
    if (!package.stage) {
        return true;
    }
    const char* error = "";
    int r;
    while ((r = package.stage->drainStep(&error)) > 0) {
        if (stopAsked(fault)) {
            return false;
        }
    }
    if (r < 0) {
        // A read error sets errno; a damaged member leaves it as it was.
        fault->Note(Blame::Package);
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): archive_read_data_block failed: '%s'\n",
                      error);
        return false;
    }
    return true;
}

// Hashes the package's bytes that no reader needed (after the archive's end) and
// compares the digest with the expected one. True, or false with the log line written.
bool digestMatches(Package& package, const std::string& expected, FaultNote* fault)
{
    int r;
    while ((r = package.source->hashStep()) > 0) {
        if (stopAsked(fault)) {
            return false;
        }
    }
    if (r < 0) {
        const int err = errno;
        fault->Note(Blame::Environment);
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Failed to read the package: %s (%d)\n",
                      std::strerror(err), err);
        return false;
    }
    const std::string actual = package.digest->finish();
    if (actual.empty()) {
        fault->Note(Blame::Environment);
    }
    if (actual != expected) {
        fault->Note(Blame::Package);
        EXTRACTOR_LOG(L_ERR,
                      "[ERROR] extractor.cpp(%d): package digest mismatch: expected sha256 %s, "
                      "the package has %s\n",
                      expected.c_str(), actual.empty() ? "none (digest failed)" : actual.c_str());
        return false;
    }
    return true;
}

// The checks after the archive's end, on the reading thread and before the extraction
// may succeed: the gzip members to their end, the digest, the entry count (the target
// folder and one per entry below it, as the package build counts them). Each is made
// only when the version file gives its value. True, or false with the log line written.
bool packageComplete(Package& package, uint64_t below, const std::string& sha256, uint64_t entries,
                     FaultNote* fault)
{
    if (!drainMembers(package, fault)) {
        return false;
    }
    if (package.digest && !digestMatches(package, sha256, fault)) {
        return false;
    }
    if (entries != 0 && below + 1 != entries) {
        fault->Note(Blame::Package);
        EXTRACTOR_LOG(L_ERR,
                      "[ERROR] extractor.cpp(%d): the package yields %llu entries, the version "
                      "file says installed_entries=%llu\n",
                      static_cast<unsigned long long>(below + 1),
                      static_cast<unsigned long long>(entries));
        return false;
    }
    return true;
}

// Creates a new file at `path` below root for writing, refusing (ELOOP, EXDEV) any symlink
// or ".." on the way, each step resolved in the same call: a folder swapped for a link
// meanwhile is never followed. -1 with errno set otherwise, ENOSYS where the kernel lacks
// openat2.
int createFileBeneath(int root, const char* path, mode_t mode)
{
    open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    how.mode = mode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, root, path, &how, sizeof how));
}

bool openat2Works(int root)
{
    open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const UniqueFd probe(static_cast<int>(syscall(SYS_openat2, root, ".", &how, sizeof how)));
    return probe.valid();
}

// This thread's umask, read without setting it where the kernel tells it: a set and reset
// would leave files that another thread creates meanwhile unmasked.
mode_t currentUmask()
{
    if (FILE* status = std::fopen("/proc/thread-self/status", "re")) {
        char line[128];
        unsigned int mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(status);
        if (found) {
            return static_cast<mode_t>(mask);
        }
    }
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// True when a relative path has a ".." component; libarchive's own refusal of it is kept.
bool hasDotDot(const std::string& path)
{
    for (size_t at = 0; (at = path.find("..", at)) != std::string::npos; at += 2) {
        const bool starts = at == 0 || path[at - 1] == '/';
        const bool ends = at + 2 == path.size() || path[at + 2] == '/';
        if (starts && ends) {
            return true;
        }
    }
    return false;
}

// Starts the write-back of one large regular file's pages while it is written. A file
// that cannot be opened for it is only written back by the flusher. An error that the
// write-back itself reports fails the extraction.
class WriteBack
{
public:
    void open(const char* path)
    {
        m_fd.emplace(::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        m_path = path;
        m_started = 0;
    }
    // False, with the log line written, when the write-back failed.
    [[nodiscard]] bool wrote(int64_t end)
    {
        if (m_fd && m_fd->valid() && end - m_started >= WRITE_BACK_STRIDE) {
            if (!start(end - m_started)) {
                return false;
            }
            m_started = end;
        }
        return true;
    }
    [[nodiscard]] bool close()
    {
        const bool ok = !m_fd || !m_fd->valid() || start(0);
        m_fd.reset();
        return ok;
    }

private:
    bool start(int64_t length)
    {
        if (sync_file_range(m_fd->get(), m_started, length, SYNC_FILE_RANGE_WRITE) == 0) {
            return true;
        }
        const int err = errno;
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): write-back of '%s' failed: %s (%d)\n",
                      m_path.c_str(), std::strerror(err), err);
        return false;
    }

    std::optional<UniqueFd> m_fd;
    std::string m_path;
    int64_t m_started = 0;
};

// The writing side: owns the disk writer and, in its own thread, a working directory at
// the target, so that libarchive's symlink checks walk only the components inside the
// package instead of every component from "/". A plain regular file whose path can be
// reached without a symlink or ".." (openat2 checks each step as it creates the file) is
// created and written here, three system calls per file where libarchive makes thirteen; whatever
// else, and any such file that cannot be created that way, goes through libarchive and its checks
// as before.
class EntryWriter
{
public:
    EntryWriter(archive* writer, EntryQueue* queue, TreeFlusher* flusher, const std::string& root,
                int options, FaultNote* fault)
        : m_writer(writer), m_queue(queue), m_flusher(flusher), m_root(root), m_options(options),
          m_fault(fault)
    {}

    // Thread body: writes every queued piece; stops the reading side on a failure. No
    // exception leaves it: one would end the process mid-extraction.
    void run()
    {
        // No exception leaves the thread: memory that runs out fails the extraction.
        try {
            m_ok = enterRoot() && writeAll();
        } catch (const std::bad_alloc&) {
            m_fault->Note(Blame::Environment);
            EXTRACTOR_LOG(L_ERR,
                          "[ERROR] extractor.cpp(%d): out of memory while writing: %s (%d)\n",
                          std::strerror(ENOMEM), ENOMEM);
            m_ok = false;
        }
        if (!m_ok) {
            m_queue->abort();
        }
        m_file.reset();
        m_root_fd.reset();
        // Deferred folder modes are applied here, where relative paths still resolve.
        if (archive_write_close(m_writer) != ARCHIVE_OK && m_ok) {
            m_fault->NoteErrno(archive_errno(m_writer));
            EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): archive_write_close failed: '%s'\n",
                          errorText(m_writer));
            m_ok = false;
        }
    }

    bool ok() const { return m_ok; }

private:
    // Relative paths when this thread can have a working directory of its own; absolute
    // ones, with the same checks, when it cannot.
    bool enterRoot()
    {
        m_prefix = m_root + "/";
        int options = m_options;
        if (unshare(CLONE_FS) == 0) {
            if (chdir(m_root.c_str()) != 0) {
                const int err = errno;
                m_fault->Note(Blame::Environment);
                EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Failed to enter target '%s': %s\n",
                              m_root.c_str(), std::strerror(err));
                return false;
            }
            m_prefix.clear();
            options |= ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;
        }
        archive_write_disk_set_options(m_writer, options);
        // Read once, as libarchive reads it at every header, to mask the files' modes alike.
        m_umask = currentUmask();
        // Without openat2 (before Linux 5.6, or refused by a filter) every entry goes
        // through libarchive.
        m_root_fd = UniqueFd(::open(m_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (m_root_fd.valid() && !openat2Works(m_root_fd.get())) {
            m_root_fd.reset();
        }
        return true;
    }

    bool writeAll()
    {
        EntryPiece piece;
        bool open = false;
        while (m_queue->pop(&piece)) {
            if (piece.entry) {
                if (open && !finishEntry()) {
                    return false;
                }
                if (!startEntry(piece.entry.get())) {
                    return false;
                }
                open = true;
            }
            if (!piece.data.empty() && !writeBlock(piece)) {
                return false;
            }
        }
        // The reading side failed: what it queued is written, the run still fails.
        if (!m_queue->succeeded()) {
            return false;
        }
        return !open || finishEntry();
    }

    enum class Made
    {
        DIRECTLY,
        BY_LIBARCHIVE, // not attempted, or refused in a way that libarchive is to judge
        FAILED         // logged
    };

    // What a failed openat or openat2 leaves to libarchive: a name in the way, a missing
    // folder, a symlink or ".." on the path, no openat2. The machine's errors (EIO,
    // ENOSPC, EMFILE...) fail the entry here, as they would fail it there.
    static bool libarchiveDecides(int err)
    {
        switch (err) {
        case EEXIST:
        case ENOENT:
        case ENOTDIR:
        case EISDIR:
        case ELOOP:
        case EXDEV:
        case EACCES:
        case EPERM:
        case ENAMETOOLONG:
        case ENOSYS:
        case EINVAL:
            return true;
        default:
            return false;
        }
    }

    Made refused(int err)
    {
        if (libarchiveDecides(err)) {
            return Made::BY_LIBARCHIVE;
        }
        failedWith(err, "Can't create the file");
        return Made::FAILED;
    }

    // Creates a plain regular file at the entry's path (relative to the target), reached
    // without symlinks, with nothing created when libarchive is to write the entry instead.
    Made createDirectly(archive_entry* entry)
    {
        if (!m_root_fd.valid() || archive_entry_filetype(entry) != AE_IFREG ||
            archive_entry_hardlink(entry) || !archive_entry_size_is_set(entry) ||
            archive_entry_size(entry) < 0) {
            return Made::BY_LIBARCHIVE;
        }
        const char* stored = archive_entry_pathname(entry);
        if (!stored || stored[0] == '/' || hasDotDot(stored)) {
            return Made::BY_LIBARCHIVE;
        }
        const std::string path = stored;
        const size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            return Made::BY_LIBARCHIVE;
        }
        // As libarchive makes it without ARCHIVE_EXTRACT_PERM: no set-id or sticky bits,
        // the umask applied. O_EXCL: an existing name is libarchive's to replace or refuse.
        const mode_t mode = archive_entry_perm(entry) & 0777 & ~m_umask;
        const int fd = createFileBeneath(m_root_fd.get(), path.c_str(), mode);
        if (fd < 0) {
            return refused(errno);
        }
        m_file = UniqueFd(fd);
        m_file_size = archive_entry_size(entry);
        m_file_end = 0;
        return Made::DIRECTLY;
    }

    bool startEntry(archive_entry* entry)
    {
        const Made made = createDirectly(entry);
        if (made == Made::FAILED) {
            return false;
        }
        const bool direct = made == Made::DIRECTLY;
        if (!m_prefix.empty()) {
            archive_entry_set_pathname_utf8(
                entry, (m_prefix + archive_entry_pathname_utf8(entry)).c_str());
            if (const char* hardlink = archive_entry_hardlink_utf8(entry)) {
                archive_entry_set_hardlink_utf8(entry, (m_prefix + hardlink).c_str());
            }
        }
        if (!direct) {
            // The secure options report their refusals as ARCHIVE_WARN: anything short of
            // ARCHIVE_OK means the entry was not written as stored.
            if (archive_write_header(m_writer, entry) != ARCHIVE_OK) {
                return extractFailed();
            }
        }
        const mode_t type = archive_entry_filetype(entry);
        m_path = archive_entry_pathname(entry);
        m_kind = archive_entry_hardlink(entry) ? AE_IFLNK : type;
        if (type == AE_IFREG && !archive_entry_hardlink(entry) &&
            archive_entry_size(entry) >= WRITE_BACK_MIN &&
            m_flusher->Rule() == FlushRule::PER_FILE) {
            m_write_back.open(m_path.c_str());
        }
        return true;
    }

    bool writeBlock(const EntryPiece& piece)
    {
        if (m_file.valid()) {
            if (!writeDirectly(piece)) {
                return false;
            }
        } else {
            const la_ssize_t n = archive_write_data_block(m_writer, piece.data.data(),
                                                          piece.data.size(), piece.offset);
            if (n != ARCHIVE_OK) {
                return extractFailed();
            }
        }
        if (!m_write_back.wrote(piece.offset + static_cast<int64_t>(piece.data.size()))) {
            m_fault->Note(Blame::Environment);
            return false;
        }
        return true;
    }

    // As libarchive writes a block: data past the entry's size fails the entry.
    bool writeDirectly(const EntryPiece& piece)
    {
        const int64_t size = static_cast<int64_t>(piece.data.size());
        if (piece.offset < 0 || piece.offset > m_file_size || size > m_file_size - piece.offset) {
            return failedWith(0, "Too much data for the entry's size");
        }
        const char* data = piece.data.data();
        int64_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(m_file.get(), data + done, static_cast<size_t>(size - done),
                                     piece.offset + done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return failedWith(n < 0 ? errno : EIO, "Write failed");
            }
            done += n;
        }
        m_file_end = std::max(m_file_end, piece.offset + size);
        return true;
    }

    bool finishEntry()
    {
        if (m_file.valid()) {
            // A sparse entry's hole at its end, as libarchive extends the file.
            if (m_file_end < m_file_size && ftruncate(m_file.get(), m_file_size) != 0) {
                return failedWith(errno, "File size could not be restored");
            }
            if (m_file.close() != 0) {
                return failedWith(errno, "Close failed");
            }
        } else if (archive_write_finish_entry(m_writer) != ARCHIVE_OK) {
            return extractFailed();
        }
        if (!m_write_back.close()) {
            m_fault->Note(Blame::Environment);
            return false;
        }
        // Closed now: the flusher fsyncs it on its own thread. A hard link's inode is
        // flushed through its first name; only its folder gains an entry.
        if (m_kind == AE_IFREG) {
            m_flusher->AddFile(m_path);
        } else if (m_kind == AE_IFDIR) {
            m_flusher->AddFolder(m_path);
        } else {
            m_flusher->AddOther(m_path);
        }
        return true;
    }

    bool extractFailed() { return failedWith(archive_errno(m_writer), errorText(m_writer)); }

    bool failedWith(int err, const char* text)
    {
        m_fault->NoteErrno(err);
        // A full disk or quota is the user's to fix: one line that says where and what.
        if (err == ENOSPC || err == EDQUOT) {
            EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): no room left in '%s': %s (%d)\n",
                          m_root.c_str(), std::strerror(err), err);
            return false;
        }
        // A limit or the machine (EFBIG, EMFILE, ENOMEM, EIO): said plainly, with its cause.
        if (err > 0 && BlameForErrno(err) == Blame::Environment) {
            EXTRACTOR_LOG(L_ERR,
                          "[ERROR] extractor.cpp(%d): cannot write below '%s': %s: %s (%d)\n",
                          m_root.c_str(), text, std::strerror(err), err);
            return false;
        }
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): archive_read_extract2 failed: '%s'\n",
                      text);
        return false;
    }

    archive* const m_writer;
    EntryQueue* const m_queue;
    TreeFlusher* const m_flusher;
    const std::string m_root;
    const int m_options;
    FaultNote* const m_fault;
    std::string m_prefix;
    WriteBack m_write_back;
    std::string m_path; // the open entry's path as libarchive got it
    mode_t m_kind = 0;  // its type; AE_IFLNK for a hard link too
    bool m_ok = false;
    mode_t m_umask = 022;
    UniqueFd m_root_fd; // the target, while files may be created directly
    UniqueFd m_file;    // the open entry, when created directly
    int64_t m_file_size = 0;
    int64_t m_file_end = 0; // the end of the data written to it
};

// Flushes the written tree while the dialog says so and its bar moves on from the
// extraction's share by what is flushed. entries: those written, the bar's steps.
int flushTree(TreeFlusher* flusher, uint64_t entries)
{
    Notify_Adapter* adapter = Notify_Adapter::GetInstance();
    const QString finishing = StrTable::LoadStr(STR_EXTRACT_FINISHING);
    adapter->UpdateDialogText(finishing.arg(0));
    int64_t shownPercent = 0;
    const int64_t steps =
        static_cast<int64_t>(std::min<uint64_t>(std::max<uint64_t>(entries, 1), INT_MAX - 1));
    return flusher->Finish([&](uint64_t done, uint64_t total) {
        const int64_t percent =
            total == 0 ? 100 : static_cast<int64_t>(std::min(done, total) * 100 / total);
        if (percent == shownPercent) {
            return;
        }
        shownPercent = percent;
        adapter->UpdateDialogText(finishing.arg(percent));
        // As the meter reports: the bar shows steps * 100 / barTotal, never 100.
        const int64_t want =
            EXTRACTION_PERCENT + (FLUSHED_PERCENT - EXTRACTION_PERCENT) * percent / 100;
        const int64_t barTotal =
            std::min<int64_t>(std::max<int64_t>(steps * 100 / want, steps + 1), INT_MAX);
        adapter->UpdateProgress(static_cast<int>(barTotal), static_cast<int>(steps));
    });
}

// Creates the target and returns its real path, so that no entry's path passes through a
// symlink on the way there (libarchive's checks would remove it); "" when that fails.
std::string prepareTarget(const ustring& target)
{
    const int err = makeFolders(target.c_str());
    if (err != 0) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Failed to create target '%s': %s\n",
                      target.c_str(), std::strerror(err));
        return std::string();
    }
    std::unique_ptr<char, CFree> resolved(realpath(target.c_str(), nullptr));
    if (!resolved) {
        const int resolveErr = errno;
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Failed to resolve target '%s': %s\n",
                      target.c_str(), std::strerror(resolveErr));
        return std::string();
    }
    return resolved.get();
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

void Extractor::SetExpectedSha256(const std::string& sha256)
{
    expected_sha256 = sha256;
}

void Extractor::SetExpectedEntries(uint64_t entries)
{
    expected_entries = entries;
}

int Extractor::Count()
{
    if (target.empty() || source.empty()) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Invalid argument\n");
        return -1;
    }
    Package reader = openReader(source, false);
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
    FaultNote fault;
    int result = -1;
    try {
        result = extractNoting(fault);
    } catch (const std::bad_alloc&) {
        fault.Note(Blame::Environment);
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): out of memory while reading\n");
    }
    // A failure that nothing explained is taken for the package's: the back-off keeps a
    // package that fails in an unforeseen way from being read at every start.
    failure_errno = result == 0 ? 0 : fault.Errno();
    failure_blame = result == 0                  ? Blame::None
                    : fault.Get() == Blame::None ? Blame::Package
                                                 : fault.Get();
    return result;
}

namespace {

// Opens the package and reads its first entry into `first`; false, with the line
// administrators know from it, when it cannot be opened or has no first entry.
bool openFirstEntry(const ustring& source, bool hashed, FaultNote* fault, Package* reader,
                    archive_entry** first)
{
    *reader = openReader(source, hashed, fault);
    bool started = false;
    if (!*reader) {
        // Noted by openReader.
    } else if (archive_read_next_header(reader->get(), first) != ARCHIVE_OK) {
        noteReadFailure(reader->get(), fault);
    } else {
        started = true;
    }
    if (!started) {
        // The count logged is -1 for a package that cannot be opened, 0 for one without
        // entries.
        EXTRACTOR_LOG(
            L_ERR, "[ERROR] extractor.cpp(%d): Failed to calculate total file numbers, ret: %d\n",
            *reader ? 0 : -1);
    }
    return started;
}

// libarchive's disk writer for `root`, its options in `options` and the package's size in
// `size`; null (logged) when it cannot be made.
WriteHandle makeDiskWriter(const std::string& root, const ustring& source, int* options,
                           int64_t* size)
{
    WriteHandle writer(archive_write_disk_new());
    if (!writer) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Allocate extractor failed\n");
        return writer;
    }
    // In a folder made empty for this run, only entries of this run can be in the way,
    // and libarchive replaces those on its own: the unlink before every create would
    // only fail.
    *options = isEmptyFolder(root) ? SECURE_OPTIONS : SECURE_OPTIONS | ARCHIVE_EXTRACT_UNLINK;
    struct stat package;
    *size = 0;
    if (stat(source.c_str(), &package) == 0) {
        archive_write_disk_set_skip_file(writer.get(), package.st_dev, package.st_ino);
        *size = package.st_size;
    }
    return writer;
}

// What one pass left: 0 or -1, and the most bytes held between its two threads.
struct PassResult
{
    int result = -1;
    size_t queue_peak = 0;
};

// Reads the entries from `first` on this thread while a second one writes them below
// `root`, with a bounded queue between the two, then makes the tree durable.
PassResult readAndWrite(Package& reader, archive_entry* first, const std::string& root,
                        archive* writer, int options, int64_t size, const std::string& sha256,
                        uint64_t expected_entries, FaultNote* fault)
{
    PassResult pass;
    EntryQueue queue(QUEUE_BUDGET);
    // A failed flush stops the extraction: the tree could not be made durable. So does
    // the session's end, without waiting for the files still queued.
    // Made before the first entry is written: where one syncfs makes the tree durable, its
    // descriptor reports every write-back error of the extraction.
    TreeFlusher flusher(
        root,
        [&queue, fault] {
            fault->Note(Blame::Environment);
            queue.abort();
        },
        [] { return StopSignals::Requested() != 0; }, true);
    EntryWriter entryWriter(writer, &queue, &flusher, root, options, fault);
    std::thread writing;
    try {
        writing = std::thread(&EntryWriter::run, &entryWriter);
    } catch (const std::system_error& e) {
        fault->Note(Blame::Environment);
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Failed to start the writing thread: %s\n",
                      e.what());
        return pass;
    }
    ProgressMeter progress(size);
    uint64_t below = 0;
    const bool readOk = readEntries(reader, first, root, &queue, &progress, &below, fault) &&
                        packageComplete(reader, below, sha256, expected_entries, fault);
    queue.finish(readOk);
    writing.join();
    pass.queue_peak = queue.peak();
    if (!readOk || !entryWriter.ok()) {
        return pass;
    }
    // Every file and folder of the tree is on storage, or the extraction fails.
    if (flushTree(&flusher, below + 1) != 0) {
        fault->Note(Blame::Environment);
        return pass;
    }
    pass.result = 0;
    return pass;
}

} // namespace

// One pass: this thread reads, decodes and checks the entries in archive order while a
// second one writes them, with a bounded queue between the two.
int Extractor::extractNoting(FaultNote& fault)
{
    if (source.empty() || target.empty()) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Invalid Argument\n");
        return -1;
    }
    EXTRACTOR_LOG(L_DEBUG, "[DEBUG] extractor.cpp(%d): decompress from '%s' to '%s'\n",
                  source.c_str(), target.c_str());
    Notify_Adapter::GetInstance()->UpdateDialogText(StrTable::LoadStr(STR_EXTRACT_STARTED));
    std::string sha256;
    if (!expected_sha256.empty() && !PackageDigest::parseHex(expected_sha256, &sha256)) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): sha256 is not a SHA-256 digest: '%s'\n",
                      expected_sha256.c_str());
        return -1;
    }
    // No counting pass: the entries are written as they are read.
    Package reader;
    archive_entry* first = nullptr;
    if (!openFirstEntry(source, !sha256.empty(), &fault, &reader, &first)) {
        return -1;
    }
    const std::string root = prepareTarget(target);
    int options = 0;
    int64_t size = 0;
    WriteHandle writer;
    if (root.empty() || !(writer = makeDiskWriter(root, source, &options, &size))) {
        fault.Note(Blame::Environment);
        return -1;
    }
    PassResult pass = readAndWrite(reader, first, root, writer.get(), options, size, sha256,
                                   expected_entries, &fault);
    queue_peak = pass.queue_peak;
    return pass.result;
}

int Extractor::List()
{
    if (target.empty() || source.empty()) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Invalid argument\n");
        return -1;
    }
    Package reader = openReader(source, false);
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
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): archive_read_next_header failed: '%s'\n",
                      errorText(reader.get()));
        return -1;
    }
    archive_read_close(reader.get());
    return 0;
}

int Extractor::copy_data(archive* ar, archive* aw)
{
    if (!ar || !aw) {
        EXTRACTOR_LOG(L_ERR, "[ERROR] extractor.cpp(%d): Invalid Argument\n");
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
            EXTRACTOR_LOG(L_ERR,
                          "[ERROR] extractor.cpp(%d): archive_read_data_block failed: '%s'\n",
                          errorText(ar));
            return -1;
        }
        if (archive_write_data_block(aw, buff, size, offset) != ARCHIVE_OK) {
            EXTRACTOR_LOG(L_ERR,
                          "[ERROR] extractor.cpp(%d): archive_write_data_block failed: '%s'\n",
                          errorText(aw));
            return -1;
        }
    }
}
