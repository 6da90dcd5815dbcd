#include "brisendale-service.h"

#include "extractor.h"
#include "file/durable.h"
#include "file/file-op.h"
#include "file/unique_fd.h"
#include "linux/package_info.h"
#include "log/log_macros.h"
#include "manifest.h"
#include "qtcompat.h"
#include "state_file.h"
#include "stop_request.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): snprintf failed (continuing without "
                    "postfix)");
        postfix[0] = '\0';
    }
    return name + postfix;
}

// Fills `info` from the group "Version" of an INI file; keys that are absent
// leave their member as it was.
void LoadVersionFile(const ustring& path, Service::VersionInfo& info)
{
    // Anything but a file reads as no file; a FIFO would hold the run.
    if (!IsRegularFile(path)) {
        return;
    }
    QSettings settings(toQString(path), QSettings::IniFormat);
    QtCompat::readIniAsUtf8(settings);
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

// Where the complete old installation is while an upgrade is under way. The marker
// names it relative to A's folder: `old` where it was last known to be, `next` where
// a rename in progress moves it to. Renames are atomic, so it is at `old` while that
// exists and at `next` otherwise. An empty `old` means there is none.
struct MarkerState
{
    ustring old_name;
    ustring next_name;
};

// Only A, its staging folder and its ten backup names may be named: the marker must
// never make the service move or delete anything else.
bool IsInstallationName(const ustring& app_dir, const ustring& name)
{
    if (name.empty() || name == FSBaseName(app_dir) || name == FSBaseName(app_dir + ".staging")) {
        return true;
    }
    for (int i = 0; i < MAX_RENAME_COUNT; ++i) {
        if (name == FSBaseName(GetAppBackupDir(app_dir, i))) {
            return true;
        }
    }
    return false;
}

enum class MarkerRead
{
    Ok,
    Unreadable, // an I/O error: what it says is unknown
    Garbage,    // read, but says nothing usable
};

MarkerRead ReadMarker(const ustring& marker, const ustring& app_dir, MarkerState& state)
{
    StateValues values;
    if (ReadStateFile(marker, values) != StateRead::Ok) {
        return MarkerRead::Unreadable;
    }
    const auto old_name = values.find("old");
    if (old_name == values.end()) {
        return MarkerRead::Garbage;
    }
    state.old_name = ustring(old_name->second.c_str());
    state.next_name = ustring(values["next"].c_str());
    if (!IsInstallationName(app_dir, state.old_name) ||
        !IsInstallationName(app_dir, state.next_name)) {
        return MarkerRead::Garbage;
    }
    return MarkerRead::Ok;
}

// The marker is on storage before the step it describes is taken.
[[nodiscard]] int WriteMarker(const ustring& marker, const MarkerState& state)
{
    if (WriteStateFile(marker, {{"old", state.old_name.c_str_utf8()},
                                {"next", state.next_name.c_str_utf8()}}) != 0) {
        SERVICE_LOG(L_ERR, "[ERROR] brisendale-service.cpp(%d): failed to write marker '%s'\n",
                    marker.c_str_utf8());
        return -1;
    }
    return 0;
}

// The marker goes for good before anything it protects is deleted: a marker that
// came back after a power loss would name a backup that is no longer complete.
[[nodiscard]] int RemoveMarker(const ustring& marker)
{
    if (::unlink(marker.c_str_utf8()) != 0 && errno != ENOENT) {
        int err = errno;
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): failed to remove marker '%s': %s "
                    "(%d)\n",
                    marker.c_str_utf8(), strerror(err), err);
        return -1;
    }
    return FSSyncFolder(FSParentPath(marker));
}

// Puts the old installation at backup_dir by copying, where A cannot be renamed (an
// overlayfs home whose lower layer holds A gives EXDEV). A goes only once the marker
// names the complete, durable copy: the marker never names a tree that is being removed.
// 0: A is at backup_dir and gone from its place; 1: nothing changed, A is whole; -1: the
// copy is complete and named, but A could not be removed entirely.
[[nodiscard]] int CopyAside(const ustring& app_dir, const ustring& backup_dir,
                            const ustring& marker)
{
    SERVICE_LOG(L_WARNING,
                "[WARNING] brisendale-service.cpp(%d): '%s' cannot be renamed on this file "
                "system, copying it to '%s'\n",
                app_dir.c_str_utf8(), backup_dir.c_str_utf8());
    if (FSCopyTreeDurably(app_dir, backup_dir) != 0) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): failed to backup app from '%s' -> "
                    "'%s'\n",
                    app_dir.c_str_utf8(), backup_dir.c_str_utf8());
        return 1;
    }
    if (WriteMarker(marker, {FSBaseName(backup_dir), ustring()}) != 0) {
        // Either marker version finds a whole old installation; the copy is a left-over.
        return 1;
    }
    if (FSRemove(app_dir, false) != 0) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): failed to remove '%s' after copying it "
                    "to '%s'\n",
                    app_dir.c_str_utf8(), backup_dir.c_str_utf8());
        return -1;
    }
    return FSSyncFolder(FSParentPath(app_dir)) == 0 ? 0 : -1;
}

