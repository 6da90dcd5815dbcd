#include "file/unique_fd.h"
#include "linux/display_probe.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

const int kTimeoutMs = 300;

UniqueFd listenOn(int family, const sockaddr* addr, socklen_t len)
{
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::bind(fd.get(), addr, len) != 0 || ::listen(fd.get(), 4) != 0)
        return UniqueFd();
    return fd;
}

UniqueFd listenLocal(const std::string& path, bool abstract)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                 path.size() + (abstract ? 0 : 1));
    return listenOn(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr), len);
}

// The abstract X socket of a display number that nobody uses; its number in `number`.
UniqueFd listenAbstractX(int* number)
{
    for (int n = 7700; n < 7999; ++n) {
        UniqueFd fd = listenLocal("/tmp/.X11-unix/X" + std::to_string(n), true);
        if (fd.valid()) {
            *number = n;
            return fd;
        }
    }
    return UniqueFd();
}

UniqueFd listenLoopback(int* port)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    UniqueFd fd = listenOn(AF_INET, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    if (!fd.valid() || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return UniqueFd();
    *port = ntohs(addr.sin_port);
    return fd;
}

// A server's side: takes one connection, reads the request, sends `reply` and stays
// connected until the client is gone.
void answerOnce(int listener, std::string reply)
{
    UniqueFd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    char request[12];
    if (client.valid() && ::recv(client.get(), request, sizeof request, MSG_WAITALL) == 12) {
        (void)!::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        (void)!::recv(client.get(), request, 1, 0);
    }
}

// An X server's refusal (status 0) with 4 bytes of reason; a Wayland compositor's done
// event for the callback (object 2).
std::string wholeReply(bool wayland)
{
    if (!wayland)
        return std::string("\0\x04\x0b\0\0\0\x01\0nope", 12);
    const uint32_t done[3] = {2, 12u << 16, 1};
    return std::string(reinterpret_cast<const char*>(done), sizeof done);
}

struct SocketRow
{
    const char* name;
    const char* kind; // "x_abstract", "x_tcp", "x_none", "wayland", "wayland_none"
    bool answers;
    // Bytes of the whole reply that the server sends before it falls silent.
    size_t cut = std::string::npos;
};

void PrintTo(const SocketRow& row, std::ostream* os)
{
    *os << row.name;
}

class DisplayProbeSocketTest : public testsupport::ScratchTest,
                               public ::testing::WithParamInterface<SocketRow>
{};

// A listener that accepts but never answers is what a frozen server, or another user's
// socket of the same name, looks like: the check must give up within its bound.
TEST_P(DisplayProbeSocketTest, AnswersOnlyWhenTheServerRepliesInTime)
{
    const SocketRow& row = GetParam();
    const std::string kind = row.kind;
    UniqueFd listener;
    std::string display;
    const std::string runtime = path().toStdString();
    if (kind == "x_abstract" || kind == "x_none") {
        int number = 0;
        listener = listenAbstractX(&number);
        ASSERT_TRUE(listener.valid());
        display = ":" + std::to_string(number);
        if (kind == "x_none")
            listener.reset();
    } else if (kind == "x_tcp") {
        int port = 0;
        listener = listenLoopback(&port);
        if (!listener.valid() || port <= 6000)
            GTEST_SKIP() << "no loopback port above the X range";
        display = "127.0.0.1:" + std::to_string(port - 6000) + ".0";
    } else {
        display = "wayland-test";
        if (kind == "wayland") {
            listener = listenLocal(runtime + "/" + display, false);
            ASSERT_TRUE(listener.valid());
        }
    }
    std::thread server;
    if (row.answers || row.cut != std::string::npos)
        server = std::thread(answerOnce, listener.get(),
                             wholeReply(kind == "wayland").substr(0, row.cut));

    const auto start = std::chrono::steady_clock::now();
    const bool answered = kind.compare(0, 7, "wayland") == 0
                              ? DisplayProbe::WaylandAnswers(display, runtime, kTimeoutMs)
                              : DisplayProbe::X11Answers(display, kTimeoutMs);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    DisplayProbe::ReleaseHeld();
    if (server.joinable())
        server.join();
    EXPECT_EQ(answered, row.answers) << display;
    EXPECT_LT(took, kTimeoutMs + 700) << display;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DisplayProbeSocketTest,
    ::testing::Values(SocketRow{"x_abstract_answers", "x_abstract", true},
                      SocketRow{"x_abstract_silent", "x_abstract", false},
                      SocketRow{"x_abstract_one_byte_then_silent", "x_abstract", false, 1},
                      SocketRow{"x_abstract_header_then_silent", "x_abstract", false, 8},
                      SocketRow{"x_tcp_answers", "x_tcp", true},
                      SocketRow{"x_tcp_silent", "x_tcp", false},
                      SocketRow{"x_nobody_listens", "x_none", false},
                      SocketRow{"wayland_answers", "wayland", true},
                      SocketRow{"wayland_silent", "wayland", false},
                      SocketRow{"wayland_half_event_then_silent", "wayland", false, 10},
                      SocketRow{"wayland_nobody_listens", "wayland_none", false}),
    [](const ::testing::TestParamInfo<SocketRow>& info) { return std::string(info.param.name); });

TEST(DisplayProbeTest, MalformedX11NamesAreNoDisplay)
{
    for (const char* name : {"", ":", "nohost", ":x", "host::0", ":99999999"})
        EXPECT_FALSE(DisplayProbe::X11Answers(name, kTimeoutMs)) << name;
}

// Which platforms stay on the toolkit's list, with the checks replaced.
bool g_x11 = false;
bool g_wayland = false;
int g_x11Calls = 0;
int g_waylandCalls = 0;

bool fakeX11(const std::string&, int)
{
    ++g_x11Calls;
    return g_x11;
}

bool fakeWayland(const std::string&, const std::string&, int)
{
    ++g_waylandCalls;
    return g_wayland;
}

struct ListRow
{
    const char* name;
    const char* platforms;
    bool x11Set;
    bool x11;
    bool wayland;
    bool waylandSocket;
    const char* kept;
    const char* dropped; // a part of the dropped text, "" when nothing is dropped
    int x11Calls;
    int waylandCalls;
};

void PrintTo(const ListRow& row, std::ostream* os)
{
    *os << row.name;
}

class ReachablePlatformsTest : public ::testing::TestWithParam<ListRow>
{};

TEST_P(ReachablePlatformsTest, DropsTheSilentDisplaysInFrontOfTheFirstThatAnswers)
{
    const ListRow& row = GetParam();
    g_x11 = row.x11;
    g_wayland = row.wayland;
    g_x11Calls = g_waylandCalls = 0;
    DisplayProbe::Session session;
    session.x11_display = ":77";
    session.x11_display_set = row.x11Set;
    session.wayland_display = "wayland-1";
    session.wayland_socket = row.waylandSocket;
    std::string dropped;
    EXPECT_EQ(
        DisplayProbe::ReachablePlatforms(row.platforms, session, &dropped, fakeX11, fakeWayland),
        row.kept);
    if (*row.dropped)
        EXPECT_NE(dropped.find(row.dropped), std::string::npos) << dropped;
    else
        EXPECT_EQ(dropped, "");
    EXPECT_EQ(g_x11Calls, row.x11Calls);
    EXPECT_EQ(g_waylandCalls, row.waylandCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReachablePlatformsTest,
    ::testing::Values(ListRow{"x11_answers", "xcb;offscreen", true, true, false, false,
                              "xcb;offscreen", "", 1, 0},
                      ListRow{"x11_silent", "xcb;offscreen", true, false, false, false, "offscreen",
                              "xcb on display ':77'", 1, 0},
                      ListRow{"no_display_set", "xcb;offscreen", false, true, false, false,
                              "offscreen", "xcb", 0, 0},
                      ListRow{"wayland_answers", "wayland;xcb;offscreen", true, true, true, false,
                              "wayland;xcb;offscreen", "", 0, 1},
                      ListRow{"wayland_silent_x11_answers", "wayland;xcb;offscreen", true, true,
                              false, false, "xcb;offscreen", "wayland on 'wayland-1'", 1, 1},
                      ListRow{"both_silent", "wayland-egl;xcb;offscreen", true, false, false, false,
                              "offscreen", "wayland-egl", 1, 1},
                      ListRow{"handed_over_wayland_socket", "wayland;offscreen", true, false, false,
                              true, "wayland;offscreen", "", 0, 0},
                      ListRow{"other_platform_first", "eglfs;xcb;offscreen", true, false, false,
                              false, "eglfs;xcb;offscreen", "", 0, 0},
                      ListRow{"option_after_the_name", "xcb:foo=1", true, false, false, false,
                              "offscreen", "xcb", 1, 0},
                      ListRow{"offscreen_only", "offscreen", true, false, false, false, "offscreen",
                              "", 0, 0}),
    [](const ::testing::TestParamInfo<ListRow>& info) { return std::string(info.param.name); });

// Before a window is made, the display the toolkit chose is asked again: X11 or Wayland
// by the session's names, nothing for a platform without a display or a handed-over
// Wayland socket (which cannot be connected to again).
std::string g_asked;
bool g_answer = false;

bool watchedX11(const std::string& display, int)
{
    g_asked += "x11:" + display + ";";
    return g_answer;
}

bool watchedWayland(const std::string& display, const std::string& runtime, int)
{
    g_asked += "wayland:" + runtime + "/" + display + ";";
    return g_answer;
}

TEST(WatchedDisplayTest, AsksTheDisplayInUseOnly)
{
    struct Row
    {
        const char* platform;
        bool handedOver;
        bool answer;
        const char* asked;
        bool alive;
    };
    DisplayProbe::Session session;
    session.x11_display = ":7";
    session.x11_display_set = true;
    session.wayland_display = "wayland-3";
    session.runtime_dir = "/run/u";
    for (const Row& row :
         {Row{"xcb", false, true, "x11::7;", true}, Row{"xcb", false, false, "x11::7;", false},
          Row{"wayland", false, false, "wayland:/run/u/wayland-3;", false},
          Row{"wayland-egl", false, true, "wayland:/run/u/wayland-3;", true},
          Row{"wayland", true, false, "", true}, Row{"offscreen", false, false, "", true}}) {
        SCOPED_TRACE(std::string(row.platform) + (row.handedOver ? " handed over" : ""));
        session.wayland_socket = row.handedOver;
        DisplayProbe::WatchDisplay(row.platform, session);
        g_asked.clear();
        g_answer = row.answer;
        EXPECT_EQ(DisplayProbe::WatchedDisplayAnswers(100, watchedX11, watchedWayland), row.alive);
        EXPECT_EQ(g_asked, row.asked);
    }
    DisplayProbe::WatchDisplay(std::string(), DisplayProbe::Session());
}

// Before the switch only a display that refuses is gone: a frozen or slow server still
// holds its socket and the session goes on, so the client must not be left stopped.
TEST(WatchedDisplayTest, GoneOnlyWhenTheDisplayRefuses)
{
    int number = 0;
    UniqueFd listener = listenAbstractX(&number);
    ASSERT_TRUE(listener.valid());
    DisplayProbe::Session session;
    session.x11_display = ":" + std::to_string(number);
    session.x11_display_set = true;
    DisplayProbe::WatchDisplay("xcb", session);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DisplayProbe::WatchedDisplayGone(kTimeoutMs)) << "a silent server is alive";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kTimeoutMs))
        << "a connection taken is enough: no answer is waited for";
    listener.reset();
    EXPECT_TRUE(DisplayProbe::WatchedDisplayGone(kTimeoutMs)) << "nobody listens any more";

    session.wayland_display = "wayland-none";
    session.runtime_dir = testing::TempDir();
    DisplayProbe::WatchDisplay("wayland", session);
    EXPECT_TRUE(DisplayProbe::WatchedDisplayGone(kTimeoutMs));
    DisplayProbe::WatchDisplay("offscreen", session);
    EXPECT_FALSE(DisplayProbe::WatchedDisplayGone(kTimeoutMs));
    DisplayProbe::WatchDisplay(std::string(), DisplayProbe::Session());
}

} // namespace
