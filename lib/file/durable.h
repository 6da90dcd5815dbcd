#pragma once

// Flushing to storage, written in one place. A tree is durable once each of its files and
// folders was fsynced, or, on ext4, XFS and btrfs under Linux 5.8 or later, once one syncfs
// through a descriptor opened before the writes returned 0. syncfs persists nothing on some
// file systems (FUSE): there fsync counts alone.
// Every failure is logged under "file_op_debug" and returned; callers act on it.

#include "ustring/ustring.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Flushes a folder's own entries (names made, renamed or removed in it). 0 or -1.
[[nodiscard]] int FSSyncFolder(const ustring& path);
// rename(2) alone, never a copy, then a flush of the folder of `to` and, when it differs,
// of the folder of `from`. 0, or -1 with errno from the failing call (EXDEV included).
[[nodiscard]] int FSRenameDurably(const ustring& from, const ustring& to);
// Replaces path with data so that a crash leaves either the old file or the new one:
// a temporary file beside it, fsync, rename, fsync of the folder. 0 or -1 (errno set).
[[nodiscard]] int FSWriteFileAtomic(const ustring& path, const std::string& data);

// FSWriteFileAtomic for data made as it goes, written in pieces so that it is never held
// whole. Nothing replaces `path` until Commit; a writer dropped before that removes its
// temporary file.
class AtomicFileWriter
{
public:
    explicit AtomicFileWriter(const ustring& path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // False once a write has failed, errno set; later appends write nothing.
    [[nodiscard]] bool Append(const std::string& data);
    // Flushes, renames over `path` and flushes its folder. 0, or -1 (errno set, logged).
    [[nodiscard]] int Commit();

private:
    ustring m_path;
    ustring m_temp;
    int m_fd = -1;
    int m_err = 0;
    bool m_committed = false;
};
// fsyncs every regular file and folder of the tree at root, root included (not its
// folder's entry for it). 0 or -1.
[[nodiscard]] int FSSyncTree(const ustring& root);

// How a tree is made durable on a file system. SYNCFS: one syncfs(2), through a descriptor
// opened before the tree was written, reports every write-back error of the whole file
// system since then (Linux 5.8 and later) and persists data and names together where the
// file system commits them in one journal (ext4, XFS, btrfs). PER_FILE: an fsync of each
// file and folder, the only flush that FUSE, NFS, overlayfs and unknown file systems honour.
enum class FlushRule
{
    SYNCFS,
    PER_FILE
};

// The rule for statfs's f_type under the kernel release given as uname -r prints it.
[[nodiscard]] FlushRule FSFlushRuleFor(unsigned long fs_type, const char* release);
// The rule for the file system of the open descriptor fd on the running kernel; PER_FILE
// when either cannot be told.
[[nodiscard]] FlushRule FSFlushRuleOf(int fd);

// Progress of a flush: work done of total, in the flush's own units (files and folders,
// or KiB of dirty pages left to write). Called on the thread that called Finish.
using FlushProgress = std::function<void(uint64_t done, uint64_t total)>;

// Makes a tree durable while, or after, another thread writes it. Where the rule is SYNCFS
// (and the flusher was made before the writes) Finish is one syncfs. Otherwise the writer
// hands over each regular file once it is closed; a thread of this class reopens it and
// starts its write-back at once, and Finish fsyncs every file and every folder named,
// deepest first, and the root, on a few threads at once, so that the file system joins
// their flushes. Paths are relative to root (or absolute).
class TreeFlusher
{
public:
    // fsyncs in flight at once: the cores, at most 4, fewer where the descriptor limit is low.
    static size_t Threads();

    // on_failure runs on the flushing thread at the first failed flush (to stop the writer);
    // once stop_asked is true the files left are dropped and Finish fails. before_writes:
    // the tree is written only after this constructor, so that a syncfs through the root
    // opened here sees every write-back error of it.
    explicit TreeFlusher(const std::string& root, std::function<void()> on_failure = nullptr,
                         std::function<bool()> stop_asked = nullptr, bool before_writes = false);
    ~TreeFlusher(); // without Finish: drops what is left, as after a failed extraction
    TreeFlusher(const TreeFlusher&) = delete;
    TreeFlusher& operator=(const TreeFlusher&) = delete;

    // The rule this flusher follows.
    FlushRule Rule() const { return m_rule; }
    // A closed regular file, and its folders.
    void AddFile(const std::string& path);
    // A folder, and the folders above it.
    void AddFolder(const std::string& path);
    // An entry that cannot be fsynced itself (a symbolic link): only its folders.
    void AddOther(const std::string& path);
    // 0 once everything named is on storage, -1 (logged) when anything failed. progress,
    // when given, is called about every half second while the flush lasts, and an [INFO]
    // line is logged every 5 s.
    [[nodiscard]] int Finish(const FlushProgress& progress = nullptr);
    // Files fsynced so far, for measurements and tests.
    size_t Synced() const;

    // Tests only: runs before every fsync and syncfs of a flusher (a slow device).
    static void SetFlushHookForTests(void (*hook)());

private:
    void run();
    void addFolders(const std::string& path, bool self);
    bool startOne(size_t name);
    void syncAll(const std::vector<std::string>& folders, const FlushProgress& progress);
    bool syncName(const char* path, bool folder);
    bool syncWhole();
    bool stopping();
    void fail(const char* call, const std::string& path, int err);
    bool failed() const;
    void runWorkers(size_t count, const std::function<void()>& work, const FlushProgress& progress,
                    const std::function<std::pair<uint64_t, uint64_t>()>& measure);
    void watchFlush(std::mutex& mutex, std::condition_variable& ended, const size_t& running,
                    const FlushProgress& progress,
                    const std::function<std::pair<uint64_t, uint64_t>()>& measure);

    std::string m_root;
    int m_root_fd = -1;
    FlushRule m_rule = FlushRule::PER_FILE;
    std::function<void()> m_on_failure;
    std::function<bool()> m_stop_asked;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    // Every file's name, NUL-terminated one after the other: one buffer rather than one
    // string each keeps a package of tens of thousands of files small.
    std::string m_names;
    std::vector<size_t> m_file_names; // where each file's name starts in m_names
    size_t m_started = 0;             // files whose write-back was started
    std::set<std::string> m_folders;
    bool m_done = false;   // no more files come
    bool m_failed = false; // a flush failed; later ones are skipped
    size_t m_synced = 0;
    std::thread m_thread;
};
