#pragma once

// Thin wrappers over the POSIX file-system calls. Paths are UTF-8 ustrings;
// results are 0 for success and a negative, function-specific code for failure.
// Failures worth telling are logged under the component "file_op_debug".

#include "file/path.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/types.h>

typedef enum _FILE_TYPE_tag
{
    FT_ERR = 0,
    FT_FILE = 1,
    FT_DIR = 2,
    FT_SLINK = 3,
    FT_HLINK = 4, // reserved, never produced
    FT_DEV = 5,
    FT_FIFO = 6,
    FT_SOCK = 7,
} FILE_TYPE;

typedef struct _FILE_INFO_tag
{
    ustring path;
    ustring name;
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;
    uint64_t size = 0; // a symbolic link's own size
    bool isExist = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t mode = 0; // type and permission bits
    uint64_t dev_id = 0;
} FILE_INFO;

// Compares existence, size, mtime, type, path and name; owner, mode and device are ignored.
bool operator==(const FILE_INFO& a, const FILE_INFO& b);
bool operator!=(const FILE_INFO& a, const FILE_INFO& b);

// An open directory listing. Closed by FSCloseDir, or at the latest when it goes out of scope.
typedef struct _DIR_HANDLE_tag
{
    ustring path;
    int flag = 0; // bit 1: FSReadDir fills mtime and size
    DIR* dp = nullptr;

    _DIR_HANDLE_tag() = default;
    ~_DIR_HANDLE_tag();
    _DIR_HANDLE_tag(const _DIR_HANDLE_tag&) = delete;
    _DIR_HANDLE_tag& operator=(const _DIR_HANDLE_tag&) = delete;
    _DIR_HANDLE_tag(_DIR_HANDLE_tag&& other) noexcept;
    _DIR_HANDLE_tag& operator=(_DIR_HANDLE_tag&& other) noexcept;
} DIR_HANDLE;

typedef struct _DIR_ENTRY_tag
{
    ustring name;
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;
    uint64_t size = 0;
} DIR_ENTRY;

// Core operations.

// lstat of path into info; a missing path is 0 with isExist false. -1 on other failures.
int GetFileInfo(const ustring& path, FILE_INFO& info);
// -1 empty path, -2 status unreadable, 0 otherwise (also for a missing path).
int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check = false);
bool IsFileExist(const ustring& path, bool do_case_check = false);
// True when `path` (links followed) is a regular file: one that can be read without
// waiting for a writer, as a FIFO or a device would make the reader wait.
bool IsRegularFile(const ustring& path);
// Copies the bytes of src to dst and flushes dst to storage. With isDelOrigin the
// source is removed once the copy is safely on storage. 0, -1, or -2 (disk or quota full).
int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin = false);
// 0 made or already a directory, -1 bad argument or existing non-directory, -2 mkdir failed.
int FSMKDir(const ustring& path, bool isCreateParent = false);
// Makes every missing directory of path. mode (mode_t)-1 means 0777 under the umask;
// any other mode is applied exactly. endptr, when given, points into path.c_str() at
// the end of the last component handled. 0 or -1 (errno from the failing call).
int FSMKDirP(const ustring& path, const char** endptr, bool blForceCreate, mode_t mode);
// Moves a file or tree, also across file systems. 0; -1 empty argument; -2 source
// missing or unreadable; -3 failed; -100 name too long.
int FSRename(const ustring& from, const ustring& to, bool do_case_check = false);
// Swaps the two names atomically (renameat2 with RENAME_EXCHANGE); nothing is flushed.
// 0, or -1 with errno: EINVAL or ENOSYS where the file system or kernel cannot exchange,
// EXDEV where a name cannot move (overlayfs's lower layer).
[[nodiscard]] int FSExchange(const ustring& first, const ustring& second);
// Removes a file, link or whole tree, making each folder owner-writable and searchable
// first. It goes on past an entry it cannot remove and logs each such entry with its
// path and errno. 0 (also when missing), -1, or -3 when anything is left.
[[nodiscard]] int FSRemove(const ustring& path, bool allowundo = false);
int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh);
// 1 with the next entry ("." and ".." included), 0 at the end, -1 on error.
int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);
void FSCloseDir(DIR_HANDLE& dh);

// Further operations.

int FSMktemp(const ustring& prefix, ustring& path);
int FSUTime(const ustring& path, time_t atime, time_t mtime);
bool FSTimeEqual(time_t a, time_t b);
bool isFileLocked(const ustring& path, int flag);
bool hasFilePermission(const ustring& path, int flag);
bool isMountPoint(const ustring& path);
bool IsMSDOS(const ustring& path);
int FSGetRealPath(ustring& path);
int FSMKDirFromRoot(const ustring& path, const ustring& from);
int FSCreateSymbolicLink(const ustring& target_path, const ustring& link_path);
int FSReadSymbolicLink(const ustring& link_path, ustring& target_path);
int FSChown(const ustring& path, uid_t owner, gid_t group);
// A random path inside prefix; nothing is created on disk. 0, or -1.
int FSCreateTempPath(const ustring& prefix, ustring& path);
// Copies a file or a whole tree, symbolic links as links, with modes and times; to must
// not exist. Files are fsynced as they are copied, folders are not (see FSCopyTreeDurably).
// 0 or -3; what was copied stays.
int FSCopyTree(const ustring& from, const ustring& to);
// Copies the tree (or file) at from to the new name to, with modes and times, and makes
// the copy and its name durable. A failed copy is removed again. 0 or -1.
[[nodiscard]] int FSCopyTreeDurably(const ustring& from, const ustring& to);
