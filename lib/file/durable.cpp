#include "file/durable.h"

#include "file/path.h"
#include "file/unique_fd.h"
#include "log/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

const ustring& component()
{
    static const ustring name("file_op_debug");
    return name;
}

#define DURABLE_LOG(level, fmt, ...)                                                               \
    Logger::LogMsg(Logger::level, component(), fmt, __LINE__, __VA_ARGS__)

int openAtRetry(int dirfd, const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dirfd, path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A regular file for fsync: read-only where the mode allows, else write-only (a file the
// owner may only write).
int openForSync(int dirfd, const char* path)
{
    int fd = openAtRetry(dirfd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == EACCES)
        fd = openAtRetry(dirfd, path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
    return fd;
}

int syncRetry(int fd)
{
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r;
}

int writeAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

size_t depth(const std::string& path)
{
    return static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
}

struct DirCloser
{
    void operator()(DIR* dp) const { closedir(dp); }
};

// Names every file and folder below the folder open as fd (relative path rel) to the
// flusher. 0, or the errno of the walk's failure.
int nameTree(int fd, const std::string& rel, TreeFlusher* flusher)
{
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    for (;;) {
        errno = 0;
        const dirent* de = readdir(dir.get());
        if (!de)
            return errno;
        if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0)
            continue;
        const std::string child = rel + "/" + de->d_name;
        struct stat st;
        if (fstatat(dirfd(dir.get()), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (S_ISREG(st.st_mode)) {
            flusher->AddFile(child);
        } else if (S_ISDIR(st.st_mode)) {
            flusher->AddFolder(child);
            const int sub =
                openAtRetry(dirfd(dir.get()), de->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (sub < 0)
                return errno;
            if (const int err = nameTree(sub, child, flusher))
                return err;
        } else {
            flusher->AddOther(child);
        }
    }
}

} // namespace

int FSSyncFolder(const ustring& path)
{
    UniqueFd fd(openAtRetry(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fd.valid() || syncRetry(fd.get()) != 0) {
        const int err = errno;
        DURABLE_LOG(L_ERR, "[ERROR] durable.cpp(%d): FSSyncFolder: %s: %s (%d)\n", path.c_str(),
                    strerror(err), err);
        errno = err;
        return -1;
    }
    return 0;
}

int FSRenameDurably(const ustring& from, const ustring& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        return -1;
    const ustring toParent = FSParentPath(to);
    const ustring fromParent = FSParentPath(from);
    if (FSSyncFolder(toParent) != 0)
        return -1;
    return fromParent == toParent ? 0 : FSSyncFolder(fromParent);
}

AtomicFileWriter::AtomicFileWriter(const ustring& path) : m_path(path), m_temp(path + ".new")
{
    if (path.empty()) {
        m_err = EINVAL;
        return;
    }
    m_fd = openAtRetry(AT_FDCWD, m_temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (m_fd < 0) {
        m_err = errno;
    }
}

AtomicFileWriter::~AtomicFileWriter()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (!m_committed && !m_path.empty()) {
        // Ignored: a stale temporary file is replaced by the next write.
        unlink(m_temp.c_str());
    }
}

bool AtomicFileWriter::Append(const std::string& data)
{
    if (m_err == 0 && writeAll(m_fd, data) != 0) {
        m_err = errno;
    }
    errno = m_err;
    return m_err == 0;
}

int AtomicFileWriter::Commit()
{
    if (m_err == 0 && syncRetry(m_fd) != 0) {
        m_err = errno;
    }
    if (m_fd >= 0) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 && m_err == 0) {
            m_err = errno;
        }
    }
    if (m_err == 0 && rename(m_temp.c_str(), m_path.c_str()) != 0) {
        m_err = errno;
    }
    if (m_err != 0) {
        DURABLE_LOG(L_ERR, "[ERROR] durable.cpp(%d): FSWriteFileAtomic: %s: %s (%d)\n",
                    m_path.c_str(), strerror(m_err), m_err);
        errno = m_err;
        return -1;
    }
    m_committed = true;
    return FSSyncFolder(FSParentPath(m_path));
}

int FSWriteFileAtomic(const ustring& path, const std::string& data)
{
    AtomicFileWriter writer(path);
    if (!writer.Append(data)) {
        const int err = errno;
        DURABLE_LOG(L_ERR, "[ERROR] durable.cpp(%d): FSWriteFileAtomic: %s: %s (%d)\n",
                    path.c_str(), strerror(err), err);
        errno = err;
        return -1;
    }
    return writer.Commit();
}

int FSSyncTree(const ustring& root)
{
    // A single file is a tree of one; a link has nothing of its own to flush.
    struct stat st;
    if (lstat(root.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        if (!S_ISREG(st.st_mode))
            return 0;
        UniqueFd fd(openForSync(AT_FDCWD, root.c_str()));
        if (fd.valid() && syncRetry(fd.get()) == 0)
            return 0;
        const int err = errno;
        DURABLE_LOG(L_ERR, "[ERROR] durable.cpp(%d): failed to flush '%s' to storage: %s (%d)\n",
                    root.c_str(), strerror(err), err);
        return -1;
    }
    TreeFlusher flusher(root.c_str());
    const int fd = openAtRetry(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    const int err = fd < 0 ? errno : nameTree(fd, ".", &flusher);
    if (err != 0) {
        DURABLE_LOG(L_ERR, "[ERROR] durable.cpp(%d): FSSyncTree: cannot list '%s': %s (%d)\n",
                    root.c_str(), strerror(err), err);
        return -1;
    }
    return flusher.Finish();
}

FlushRule FSFlushRuleFor(unsigned long fs_type, const char* release)
{
    // Journalled file systems whose sync_fs commits the journal with every inode written
    // back; any other (FUSE, NFS, overlayfs, tmpfs, unknown) is flushed file by file.
    const unsigned long EXT4 = 0xEF53, XFS = 0x58465342, BTRFS = 0x9123683E;
    if (fs_type != EXT4 && fs_type != XFS && fs_type != BTRFS)
        return FlushRule::PER_FILE;
    // From 5.8 on syncfs reports the write-back errors of the whole file system since the
    // descriptor was opened; before, it could return 0 after a lost write.
    unsigned major = 0, minor = 0;
    if (!release || std::sscanf(release, "%u.%u", &major, &minor) != 2)
        return FlushRule::PER_FILE;
    return major > 5 || (major == 5 && minor >= 8) ? FlushRule::SYNCFS : FlushRule::PER_FILE;
}

FlushRule FSFlushRuleOf(int fd)
{
    struct statfs fs;
    struct utsname un;
    if (fstatfs(fd, &fs) != 0 || uname(&un) != 0)
        return FlushRule::PER_FILE;
    return FSFlushRuleFor(static_cast<unsigned long>(fs.f_type), un.release);
}

namespace {

std::atomic<void (*)()> g_flushHook(nullptr);

void flushHook()
{
    if (void (*hook)() = g_flushHook.load())
        hook();
}

// KiB of page cache the kernel still has to write: what a syncfs waits for.
uint64_t dirtyKiB()
{
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen("/proc/meminfo", "re"), std::fclose);
    if (!f)
        return 0;
    char line[128];
    uint64_t total = 0;
    while (std::fgets(line, sizeof line, f.get())) {
        unsigned long long kib = 0;
        if (std::sscanf(line, "Dirty: %llu", &kib) == 1 ||
            std::sscanf(line, "Writeback: %llu", &kib) == 1)
            total += kib;
    }
    return total;
}

} // namespace

void TreeFlusher::SetFlushHookForTests(void (*hook)())
{
    g_flushHook.store(hook);
}

size_t TreeFlusher::Threads()
{
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    size_t threads = std::min<size_t>(cores, 4);
    // Each thread holds one descriptor; a quarter of the limit leaves the rest of the
    // process its room.
    rlimit nofile;
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY)
        threads = std::min<size_t>(threads, std::max<rlim_t>(1, nofile.rlim_cur / 16));
    return threads;
}

TreeFlusher::TreeFlusher(const std::string& root, std::function<void()> on_failure,
                         std::function<bool()> stop_asked, bool before_writes)
    : m_root(root), m_on_failure(std::move(on_failure)), m_stop_asked(std::move(stop_asked))
{
    // Opened before the first write: a syncfs through it reports every write-back error
    // of the file system since this moment.
    m_root_fd = openAtRetry(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY);
    if (m_root_fd < 0) {
        fail("open", root, errno);
        return;
    }
    if (before_writes)
        m_rule = FSFlushRuleOf(m_root_fd);
    if (m_rule == FlushRule::SYNCFS)
        return; // nothing to do before Finish: no file is reopened
    try {
        m_thread = std::thread(&TreeFlusher::run, this);
    } catch (const std::system_error&) {
        // Finish then flushes everything on the caller's thread.
    }
}

TreeFlusher::~TreeFlusher()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
        // Nothing waits for what is left: the tree is given up.
        m_failed = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_root_fd >= 0)
        ::close(m_root_fd);
}

void TreeFlusher::addFolders(const std::string& path, bool self)
{
    // Absolute paths below the root count as relative ones: nothing above it is named.
    const std::string prefix = m_root + "/";
    std::string folder =
        path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
    if (!self) {
        const size_t slash = folder.rfind('/');
        folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
    }
    // The folders above are already named when this one is.
    while (!folder.empty() && folder != "." && m_folders.insert(folder).second) {
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos || slash == 0)
            break;
        folder.resize(slash);
    }
}

