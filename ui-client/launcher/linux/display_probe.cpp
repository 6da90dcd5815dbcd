#include "linux/display_probe.h"

#include "file/unique_fd.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <utility>

namespace DisplayProbe {
namespace {

const int X_TCP_PORT = 6000;

// The last X connection that answered, held until the toolkit has its own.
UniqueFd g_held;
// The worker asks the display as well as the main thread.
std::mutex g_held_mutex;

int64_t nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int remainingMs(int64_t deadline)
{
    const int64_t left = deadline - nowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A blocking connect bounded by the send timeout, which Linux applies to connect on
// both local and TCP sockets.
UniqueFd connectBefore(int family, const sockaddr* addr, socklen_t len, int64_t deadline)
{
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return UniqueFd();
    }
    for (;;) {
        const int left = remainingMs(deadline);
        if (left == 0) {
            errno = ETIMEDOUT;
            return UniqueFd();
        }
        timeval tv = {left / 1000, (left % 1000) * 1000};
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
            return UniqueFd();
        }
        if (::connect(fd.get(), addr, len) == 0) {
            return fd;
        }
        if (errno != EINTR) {
            // The caller tells a missing socket from a silent one by errno.
            const int err = errno;
            fd.reset();
            errno = err;
            return UniqueFd();
        }
    }
}

UniqueFd connectLocal(const std::string& path, bool abstract, int64_t deadline)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return UniqueFd();
    }
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const socklen_t len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + 1);
    return connectBefore(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr),
                         abstract ? len - 1 : len, deadline);
}

UniqueFd connectTcp(const std::string& host, int port, int64_t deadline)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &found) !=
        0) {
        return UniqueFd();
    }
    UniqueFd fd;
    for (addrinfo* ai = found; ai != nullptr && !fd.valid(); ai = ai->ai_next) {
        fd = connectBefore(ai->ai_family, ai->ai_addr, ai->ai_addrlen, deadline);
    }
    ::freeaddrinfo(found);
    return fd;
}

// What a reply read so far amounts to.
enum class Reply
{
    Partial,  // more bytes are due
    Complete, // a whole, well-formed answer
    Invalid,  // not what the protocol answers
};

