#pragma once

#include "ustring/ustring.h"

#include <cstddef>
#include <string>
#include <vector>

// The manifest of an installed application folder A: for each entry its path, type, mode,
// size (regular files) and link target (symbolic links). It lives beside A in the per-user
// root U, never inside A, as U + "/" + name of A + ".manifest"; an install writes the next one
// as that name + ".next" before its commit and promotes it after. docs/self-healing.md gives
// the format.
//
// A manifest names the tree it describes by the inode number of A and the build in A/INFO.
// A rename keeps both, so a rolled-back or recovered tree still matches its own manifest,
// while a tree put in place any other way matches none and is not checked.

enum class TreeState
{
    Intact,
    Damaged,
    NothingToCheck, // no A, no manifest, or none that describes this A
};

struct TreeCheck
{
    TreeState state = TreeState::NothingToCheck;
    // Short human lines: each difference for Damaged, the reason for NothingToCheck.
    std::vector<std::string> differences;
};

// Compares A with the manifest that describes it, by lstat-like calls only: no file contents
// are read. A missing entry, or one of another type, mode, size or link target, is damage;
// entries that the manifest does not name are not (the client may add files of its own).
// Stops at `max_differences` differences (at least one is always recorded). Writes nothing.
[[nodiscard]] TreeCheck CheckInstalledTree(const ustring& user_root, const ustring& app_dir,
                                           size_t max_differences);

// Describes A as it is now in U's ".next" manifest, durably (temporary file, fsync, rename,
// fsync of U). 0, or -1 (logged) with no ".next" left behind.
[[nodiscard]] int WriteNextTreeManifest(const ustring& user_root, const ustring& app_dir);
// Makes the ".next" manifest the manifest, durably: call once the tree it describes is
// committed. 0 or -1 (logged).
[[nodiscard]] int PromoteTreeManifest(const ustring& user_root, const ustring& app_dir);
// Before an install replaces A: promotes a ".next" manifest that describes A (a run ended
// between its commit and the promotion), and removes one that does not, so that no old
// description waits for a new tree to take its inode number.
void SettleTreeManifests(const ustring& user_root, const ustring& app_dir);

// The file names, for tests and documentation.
ustring TreeManifestPath(const ustring& user_root, const ustring& app_dir);
ustring NextTreeManifestPath(const ustring& user_root, const ustring& app_dir);