// Empties A's place for the old installation: removes A or, when something in it
// cannot be removed, moves it to a free backup name of `names` (A by default) other than
// `keep`, which a later run removes as a left-over. 0 once A is gone, -1 (logged) while it
// is still there.
[[nodiscard]] int ClearAppDir(const ustring& app_dir, const ustring& keep,
                              const ustring& names = ustring())
{
    if (FSRemove(app_dir, false) == 0) {
        return 0;
    }
    for (int i = 0; i < MAX_RENAME_COUNT; ++i) {
        const ustring aside = GetAppBackupDir(names.empty() ? app_dir : names, i);
        if (aside == keep || IsFileExist(aside, false)) {
            continue;
        }
        if (FSRenameDurably(app_dir, aside) != 0) {
            break;
        }
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): could not remove all of '%s', moved "
                    "it aside to '%s'\n",
                    app_dir.c_str_utf8(), aside.c_str_utf8());
        return 0;
    }
    SERVICE_LOG(L_ERR,
                "[ERROR] brisendale-service.cpp(%d): failed to remove the unfinished "
                "installation '%s'\n",
                app_dir.c_str_utf8());
    return -1;
}

} // namespace

Service::Service(Layout where)
    : layout(std::move(where)), timeout(0), per_user_install_path(layout.App())
{}

Service::~Service() = default;

void Service::SetTimeout(int value)
{
    timeout = value;
}

void Service::LoadSourceVersion()
{
    ustring path = layout.App() + "/INFO";
    if (!IsFileExist(path, false)) {
        SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): source does not exist\n");
        return;
    }
    LoadVersionFile(path, source_version);
    SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): source_version = (%s, %s, %s, %s)\n",
                source_version.major_version.c_str_utf8(),
                source_version.minor_version.c_str_utf8(),
                source_version.build_version.c_str_utf8(),
                source_version.icon_overlay_version.c_str_utf8());
}

void Service::LoadTargetVersion()
{
    // A missing file reads as a file without keys.
    shipped = ReadPackageInfo(layout.ShippedInfo());
    target_version = shipped.version;
    SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): target_version = (%s, %s, %s, %s)\n",
                target_version.major_version.c_str_utf8(),
                target_version.minor_version.c_str_utf8(),
                target_version.build_version.c_str_utf8(),
                target_version.icon_overlay_version.c_str_utf8());
}

int Service::RecoverInterruptedUpgrade()
{
    const ustring marker = GetIncompleteMarkerPath();
    const ustring app_dir = per_user_install_path;
    if (!IsFileExist(marker, false)) {
        return 0;
    }
    MarkerState state;
    switch (ReadMarker(marker, app_dir, state)) {
    case MarkerRead::Unreadable:
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): cannot read marker '%s', leaving the "
                    "installation as it is\n",
                    marker.c_str_utf8());
        return -1;
    case MarkerRead::Garbage:
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): marker '%s' names no old "
                    "installation\n",
                    marker.c_str_utf8());
        state = MarkerState();
        break;
    case MarkerRead::Ok:
        break;
    }

    const ustring parent = FSParentPath(app_dir);
    ustring old_dir;
    if (!state.old_name.empty() && IsFileExist(parent + "/" + state.old_name, false)) {
        old_dir = parent + "/" + state.old_name;
    } else if (!state.next_name.empty() && IsFileExist(parent + "/" + state.next_name, false)) {
        old_dir = parent + "/" + state.next_name;
    }

    if (old_dir != app_dir) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): the last upgrade did not finish, "
                    "restoring the old installation from '%s'\n",
                    old_dir.empty() ? "(none)" : old_dir.c_str_utf8());
        if (ClearAppDir(app_dir, old_dir) != 0) {
            return KeepMarker(marker, old_dir);
        }
        if (!old_dir.empty() && FSRenameDurably(old_dir, app_dir) != 0) {
            SERVICE_LOG(L_ERR,
                        "[ERROR] brisendale-service.cpp(%d): failed to restore '%s' -> '%s'\n",
                        old_dir.c_str_utf8(), app_dir.c_str_utf8());
            return KeepMarker(marker, old_dir);
        }
        // A tree put in place is on storage before the marker goes, whoever wrote it.
        if (!old_dir.empty() && FSSyncTree(app_dir) != 0) {
            return KeepMarker(marker, app_dir);
        }
    }
    return RemoveMarker(marker);
}