void TreeFlusher::AddFile(const std::string& path)
{
    // syncfs flushes the file system as a whole: no name needs keeping.
    if (m_rule == FlushRule::SYNCFS)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        addFolders(path, false);
        m_file_names.push_back(m_names.size());
        m_names.append(path.c_str(), path.size() + 1);
    }
    m_wake.notify_one();
}

void TreeFlusher::AddFolder(const std::string& path)
{
    if (m_rule == FlushRule::SYNCFS)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    addFolders(path, true);
}

void TreeFlusher::AddOther(const std::string& path)
{
    if (m_rule == FlushRule::SYNCFS)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    addFolders(path, false);
}

size_t TreeFlusher::Synced() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_synced;
}

void TreeFlusher::fail(const char* call, const std::string& path, int err)
{
    DURABLE_LOG(L_ERR, "[ERROR] durable.cpp(%d): failed to flush '%s' to storage: %s: %s (%d)\n",
                path.c_str(), call, strerror(err), err);
    bool first;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = !m_failed;
        m_failed = true;
    }
    if (first && m_on_failure)
        m_on_failure();
}

bool TreeFlusher::failed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

bool TreeFlusher::stopping()
{
    if (!m_stop_asked || !m_stop_asked())
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failed = true;
    return true;
}

// Opens one file and starts its write-back, without waiting for it: the fsync at the end
// finds little left to do. An error of that write-back still fails the tree: the fsync's
// fresh descriptor reports a write-back error that no one has seen.
bool TreeFlusher::startOne(size_t name)
{
    // m_names may grow (and move) meanwhile: the name is copied out under the lock.
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        path.assign(m_names.c_str() + name);
    }
    UniqueFd fd(openForSync(m_root_fd, path.c_str()));
    if (!fd.valid()) {
        const int err = errno;
        // A later entry of the same name replaced it (and is named itself).
        if (err == ENOENT || err == ELOOP)
            return true;
        fail("open", m_root + "/" + path, err);
        return false;
    }
    // Where the call is not supported the fsync at the end does all the work; any other
    // error is one of the file's data.
    if (sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE) != 0 && errno != EINVAL &&
        errno != ENOSYS && errno != EOPNOTSUPP) {
        fail("sync_file_range", m_root + "/" + path, errno);
        return false;
    }
    return true;
}

