// A stand-in for the launcher: takes the single-instance guard and reports the
// outcome on stdout as "running <lock>" or "refused <lock>".
//   hold    keep the guard until stdin reaches end of file, then end normally
//   orphan  drop every descriptor beyond stdio while staying alive, so the lock
//           file names a live process that no longer holds it (a reused pid)
// With "sync" as the second argument it first waits for one line on stdin, so
// that a test can release several helpers at the same moment.
#include "qtsingleapplication.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

void waitForEof()
{
    char buf[64];
    for (;;) {
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

void waitForLine()
{
    char c = 0;
    while (c != '\n') {
        const ssize_t n = ::read(0, &c, 1);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

} // namespace

int main(int argc, char** argv)
{
    const bool orphan = argc > 1 && std::strcmp(argv[1], "orphan") == 0;
    if (argc > 2 && std::strcmp(argv[2], "sync") == 0)
        waitForLine();

    QtSingleApplication app(argc, argv, true);
    const QByteArray lock = app.lockFilePath().toUtf8();
    if (app.isRunning()) {
        std::printf("refused %s\n", lock.constData());
        std::fflush(stdout);
        return 0;
    }
    std::printf("running %s\n", lock.constData());
    std::fflush(stdout);
    if (orphan) {
        // Closing the lock's descriptor releases its flock and record lock.
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
        waitForEof();
        ::_exit(0);
    }
    waitForEof();
    return 0;
}
