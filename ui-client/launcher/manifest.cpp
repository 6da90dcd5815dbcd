#include "manifest.h"

#include "file/durable.h"
#include "file/file-op.h"
#include "file/unique_dir.h"
#include "file/unique_fd.h"
#include "log/log_macros.h"
#include "qtcompat.h"

#include <QSettings>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char kMagic[] = "brisendale-tree-manifest 1\n";
// A manifest larger than this is not ours: it is not read.
const size_t kMaxManifestSize = 64u * 1024 * 1024;

int openRetry(int dirfd, const char* path, int flags)
{
    int fd;
    do {
        fd = ::openat(dirfd, path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

char typeLetter(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return 'd';
    case S_IFREG:
        return 'f';
    case S_IFLNK:
        return 'l';
    case S_IFIFO:
        return 'p';
    case S_IFSOCK:
        return 's';
    case S_IFCHR:
        return 'c';
    case S_IFBLK:
        return 'b';
    default:
        return '?';
    }
}

const char* typeName(char letter)
{
    switch (letter) {
    case 'd':
        return "folder";
    case 'f':
        return "file";
    case 'l':
        return "symbolic link";
    default:
        return "special file";
    }
}

// A name as one printable line: control bytes and the backslash escaped, UTF-8 kept.
std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            char esc[5];
            snprintf(esc, sizeof(esc), "\\x%02x", byte);
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

void appendCounted(std::string& out, std::string_view bytes)
{
    out += std::to_string(bytes.size());
    out += ':';
    out.append(bytes.data(), bytes.size());
}

// The build in A/INFO as the version loader reads it into `build`, empty when there is
// none. False when INFO is there but cannot be read: a read error tells nothing of the
// build, and an empty one would describe another tree.
bool readBuild(const ustring& app_dir, std::string& build)
{
    build.clear();
    const ustring info = app_dir + "/INFO";
    if (!IsRegularFile(info)) {
        return true;
    }
    QSettings settings(QString::fromUtf8(info.c_str_utf8()), QSettings::IniFormat);
    QtCompat::readIniAsUtf8(settings);
    build = settings.value("Version/build_version").toString().toUtf8().toStdString();
    return settings.status() != QSettings::AccessError;
}

// What a manifest says about the tree it describes.
struct Identity
{
    std::string build;
    unsigned long long tree = 0; // inode number of A
};

// Reads the fields of a manifest in place; any deviation from the format fails.
class Cursor
{
public:
    Cursor(const char* begin, const char* end) : m_p(begin), m_end(end) {}

    bool ok() const { return m_ok; }
    bool atEnd() const { return m_p == m_end; }
    const char* pos() const { return m_p; }
    // Moves to p, a position this cursor reached or will reach.
    void seek(const char* p) { m_p = p; }
    bool peek(std::string_view text) const
    {
        return static_cast<size_t>(m_end - m_p) >= text.size() &&
               std::memcmp(m_p, text.data(), text.size()) == 0;
    }
    void expect(std::string_view text)
    {
        if (m_ok && peek(text)) {
            m_p += text.size();
        } else {
            m_ok = false;
        }
    }
    char letter()
    {
        if (!m_ok || m_p == m_end) {
            m_ok = false;
            return 0;
        }
        return *m_p++;
    }
    unsigned long long number(unsigned base)
    {
        unsigned long long value = 0;
        const char* start = m_p;
        while (m_ok && m_p != m_end && *m_p >= '0' && *m_p < static_cast<char>('0' + base)) {
            if (__builtin_mul_overflow(value, base, &value) ||
                __builtin_add_overflow(value, static_cast<unsigned>(*m_p - '0'), &value)) {
                m_ok = false;
            }
            ++m_p;
        }
        if (m_p == start) {
            m_ok = false;
        }
        return value;
    }
    // "<length>:<bytes>"
    std::string_view counted()
    {
        const unsigned long long length = number(10);
        expect(":");
        if (!m_ok || length > static_cast<unsigned long long>(m_end - m_p)) {
            m_ok = false;
            return std::string_view();
        }
        std::string_view bytes(m_p, static_cast<size_t>(length));
        m_p += length;
        return bytes;
    }

private:
    const char* m_p;
    const char* m_end;
    bool m_ok = true;
};

Identity readIdentity(Cursor& in)
{
    Identity id;
    in.expect(kMagic);
    in.expect("build ");
    const std::string_view build = in.counted();
    id.build.assign(build.data(), build.size());
    in.expect("\ntree ");
    id.tree = in.number(10);
    in.expect("\n");
    return id;
}

enum class Load
{
    Ok,
    Missing,
    Unusable,
};

Load loadFile(const ustring& path, std::string& data)
{
    // Non-blocking: a FIFO in the manifest's place must not hold every start.
    UniqueFd fd(openRetry(AT_FDCWD, path.c_str_utf8(), O_RDONLY | O_NONBLOCK));
    if (!fd.valid()) {
        return errno == ENOENT ? Load::Missing : Load::Unusable;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > kMaxManifestSize) {
        return Load::Unusable;
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd.get(), &data[done], data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Load::Unusable;
        }
        done += static_cast<size_t>(n);
    }
    return Load::Ok;
}

// Whether the manifest at `path` describes the tree whose root inode and build are given.
bool describes(const ustring& path, unsigned long long tree, const std::string& build,
               std::string& data)
{
    if (loadFile(path, data) != Load::Ok) {
        return false;
    }
    Cursor in(data.data(), data.data() + data.size());
    const Identity id = readIdentity(in);
    return in.ok() && id.tree == tree && id.build == build;
}

bool statRoot(const ustring& app_dir, UniqueFd& fd, struct stat& st)
{
    fd = UniqueFd(openRetry(AT_FDCWD, app_dir.c_str_utf8(), O_PATH | O_DIRECTORY));
    return fd.valid() && ::fstat(fd.get(), &st) == 0;
}

// Appends one entry line for `st`; `path` is relative to A, empty for A itself.
bool appendEntry(std::string& out, int dirfd, const char* at, std::string_view path,
                 const struct stat& st)
{
    const char type = typeLetter(st.st_mode);
    char head[64];
    snprintf(head, sizeof(head), "%c %o %llu ", type, static_cast<unsigned>(st.st_mode & 07777),
             S_ISREG(st.st_mode) ? static_cast<unsigned long long>(st.st_size) : 0ull);
    out += head;
    appendCounted(out, path);
    if (type == 'l') {
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(dirfd, at, target, sizeof(target));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(target)) {
            return false;
        }
        out += ' ';
        appendCounted(out, std::string_view(target, static_cast<size_t>(n)));
    }
    out += '\n';
    return true;
}

