#pragma once

#include <string>

// Bounded checks that a display answers, made before the toolkit connects: its own
// connect has no time limit, so a server that accepts and never answers (frozen, or a
// listener of another user on the same socket name) would hold the launcher for good.
namespace DisplayProbe {

// How long one display may take to connect and answer.
constexpr int TIMEOUT_MS = 2000;

// True when the X server named by `display` ("[host]:n[.screen]") accepts a connection
// and answers the 12-byte setup request within `timeout_ms`. Any reply counts, a refusal
// of the (absent) authorisation included: the server is alive. Names are resolved
// without a bound; only the connect and the answer are bounded.
// A server that drops the connection unanswered (it resets) is asked again within the
// bound. The connection that answered is kept open until ReleaseHeld, so that the
// server does not reset between this check and the toolkit's own connection.
bool X11Answers(const std::string& display, int timeout_ms);
void ReleaseHeld();

// True when the Wayland compositor named by `display` (WAYLAND_DISPLAY: a name in
// `runtime_dir`, or an absolute path; "wayland-0" when empty) accepts a connection and
// answers one wl_display.sync within `timeout_ms`.
bool WaylandAnswers(const std::string& display, const std::string& runtime_dir, int timeout_ms);

// What the process environment and arguments name, read once.
struct Session
{
    std::string x11_display; // -display argument, else DISPLAY
    bool x11_display_set = false;
    std::string wayland_display; // WAYLAND_DISPLAY
    std::string runtime_dir;     // XDG_RUNTIME_DIR
    bool wayland_socket = false; // WAYLAND_SOCKET: a connection handed over, not probed
};

// `platforms` is the toolkit's list of platforms to try in turn (";"-separated). Drops the
// display platforms in front of the first one that answers (or of the first one that is
// not a display platform, which is not probed); `dropped` gets a text naming what was
// dropped and why, empty when nothing was. `x11` and `wayland` are the checks, replaceable
// in tests.
std::string
ReachablePlatforms(const std::string& platforms, const Session& session, std::string* dropped,
                   bool (*x11)(const std::string&, int) = X11Answers,
                   bool (*wayland)(const std::string&, const std::string&, int) = WaylandAnswers);

// How long the display in use may take to answer before a window is made on it.
constexpr int LIVE_TIMEOUT_MS = 1000;

// Remembers the platform the toolkit chose ("xcb", "wayland", "offscreen", ...) and the
// session it was chosen from, for WatchedDisplayAnswers.
void WatchDisplay(const std::string& platform, const Session& session);

// True when the display the toolkit uses still answers a new connection within
// `timeout_ms` (X11Answers or WaylandAnswers, nothing held), and always for a platform
// without a display. `x11` and `wayland` are the checks, replaceable in tests.
bool WatchedDisplayAnswers(int timeout_ms, bool (*x11)(const std::string&, int) = nullptr,
                           bool (*wayland)(const std::string&, const std::string&,
                                           int) = WaylandAnswers);

// True only when the display the toolkit uses refuses a new connection within
// `timeout_ms`: its server or compositor is gone. One that accepts and is slow to answer
// is alive. Always false for a platform without a display.
bool WatchedDisplayGone(int timeout_ms);

} // namespace DisplayProbe