int Service::KeepMarker(const ustring& marker, const ustring& old_dir)
{
    unfinished_tree = true;
    SERVICE_LOG(L_ERR,
                "[ERROR] brisendale-service.cpp(%d): keeping the marker '%s': the old "
                "installation is in '%s', the next run puts it back\n",
                marker.c_str_utf8(), old_dir.empty() ? "(none)" : old_dir.c_str_utf8());
    return -1;
}

// Recover, prepare the new copy beside A, then stop the client and switch. Until the
// switch, A and the running client are untouched; from the marker's first write to its
// removal the marker names where a complete installation is, so that a run ended anywhere
// in here is put right by the next one.
int Service::PrepareUserEnv()
{
    failure_blame = Blame::None;
    failure_errno = 0;
    client_stopped = false;
    const ustring app_dir = per_user_install_path;
    const ustring marker = GetIncompleteMarkerPath();
    const ustring staging = GetStagingPath();

    // A was left half-done and could not be put right: replacing it now could lose
    // the only complete copy.
    if (RecoverInterruptedUpgrade() != 0) {
        failure_blame = Blame::Environment;
        SERVICE_LOG(L_ERR, "[ERROR] brisendale-service.cpp(%d): an unfinished upgrade could not be "
                           "undone, not upgrading\n");
        return -1;
    }
    SettleTreeManifests(FSParentPath(app_dir), app_dir);
    if (PrepareStaging(staging) != 0) {
        return AbandonStaging(staging);
    }
    // Written before the client stops, so that its flush is not part of the user's wait.
    // It holds before the switch as well: A, whichever tree it holds, is complete.
    const bool replacing = IsFileExist(app_dir, false);
    if (replacing && WriteMarker(marker, {FSBaseName(app_dir), FSBaseName(staging)}) != 0) {
        (void)RemoveMarker(marker);
        failure_blame = Blame::Environment;
        return AbandonStaging(staging);
    }
    if (!StopClientsBeforeSwitch()) {
        (void)RemoveMarker(marker);
        failure_blame = Blame::Environment;
        return AbandonStaging(staging);
    }
    client_stopped = true;
    return SwitchIn(app_dir, staging, marker);
}

int Service::PrepareStaging(const ustring& staging)
{
    // Left by a run that ended during its preparation: never part of an installation.
    // What cannot be removed is moved aside for a later run, so it never blocks upgrades.
    if (IsFileExist(staging, false)) {
        SERVICE_LOG(L_INFO,
                    "[INFO] brisendale-service.cpp(%d): removing the unfinished copy '%s'\n",
                    staging.c_str_utf8());
        if (ClearAppDir(staging, ustring(), per_user_install_path) != 0) {
            failure_blame = Blame::Environment;
            return -1;
        }
    }
    const ustring package = layout.Package();
    PackageIdentity before;
    PackageIdentity after;
    int err = 0;
    if (InspectPackage(package, before, err) != PackageState::Usable) {
        failure_blame = Blame::Environment;
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): package '%s' cannot be read: %s (%d)\n",
                    package.c_str_utf8(), strerror(err), err);
        return -1;
    }
    const int extracted = ExtractPackage(staging);
    // A package rewritten in place while it was read can yield a tree that mixes two
    // builds, or a damage that is not the package's; one replaced meanwhile is not the one
    // that was checked.
    if (InspectPackage(package, after, err) != PackageState::Usable || after != before) {
        failure_blame = Blame::Environment;
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): package '%s' changed while it was read, "
                    "not installing it\n",
                    package.c_str_utf8());
        return -1;
    }
    if (extracted != 0) {
        return -1;
    }
    if (FlushNewTree(per_user_install_path, staging) != 0) {
        failure_blame = Blame::Environment;
        return -1;
    }
    return 0;
}