// Parents before children, names in byte order: the checker needs the first, tests the second.
// Paths are resolved from A's descriptor so that only one listing is open at a time.
// The manifest's text on its way to its file, handed over in pieces so that a large
// tree's manifest is never held whole.
struct ManifestText
{
    static constexpr size_t kPiece = 64 * 1024;
    std::string text;
    AtomicFileWriter& file;

    // Writes the text out once it has grown past a piece (or whatever there is, with
    // `all`); false when the write failed.
    bool spill(bool all = false)
    {
        if (!all && text.size() < kPiece) {
            return true;
        }
        const bool ok = file.Append(text);
        text.clear();
        return ok;
    }
};

bool walk(int root, const std::string& rel, ManifestText& out, size_t& count)
{
    const int fd =
        openRetry(root, rel.empty() ? "." : rel.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    UniqueDir dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
        errno = 0;
    }
    if (errno != 0) {
        return false;
    }
    dir.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string child = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (::fstatat(root, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !appendEntry(out.text, root, child.c_str(), child, st) || !out.spill()) {
            return false;
        }
        ++count;
        if (S_ISDIR(st.st_mode) && !walk(root, child, out, count)) {
            return false;
        }
    }
    return true;
}

// One level of the folders open while checking: the folder's path in the manifest and a
// descriptor on it, or none when it is missing or not a folder (its entries are then not
// looked at: the folder itself is already a difference).
struct Level
{
    std::string_view path;
    UniqueFd fd;
};

bool resourceError(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == EINTR;
}

// One entry of the manifest: its type letter, mode, size, path below A and, for a
// symbolic link, its target.
struct Entry
{
    char type = 0;
    mode_t mode = 0;
    unsigned long long size = 0;
    std::string_view path;
    std::string_view link;
};