void TreeFlusher::run()
{
    try {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_started < m_file_names.size() || m_done; });
            if (m_failed || (m_done && m_started == m_file_names.size()))
                break;
            lock.unlock();
            if (stopping())
                return;
            lock.lock();
            const size_t name = m_file_names[m_started++];
            lock.unlock();
            startOne(name);
            lock.lock();
        }
    } catch (const std::bad_alloc&) {
        fail("start write-back", m_root, ENOMEM);
    }
}

// fsyncs one file or folder by name; a file that a later entry replaced is skipped.
bool TreeFlusher::syncName(const char* path, bool folder)
{
    UniqueFd fd(folder ? openAtRetry(m_root_fd, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW)
                       : openForSync(m_root_fd, path));
    if (!fd.valid() && !folder && (errno == ENOENT || errno == ELOOP))
        return true;
    if (fd.valid())
        flushHook();
    if (!fd.valid() || syncRetry(fd.get()) != 0) {
        const int err = errno;
        const bool root = std::strcmp(path, ".") == 0;
        fail(fd.valid() ? "fsync" : "open", root ? m_root : m_root + "/" + path, err);
        return false;
    }
    if (!folder) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_synced;
    }
    return true;
}

bool TreeFlusher::syncWhole()
{
    if (stopping())
        return false;
    flushHook();
    if (syncfs(m_root_fd) != 0) {
        fail("syncfs", m_root, errno);
        return false;
    }
    return true;
}

