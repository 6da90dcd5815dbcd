#include "notice.h"

#include "file/unique_fd.h"
#include "log/log_macros.h"
#include "texts/strtab.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* const SERVICE = "org.freedesktop.Notifications";
const char* const PATH = "/org/freedesktop/Notifications";
const int ID_APP_NAME = 309;
// A record past this size starts over: it only has to outlast a package or two.
const size_t RECORD_LIMIT = 16 * 1024;

int remainingMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A text of the table by its key: ids move when tables are merged, keys do not.
QString text(const char* key)
{
    return StrTable::LoadStr(StrTable::LookupStrID(QString::fromLatin1(key)));
}

// The value of `key` in one D-Bus address ("unix:path=/run/user/0/bus,guid=..."),
// %-escapes resolved; empty when absent.
std::string addressValue(const std::string& entry, const std::string& key)
{
    const size_t colon = entry.find(':');
    if (colon == std::string::npos) {
        return std::string();
    }
    size_t at = colon + 1;
    while (at < entry.size()) {
        size_t end = entry.find(',', at);
        if (end == std::string::npos) {
            end = entry.size();
        }
        const std::string pair = entry.substr(at, end - at);
        if (pair.compare(0, key.size() + 1, key + "=") == 0) {
            const QByteArray value = QByteArray::fromPercentEncoding(
                QByteArray::fromStdString(pair.substr(key.size() + 1)));
            return value.toStdString();
        }
        at = end + 1;
    }
    return std::string();
}

// Waits for the socket to be ready for `events`, at most until the deadline.
bool ready(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n > 0) {
            return (p.revents & events) != 0;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

// Whether a bus answers on this unix-socket address within the deadline: the
// authentication a client starts with, then the socket is closed. The toolkit's own
// connection waits up to 25 s for a bus that accepts and never answers.
bool busAnswers(const std::string& entry, Clock::time_point deadline)
{
    if (entry.compare(0, 5, "unix:") != 0) {
        return false;
    }
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    socklen_t len = 0;
    const std::string path = addressValue(entry, "path");
    const std::string abstract = addressValue(entry, "abstract");
    const std::string& name = path.empty() ? abstract : path;
    if (name.empty() || name.size() + 1 >= sizeof(addr.sun_path)) {
        return false;
    }
    if (!path.empty()) {
        std::memcpy(addr.sun_path, name.data(), name.size());
    } else {
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
    }
    len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size() + 1);
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        return false;
    }
    if (::connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&addr), len) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            return false;
        }
        int err = 0;
        socklen_t err_len = sizeof(err);
        if (!ready(fd.get(), POLLOUT, deadline) ||
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 || err != 0) {
            return false;
        }
    }
    const QByteArray uid = QByteArray::number(static_cast<qulonglong>(::getuid())).toHex();
    const QByteArray hello = QByteArray(1, '\0') + "AUTH EXTERNAL " + uid + "\r\n";
    if (!ready(fd.get(), POLLOUT, deadline) ||
        ::send(fd.get(), hello.constData(), static_cast<size_t>(hello.size()), MSG_NOSIGNAL) !=
            hello.size()) {
        return false;
    }
    QByteArray answer;
    while (!answer.contains("\r\n")) {
        if (!ready(fd.get(), POLLIN, deadline)) {
            return false;
        }
        char buf[256];
        const ssize_t n = ::recv(fd.get(), buf, sizeof(buf), 0);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            return false;
        }
        answer.append(buf, static_cast<int>(n));
    }
    return answer.startsWith("OK ");
}

// The session bus's address, when there is a session bus; empty without one. A
// missing variable is not left to the bus library, which may start a bus of its own.
std::string busAddress()
{
    const QByteArray given = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!given.isEmpty()) {
        return given.toStdString();
    }
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        return std::string();
    }
    const std::string socket = runtime.toStdString() + "/bus";
    struct stat st;
    if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return std::string();
    }
    return "unix:path=" +
           QUrl::toPercentEncoding(QString::fromStdString(socket), "/").toStdString();
}

std::string recordLine(NoticeEvent event, NoticeReason reason, const std::string& identity)
{
    std::string clean = identity;
    for (char& c : clean) {
        if (c == '\n' || c == '\t' || c == '\0') {
            c = ' ';
        }
    }
    return std::to_string(static_cast<int>(event)) + "\t" +
           std::to_string(static_cast<int>(reason)) + "\t" + clean + "\n";
}

