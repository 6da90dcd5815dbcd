#include "brisendale-service.h"

#include "extractor.h"
#include "file/file-op.h"
#include "file/unique_fd.h"
#include "log/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char* const kComponent = "service_debug";

ustring toUstring(const QString& text)
{
    return ustring(text.toUtf8().constData());
}

QString toQString(const ustring& text)
{
    return QString::fromUtf8(text.c_str_utf8());
}

ustring GetAppBackupDir(const ustring& app_dir, int tries)
{
    ustring name = app_dir + "_tmp";
    if (tries == 0) {
        return name;
    }
    char postfix[8];
    if (snprintf(postfix, sizeof(postfix), "%d", tries) < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): snprintf failed (continuing without "
                       "postfix)",
                       __LINE__);
        postfix[0] = '\0';
    }
    return name + postfix;
}

// Fills `info` from the group "Version" of an INI file; keys that are absent
// leave their member as it was.
void LoadVersionFile(const ustring& path, Service::VersionInfo& info)
{
    QSettings settings(toQString(path), QSettings::IniFormat);
    settings.beginGroup("Version");
    const struct
    {
        const char* key;
        ustring* member;
    } fields[] = {
        {"major_version", &info.major_version},
        {"minor_version", &info.minor_version},
        {"build_version", &info.build_version},
        {"icon_overlay_version", &info.icon_overlay_version},
    };
    for (const auto& field : fields) {
        if (settings.contains(field.key)) {
            *field.member = toUstring(settings.value(field.key, QVariant()).toString());
        }
    }
    settings.endGroup();
}

int FsyncPath(const char* path, int flags)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    UniqueFd holder(fd);
    if (::fsync(holder.get()) != 0) {
        return -1;
    }
    return holder.close();
}

// An empty file that is on storage before anything is extracted, so that a
// power loss cannot keep a partial folder and lose the marker.
int CreateMarker(const ustring& marker)
{
    ustring parent = FSParentPath(marker);
    if (FSMKDir(parent, true) < 0) {
        return -1;
    }
    int fd;
    do {
        fd = ::open(marker.c_str_utf8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int err = errno;
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): failed to create marker '%s': %s "
                       "(%d)\n",
                       __LINE__, marker.c_str_utf8(), strerror(err), err);
        return -1;
    }
    UniqueFd holder(fd);
    if (::fsync(holder.get()) != 0 || holder.close() != 0 ||
        FsyncPath(parent.c_str_utf8(), O_RDONLY | O_DIRECTORY) != 0) {
        int err = errno;
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): failed to flush marker '%s': %s (%d)\n",
                       __LINE__, marker.c_str_utf8(), strerror(err), err);
        return -1;
    }
    return 0;
}

// Flushes the whole file system that holds `dir`: the extracted tree and the
// renames that moved the old one aside.
int SyncTree(const ustring& dir)
{
    int fd;
    do {
        fd = ::open(dir.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        UniqueFd holder(fd);
        if (::syncfs(holder.get()) == 0) {
            return 0;
        }
    }
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] brisendale-service.cpp(%d): failed to flush '%s' to storage: %s "
                   "(%d)\n",
                   __LINE__, dir.c_str_utf8(), strerror(err), err);
    return -1;
}

} // namespace

Service::VersionInfo::VersionInfo() = default;

Service::Service() : timeout(0) {}

Service::~Service() = default;

void Service::SetTimeout(int value)
{
    timeout = value;
}

ustring Service::GetUserInstallPath()
{
    return toUstring(QDir::homePath());
}

ustring Service::GetRootBrisendaleInstallPath()
{
    return toUstring(QDir::cleanPath(QCoreApplication::applicationDirPath() + "/" + ".."));
}

ustring Service::GetRootBrisendaleResourceInstallPath()
{
    return GetRootBrisendaleInstallPath() + "";
}

ustring Service::GetUserBrisendaleInstallPath()
{
    return GetUserInstallPath() + "/" + ".Brisendale";
}

ustring Service::GetUserBrisendaleAppInstallPath()
{
    return GetUserBrisendaleInstallPath() + "/" + "Brisendale.app";
}

ustring Service::GetUserBrisendaleDataInstallPath()
{
    return GetUserBrisendaleInstallPath() + "/" + "data";
}

void Service::LoadSourceVersion()
{
    ustring path = GetUserBrisendaleAppInstallPath() + "/" + "INFO";
    if (!IsFileExist(path, false)) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] brisendale-service.cpp(%d): source does not exist\n", __LINE__);
        return;
    }
    LoadVersionFile(path, source_version);
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] brisendale-service.cpp(%d): source_version = (%s, %s, %s, %s)\n",
                   __LINE__, source_version.major_version.c_str_utf8(),
                   source_version.minor_version.c_str_utf8(),
                   source_version.build_version.c_str_utf8(),
                   source_version.icon_overlay_version.c_str_utf8());
}

void Service::LoadTargetVersion()
{
    // A missing file reads as a file without keys.
    LoadVersionFile(GetRootBrisendaleResourceInstallPath() + "/" + "INFO", target_version);
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] brisendale-service.cpp(%d): target_version = (%s, %s, %s, %s)\n",
                   __LINE__, target_version.major_version.c_str_utf8(),
                   target_version.minor_version.c_str_utf8(),
                   target_version.build_version.c_str_utf8(),
                   target_version.icon_overlay_version.c_str_utf8());
}

