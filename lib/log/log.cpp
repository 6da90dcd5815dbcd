#include "log/log.h"

#include "config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

const int MAX_LOG_SIZE = 1048576;
const int DEFAULT_THRESHOLD = Logger::L_WARNING;
// Append mode with close-on-exec: the start script and the client must not inherit the log.
// Opens the log at `path` for appending, created when missing, close-on-exec. Only a
// regular file is taken: a FIFO in its place would hold every write, and the run.
FILE* openLogFile(const char* path)
{
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE* fp = fdopen(fd, "a");
    if (!fp) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return fp;
}

// A threshold is a whole decimal number from 0 to 7, blanks around it allowed. Anything
// else ("0x7", "0.7", "-7", "+7", "7abc", "", "8") is refused: read partly, such a typo
// would silence the component's errors.
bool parseThreshold(const ustring& text, int* value)
{
    const char* s = text.c_str();
    while (*s == ' ' || *s == '\t')
        ++s;
    const char* digits = s;
    int parsed = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        parsed = parsed * 10 + (*s - '0');
        if (parsed > Logger::L_DEBUG)
            return false;
    }
    if (s == digits)
        return false;
    while (*s == ' ' || *s == '\t')
        ++s;
    if (*s != '\0')
        return false;
    *value = parsed;
    return true;
}

// One line per refused level (and one for the lines that could not be read at all),
// once the destination is known.
void warnRefused(const ustring& level_path, const std::vector<ustring>& refused, int unreadable)
{
    for (const ustring& line : refused)
        Logger::LogMsg(Logger::L_WARNING, "default_component",
                       "[WARNING] log.cpp(%d): level file '%s': '%s' is not a level from 0 to 7, "
                       "line ignored\n",
                       __LINE__, level_path.c_str(), line.c_str());
    if (unreadable > 0)
        Logger::LogMsg(Logger::L_WARNING, "default_component",
                       "[WARNING] log.cpp(%d): level file '%s': %d line(s) without a "
                       "component=level pair ignored\n",
                       __LINE__, level_path.c_str(), unreadable);
}

bool isStdStream(FILE* fp)
{
    return fp == stdout || fp == stderr || fp == stdin;
}

void closeStream(FILE*& fp)
{
    if (fp && !isStdStream(fp))
        fclose(fp);
    fp = nullptr;
}

void numberedName(char (&buf)[1024], const ustring& path, int index)
{
    snprintf(buf, sizeof(buf), "%s_%d", path.c_str(), index);
}

} // namespace

std::map<ustring, int> Logger::log_level;
Logger::Type Logger::log_type = Logger::STDOUT_LOGGER;
FILE* Logger::log_fp = stderr;
int* Logger::log_size = nullptr;
int Logger::rotate_cnt = 50;
ustring Logger::log_path;
pthread_mutex_t* Logger::log_lock = nullptr;
int Logger::log_flock = -1;
bool Logger::inter_process_safe = false;
uint64_t* Logger::log_rotated_count_shared = nullptr;
uint64_t Logger::log_rotated_count_private = 0;
bool Logger::log_initialized = true;

int Logger::Initialize(Type type, const ustring& path, const ustring& level_path, int rotate_count)
{
    DestroySharedData();
    DestroyLock();
    InitializeLock();
    InitializeSharedData();
    if (!log_size || !log_rotated_count_shared)
        return -1;
    // Until a file is open nothing may be counted or reopened.
    *log_size = -1;
    *log_rotated_count_shared = log_rotated_count_private;

    log_level[ustring("default_component")] = DEFAULT_THRESHOLD;
    std::vector<ustring> refused;
    int unreadable = 0;
    if (!level_path.empty()) {
        Config levels;
        // One bad line, or a byte-order mark, costs that line only.
        levels.set_lenient(true);
        levels.read(level_path);
        unreadable = levels.rejected();
        int threshold = 0;
        for (Config::const_iterator it = levels.begin(); it != levels.end(); ++it) {
            if (parseThreshold(it->second, &threshold))
                log_level[it->first] = threshold;
            else
                refused.push_back(it->first + ustring("=") + it->second);
        }
    }

    log_type = type;
    if (type == SYSLOG_LOGGER || type == STDOUT_LOGGER || type == STDERR_LOGGER) {
        FILE* next = type == SYSLOG_LOGGER ? nullptr : (type == STDOUT_LOGGER ? stdout : stderr);
        if (log_fp != next)
            closeStream(log_fp);
        log_fp = next;
        log_path.clear();
        *log_size = -1;
        *log_rotated_count_shared = 0;
        log_rotated_count_private = 0;
        log_initialized = true;
        warnRefused(level_path, refused, unreadable);
        return 0;
    }

    if (path.empty()) {
        warnRefused(level_path, refused, unreadable);
        return -1;
    }
    FILE* fp = openLogFile(path.c_str());
    if (!fp) {
        warnRefused(level_path, refused, unreadable);
        return -1;
    }
    closeStream(log_fp);
    log_fp = fp;
    log_path = path;
    rotate_cnt = rotate_count;
    *log_rotated_count_shared = 0;
    log_rotated_count_private = 0;
    *log_size = GetFileSize(path);
    log_initialized = true;
    warnRefused(level_path, refused, unreadable);
    return 0;
}