// Reads the entry line at `in`; false when it is not well formed.
bool readEntry(Cursor& in, Entry& e)
{
    e.type = in.letter();
    in.expect(" ");
    e.mode = static_cast<mode_t>(in.number(8));
    in.expect(" ");
    e.size = in.number(10);
    in.expect(" ");
    e.path = in.counted();
    if (e.type == 'l') {
        in.expect(" ");
        e.link = in.counted();
    }
    in.expect("\n");
    return in.ok() && e.path.find('\0') == std::string_view::npos;
}

// What examineEntry found: a folder as described (its entries can be looked at), anything
// else (its differences told), or nothing, for lack of resources.
enum class Examined
{
    Folder,
    Other,
    Unknown,
};

// Compares what is at `at` below `dirfd` (`at` empty: the folder itself) with `e`,
// telling each difference to `differ`.
template <typename Differ>
Examined examineEntry(int dirfd, const char* at, const Entry& e, const Differ& differ)
{
    char target[PATH_MAX];
    struct stat st;
    if (::fstatat(dirfd, at, &st, *at ? AT_SYMLINK_NOFOLLOW : AT_EMPTY_PATH) != 0) {
        const int err = errno;
        if (resourceError(err)) {
            return Examined::Unknown;
        }
        differ(err == ENOENT || err == ENOTDIR
                   ? std::string("missing")
                   : std::string("cannot examine (") + strerror(err) + ")",
               e.path);
    } else if (typeLetter(st.st_mode) != e.type) {
        differ(std::string("a ") + typeName(typeLetter(st.st_mode)) + ", expected a " +
                   typeName(e.type),
               e.path);
    } else {
        if ((st.st_mode & 07777) != e.mode) {
            char text[64];
            snprintf(text, sizeof(text), "mode %04o, expected %04o",
                     static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(e.mode));
            differ(text, e.path);
        }
        if (e.type == 'f' && static_cast<unsigned long long>(st.st_size) != e.size) {
            differ("size " + std::to_string(static_cast<unsigned long long>(st.st_size)) +
                       ", expected " + std::to_string(e.size),
                   e.path);
        }
        if (e.type == 'l') {
            const ssize_t n = ::readlinkat(dirfd, at, target, sizeof(target));
            if (n < 0 || std::string_view(target, static_cast<size_t>(n)) != e.link) {
                differ("link target '" +
                           printable(n < 0 ? std::string_view()
                                           : std::string_view(target, static_cast<size_t>(n))) +
                           "', expected '" + printable(e.link) + "'",
                       e.path);
            }
        }
        return e.type == 'd' ? Examined::Folder : Examined::Other;
    }
    return Examined::Other;
}

// What one run of the manifest's entries found.
struct RangeCheck
{
    const char* unusable = nullptr; // why the check cannot tell, or null
    bool full = false;              // stopped at the differences wanted
    std::vector<std::string> differences;
    size_t entries = 0;
};

// Where an entry is looked at: the folder descriptor and the name within it.
enum class Placed
{
    Here,       // look at `at` below `dirfd`
    Unseen,     // below a folder that is missing: counted, not looked at
    Unreadable, // not where the manifest's order puts it
};

// Places `entry` below the folders seen so far (`levels`, A's descriptor first). A itself
// comes first, as the only entry with an empty path (`first`).
Placed placeEntry(const Entry& entry, bool first, std::vector<Level>& levels, char* name,
                  int& dirfd, const char*& at, size_t& depth)
{
    const std::string_view path = entry.path;
    dirfd = levels.front().fd.get();
    at = "";
    depth = 0;
    if (first) {
        return path.empty() && entry.type == 'd' ? Placed::Here : Placed::Unreadable;
    }
    depth = static_cast<size_t>(std::count(path.begin(), path.end(), '/')) + 1;
    const size_t slash = path.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    // Its parent is the latest folder one level up, or the manifest is not ours.
    if (path.empty() || depth > levels.size() || base.empty() || base.size() > NAME_MAX ||
        path.substr(0, slash == std::string_view::npos ? 0 : slash) != levels[depth - 1].path) {
        return Placed::Unreadable;
    }
    levels.resize(depth);
    dirfd = levels[depth - 1].fd.get();
    if (dirfd < 0) {
        if (entry.type == 'd') {
            levels.push_back(Level{path, UniqueFd()});
        }
        return Placed::Unseen;
    }
    std::memcpy(name, base.data(), base.size());
    name[base.size()] = '\0';
    at = name;
    return Placed::Here;
}