// Sends the request and reads until `judge` finds a whole answer, all before the deadline:
// a peer that sends a byte and then nothing is as silent as one that sends nothing.
// `closed` tells a connection that the server ended without a word from one that stayed
// silent.
bool answersBefore(const UniqueFd& fd, const void* request, size_t size, int64_t deadline,
                   Reply (*judge)(const std::string& got), bool* closed = nullptr)
{
    if (::send(fd.get(), request, size, MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(size)) {
        return false;
    }
    std::string got;
    for (;;) {
        pollfd p = {fd.get(), POLLIN, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t r = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (r <= 0) {
            if (closed != nullptr) {
                *closed = got.empty() && (r == 0 || errno == ECONNRESET);
            }
            return false;
        }
        got.append(buffer, static_cast<size_t>(r));
        const Reply reply = judge(got);
        if (reply != Reply::Partial) {
            return reply == Reply::Complete;
        }
        // A setup reply is a few kilobytes; anything far longer is not one.
        if (got.size() > 1024 * 1024) {
            return false;
        }
    }
}

uint32_t littleEndian(const std::string& b, size_t at, size_t bytes)
{
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        v |= static_cast<uint32_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
    }
    return v;
}

// The X setup reply to a little-endian request: status 0 (failed), 1 (success) or
// 2 (authenticate), then its length in 4-byte units after the 8-byte header.
Reply judgeX11Setup(const std::string& got)
{
    if (static_cast<unsigned char>(got[0]) > 2) {
        return Reply::Invalid;
    }
    if (got.size() < 8) {
        return Reply::Partial;
    }
    const size_t whole = 8 + 4 * static_cast<size_t>(littleEndian(got, 6, 2));
    return got.size() >= whole ? Reply::Complete : Reply::Partial;
}

// Wayland events in the host's byte order: object id, then size << 16 | opcode. Complete
// once the done event of the callback (object 2) has arrived whole.
Reply judgeWaylandSync(const std::string& got)
{
    size_t at = 0;
    while (got.size() - at >= 8) {
        uint32_t object;
        uint32_t header;
        std::memcpy(&object, got.data() + at, 4);
        std::memcpy(&header, got.data() + at + 4, 4);
        const size_t length = header >> 16;
        if (length < 8 || length % 4 != 0) {
            return Reply::Invalid;
        }
        if (got.size() - at < length) {
            return Reply::Partial;
        }
        if (object == 2) {
            return Reply::Complete;
        }
        at += length;
    }
    return Reply::Partial;
}

struct X11Name
{
    std::string protocol; // "", "unix", "tcp", "inet" or "inet6"
    std::string host;     // "" for this machine; a path for a socket file
    int number = -1;
};

// "[protocol/][host]:number[.screen]", the forms that the toolkit's X library reads.
bool parseX11(const std::string& display, X11Name* name)
{
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos || colon + 1 >= display.size()) {
        return false;
    }
    std::string host = display.substr(0, colon);
    if (!host.empty() && host.back() == ':') {
        return false; // DECnet
    }
    if (host.empty() || host[0] != '/') {
        const size_t slash = host.find('/');
        if (slash != std::string::npos) {
            name->protocol = host.substr(0, slash);
            host = host.substr(slash + 1);
        }
    }
    if (host == "unix") {
        name->protocol = "unix";
        host.clear();
    }
    name->host = host;
    const std::string rest = display.substr(colon + 1);
    const size_t dot = rest.find('.');
    const std::string number = rest.substr(0, dot);
    if (number.empty() || number.size() > 5 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    name->number = std::stoi(number);
    return name->number <= 65535 - X_TCP_PORT;
}

UniqueFd connectX11(const X11Name& name, int64_t deadline)
{
    const bool tcpOnly =
        name.protocol == "tcp" || name.protocol == "inet" || name.protocol == "inet6";
    if (tcpOnly || (name.protocol.empty() && !name.host.empty() && name.host[0] != '/')) {
        return connectTcp(name.host, X_TCP_PORT + name.number, deadline);
    }
    if (!name.host.empty()) {
        return connectLocal(name.host, false, deadline);
    }
    // The X library's order: the abstract name, then the socket file, then TCP on this
    // machine when no protocol was named.
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(name.number);
    UniqueFd fd = connectLocal(path, true, deadline);
    if (fd.valid() || (errno != ENOENT && errno != ECONNREFUSED)) {
        return fd;
    }
    fd = connectLocal(path, false, deadline);
    if (!fd.valid() && name.protocol.empty()) {
        fd = connectTcp(std::string(), X_TCP_PORT + name.number, deadline);
    }
    return fd;
}

} // namespace

