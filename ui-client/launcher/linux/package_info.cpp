#include "linux/package_info.h"

#include <QDir>

namespace {

const char* const kRoot = "/opt/Kestrova/Brisendale";

} // namespace

PackageInfo::PackageInfo()
{
    const ustring root(kRoot);
    ImageFolder = root + "/images";
    LogFolder = ustring(QDir::homePath().toUtf8().constData()) + "/.Brisendale";
    LogLevelPath = root + "/log/launcher.debug";
    PackagePath = root + "/package/brisendale.nbx";
    ConfigFolder = root + "/conf";
}

PackageInfo& PackageInfo::GetInstance()
{
    static PackageInfo instance;
    return instance;
}

ustring PackageInfo::GetImageFolder() const
{
    return ImageFolder;
}

ustring PackageInfo::GetLogFolder() const
{
    return LogFolder;
}

ustring PackageInfo::GetLogLevelPath() const
{
    return LogLevelPath;
}

ustring PackageInfo::GetPackagePath() const
{
    return PackagePath;
}

ustring PackageInfo::GetConfigFolder() const
{
    return ConfigFolder;
}