// Checks the entries from `in` up to `stop` below A's descriptor `root`: with `top`, A's
// own entry first; else whole subtrees of A's entries, so that every parent is in the run.
RangeCheck checkRange(Cursor in, const char* stop, UniqueFd root, bool top, size_t max_differences,
                      const std::atomic<bool>* cancel)
{
    RangeCheck result;
    const auto differ = [&](const std::string& what, std::string_view path) {
        result.differences.push_back(what + ": " + (path.empty() ? "." : printable(path)));
    };
    const auto unusable = [&](const char* why) {
        result.unusable = why;
        return std::move(result);
    };
    std::vector<Level> levels;
    levels.push_back(Level{std::string_view(), std::move(root)});
    char name[NAME_MAX + 1];
    bool first = top;
    while (in.pos() < stop) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            return unusable("the check was stopped");
        }
        Entry entry;
        if (!readEntry(in, entry)) {
            return unusable("the manifest is not readable");
        }
        ++result.entries;
        int dirfd = -1;
        const char* at = "";
        size_t depth = 0;
        const Placed placed = placeEntry(entry, first, levels, name, dirfd, at, depth);
        first = false;
        if (placed == Placed::Unreadable) {
            return unusable("the manifest is not readable");
        }
        if (placed == Placed::Unseen) {
            continue;
        }
        const Examined examined = examineEntry(dirfd, at, entry, differ);
        if (examined == Examined::Unknown) {
            return unusable("the tree could not be examined");
        }
        if (result.differences.size() >= std::max<size_t>(max_differences, 1)) {
            result.full = true;
            return result;
        }
        if (entry.type == 'd' && depth > 0) {
            UniqueFd sub;
            if (examined == Examined::Folder) {
                sub = UniqueFd(openRetry(dirfd, at, O_PATH | O_DIRECTORY | O_NOFOLLOW));
                if (!sub.valid() && resourceError(errno)) {
                    return unusable("the tree could not be examined");
                }
            }
            levels.push_back(Level{entry.path, std::move(sub)});
        }
    }
    if (top && first) {
        return unusable("the manifest is not readable");
    }
    return result;
}

// Manifests of fewer entries are checked on the calling thread alone: a thread's start
// costs more than it saves.
const size_t kParallelEntries = 4096;

// Where the entries of `in` can be cut into `parts` runs of whole subtrees of about as
// many entries each: the starts of the runs after the first, and the end line's position.
// Empty starts when the manifest is small or not readable (one run then tells why).
std::vector<const char*> cutPoints(Cursor in, size_t parts, const char** end)
{
    std::vector<std::pair<const char*, size_t>> tops; // A's entries and their index
    size_t entries = 0;
    while (!in.peek("end ")) {
        const char* at = in.pos();
        Entry e;
        if (!readEntry(in, e)) {
            return {};
        }
        if (entries > 0 && e.path.find('/') == std::string_view::npos) {
            tops.emplace_back(at, entries);
        }
        ++entries;
    }
    *end = in.pos();
    std::vector<const char*> cuts;
    if (entries < kParallelEntries || parts < 2) {
        return cuts;
    }
    size_t next = 0;
    for (size_t k = 1; k < parts; ++k) {
        const size_t target = entries * k / parts;
        while (next < tops.size() && tops[next].second < target) {
            ++next;
        }
        if (next < tops.size() && (cuts.empty() || cuts.back() < tops[next].first)) {
            cuts.push_back(tops[next].first);
        }
    }
    return cuts;
}

// Where each run of the check starts, the first at `in`, and where the entries end.
std::vector<const char*> runStarts(const Cursor& in, const char** end)
{
    const size_t parts = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), 4);
    std::vector<const char*> starts;
    try {
        starts = cutPoints(in, parts, end);
    } catch (const std::bad_alloc&) {
        starts.clear();
    }
    if (starts.empty()) {
        // One run to the end line, wherever it is.
        Cursor probe = in;
        while (!probe.peek("end ") && probe.ok() && !probe.atEnd()) {
            Entry e;
            if (!readEntry(probe, e)) {
                break;
            }
        }
        *end = probe.pos();
    }
    starts.insert(starts.begin(), in.pos());
    return starts;
}

