#pragma once

#include <dirent.h>
#include <memory>

// Closes a directory stream when its owner leaves scope, on every path.
struct DirCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The owner of one directory stream (opendir, fdopendir).
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
