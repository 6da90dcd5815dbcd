#include "linux/package_info.h"

#include "file/file-op.h"
#include "qtcompat.h"

#include <QSettings>
#include <QString>

namespace {

ustring text(const QSettings& settings, const char* key)
{
    return ustring(
        settings.value(QString::fromLatin1(key)).toString().trimmed().toUtf8().constData());
}

uint64_t count(const QSettings& settings, const char* key)
{
    const std::string digits = text(settings, key).c_str_utf8();
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    uint64_t value = 0;
    for (const char digit : digits) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(digit - '0'), &value)) {
            return UINT64_MAX;
        }
    }
    return value;
}

} // namespace

PackageInfo ReadPackageInfo(const ustring& path)
{
    PackageInfo info;
    if (!IsRegularFile(path)) {
        return info;
    }
    QSettings settings(QString::fromUtf8(path.c_str_utf8()), QSettings::IniFormat);
    QtCompat::readIniAsUtf8(settings);
    info.version.major_version = text(settings, "Version/major_version");
    info.version.minor_version = text(settings, "Version/minor_version");
    info.version.build_version = text(settings, "Version/build_version");
    info.version.icon_overlay_version = text(settings, "Version/icon_overlay_version");
    info.installed_size = count(settings, "Package/installed_size");
    info.installed_entries = count(settings, "Package/installed_entries");
    info.sha256 = text(settings, "Package/sha256").c_str_utf8();
    return info;
}