// Checks each run from `starts` to the next (the last to `end`): the first on this thread
// with A's descriptor `root`, the others on threads of their own, or here when none can
// start. False when the tree could not be examined.
bool runChecks(const Cursor& in, const std::vector<const char*>& starts, const char* end,
               UniqueFd root, size_t max_differences, const std::atomic<bool>* cancel,
               std::vector<RangeCheck>& runs)
{
    runs.assign(starts.size(), RangeCheck());
    // The runs after the first check on copies of A's descriptor, made before any starts.
    std::vector<UniqueFd> copies;
    for (size_t i = 1; i < starts.size(); ++i) {
        copies.emplace_back(fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
        if (!copies.back().valid()) {
            return false;
        }
    }
    // One run after the first. No exception leaves it.
    auto runOne = [&](size_t i) {
        const char* stop = i + 1 < starts.size() ? starts[i + 1] : end;
        Cursor from = in;
        from.seek(starts[i]);
        try {
            runs[i] =
                checkRange(from, stop, std::move(copies[i - 1]), false, max_differences, cancel);
        } catch (const std::bad_alloc&) {
            runs[i].unusable = "the tree could not be examined";
        }
    };
    std::vector<std::thread> helpers;
    // Grown before the first start: a thread left running when the vector throws aborts.
    helpers.reserve(starts.size());
    for (size_t i = 1; i < starts.size(); ++i) {
        try {
            helpers.emplace_back(runOne, i);
        } catch (const std::system_error&) {
            runOne(i); // no thread to be had: this one checks it
        }
    }
    Cursor from = in;
    runs[0] = checkRange(from, starts.size() > 1 ? starts[1] : end, std::move(root), true,
                         max_differences, cancel);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return true;
}

// Checks the entries that follow the identity in `in` below A's descriptor `root`: the
// tree's subtrees on a few threads at once, one fstatat each, where the tree is large.
TreeCheck checkEntries(Cursor& in, UniqueFd root, size_t max_differences,
                       const std::atomic<bool>* cancel)
{
    TreeCheck result;
    const auto unusable = [&](const char* why) {
        result.state = TreeState::NothingToCheck;
        result.differences.assign(1, why);
        return result;
    };
    const char* end = nullptr;
    const std::vector<const char*> starts = runStarts(in, &end);
    std::vector<RangeCheck> runs;
    if (!runChecks(in, starts, end, std::move(root), max_differences, cancel, runs)) {
        return unusable("the tree could not be examined");
    }
    size_t entries = 0;
    bool full = false;
    for (RangeCheck& run : runs) {
        if (run.unusable) {
            return unusable(run.unusable);
        }
        full = full || run.full;
        entries += run.entries;
        for (std::string& difference : run.differences) {
            if (result.differences.size() < std::max<size_t>(max_differences, 1)) {
                result.differences.push_back(std::move(difference));
            }
        }
    }
    if (full) {
        // As many differences as wanted: the rest of the tree is not looked at.
        result.state = TreeState::Damaged;
        return result;
    }
    in.seek(end);
    in.expect("end ");
    const unsigned long long count = in.number(10);
    in.expect("\n");
    if (!in.ok() || !in.atEnd() || count != entries) {
        return unusable("the manifest is not readable");
    }
    result.state = result.differences.empty() ? TreeState::Intact : TreeState::Damaged;
    return result;
}

} // namespace

ustring TreeManifestPath(const ustring& user_root, const ustring& app_dir)
{
    return user_root + "/" + FSBaseName(app_dir) + ".manifest";
}

ustring NextTreeManifestPath(const ustring& user_root, const ustring& app_dir)
{
    return TreeManifestPath(user_root, app_dir) + ".next";
}

