#include "file/path.h"

#include <cstring>

ustring FSParentPath(const ustring& path)
{
    const size_t pos = path.rfind('/', ustring::npos);
    if (pos == ustring::npos || pos == 0)
        return ustring("/");
    return path.substr(0, pos);
}

ustring FSBaseName(const ustring& path)
{
    const size_t pos = path.rfind('/', ustring::npos);
    if (pos == ustring::npos)
        return path;
    return path.substr(pos + 1, ustring::npos);
}

bool FSIsParentFolder(const ustring& parent, const ustring& child)
{
    const size_t n = parent.length();
    if (child.length() < n)
        return false;
    if (child.length() > n && child[n] != '/')
        return false;
    return strncmp(child.c_str(), parent.c_str(), n) == 0;
}
