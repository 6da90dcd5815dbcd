#pragma once

#include <string>
#include <vector>

// Builds package archives inside the tests, hostile ones included.
namespace testarchive {

enum class Format
{
    Tar,
    TarGz,
    TarZst,
    Zip,
    TarXz,
    Cpio
};

struct Entry
{
    enum Kind
    {
        File,
        Dir,
        Symlink,
        Hardlink,
        Fifo,
        CharDevice
    };
    Kind kind;
    std::string path;
    std::string data; // a file's contents, or the data a hard link carries
    std::string link; // symlink or hard-link target
};

inline Entry file(const std::string& path, const std::string& data)
{
    return {Entry::File, path, data, std::string()};
}
inline Entry dir(const std::string& path)
{
    return {Entry::Dir, path, std::string(), std::string()};
}
inline Entry symlinkEntry(const std::string& path, const std::string& target)
{
    return {Entry::Symlink, path, std::string(), target};
}
inline Entry hardlink(const std::string& path, const std::string& target,
                      const std::string& data = std::string())
{
    return {Entry::Hardlink, path, data, target};
}
inline Entry special(Entry::Kind kind, const std::string& path)
{
    return {kind, path, std::string(), std::string()};
}

// The archive's bytes. libarchive's writer drops the data of hard links, so a hard link
// with data is written as a pax regular file and retyped afterwards (Format::Tar only).
std::string build(Format format, const std::vector<Entry>& entries);

// build() written to path; false when the file cannot be written.
bool write(const std::string& path, Format format, const std::vector<Entry>& entries);

} // namespace testarchive
