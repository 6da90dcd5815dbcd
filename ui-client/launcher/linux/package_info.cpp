#include "linux/package_info.h"

#include "file/file-op.h"

#include <QDir>
#include <QSettings>
#include <QString>

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

std::string ReadPackageText(const ustring& info, const char* key)
{
    if (!IsRegularFile(info)) {
        return std::string();
    }
    QSettings settings(QString::fromUtf8(info.c_str_utf8()), QSettings::IniFormat);
    return settings.value(key).toString().trimmed().toStdString();
}

uint64_t ReadPackageCount(const ustring& info, const char* key)
{
    const std::string text = ReadPackageText(info, key);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    uint64_t value = 0;
    for (const char digit : text) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(digit - '0'), &value)) {
            return UINT64_MAX;
        }
    }
    return value;
}