// Waits until running is 0, reporting progress every half second and logging a flush
// that lasts every 5 s. mutex guards running; ended is signalled as it falls.
void TreeFlusher::watchFlush(std::mutex& mutex, std::condition_variable& ended,
                             const size_t& running, const FlushProgress& progress,
                             const std::function<std::pair<uint64_t, uint64_t>()>& measure)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begun = Clock::now();
    Clock::time_point nextLog = begun + std::chrono::seconds(5);
    std::unique_lock<std::mutex> lock(mutex);
    while (!ended.wait_for(lock, std::chrono::milliseconds(500), [&] { return running == 0; })) {
        lock.unlock();
        const std::pair<uint64_t, uint64_t> now = measure();
        if (progress)
            progress(now.first, now.second);
        if (Clock::now() >= nextLog) {
            nextLog += std::chrono::seconds(5);
            const long long secs = static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begun).count());
            DURABLE_LOG(L_INFO,
                        "[INFO] durable.cpp(%d): flushing '%s' to storage for %lld s: %" PRIu64
                        " of %" PRIu64 " %s\n",
                        m_root.c_str(), secs, now.first, now.second,
                        m_rule == FlushRule::SYNCFS ? "KiB written" : "files and folders done");
        }
        lock.lock();
    }
    lock.unlock();
}

// Runs work on up to count threads, the calling one waiting meanwhile to report progress
// and log a flush that lasts; with no thread started the calling one does the work.
void TreeFlusher::runWorkers(size_t count, const std::function<void()>& work,
                             const FlushProgress& progress,
                             const std::function<std::pair<uint64_t, uint64_t>()>& measure)
{
    std::mutex mutex;
    std::condition_variable ended;
    size_t running = 0;
    // No exception leaves a thread: memory that runs out fails the flush.
    auto body = [&] {
        try {
            work();
        } catch (const std::bad_alloc&) {
            fail("flush", m_root, ENOMEM);
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        ended.notify_all();
    };
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (size_t t = 0; t < count; ++t) {
        try {
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++running;
            }
            threads.emplace_back(body);
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            break; // fewer threads do the same work
        }
    }
    if (threads.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        body();
        return;
    }
    watchFlush(mutex, ended, running, progress, measure);
    for (std::thread& thread : threads)
        thread.join();
}

// The files, then the folders deepest first, on a few threads that take the next name in
// turn: fsyncs in flight together share the file system's flush.
void TreeFlusher::syncAll(const std::vector<std::string>& folders, const FlushProgress& progress)
{
    std::atomic<size_t> next(0);
    std::atomic<size_t> done(0);
    const size_t files = m_file_names.size();
    const size_t total = files + folders.size();
    auto work = [&] {
        for (size_t i = next++; i < total; i = next++) {
            if (failed() || stopping())
                return;
            const bool ok = i < files ? syncName(m_names.c_str() + m_file_names[i], false)
                                      : syncName(folders[i - files].c_str(), true);
            if (!ok)
                return;
            ++done;
        }
    };
    runWorkers(std::min(Threads(), std::max<size_t>(total, 1)), work, progress,
               [&] { return std::pair<uint64_t, uint64_t>(done.load(), total); });
}

int TreeFlusher::Finish(const FlushProgress& progress)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    } else if (m_root_fd >= 0 && m_rule == FlushRule::PER_FILE) {
        run(); // no thread could be started
    }
    if (failed())
        return -1;
    if (m_rule == FlushRule::SYNCFS) {
        // What the syncfs waits for is the page cache left dirty: its shrinking is the
        // flush's progress.
        const uint64_t before = std::max<uint64_t>(dirtyKiB(), 1);
        uint64_t shown = 0;
        runWorkers(
            1, [this] { syncWhole(); }, progress,
            [&] {
                shown = std::max(shown, before - std::min(before, dirtyKiB()));
                return std::make_pair(shown, before);
            });
        return failed() ? -1 : 0;
    }
    std::vector<std::string> folders;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        folders.assign(m_folders.begin(), m_folders.end());
    }
    // Deepest first: a folder's entry in its parent is flushed after the folder itself.
    std::stable_sort(
        folders.begin(), folders.end(),
        [](const std::string& a, const std::string& b) { return depth(a) > depth(b); });
    // One flush of the whole file system writes the tree's inodes together, so that the
    // fsyncs below find them clean where it works. Its error is the tree's too.
    if (syncfs(m_root_fd) != 0) {
        fail("syncfs", m_root, errno);
        return -1;
    }
    syncAll(folders, progress);
    if (failed())
        return -1;
    // The root last, once every folder in it is flushed.
    return syncName(".", true) ? 0 : -1;
}