int Service::PrepareUserEnv()
{
    int rename_count = 0;
    ustring app_dir = per_user_install_path;
    ustring backup_dir;
    const ustring marker = GetIncompleteMarkerPath();
    // A folder that an interrupted run left half-filled is no installation to go back to.
    const bool was_incomplete = IsFileExist(marker, false);

    if (IsFileExist(app_dir, false)) {
        for (;;) {
            backup_dir = GetAppBackupDir(app_dir, rename_count);
            if (FSRename(app_dir, backup_dir, false) == 0) {
                break;
            }
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] brisendale-service.cpp(%d): failed to backup app from '%s' -> "
                           "'%s'\n",
                           __LINE__, app_dir.c_str_utf8(), backup_dir.c_str_utf8());
            ++rename_count;
            if (rename_count >= MAX_RENAME_COUNT) {
                Logger::LogMsg(Logger::L_ERR, kComponent,
                               "[ERROR] brisendale-service.cpp(%d): failed to backup app from "
                               "'%s' -> '%s' at max retries, exiting\n",
                               __LINE__, app_dir.c_str_utf8(), backup_dir.c_str_utf8());
                return -1;
            }
        }
    }

    int ret = CreateMarker(marker);
    if (ret == 0) {
        ret = ExtractPackage();
    }
    // The old installation goes only once the new one is on storage.
    if (ret == 0) {
        ret = SyncTree(app_dir);
    }

    if (ret == 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent,
                       "[INFO] brisendale-service.cpp(%d): user installation is ready, removing "
                       "backup app\n",
                       __LINE__);
        // A marker that survives a failed removal only costs one more extraction.
        FSRemove(marker, false);
        for (int i = 0; i <= rename_count; ++i) {
            FSRemove(GetAppBackupDir(app_dir, i), false);
        }
        return 0;
    }

    if (backup_dir.empty()) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): Failed to extract package, and no old "
                       "installation to rollback\n",
                       __LINE__);
        // A partial folder that holds the client executable would pass for an installation.
        if (FSRemove(app_dir, false) == 0) {
            FSRemove(marker, false);
        }
    } else {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): Failed to extract package, rollback "
                       "to old installation\n",
                       __LINE__);
        FSRemove(app_dir, false);
        if (FSRename(backup_dir, app_dir, false) == 0 && !was_incomplete) {
            FSRemove(marker, false);
        }
    }
    return -1;
}

int Service::ExtractPackage()
{
    ustring source = GetRootBrisendaleResourceInstallPath() + "/package/brisendale.nbx";
    ustring dest = GetUserBrisendaleAppInstallPath();
    if (FSMKDir(dest, true) < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): failed to create folder: '%s'\n",
                       __LINE__, dest.c_str_utf8());
        return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] brisendale-service.cpp(%d): extract package: '%s' -> '%s'\n", __LINE__,
                   source.c_str_utf8(), dest.c_str_utf8());
    Extractor extractor;
    extractor.SetSource(source);
    extractor.SetTarget(dest);
    return extractor.Extract();
}

void Service::RemoveAgedFolders()
{
    ustring aged = GetUserBrisendaleInstallPath() + "/app";
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] brisendale-service.cpp(%d): removing aged app folder %s\n", __LINE__,
                   aged.c_str_utf8());
    FSRemove(aged, false);
}

int Service::FSCopyPath(const ustring& src, const ustring& dest)
{
    int ret = -1;
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] brisendale-service.cpp(%d): copy from '%s' to '%s'\n", __LINE__,
                   src.c_str_utf8(), dest.c_str_utf8());

    FILE_INFO info;
    if (FSStat(src, info, false) < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): FSCopyPath: failed to stat source "
                       "'%s'\n",
                       __LINE__, src.c_str_utf8());
        return -1;
    }
    if (!info.isExist) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): FSCopyPath: source path '%s' does not "
                       "exist\n",
                       __LINE__, src.c_str_utf8());
        return -1;
    }
    if (info.type != FT_DIR) {
        return FSCopy(src, dest, false) < 0 ? -1 : 0;
    }
    if (FSMKDir(dest, true) < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] brisendale-service.cpp(%d): FSCopyPath: failed to create dest "
                       "folder '%s'\n",
                       __LINE__, dest.c_str_utf8());
        return -1;
    }

    DIR_HANDLE dh;
    if (FSOpenDir(src, 0, dh) < 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] brisendale-service.cpp(%d): FSCopyPath: failed to create handle  "
                       "for src '%s' failed\n",
                       __LINE__, src.c_str_utf8());
        return 0;
    }
    ret = 0;
    DIR_ENTRY entry;
    while (FSReadDir(dh, entry) > 0) {
        if (entry.name == ustring(".") || entry.name == ustring("..")) {
            continue;
        }
        ustring child_src = src + "/" + entry.name;
        ustring child_dest = dest + "/" + entry.name;
        int r = entry.type == FT_DIR ? FSCopyPath(child_src, child_dest)
                                     : FSCopy(child_src, child_dest, false);
        if (r < 0) {
            Logger::LogMsg(Logger::L_ERR, kComponent,
                           "[ERROR] brisendale-service.cpp(%d): FSCopyPath: failed to copy from "
                           "'%s' to '%s'\n",
                           __LINE__, child_src.c_str_utf8(), child_dest.c_str_utf8());
            ret = -1;
            break;
        }
    }
    FSCloseDir(dh);
    return ret;
}
