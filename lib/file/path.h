#pragma once

// Path arithmetic on strings alone, with no file-system call: the lowest layer of lib/file,
// which both the plain operations and the flushing build on.

#include "ustring/ustring.h"

// The folder part of path: "/" for a name at the root or a name without a slash.
ustring FSParentPath(const ustring& path);
// The last component of path (all of it when it has no slash).
ustring FSBaseName(const ustring& path);
// True when child is parent itself or lies below it (a whole-component prefix).
bool FSIsParentFolder(const ustring& parent, const ustring& child);