void Logger::Destroy()
{
    log_initialized = false;
    if (log_type == FILE_LOGGER)
        closeStream(log_fp);
    DestroySharedData();
    DestroyLock();
}

void Logger::LogMsg(Level level, const ustring& component, const xchar* format, ...)
{
    va_list args;
    va_start(args, format);
    LogMsg2(level, component, format, args);
    va_end(args);
}

void Logger::LogMsg2(Level level, const ustring& component, const xchar* format, va_list args)
{
    if (!log_initialized)
        return;
    InitializeLock();
    InitializeSharedData();
    if (!log_size || !log_rotated_count_shared)
        return;
    std::map<ustring, int>::const_iterator it = log_level.find(component);
    const int threshold = it == log_level.end() ? DEFAULT_THRESHOLD : it->second;
    if (level > threshold)
        return;

    Lock();
    if (*log_rotated_count_shared != log_rotated_count_private) {
        ReloadLogFile();
        log_rotated_count_private = *log_rotated_count_shared;
    }
    it = log_level.find(component);
    if (it != log_level.end() && it->second < level) {
        Unlock();
        return;
    }
    // Checked under the lock: a rotation on another thread leaves no stream for a moment,
    // and a message seen in that moment would be dropped.
    if (log_type != SYSLOG_LOGGER && !log_fp) {
        Unlock();
        return;
    }

    int written = 0;
    switch (log_type) {
    case SYSLOG_LOGGER:
        vsyslog(LOG_ERR, format, args);
        break;
    case STDOUT_LOGGER:
    case STDERR_LOGGER:
    case FILE_LOGGER:
        written = PrintToFilePointerV(format, args);
        break;
    default:
        vfprintf(stderr, format, args);
        break;
    }

    if (log_type == FILE_LOGGER && *log_size >= 0 && written >= 0) {
        // Adding in unsigned avoids an overflow on a file already near INT_MAX.
        const unsigned total = static_cast<unsigned>(*log_size) + static_cast<unsigned>(written);
        *log_size = total > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(total);
        if (*log_size > MAX_LOG_SIZE) {
            // A failed rotation has said why and keeps its stream; it is tried again after
            // another full file.
            Rotate();
            *log_size = 0;
        }
    }
    Unlock();
}

void LogMSG_c(int level, char* comp, const Logger::xchar* fmt, va_list args)
{
    Logger::LogMsg2(static_cast<Logger::Level>(level), ustring(comp ? comp : ""), fmt, args);
}

