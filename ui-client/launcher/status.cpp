#include "status.h"

#include "file/unique_fd.h"
#include "linux/package_info.h"
#include "linux/upgrade_guard.h"
#include "linux/version_parse.h"
#include "qtcompat.h"
#include "state_file.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace status {
namespace {

bool exists(const ustring& path)
{
    struct stat st;
    return ::lstat(path.c_str_utf8(), &st) == 0;
}

// The build in a version file; empty when there is none.
std::string readBuild(const ustring& info)
{
    return ReadPackageInfo(info).version.build_version.c_str_utf8();
}

ustring parentOf(const ustring& path)
{
    const std::string text = path.c_str_utf8();
    const size_t slash = text.rfind('/');
    return ustring(slash == std::string::npos ? std::string(".") : text.substr(0, slash));
}

ustring baseOf(const ustring& path)
{
    const std::string text = path.c_str_utf8();
    const size_t slash = text.rfind('/');
    return ustring(slash == std::string::npos ? text : text.substr(slash + 1));
}

// The complete old copy that the marker names, where it is now; empty when it names none
// or a name that is not one of A's own.
ustring markedOldCopy(const ustring& app_dir)
{
    StateValues values;
    if (ReadStateFile(app_dir + ".incomplete", values) != StateRead::Ok) {
        return ustring();
    }
    const std::string own = baseOf(app_dir).c_str_utf8();
    for (const char* key : {"old", "next"}) {
        const std::string name = values[key];
        if (name.empty() || name.find('/') != std::string::npos ||
            name.compare(0, own.size(), own) != 0) {
            continue;
        }
        const ustring dir = parentOf(app_dir) + "/" + ustring(name);
        if (exists(dir)) {
            return dir;
        }
    }
    return ustring();
}

// The one place that names the package's attempt record.
UpgradeGuard makeGuard(const ustring& package, const ustring& shipped_info, const ustring& app_dir)
{
    return UpgradeGuard(package, shipped_info, readBuild(shipped_info), app_dir);
}

// Whether another launcher holds the home lock: one look, shared, let go at once.
bool homeLockHeld(const ustring& user_root)
{
    const UniqueFd lock(::open((user_root + "/launcher.lock").c_str_utf8(),
                               O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!lock.valid()) {
        return false;
    }
    if (::flock(lock.get(), LOCK_SH | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK;
    }
    (void)::flock(lock.get(), LOCK_UN);
    return false;
}

TreeCheck boundedCheck(const ustring& user_root, const ustring& app_dir, int check_ms, bool* cut)
{
    const size_t shown = 20;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    std::future<TreeCheck> running;
    try {
        running = std::async(std::launch::async, [user_root, app_dir, cancel, shown] {
            return CheckInstalledTree(user_root, app_dir, shown, cancel.get());
        });
    } catch (const std::system_error&) {
        // No thread to bound it with: the check is left out rather than unbounded.
        *cut = true;
        return TreeCheck();
    }
    if (running.wait_for(std::chrono::milliseconds(check_ms)) != std::future_status::ready) {
        cancel->store(true);
        *cut = true;
    }
    TreeCheck check = running.get();
    if (*cut) {
        check = TreeCheck();
    }
    return check;
}

QString when(int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

QString describeReason(const std::string& reason)
{
    if (reason == "unfinished") {
        return QStringLiteral("the last upgrade did not finish");
    }
    if (reason == "missing_client") {
        return QStringLiteral("the client is missing");
    }
    if (reason == "newer_build") {
        return QStringLiteral("the shipped build is newer");
    }
    if (reason == "damaged_copy") {
        return QStringLiteral("the copy is damaged");
    }
    return QStringLiteral("none");
}

const char* checkName(const Report& report)
{
    if (report.check_cut) {
        return "unfinished";
    }
    switch (report.check.state) {
    case TreeState::Intact:
        return "intact";
    case TreeState::Damaged:
        return "damaged";
    case TreeState::NothingToCheck:
        break;
    }
    return "nothing_to_check";
}

} // namespace

QString DescribeCopy(const ustring& app_dir)
{
    if (exists(app_dir + ".incomplete")) {
        // Between the move aside and the commit, A may already hold the new copy's INFO.
        const ustring old = markedOldCopy(app_dir);
        const std::string build = old.empty() ? std::string() : readBuild(old + "/INFO");
        const QString next = QStringLiteral("being replaced; the next start finishes it");
        return build.empty()
                   ? next
                   : QStringLiteral("build %1, %2").arg(QString::fromStdString(build), next);
    }
    const ustring info = app_dir + "/INFO";
    struct stat st;
    if (::stat(info.c_str_utf8(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT && exists(app_dir + ".staging")) {
            return QStringLiteral("being installed");
        }
        return err == ENOENT ? QStringLiteral("not installed")
                             : QStringLiteral("cannot be looked at: %1")
                                   .arg(QString::fromLocal8Bit(std::strerror(err)));
    }
    const std::string build = readBuild(info);
    QString text = build.empty() ? QStringLiteral("build unknown")
                                 : QStringLiteral("build ") + QString::fromStdString(build);
    if (exists(app_dir + ".staging")) {
        text += QStringLiteral(", being replaced by an upgrade under way");
    }
    return text;
}

Report Gather(const ustring& root, const ustring& user_root, int check_ms)
{
    Report report;
    report.user_root = user_root;
    report.app_dir = user_root + "/Brisendale.app";
    report.package = root + "/package/brisendale.nbx";
    report.shipped_info = root + "/INFO";
    const ustring& app = report.app_dir;
    report.busy = homeLockHeld(user_root);
    report.marker = exists(app + ".incomplete");
    report.staging = exists(app + ".staging");
    report.installed = exists(app) || report.marker;
    report.installed_build = readBuild(app + "/INFO");
    report.shipped_build = readBuild(report.shipped_info);

    const bool client = ::access((app + "/bin/brisendale-drive-ui").c_str_utf8(), F_OK) == 0;
    if (report.installed && !report.marker) {
        report.check = boundedCheck(user_root, app, check_ms, &report.check_cut);
    }
    // The order of the launcher's own decision.
    if (report.marker) {
        report.reason = "unfinished";
    } else if (!client) {
        report.reason = "missing_client";
    } else if (parseBuildNumber(ustring(report.shipped_build)) >
               parseBuildNumber(ustring(report.installed_build))) {
        report.reason = "newer_build";
    } else if (report.check.state == TreeState::Damaged) {
        report.reason = "damaged_copy";
    }

    // The record is read raw first: the guard writes back a time from a clock that was
    // ahead, and this answer writes nothing.
    StateValues raw;
    if (ReadStateFile(app + ".attempts", raw) == StateRead::Ok) {
        const int64_t last = std::atoll(raw["last"].c_str());
        if (last <= static_cast<int64_t>(::time(nullptr))) {
            const UpgradeGuard guard = makeGuard(report.package, report.shipped_info, app);
            report.attempts = guard.Attempts();
            report.retry_at = guard.RetryAt();
            report.last_attempt = report.attempts > 0 ? last : 0;
        }
    }
    return report;
}

QString Text(const Report& report, int64_t now)
{
    auto build = [](const std::string& b) {
        return b.empty() ? QStringLiteral("unknown") : QString::fromStdString(b);
    };
    QString text;
    text +=
        QStringLiteral("per-user copy: %1\n").arg(QString::fromUtf8(report.app_dir.c_str_utf8()));
    text += QStringLiteral("installed build: %1\n")
                .arg(report.installed ? build(report.installed_build)
                                      : QStringLiteral("not installed"));
    text +=
        QStringLiteral("shipped build: %1 (%2)\n")
            .arg(build(report.shipped_build), QString::fromUtf8(report.shipped_info.c_str_utf8()));
    QString due = report.reason.empty() ? QStringLiteral("no")
                                        : QStringLiteral("yes, ") + describeReason(report.reason);
    if (!report.reason.empty() && report.retry_at > now) {
        due += QStringLiteral("; held back until %1").arg(when(report.retry_at));
    }
    text += QStringLiteral("upgrade due: %1\n").arg(due);
    if (report.attempts > 0) {
        text += QStringLiteral("failed attempts: %1, the last at %2\n")
                    .arg(report.attempts)
                    .arg(report.last_attempt > 0 ? when(report.last_attempt)
                                                 : QStringLiteral("an unknown time"));
        text +=
            QStringLiteral("back-off: %1\n")
                .arg(report.retry_at > now ? QStringLiteral("until %1").arg(when(report.retry_at))
                                           : QStringLiteral("none"));
    } else {
        text += QStringLiteral("failed attempts: none\n");
    }
    QString check =
        QString::fromLatin1(checkName(report)).replace(QLatin1Char('_'), QLatin1Char(' '));
    if (report.check_cut) {
        check = QStringLiteral("not finished in time");
    } else if (report.check.state != TreeState::Intact && !report.check.differences.empty()) {
        check += QStringLiteral(": ") + QString::fromStdString(report.check.differences.front());
    }
    text += QStringLiteral("manifest check: %1\n").arg(check);
    for (size_t i = 1;
         report.check.state == TreeState::Damaged && i < report.check.differences.size(); ++i) {
        text += QStringLiteral("  %1\n").arg(QString::fromStdString(report.check.differences[i]));
    }
    if (report.marker) {
        text += QStringLiteral("unfinished upgrade: yes, the next start puts the copy right\n");
    }
    if (report.staging) {
        text += QStringLiteral("new copy being prepared: yes\n");
    }
    text += QStringLiteral("launcher at work: %1\n")
                .arg(report.busy ? QStringLiteral("yes") : QStringLiteral("no"));
    return text;
}

QByteArray Json(const Report& report)
{
    auto text = [](const std::string& s) { return QString::fromStdString(s); };
    QJsonObject root;
    root[QStringLiteral("app_dir")] = QString::fromUtf8(report.app_dir.c_str_utf8());
    root[QStringLiteral("installed")] = report.installed;
    root[QStringLiteral("installed_build")] = text(report.installed_build);
    root[QStringLiteral("shipped_build")] = text(report.shipped_build);
    root[QStringLiteral("shipped_info")] = QString::fromUtf8(report.shipped_info.c_str_utf8());
    root[QStringLiteral("upgrade_due")] = !report.reason.empty();
    root[QStringLiteral("reason")] = text(report.reason);
    root[QStringLiteral("unfinished")] = report.marker;
    root[QStringLiteral("staging")] = report.staging;
    root[QStringLiteral("attempts")] = report.attempts;
    root[QStringLiteral("last_attempt")] = static_cast<double>(report.last_attempt);
    root[QStringLiteral("retry_at")] = static_cast<double>(report.retry_at);
    QJsonObject check;
    check[QStringLiteral("state")] = QString::fromLatin1(checkName(report));
    QJsonArray differences;
    for (const std::string& d : report.check.differences) {
        differences.append(text(d));
    }
    check[QStringLiteral("differences")] = differences;
    root[QStringLiteral("check")] = check;
    root[QStringLiteral("busy")] = report.busy;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace status