int Service::AbandonStaging(const ustring& staging)
{
    if (failure_blame == Blame::None) {
        failure_blame = Blame::Package;
    }
    if (client_stopped) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): the new copy could not be switched in "
                    "(%s); the installation is as it was and its client is started again\n",
                    DescribeBlame(failure_blame));
    } else {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): the new copy could not be prepared (%s); "
                    "the installation and its client are left as they were\n",
                    DescribeBlame(failure_blame));
    }
    // A logout leaves no time for the removal of a large tree: the next run does it.
    if (StopSignals::Requested() == 0 && IsFileExist(staging, false) &&
        FSRemove(staging, false) != 0) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): '%s' is left for the next run to "
                    "remove\n",
                    staging.c_str_utf8());
    }
    return -1;
}

int Service::SwitchIn(const ustring& app_dir, const ustring& staging, const ustring& marker)
{
    if (!IsFileExist(app_dir, false)) {
        // Nothing to keep: one rename puts the complete tree in place.
        if (FSRenameDurably(staging, app_dir) != 0) {
            const int err = errno;
            failure_blame = Blame::Environment;
            SERVICE_LOG(L_ERR,
                        "[ERROR] brisendale-service.cpp(%d): failed to rename '%s' -> '%s': %s "
                        "(%d)\n",
                        staging.c_str_utf8(), app_dir.c_str_utf8(), strerror(err), err);
            // A rename that happened but could not be flushed leaves a complete A.
            return IsFileExist(staging, false) ? AbandonStaging(staging) : -1;
        }
        return CommitNewTree(app_dir, marker);
    }
    const int exchanged = ExchangeIn(app_dir, staging);
    if (exchanged == 0) {
        return CommitNewTree(app_dir, marker);
    }
    if (exchanged < 0) {
        // Both names hold a complete tree and the marker stays: neither may be removed
        // until a run has put the marker's promise on storage.
        failure_blame = Blame::Environment;
        return -1;
    }
    return RenameIn(app_dir, staging, marker);
}

int Service::ExchangeIn(const ustring& app_dir, const ustring& staging)
{
    // Either name may hold either tree at a crash: both are complete and durable, and the
    // marker written before the stop says that A, whatever it holds, is the installation.
    // A first: where A cannot move (overlayfs's lower layer) the call names it.
    if (FSExchange(app_dir, staging) != 0) {
        const int err = errno;
        SERVICE_LOG(L_INFO,
                    "[INFO] brisendale-service.cpp(%d): '%s' and '%s' cannot be exchanged (%s), "
                    "renaming them one after the other\n",
                    app_dir.c_str_utf8(), staging.c_str_utf8(), strerror(err));
        return 1;
    }
    if (FSSyncFolder(FSParentPath(app_dir)) != 0) {
        // Not known to be on storage, either way round: A is complete whichever tree it
        // holds. The marker keeps the other tree from removal; the next run settles it.
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): the switch of '%s' is not known to be "
                    "on storage; keeping '%s' and the marker for the next run\n",
                    app_dir.c_str_utf8(), staging.c_str_utf8());
        return -1;
    }
    return 0;
}

int Service::RenameIn(const ustring& app_dir, const ustring& staging, const ustring& marker)
{
    ustring backup_dir;
    if (MoveAsideOldInstallation(app_dir, marker, backup_dir) != 0) {
        failure_blame = Blame::Environment;
        return AbandonStaging(staging);
    }
    // From here on a new A may appear: the marker must name the backup first. The old
    // installation goes only once the new one is in place on storage.
    if (PointMarkerAtBackup(app_dir, backup_dir, marker) != 0 ||
        FSRenameDurably(staging, app_dir) != 0) {
        failure_blame = Blame::Environment;
        const int undone = UndoFailedInstall(app_dir, backup_dir, marker);
        if (IsFileExist(staging, false)) {
            (void)AbandonStaging(staging);
        }
        return undone;
    }
    return CommitNewTree(app_dir, marker);
}

