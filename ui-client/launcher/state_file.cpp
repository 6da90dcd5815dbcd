#include "state_file.h"

#include "file/durable.h"
#include "file/file-op.h"
#include "file/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t kMaxStateSize = 8192;

void parseLines(const std::string& text, StateValues& values)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        // A NUL would cut the value short in a ustring.
        if (eq == std::string::npos || line.find('\0') != std::string::npos) {
            continue;
        }
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
}

// Unlike FSMKDir this accepts a symbolic link to a folder: users move the per-user
// folder to another disk and link it back.
int ensureFolder(const ustring& path)
{
    struct stat st;
    if (::stat(path.c_str_utf8(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return 0;
    }
    if (FSMKDir(path, true) < 0) {
        return -1;
    }
    // The new folder's name is on storage before anything in it is.
    return FSSyncFolder(FSParentPath(path));
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// As FSWriteFileAtomic, with the file 0600 whatever the umask: the state of the user's
// upgrades is nobody else's business. A temporary file left by a crash is replaced.
int writePrivateAtomic(const ustring& path, const std::string& text)
{
    const ustring temp = path + ".new";
    int fd;
    do {
        fd = ::open(temp.c_str_utf8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    UniqueFd holder(fd);
    const bool ok = holder.valid() && ::fchmod(holder.get(), 0600) == 0 &&
                    writeAll(holder.get(), text) && ::fsync(holder.get()) == 0 &&
                    holder.close() == 0 && ::rename(temp.c_str_utf8(), path.c_str_utf8()) == 0;
    if (!ok) {
        const int err = errno;
        holder.reset();
        // Ignored: a stale temporary file is replaced by the next write.
        (void)::unlink(temp.c_str_utf8());
        errno = err;
        return -1;
    }
    return FSSyncFolder(FSParentPath(path));
}

} // namespace

StateRead ReadStateFile(const ustring& path, StateValues& values)
{
    int fd;
    do {
        fd = ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno == ENOENT ? StateRead::Missing : StateRead::Unreadable;
    }
    UniqueFd holder(fd);
    // A FIFO or device would hold the run, or never end.
    struct stat st;
    if (::fstat(holder.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return StateRead::Unreadable;
    }
    std::string text;
    char buf[1024];
    while (text.size() < kMaxStateSize) {
        const ssize_t n = ::read(holder.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return StateRead::Unreadable;
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    parseLines(text, values);
    return StateRead::Ok;
}

int WriteStateFile(const ustring& path,
                   const std::vector<std::pair<std::string, std::string>>& values)
{
    // The per-user folder may not exist yet on a first install.
    if (ensureFolder(FSParentPath(path)) != 0) {
        return -1;
    }
    std::string text;
    for (const auto& kv : values) {
        text += kv.first + "=" + kv.second + "\n";
    }
    return writePrivateAtomic(path, text);
}