// Shifts the numbered companions up by one, dropping the oldest, then moves the
// live file to path_0 and opens a fresh one. On failure (-1) the logger writes on in
// the stream it has, after one [ERROR] line saying why.
int Logger::Rotate()
{
    char from[1024];
    char to[1024];
    for (int i = rotate_cnt - 2; i >= 0; --i) {
        numberedName(from, log_path, i);
        numberedName(to, log_path, i + 1);
        // Missing numbered files are normal.
        rename(from, to);
    }
    numberedName(to, log_path, rotate_cnt - 1);
    remove(to);

    numberedName(to, log_path, 0);
    if (rename(log_path.c_str(), to) != 0) {
        const int err = errno;
        // A live file removed under us: the stream writes into nothing, so start a new one.
        FILE* fp = err == ENOENT ? openLogFile(log_path.c_str()) : nullptr;
        if (fp) {
            closeStream(log_fp);
            log_fp = fp;
        }
        PrintToFilePointer("[ERROR] log.cpp(%d): cannot rotate '%s': rename to '%s': %s (%d)\n",
                           __LINE__, log_path.c_str(), to, strerror(err), err);
        return -1;
    }
    FILE* fp = openLogFile(log_path.c_str());
    if (!fp) {
        const int err = errno;
        // Back under its name; should that fail too, the open stream still writes on in it.
        rename(to, log_path.c_str());
        PrintToFilePointer("[ERROR] log.cpp(%d): cannot rotate '%s': open: %s (%d)\n", __LINE__,
                           log_path.c_str(), strerror(err), err);
        return -1;
    }
    closeStream(log_fp);
    log_fp = fp;
    ++*log_rotated_count_shared;
    ++log_rotated_count_private;
    return 0;
}

void Logger::ReloadLogFile()
{
    if (log_type == SYSLOG_LOGGER || log_type == STDOUT_LOGGER || log_type == STDERR_LOGGER)
        return;
    FILE* fp = openLogFile(log_path.c_str());
    if (!fp) {
        const int err = errno;
        // Never silent: the messages go to standard error instead.
        closeStream(log_fp);
        log_fp = stderr;
        PrintToFilePointer("[ERROR] log.cpp(%d): cannot reopen '%s': %s (%d)\n", __LINE__,
                           log_path.c_str(), strerror(err), err);
        return;
    }
    closeStream(log_fp);
    log_fp = fp;
    *log_size = GetFileSize(log_path);
}

int Logger::GetFileSize(const ustring& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        const int err = errno;
        // Not through LogMsg: this may run under the logger's own lock.
        PrintToFilePointer("stat(%s): %s (%d)\n", path.c_str(), strerror(err), err);
        return 0;
    }
    if (st.st_size > static_cast<off_t>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(st.st_size);
}

int Logger::PrintToFilePointer(const xchar* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = PrintToFilePointerV(format, args);
    va_end(args);
    return n;
}

int Logger::PrintToFilePointerV(const xchar* format, va_list args)
{
    if (!log_fp)
        return 0;
    char prefix[512];
    const time_t now = time(nullptr);
    struct tm local;
    prefix[0] = '\0';
    if (localtime_r(&now, &local))
        strftime(prefix, sizeof(prefix), "%b %d %H:%M:%S ", &local);
    const int a = fprintf(log_fp, "%s", prefix);
    const int b = vfprintf(log_fp, format, args);
    fflush(log_fp);
    // One failed write makes the pair a failure, so it is never counted as bytes.
    if (a < 0 || b < 0)
        return -1;
    return a + b;
}

void Logger::InitializeLock()
{
    InitializeFileLock();
    if (log_lock)
        return;
    pthread_mutex_t* m = static_cast<pthread_mutex_t*>(malloc(sizeof(pthread_mutex_t)));
    if (!m)
        return;
    if (pthread_mutex_init(m, nullptr) != 0) {
        free(m);
        return;
    }
    log_lock = m;
}

void Logger::DestroyLock()
{
    if (log_lock) {
        pthread_mutex_destroy(log_lock);
        free(log_lock);
        log_lock = nullptr;
    }
    DestroyFileLock();
}

void Logger::Lock()
{
    if (log_lock)
        pthread_mutex_lock(log_lock);
}

void Logger::Unlock()
{
    if (log_lock)
        pthread_mutex_unlock(log_lock);
}

// No cross-process exclusion on this platform.
void Logger::InitializeFileLock() {}
void Logger::DestroyFileLock() {}

void Logger::InitializeSharedData()
{
    if (log_size && log_rotated_count_shared)
        return;
    DestroySharedData();
    log_size = static_cast<int*>(calloc(1, sizeof(int)));
    log_rotated_count_shared = static_cast<uint64_t*>(calloc(1, sizeof(uint64_t)));
}

void Logger::DestroySharedData()
{
    free(log_size);
    log_size = nullptr;
    free(log_rotated_count_shared);
    log_rotated_count_shared = nullptr;
}