int Service::MoveAsideOldInstallation(const ustring& app_dir, const ustring& marker,
                                      ustring& backup_dir)
{
    if (!IsFileExist(app_dir, false)) {
        return 0;
    }
    const ustring app_name = FSBaseName(app_dir);
    for (int rename_count = 0;;) {
        backup_dir = GetAppBackupDir(app_dir, rename_count);
        if (WriteMarker(marker, {app_name, FSBaseName(backup_dir)}) != 0) {
            // Either marker version says the old installation is in A, where it is;
            // one that stays only makes the next run check that.
            (void)RemoveMarker(marker);
            return -1;
        }
        // The next marker's write flushes this rename: a failed flush here must not
        // pass for a failed rename, or the backup would be taken for a left-over.
        // Never FSRename: its copy across file systems removes A while the marker
        // still names it.
        if (::rename(app_dir.c_str_utf8(), backup_dir.c_str_utf8()) == 0) {
            return 0;
        }
        if (errno == EXDEV && !IsFileExist(backup_dir, false)) {
            const int copied = CopyAside(app_dir, backup_dir, marker);
            if (copied == 0) {
                return 0;
            }
            if (copied > 0) {
                (void)RemoveMarker(marker);
                return -1;
            }
            // The marker names the copy: put it back as after a failed extraction.
            return RollBack(app_dir, backup_dir, marker);
        }
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): failed to backup app from '%s' -> "
                    "'%s'\n",
                    app_dir.c_str_utf8(), backup_dir.c_str_utf8());
        ++rename_count;
        if (rename_count >= MAX_RENAME_COUNT) {
            SERVICE_LOG(L_ERR,
                        "[ERROR] brisendale-service.cpp(%d): failed to backup app from "
                        "'%s' -> '%s' at max retries, exiting\n",
                        app_dir.c_str_utf8(), backup_dir.c_str_utf8());
            // The old installation is still in A, as the marker says.
            (void)RemoveMarker(marker);
            return -1;
        }
    }
}

int Service::PointMarkerAtBackup(const ustring& app_dir, const ustring& backup_dir,
                                 const ustring& marker)
{
    return WriteMarker(
        marker, {FSBaseName(backup_dir), backup_dir.empty() ? ustring() : FSBaseName(app_dir)});
}

int Service::FlushNewTree(const ustring& app_dir, const ustring& tree)
{
    // The extraction made each file and folder of the tree durable: this flushes its name.
    if (FSSyncFolder(FSParentPath(tree)) != 0) {
        return -1;
    }
    // Before the switch, so that a committed tree always has its description. Ignored
    // beyond its log line: a tree without one is trusted, as before manifests were kept.
    (void)WriteNextTreeManifest(FSParentPath(app_dir), app_dir, tree);
    return 0;
}

int Service::CommitNewTree(const ustring& app_dir, const ustring& marker)
{
    SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): user installation is ready, removing "
                        "backup app\n");
    // While the marker stays it names the backup, which must then stay too; the
    // next run puts it back and upgrades again.
    if (RemoveMarker(marker) != 0) {
        keep_backups = true;
        return 0;
    }
    // Ignored beyond its log line: until promoted, the next manifest is the one that
    // describes A.
    (void)PromoteTreeManifest(FSParentPath(app_dir), app_dir);
    // The backups are left-overs from here on: RemoveAgedFolders removes them after
    // the new client has started, so that the user does not wait for it. A run
    // killed before leaves them to the next one.
    return 0;
}

int Service::UndoFailedInstall(const ustring& app_dir, const ustring& backup_dir,
                               const ustring& marker)
{
    if (!backup_dir.empty()) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): Failed to extract package, rollback "
                    "to old installation\n");
        return RollBack(app_dir, backup_dir, marker);
    }
    SERVICE_LOG(L_ERR, "[ERROR] brisendale-service.cpp(%d): Failed to extract package, and no old "
                       "installation to rollback\n");
    // A partial folder that holds the client executable would pass for an installation.
    if (ClearAppDir(app_dir, ustring()) != 0) {
        return KeepMarker(marker, ustring());
    }
    // A marker that stays names no old installation: the next run only clears A.
    (void)RemoveMarker(marker);
    return -1;
}

int Service::RollBack(const ustring& app_dir, const ustring& backup_dir, const ustring& marker)
{
    // Each step only after the one before it: the marker stays until A is whole.
    if (ClearAppDir(app_dir, backup_dir) != 0 || FSRenameDurably(backup_dir, app_dir) != 0) {
        return KeepMarker(marker, backup_dir);
    }
    // The old tree may come from a launcher that did not fsync it.
    if (FSSyncTree(app_dir) != 0) {
        return KeepMarker(marker, app_dir);
    }
    // A marker that stays names A, where the old installation now is.
    (void)RemoveMarker(marker);
    return -1;
}