// What was shown already; empty when nothing was, or the record is not a plain file.
std::string readRecord(const ustring& path)
{
    const UniqueFd fd(
        ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::string();
    }
    std::string content;
    char buf[4096];
    while (content.size() <= RECORD_LIMIT) {
        const ssize_t n = ::read(fd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        content.append(buf, static_cast<size_t>(n));
    }
    return content;
}

bool appendRecord(const ustring& path, const std::string& line, bool start_over)
{
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                      (start_over ? O_TRUNC : O_APPEND);
    const UniqueFd fd(::open(path.c_str_utf8(), flags, 0600));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if ((st.st_mode & 07777) != 0600) {
        (void)::fchmod(fd.get(), 0600);
    }
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd.get(), line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

QString icon(const Layout& layout)
{
    const QString file = QString::fromUtf8(layout.Icon().c_str_utf8());
    return QFileInfo(file).isFile() ? QUrl::fromLocalFile(file).toString()
                                    : QStringLiteral("com.kestrova.BrisendaleDrive");
}

// Sends the notification on its own connection, each call within what is left of the bound.
bool send(const std::string& address, const QString& summary, const QString& body,
          const QString& icon_name, Clock::time_point deadline)
{
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("brisendale-notice-%1").arg(++serial);
    bool sent = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address), name);
        if (bus.isConnected()) {
            QDBusMessage owner = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
            owner << QString::fromLatin1(SERVICE);
            const int left = remainingMs(deadline);
            const QDBusMessage has =
                left > 0 ? bus.call(owner, QDBus::Block, left) : QDBusMessage();
            if (has.type() == QDBusMessage::ReplyMessage && !has.arguments().isEmpty() &&
                has.arguments().first().toBool() && remainingMs(deadline) > 0) {
                QDBusMessage notify = QDBusMessage::createMethodCall(
                    QString::fromLatin1(SERVICE), QString::fromLatin1(PATH),
                    QString::fromLatin1(SERVICE), QStringLiteral("Notify"));
                QVariantMap hints;
                hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(1)));
                hints.insert(QStringLiteral("desktop-entry"),
                             QStringLiteral("com.kestrova.BrisendaleDrive"));
                notify << StrTable::LoadStr(ID_APP_NAME) << uint(0) << icon_name << summary << body
                       << QStringList() << hints << int(-1);
                const QDBusMessage reply = bus.call(notify, QDBus::Block, remainingMs(deadline));
                sent = reply.type() == QDBusMessage::ReplyMessage;
                if (!sent) {
                    LAUNCHER_LOG(L_WARNING,
                                 "[WARNING] notice.cpp(%d): the notification was not shown: %s\n",
                                 reply.errorMessage().toUtf8().constData());
                }
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return sent;
}

} // namespace

namespace notice {

ustring StatePath(const ustring& user_root)
{
    return user_root + "/notices";
}

QString Summary(NoticeEvent event)
{
    const char* key = "notice_title_failed";
    switch (event) {
    case NoticeEvent::UpgradeFailed:
        break;
    case NoticeEvent::BackedOff:
        key = "notice_title_backed_off";
        break;
    case NoticeEvent::CopyMovedAside:
        key = "notice_title_moved_aside";
        break;
    }
    return text(key).arg(StrTable::LoadStr(ID_APP_NAME));
}

QString Body(NoticeEvent event, NoticeReason reason, const ustring& user_root)
{
    const char* key = "notice_reason_other";
    switch (reason) {
    case NoticeReason::NoRoom:
        key = "notice_reason_no_room";
        break;
    case NoticeReason::Quota:
        key = "notice_reason_quota";
        break;
    case NoticeReason::DamagedPackage:
        key = "notice_reason_damaged";
        break;
    case NoticeReason::ForeignFiles:
        key = "notice_reason_foreign";
        break;
    case NoticeReason::Other:
        break;
    }
    QString body = text(key);
    if (event != NoticeEvent::CopyMovedAside) {
        body += QLatin1Char('\n') + text("notice_keeps_working");
    }
    body +=
        QLatin1Char('\n') +
        text("notice_log").arg(QString::fromUtf8((user_root + "/log/launcher.log").c_str_utf8()));
    return body;
}

} // namespace notice

bool NotifyUser(const Layout& layout, NoticeEvent event, NoticeReason reason,
                const std::string& package_identity)
{
    const ustring user_root = layout.UserRoot();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(notice::BOUND_MS);
    const ustring record = notice::StatePath(user_root);
    const std::string line = recordLine(event, reason, package_identity);
    const std::string shown = readRecord(record);
    if (("\n" + shown).find("\n" + line) != std::string::npos) {
        return false;
    }
    const std::string addresses = busAddress();
    std::string usable;
    size_t at = 0;
    while (usable.empty() && at <= addresses.size() && !addresses.empty()) {
        size_t end = addresses.find(';', at);
        if (end == std::string::npos) {
            end = addresses.size();
        }
        const std::string entry = addresses.substr(at, end - at);
        if (busAnswers(entry, deadline)) {
            usable = entry;
        }
        at = end + 1;
    }
    if (usable.empty()) {
        LAUNCHER_LOG(L_INFO, "[INFO] notice.cpp(%d): no session bus answers, nothing shown\n");
        return false;
    }
    if (!send(usable, notice::Summary(event), notice::Body(event, reason, user_root), icon(layout),
              deadline)) {
        return false;
    }
    if (!appendRecord(record, line, shown.size() > RECORD_LIMIT)) {
        LAUNCHER_LOG(L_WARNING,
                     "[WARNING] notice.cpp(%d): cannot record the notification in '%s'\n",
                     record.c_str_utf8());
    }
    return true;
}
