#pragma once

#include "ustring/ustring.h"

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