int Service::ExtractPackage(const ustring& dest)
{
    const ustring source = layout.Package();
    if (FSMKDir(dest, true) < 0) {
        failure_blame = Blame::Environment;
        SERVICE_LOG(L_ERR, "[ERROR] brisendale-service.cpp(%d): failed to create folder: '%s'\n",
                    dest.c_str_utf8());
        return -1;
    }
    SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): extract package: '%s' -> '%s'\n",
                source.c_str_utf8(), dest.c_str_utf8());
    Extractor extractor;
    extractor.SetSource(source);
    extractor.SetTarget(dest);
    // The version file beside the package tells what the package must be, when it does.
    extractor.SetExpectedSha256(shipped.sha256);
    extractor.SetExpectedEntries(shipped.installed_entries);
    const int result = extractor.Extract();
    failure_blame = extractor.FailureBlame();
    failure_errno = extractor.FailureErrno();
    return result;
}

void Service::RemoveAgedFolders()
{
    if (tree_busy) {
        return;
    }
    ustring aged = layout.UserRoot() + "/app";
    SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): removing aged app folder %s\n",
                aged.c_str_utf8());
    if (FSRemove(aged, false) != 0) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): aged folder '%s' is left for the next "
                    "run to remove\n",
                    aged.c_str_utf8());
    }
    RemoveLeftOverBackups();
}

void Service::RemoveLeftOverBackups()
{
    // With the marker present, or gone but perhaps not for good, a backup may hold the
    // only complete installation.
    if (keep_backups || IsFileExist(GetIncompleteMarkerPath(), false)) {
        return;
    }
    // The old copy after a switch, or a preparation that a run left unfinished.
    const ustring staging = GetStagingPath();
    if (IsFileExist(staging, false)) {
        SERVICE_LOG(L_INFO, "[INFO] brisendale-service.cpp(%d): removing left-over folder %s\n",
                    staging.c_str_utf8());
        if (FSRemove(staging, false) != 0) {
            SERVICE_LOG(L_WARNING,
                        "[WARNING] brisendale-service.cpp(%d): '%s' is left for the next run to "
                        "remove\n",
                        staging.c_str_utf8());
        }
    }
    for (int i = 0; i < MAX_RENAME_COUNT; ++i) {
        const ustring backup = GetAppBackupDir(per_user_install_path, i);
        if (!IsFileExist(backup, false)) {
            continue;
        }
        SERVICE_LOG(L_INFO,
                    "[INFO] brisendale-service.cpp(%d): removing left-over backup folder %s\n",
                    backup.c_str_utf8());
        if (FSRemove(backup, false) != 0) {
            SERVICE_LOG(L_WARNING,
                        "[WARNING] brisendale-service.cpp(%d): backup '%s' is left for the next "
                        "run to remove\n",
                        backup.c_str_utf8());
        }
    }
}

int Service::FSCopyPath(const ustring& src, const ustring& dest)
{
    SERVICE_LOG(L_DEBUG, "[DEBUG] brisendale-service.cpp(%d): copy from '%s' to '%s'\n",
                src.c_str_utf8(), dest.c_str_utf8());

    FILE_INFO info;
    if (FSStat(src, info, false) < 0) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): FSCopyPath: failed to stat source "
                    "'%s'\n",
                    src.c_str_utf8());
        return -1;
    }
    if (!info.isExist) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): FSCopyPath: source path '%s' does not "
                    "exist\n",
                    src.c_str_utf8());
        return -1;
    }
    if (info.type != FT_DIR) {
        return FSCopy(src, dest, false) < 0 ? -1 : 0;
    }
    if (FSMKDir(dest, true) < 0) {
        SERVICE_LOG(L_ERR,
                    "[ERROR] brisendale-service.cpp(%d): FSCopyPath: failed to create dest "
                    "folder '%s'\n",
                    dest.c_str_utf8());
        return -1;
    }

    return CopyFolderEntries(src, dest);
}

int Service::CopyFolderEntries(const ustring& src, const ustring& dest)
{
    DIR_HANDLE dh;
    if (FSOpenDir(src, 0, dh) < 0) {
        SERVICE_LOG(L_WARNING,
                    "[WARNING] brisendale-service.cpp(%d): FSCopyPath: failed to create handle  "
                    "for src '%s' failed\n",
                    src.c_str_utf8());
        return 0;
    }
    int ret = 0;
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
            SERVICE_LOG(L_ERR,
                        "[ERROR] brisendale-service.cpp(%d): FSCopyPath: failed to copy from "
                        "'%s' to '%s'\n",
                        child_src.c_str_utf8(), child_dest.c_str_utf8());
            ret = -1;
            break;
        }
    }
    FSCloseDir(dh);
    return ret;
}
