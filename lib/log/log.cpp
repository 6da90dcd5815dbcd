#include "log/log.h"

#include "config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
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
    // Private whatever the umask: the log names the user's files and folders.
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    // One made readable by others before, by an older launcher; ignored when refused.
    if ((st.st_mode & 077) != 0 && st.st_uid == ::geteuid()) {
        (void)::fchmod(fd, st.st_mode & 0700);
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

// Whether standard error is the journal's stream (JOURNAL_STREAM "<dev>:<ino>" names the
// file behind descriptor 2): -1 not yet looked at.
int g_journal_stderr = -1;
// The log file's last write failed; its explanation has been printed on standard error.
bool g_write_failed = false;
// errno of the last failed write, 0 for a short one.
int g_write_errno = 0;

bool stderrIsJournal()
{
    if (g_journal_stderr < 0) {
        g_journal_stderr = 0;
        const char* stream = getenv("JOURNAL_STREAM");
        unsigned long long dev = 0;
        unsigned long long ino = 0;
        char rest = 0;
        struct stat st;
        if (stream && sscanf(stream, "%llu:%llu%c", &dev, &ino, &rest) == 2 &&
            fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
            static_cast<unsigned long long>(st.st_ino) == ino)
            g_journal_stderr = 1;
    }
    return g_journal_stderr == 1;
}

// `text` on standard error, after the syslog priority "<n>" when that is the journal.
void toStderr(int level, const std::string& text)
{
    std::string line;
    if (stderrIsJournal())
        line = "<" + std::to_string(level < 0 ? 0 : (level > 7 ? 7 : level)) + ">";
    line += text;
    fputs(line.c_str(), stderr);
    fflush(stderr);
}

// The whole of `text` on `fd`; a short write is a failure (g_write_errno 0).
bool writeWhole(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            g_write_errno = errno;
            return false;
        }
        if (n == 0 || static_cast<size_t>(n) < text.size() - done) {
            g_write_errno = 0;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string formatV(const char* format, va_list args)
{
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof(small))
        return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    return big;
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

namespace {

// The thresholds a level file gives, and what in it was refused.
struct LevelFile
{
    std::map<ustring, int> thresholds;
    std::vector<ustring> refused;
    int unreadable = 0;
};

LevelFile readLevelFile(const ustring& level_path)
{
    LevelFile file;
    if (level_path.empty())
        return file;
    Config levels;
    // One bad line, or a byte-order mark, costs that line only.
    levels.set_lenient(true);
    levels.read(level_path);
    file.unreadable = levels.rejected();
    int threshold = 0;
    for (Config::const_iterator it = levels.begin(); it != levels.end(); ++it) {
        if (parseThreshold(it->second, &threshold))
            file.thresholds[it->first] = threshold;
        else
            file.refused.push_back(it->first + ustring("=") + it->second);
    }
    return file;
}

} // namespace

int Logger::Initialize(Type type, const ustring& path, const ustring& level_path, int rotate_count)
{
    if (!ResetState())
        return -1;
    const LevelFile levels = readLevelFile(level_path);
    for (const auto& entry : levels.thresholds)
        log_level[entry.first] = entry.second;

    log_type = type;
    const bool stream = type == SYSLOG_LOGGER || type == STDOUT_LOGGER || type == STDERR_LOGGER;
    const int result = stream ? UseStream(type) : UseFile(path, rotate_count);
    warnRefused(level_path, levels.refused, levels.unreadable);
    return result;
}

bool Logger::ResetState()
{
    DestroySharedData();
    DestroyLock();
    InitializeLock();
    InitializeSharedData();
    if (!log_size || !log_rotated_count_shared)
        return false;
    // Until a file is open nothing may be counted or reopened.
    *log_size = -1;
    *log_rotated_count_shared = log_rotated_count_private;

    g_journal_stderr = -1;
    g_write_failed = false;
    log_level[ustring("default_component")] = DEFAULT_THRESHOLD;
    return true;
}

int Logger::UseStream(Type type)
{
    FILE* next = type == SYSLOG_LOGGER ? nullptr : (type == STDOUT_LOGGER ? stdout : stderr);
    if (log_fp != next)
        closeStream(log_fp);
    log_fp = next;
    log_path.clear();
    *log_size = -1;
    *log_rotated_count_shared = 0;
    log_rotated_count_private = 0;
    log_initialized = true;
    return 0;
}

int Logger::UseFile(const ustring& path, int rotate_count)
{
    if (path.empty())
        return -1;
    FILE* fp = openLogFile(path.c_str());
    if (!fp)
        return -1;
    closeStream(log_fp);
    log_fp = fp;
    log_path = path;
    rotate_cnt = rotate_count;
    *log_rotated_count_shared = 0;
    log_rotated_count_private = 0;
    *log_size = GetFileSize(path);
    log_initialized = true;
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
    CountWritten(Write(level, format, args));
    Unlock();
}

int Logger::Write(Level level, const xchar* format, va_list args)
{
    switch (log_type) {
    case SYSLOG_LOGGER:
        vsyslog(LOG_ERR, format, args);
        return 0;
    case STDOUT_LOGGER:
    case STDERR_LOGGER:
    case FILE_LOGGER:
        return WriteText(level, formatV(format, args));
    default:
        vfprintf(stderr, format, args);
        return 0;
    }
}

int Logger::WriteText(Level level, const std::string& text)
{
    if (log_fp == stderr && stderrIsJournal()) {
        toStderr(level, text);
        return static_cast<int>(text.size());
    }
    // Warnings and errors reach standard error too when the log cannot take them, or when
    // standard error is the journal (with their priority, for journalctl -p).
    const bool serious = level <= L_WARNING;
    const int written = PrintToFilePointer("%s", text.c_str());
    if (written < 0 && log_fp != stderr) {
        if (!g_write_failed) {
            g_write_failed = true;
            char why[256];
            if (g_write_errno != 0)
                snprintf(why, sizeof(why), "%s (%d)", strerror(g_write_errno), g_write_errno);
            else
                snprintf(why, sizeof(why), "a short write");
            toStderr(L_ERR, std::string("[ERROR] log.cpp(") + std::to_string(__LINE__) +
                                "): cannot write the log '" + log_path.c_str() + "': " + why +
                                "; its warnings and errors follow here\n");
        }
        if (serious)
            toStderr(level, text);
        return written;
    }
    if (written >= 0)
        g_write_failed = false;
    if (serious && log_fp != stderr && stderrIsJournal())
        toStderr(level, text);
    return written;
}

void Logger::CountWritten(int written)
{
    if (log_type != FILE_LOGGER || *log_size < 0 || written < 0)
        return;
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
    const std::string line = std::string(prefix) + formatV(format, args);
    if (isStdStream(log_fp)) {
        const int a = fputs(line.c_str(), log_fp);
        fflush(log_fp);
        return a < 0 ? -1 : static_cast<int>(line.size());
    }
    // Written whole in one call, so that a failure or a short write is seen (a stream's
    // buffer would hide it, and keep the rest for a later write).
    if (!writeWhole(fileno(log_fp), line))
        return -1;
    return static_cast<int>(line.size());
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
