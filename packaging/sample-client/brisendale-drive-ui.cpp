// A stand-in for the client user interface, shipped in the sample package: it
// announces itself in the pid file, waits for SIGTERM and then withdraws the
// pid file again.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readSmallFile(const std::string& path)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return std::string();
    char buf[256];
    std::string text;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > 4096)
            break;
    }
    return text;
}

// Written beside and renamed into place, so the launcher never reads half a file.
bool writePidFile(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0 || !writeAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

int main()
{
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        std::fprintf(stderr, "brisendale-drive-ui: HOME is not set\n");
        return 1;
    }
    const std::string root = std::string(home) + "/.Brisendale";
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "brisendale-drive-ui: cannot create %s: %s\n", root.c_str(),
                     std::strerror(errno));
        return 1;
    }

    // Blocked before the pid file exists, so a SIGTERM sent as soon as the file
    // can be read is never lost.
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGTERM);
    sigaddset(&wanted, SIGINT);
    sigaddset(&wanted, SIGHUP);
    sigprocmask(SIG_BLOCK, &wanted, nullptr);

    const std::string pidPath = root + "/ui.pid";
    const std::string mine = "pid=" + std::to_string(::getpid()) + "\n";
    if (!writePidFile(pidPath, mine)) {
        std::fprintf(stderr, "brisendale-drive-ui: cannot write %s: %s\n", pidPath.c_str(),
                     std::strerror(errno));
        return 1;
    }

    int sig = 0;
    while (sigwait(&wanted, &sig) != 0) {
    }

    // A newer client may have taken the file over meanwhile; leave its file alone.
    if (readSmallFile(pidPath) == mine)
        ::unlink(pidPath.c_str());
    return 0;
}