TreeCheck CheckInstalledTree(const ustring& user_root, const ustring& app_dir,
                             size_t max_differences, const std::atomic<bool>* cancel)
{
    TreeCheck result;
    UniqueFd root;
    struct stat st;
    // Installs make A a folder: a link in its place, even to a copy of it, is damage.
    if (::lstat(app_dir.c_str_utf8(), &st) == 0 && S_ISLNK(st.st_mode) &&
        (IsFileExist(TreeManifestPath(user_root, app_dir), false) ||
         IsFileExist(NextTreeManifestPath(user_root, app_dir), false))) {
        result.state = TreeState::Damaged;
        result.differences.push_back("the installed folder is now a symbolic link");
        return result;
    }
    if (!statRoot(app_dir, root, st)) {
        result.differences.push_back(errno == ENOENT
                                         ? std::string("no installed copy")
                                         : "cannot be looked at: " + std::string(strerror(errno)));
        return result;
    }
    const auto tree = static_cast<unsigned long long>(st.st_ino);
    std::string build;
    if (!readBuild(app_dir, build)) {
        result.differences.push_back("INFO cannot be read");
        return result;
    }
    // The next manifest first: it is the one that holds after a commit not yet promoted.
    std::string data;
    bool build_differs = false;
    if (!describes(NextTreeManifestPath(user_root, app_dir), tree, build, data) &&
        !describes(TreeManifestPath(user_root, app_dir), tree, build, data)) {
        // The same folder with another build in its INFO: the folder was never replaced
        // (a rename keeps its inode), so INFO itself was changed. Checked as damaged:
        // taking it for another installation would leave the damage for good.
        const ustring current = TreeManifestPath(user_root, app_dir);
        std::string stale;
        if (loadFile(current, stale) == Load::Ok) {
            Cursor head(stale.data(), stale.data() + stale.size());
            const Identity id = readIdentity(head);
            build_differs = head.ok() && id.tree == tree && id.build != build;
        }
        if (!build_differs) {
            result.differences.push_back(IsFileExist(current, false)
                                             ? "the manifest describes another installation"
                                             : "no manifest: installed before manifests were kept");
            return result;
        }
        data.swap(stale);
    }
    Cursor in(data.data(), data.data() + data.size());
    (void)readIdentity(in);
    TreeCheck check = checkEntries(in, std::move(root), max_differences, cancel);
    if (build_differs && check.state != TreeState::NothingToCheck) {
        check.state = TreeState::Damaged;
        check.differences.insert(check.differences.begin(),
                                 "INFO: another build than the one installed");
    }
    return check;
}

int WriteNextTreeManifest(const ustring& user_root, const ustring& app_dir, const ustring& tree)
{
    const ustring next = NextTreeManifestPath(user_root, app_dir);
    UniqueFd root(openRetry(AT_FDCWD, tree.c_str_utf8(), O_RDONLY | O_DIRECTORY));
    struct stat st;
    AtomicFileWriter file(next);
    ManifestText out{kMagic, file};
    std::string build;
    bool ok = readBuild(tree, build);
    out.text += "build ";
    appendCounted(out.text, build);
    size_t count = 1;
    ok = ok && root.valid() && ::fstat(root.get(), &st) == 0;
    if (ok) {
        out.text += "\ntree " + std::to_string(static_cast<unsigned long long>(st.st_ino)) + "\n";
        ok = appendEntry(out.text, root.get(), "", std::string_view(), st) &&
             walk(root.get(), std::string(), out, count);
    }
    if (ok) {
        out.text += "end " + std::to_string(count) + "\n";
        ok = out.spill(true) && file.Commit() == 0;
    }
    if (ok) {
        return 0;
    }
    const int err = errno;
    SERVICE_LOG(L_ERR,
                "[ERROR] manifest.cpp(%d): failed to describe '%s' in '%s': %s (%d), it will "
                "not be checked\n",
                tree.c_str_utf8(), next.c_str_utf8(), strerror(err), err);
    // One left from an earlier run must not stand for this tree.
    if (::unlink(next.c_str_utf8()) != 0 && errno != ENOENT) {
        SERVICE_LOG(L_ERR, "[ERROR] manifest.cpp(%d): failed to remove '%s': %s\n",
                    next.c_str_utf8(), strerror(errno));
    }
    return -1;
}

