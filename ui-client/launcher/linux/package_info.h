#pragma once

#include "ustring/ustring.h"

#include <cstdint>
#include <string>

// Fixed locations of the standard system-wide installation.
class PackageInfo
{
public:
    PackageInfo();

    static PackageInfo& GetInstance();

    ustring GetImageFolder() const;
    ustring GetLogFolder() const;
    ustring GetLogLevelPath() const;
    ustring GetPackagePath() const;
    ustring GetConfigFolder() const;

private:
    ustring ImageFolder;
    ustring LogFolder;
    ustring LogLevelPath;
    ustring PackagePath;
    ustring ConfigFolder;
};

// The group "Package" of a version file (INI), which describes the package beside it.
// A count; 0 when it is missing or not a number, and the largest count when it is too
// large to hold, so that it never fits.
uint64_t ReadPackageCount(const ustring& info, const char* key);
// A text, trimmed; "" when it is missing.
std::string ReadPackageText(const ustring& info, const char* key);