namespace {

// X11Answers, keeping the connection that answered in `kept` when given.
bool x11Probe(const std::string& display, int timeout_ms, UniqueFd* kept)
{
    const int64_t deadline = nowMs() + timeout_ms;
    X11Name name;
    if (!parseX11(display, &name)) {
        return false;
    }
    // Little-endian, protocol 11.0, no authorisation: the server answers with success,
    // failure or a request to authenticate, each of which proves it alive.
    const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (;;) {
        UniqueFd fd = connectX11(name, deadline);
        if (!fd.valid()) {
            return false;
        }
        bool closed = false;
        if (answersBefore(fd, setup, sizeof setup, deadline, judgeX11Setup, &closed)) {
            if (kept != nullptr) {
                *kept = std::move(fd);
            }
            return true;
        }
        // A server that is resetting (its last client just left) drops new connections.
        if (!closed || remainingMs(deadline) < 20) {
            return false;
        }
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// The path of the Wayland socket named by `display`; "" when there is none to name.
std::string waylandPath(const std::string& display, const std::string& runtime_dir)
{
    const std::string name = display.empty() ? std::string("wayland-0") : display;
    if (name[0] == '/') {
        return name;
    }
    return runtime_dir.empty() ? std::string() : runtime_dir + "/" + name;
}

} // namespace

bool X11Answers(const std::string& display, int timeout_ms)
{
    UniqueFd fd;
    if (!x11Probe(display, timeout_ms, &fd)) {
        return false;
    }
    // Closed now, this connection could be the server's last client: it would reset, and
    // the toolkit's connection would meet that reset.
    const std::lock_guard<std::mutex> lock(g_held_mutex);
    g_held = std::move(fd);
    return true;
}

void ReleaseHeld()
{
    const std::lock_guard<std::mutex> lock(g_held_mutex);
    g_held.reset();
}

bool WaylandAnswers(const std::string& display, const std::string& runtime_dir, int timeout_ms)
{
    const int64_t deadline = nowMs() + timeout_ms;
    const std::string path = waylandPath(display, runtime_dir);
    if (path.empty()) {
        return false;
    }
    const UniqueFd fd = connectLocal(path, false, deadline);
    if (!fd.valid()) {
        return false;
    }
    // wl_display.sync (object 1, opcode 0, 12 bytes) with the new callback id 2, in the
    // host's byte order; the compositor answers with the callback's done event.
    const uint32_t sync[3] = {1, (12u << 16) | 0u, 2};
    return answersBefore(fd, sync, sizeof sync, deadline, judgeWaylandSync);
}

std::string ReachablePlatforms(const std::string& platforms, const Session& session,
                               std::string* dropped, bool (*x11)(const std::string&, int),
                               bool (*wayland)(const std::string&, const std::string&, int))
{
    dropped->clear();
    std::string kept;
    std::map<std::string, bool> answered; // one check per kind of display
    bool decided = false;
    size_t start = 0;
    while (start <= platforms.size()) {
        size_t end = platforms.find(';', start);
        if (end == std::string::npos) {
            end = platforms.size();
        }
        const std::string entry = platforms.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) {
            continue;
        }
        if (!decided) {
            const std::string base = entry.substr(0, entry.find(':'));
            std::string what;
            bool ok = true;
            if (base == "xcb") {
                what = "xcb on display '" + session.x11_display + "'";
                if (!answered.count("xcb")) {
                    answered["xcb"] =
                        session.x11_display_set && x11(session.x11_display, TIMEOUT_MS);
                }
                ok = answered["xcb"];
            } else if (base.compare(0, 7, "wayland") == 0 && !session.wayland_socket) {
                what = base + " on '" + session.wayland_display + "'";
                if (!answered.count("wayland")) {
                    answered["wayland"] =
                        wayland(session.wayland_display, session.runtime_dir, TIMEOUT_MS);
                }
                ok = answered["wayland"];
            }
            if (!ok) {
                *dropped += (dropped->empty() ? "" : ", ") + what;
                continue;
            }
            decided = true;
        }
        kept += (kept.empty() ? "" : ";") + entry;
    }
    return kept.empty() ? std::string("offscreen") : kept;
}

namespace {

std::string g_watched_platform;
Session g_watched_session;

// X11Answers without keeping the connection: the toolkit's own one keeps the server from
// resetting now.
bool x11AnswersReleased(const std::string& display, int timeout_ms)
{
    return x11Probe(display, timeout_ms, nullptr);
}

} // namespace

void WatchDisplay(const std::string& platform, const Session& session)
{
    g_watched_platform = platform;
    g_watched_session = session;
}

bool WatchedDisplayAnswers(int timeout_ms, bool (*x11)(const std::string&, int),
                           bool (*wayland)(const std::string&, const std::string&, int))
{
    if (g_watched_platform == "xcb") {
        return (x11 ? x11 : x11AnswersReleased)(g_watched_session.x11_display, timeout_ms);
    }
    // A handed-over socket cannot be connected to again.
    if (g_watched_platform.compare(0, 7, "wayland") == 0 && !g_watched_session.wayland_socket) {
        return wayland(g_watched_session.wayland_display, g_watched_session.runtime_dir,
                       timeout_ms);
    }
    return true;
}

bool WatchedDisplayGone(int timeout_ms)
{
    const int64_t deadline = nowMs() + timeout_ms;
    if (g_watched_platform == "xcb") {
        X11Name name;
        return parseX11(g_watched_session.x11_display, &name) &&
               !connectX11(name, deadline).valid();
    }
    if (g_watched_platform.compare(0, 7, "wayland") == 0 && !g_watched_session.wayland_socket) {
        const std::string path =
            waylandPath(g_watched_session.wayland_display, g_watched_session.runtime_dir);
        return !path.empty() && !connectLocal(path, false, deadline).valid();
    }
    return false;
}

} // namespace DisplayProbe