int PromoteTreeManifest(const ustring& user_root, const ustring& app_dir)
{
    const ustring next = NextTreeManifestPath(user_root, app_dir);
    const ustring current = TreeManifestPath(user_root, app_dir);
    if (::rename(next.c_str_utf8(), current.c_str_utf8()) != 0) {
        const int err = errno;
        SERVICE_LOG(L_ERR, "[ERROR] manifest.cpp(%d): failed to rename '%s' -> '%s': %s (%d)\n",
                    next.c_str_utf8(), current.c_str_utf8(), strerror(err), err);
        return -1;
    }
    return FSSyncFolder(user_root);
}

void SettleTreeManifests(const ustring& user_root, const ustring& app_dir)
{
    const ustring next = NextTreeManifestPath(user_root, app_dir);
    if (!IsFileExist(next, false)) {
        return;
    }
    UniqueFd root;
    struct stat st;
    std::string data;
    std::string build;
    if (!readBuild(app_dir, build)) {
        // Nothing can be told: both manifests stay as they are.
        return;
    }
    if (statRoot(app_dir, root, st) &&
        describes(next, static_cast<unsigned long long>(st.st_ino), build, data)) {
        // Ignored beyond its log line: the next manifest still describes A where it is.
        (void)PromoteTreeManifest(user_root, app_dir);
        return;
    }
    if (::unlink(next.c_str_utf8()) != 0 && errno != ENOENT) {
        SERVICE_LOG(L_ERR, "[ERROR] manifest.cpp(%d): failed to remove '%s': %s\n",
                    next.c_str_utf8(), strerror(errno));
        return;
    }
    // Ignored beyond its log line: a removal that comes back is settled again next time.
    (void)FSSyncFolder(user_root);
}

namespace {

TreeStamp::File stampOf(const ustring& path)
{
    TreeStamp::File file;
    struct stat st;
    if (::lstat(path.c_str_utf8(), &st) == 0) {
        file.dev = st.st_dev;
        file.ino = st.st_ino;
        file.size = static_cast<unsigned long long>(st.st_size);
        file.ctime_s = st.st_ctim.tv_sec;
        file.ctime_ns = st.st_ctim.tv_nsec;
    }
    return file;
}

} // namespace

TreeStamp StampTree(const ustring& user_root, const ustring& app_dir)
{
    TreeStamp stamp;
    stamp.app = stampOf(app_dir);
    stamp.info = stampOf(app_dir + "/INFO");
    stamp.manifest = stampOf(TreeManifestPath(user_root, app_dir));
    stamp.next = stampOf(NextTreeManifestPath(user_root, app_dir));
    return stamp;
}

TreeCheckAhead TreeCheckAhead::Start(const ustring& user_root, const ustring& app_dir,
                                     size_t max_differences)
{
    TreeCheckAhead ahead;
    ahead.m_user_root = user_root;
    ahead.m_app_dir = app_dir;
    ahead.m_cancel = std::make_shared<std::atomic<bool>>(false);
    try {
        ahead.m_outcome = std::async(std::launch::async, [user_root, app_dir, max_differences,
                                                          cancel = ahead.m_cancel] {
            Outcome outcome;
            outcome.before = StampTree(user_root, app_dir);
            outcome.check = CheckInstalledTree(user_root, app_dir, max_differences, cancel.get());
            outcome.after = StampTree(user_root, app_dir);
            return outcome;
        });
    } catch (const std::system_error&) {
        // No thread to be had: the decision checks on its own.
    }
    return ahead;
}

void TreeCheckAhead::stop()
{
    if (m_cancel) {
        m_cancel->store(true, std::memory_order_relaxed);
    }
    if (m_outcome.valid()) {
        m_outcome.wait();
    }
}

TreeCheckAhead::~TreeCheckAhead()
{
    stop();
}

TreeCheckAhead& TreeCheckAhead::operator=(TreeCheckAhead&& other)
{
    if (this != &other) {
        stop();
        m_user_root = std::move(other.m_user_root);
        m_app_dir = std::move(other.m_app_dir);
        m_cancel = std::move(other.m_cancel);
        m_outcome = std::move(other.m_outcome);
    }
    return *this;
}

bool TreeCheckAhead::Take(TreeCheck& result)
{
    if (!m_outcome.valid()) {
        return false;
    }
    Outcome outcome = m_outcome.get();
    if (outcome.before != outcome.after || outcome.after != StampTree(m_user_root, m_app_dir)) {
        return false;
    }
    result = std::move(outcome.check);
    return true;
}
