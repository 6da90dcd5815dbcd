#pragma once

#include "ustring/ustring.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <pthread.h>
#include <string>

#if defined(__GNUC__)
#define BRISENDALE_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define BRISENDALE_PRINTF_LIKE(fmt, args)
#endif

// The process-wide diagnostic log: per-component thresholds and one destination,
// a log file rotated by size among them. Never instantiated.
//
// Before any Initialize the logger writes L_WARNING and worse to standard error.
// Initialize and Destroy must not race with other threads logging.
class Logger
{
public:
    typedef char xchar;

    enum Type
    {
        ANDROID_LOGGER = 0,
        SYSLOG_LOGGER = 1,
        STDOUT_LOGGER = 2,
        STDERR_LOGGER = 3,
        FILE_LOGGER = 4,
    };

    enum Level
    {
        L_EMERG = 0,
        L_ALERT = 1,
        L_CRIT = 2,
        L_ERR = 3,
        L_WARNING = 4,
        L_NOTICE = 5,
        L_INFO = 6,
        L_DEBUG = 7,
    };

    // 0 on success, -1 when the log file cannot be opened (or a file type has
    // no path). The level file, when given, adds or overwrites thresholds.
    static int Initialize(Type type, const ustring& path, const ustring& level_path,
                          int rotate_count);
    // Silences the logger until the next successful Initialize.
    static void Destroy();
    static void LogMsg(Level level, const ustring& component, const xchar* format, ...)
        BRISENDALE_PRINTF_LIKE(3, 4);
    static void LogMsg2(Level level, const ustring& component, const xchar* format, va_list args)
        BRISENDALE_PRINTF_LIKE(3, 0);

    Logger() = delete;

private:
    friend struct LoggerTestPeer; // lets tests stand in for another writer of the same file

    // Initialize's steps: a fresh lock, shared counters and default threshold (false when
    // the shared data cannot be had), then the stream or the file to write to.
    static bool ResetState();
    static int UseStream(Type type);
    static int UseFile(const ustring& path, int rotate_count);
    // One message to the destination; the bytes written to the log, or -1.
    static int Write(Level level, const xchar* format, va_list args) BRISENDALE_PRINTF_LIKE(2, 0);
    static int WriteText(Level level, const std::string& text);
    // Adds written to the file's size and rotates a full file.
    static void CountWritten(int written);
    static int Rotate();
    static void ReloadLogFile();
    static int GetFileSize(const ustring& path);
    static int PrintToFilePointer(const xchar* format, ...) BRISENDALE_PRINTF_LIKE(1, 2);
    static int PrintToFilePointerV(const xchar* format, va_list args) BRISENDALE_PRINTF_LIKE(1, 0);
    static void InitializeLock();
    static void DestroyLock();
    static void Lock();
    static void Unlock();
    static void InitializeFileLock();
    static void DestroyFileLock();
    static void InitializeSharedData();
    static void DestroySharedData();

    static std::map<ustring, int> log_level;
    static Type log_type;
    static FILE* log_fp;
    static int* log_size;
    static int rotate_cnt;
    static ustring log_path;
    static pthread_mutex_t* log_lock;
    static int log_flock;
    static bool inter_process_safe;
    static uint64_t* log_rotated_count_shared;
    static uint64_t log_rotated_count_private;
    static bool log_initialized;
};

// For callers that can only pass plain types: a level number and a component name.
void LogMSG_c(int level, char* comp, const Logger::xchar* fmt, va_list args)
    BRISENDALE_PRINTF_LIKE(3, 0);
