#pragma once

// Flushing to storage, written in one place. A tree is durable once each of its files and
// folders was fsynced: syncfs persists nothing on some file systems (FUSE), fsync does.
// Every failure is logged under "file_op_debug" and returned; callers act on it.

#include "ustring/ustring.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Flushes a folder's own entries (names made, renamed or removed in it). 0 or -1.
[[nodiscard]] int FSSyncFolder(const ustring& path);
// rename(2) alone, never a copy, then a flush of the folder of `to` and, when it differs,
// of the folder of `from`. 0, or -1 with errno from the failing call (EXDEV included).
[[nodiscard]] int FSRenameDurably(const ustring& from, const ustring& to);
// Replaces path with data so that a crash leaves either the old file or the new one:
// a temporary file beside it, fsync, rename, fsync of the folder. 0 or -1 (errno set).
[[nodiscard]] int FSWriteFileAtomic(const ustring& path, const std::string& data);
// fsyncs every regular file and folder of the tree at root, root included (not its
// folder's entry for it). 0 or -1.
[[nodiscard]] int FSSyncTree(const ustring& root);
// Copies the tree (or file) at from to the new name to, with modes and times, and makes
// the copy and its name durable. A failed copy is removed again. 0 or -1.
[[nodiscard]] int FSCopyTreeDurably(const ustring& from, const ustring& to);

// fsyncs the files of a tree while another thread writes it. The writer hands over each
// regular file once it is closed; a thread of this class reopens it and starts its
// write-back at once, without waiting for it. Finish then flushes the file system once (syncfs),
// so that the per-file fsyncs that follow find nothing left to write where syncfs works,
// and fsyncs every file and every folder named, deepest first, and the root, on THREADS
// threads at once, so that the file system joins their flushes. The fsyncs are what makes
// the tree durable: on FUSE syncfs may persist nothing. Paths are relative to root (or
// absolute).
class TreeFlusher
{
public:
    // fsyncs in flight at once: the block layer serves the flushes that wait together with
    // one, and on ext4 without a journal every fsync ends with a flush.
    static const size_t THREADS = 32;

    // on_failure runs on the flushing thread at the first failed flush (to stop the writer);
    // once stop_asked is true the files left are dropped and Finish fails.
    explicit TreeFlusher(const std::string& root, std::function<void()> on_failure = nullptr,
                         std::function<bool()> stop_asked = nullptr);
    ~TreeFlusher(); // without Finish: drops what is left, as after a failed extraction
    TreeFlusher(const TreeFlusher&) = delete;
    TreeFlusher& operator=(const TreeFlusher&) = delete;

    // A closed regular file, and its folders.
    void AddFile(const std::string& path);
    // A folder, and the folders above it.
    void AddFolder(const std::string& path);
    // An entry that cannot be fsynced itself (a symbolic link): only its folders.
    void AddOther(const std::string& path);
    // 0 once everything named is on storage, -1 (logged) when anything failed.
    [[nodiscard]] int Finish();
    // Files fsynced so far, for measurements and tests.
    size_t Synced() const;

private:
    void run();
    void addFolders(const std::string& path, bool self);
    bool startOne(size_t name);
    void syncAll(const std::vector<std::string>& folders);
    bool syncName(const char* path, bool folder);
    bool stopping();
    void fail(const char* call, const std::string& path, int err);

    std::string m_root;
    int m_root_fd = -1;
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
