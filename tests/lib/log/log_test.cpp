#include "log/log.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <climits>
#include <csignal>
#include <cstdarg>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Reaches into the logger to stand in for a second writer of the same file.
struct LoggerTestPeer
{
    static int size() { return Logger::log_size ? *Logger::log_size : INT_MIN; }
    static uint64_t sharedRotations() { return *Logger::log_rotated_count_shared; }
    static uint64_t privateRotations() { return Logger::log_rotated_count_private; }
    static void otherWriterRotated() { ++*Logger::log_rotated_count_shared; }
    static FILE* stream() { return Logger::log_fp; }
};

namespace {

// What the test binary's own vsyslog saw; the logger's calls land here instead of the system log.
struct SyslogRecord
{
    int priority = -1;
    std::string text;
    int calls = 0;
};
SyslogRecord g_syslog;

void recordSyslog(int priority, const char* fmt, va_list ap)
{
    char buf[1024];
    vsnprintf(buf, sizeof(buf), fmt, ap);
    g_syslog.priority = priority;
    g_syslog.text = buf;
    ++g_syslog.calls;
}

} // namespace

extern "C" void vsyslog(int priority, const char* fmt, va_list ap)
{
    recordSyslog(priority, fmt, ap);
}

extern "C" void __vsyslog_chk(int priority, int, const char* fmt, va_list ap)
{
    recordSyslog(priority, fmt, ap);
}

namespace {

const int LIMIT = 1048576;
const char* const TIME_PREFIX_RE = "^[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] ";

void logC(int level, const char* comp, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string name(comp);
    LogMSG_c(level, &name[0], fmt, args);
    va_end(args);
}

// Redirects one standard descriptor into a file for the object's life.
class FdCapture
{
public:
    FdCapture(int fd, const QString& file) : m_fd(fd), m_file(file)
    {
        fflush(nullptr);
        m_saved = dup(fd);
        const int out = open(file.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, fd);
        close(out);
    }
    ~FdCapture() { restore(); }
    QByteArray text()
    {
        restore();
        return testsupport::readFile(m_file);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(nullptr);
        dup2(m_saved, m_fd);
        close(m_saved);
        m_saved = -1;
    }
    int m_fd;
    QString m_file;
    int m_saved = -1;
};

// Redirects standard error into a pipe, which no file size limit applies to; holds what
// fits the pipe's buffer.
class StderrPipe
{
public:
    StderrPipe()
    {
        fflush(stderr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_read = fds[0];
        m_saved = dup(2);
        dup2(fds[1], 2);
        close(fds[1]);
    }
    ~StderrPipe()
    {
        restore();
        if (m_read >= 0)
            close(m_read);
    }
    QByteArray text()
    {
        restore();
        QByteArray all;
        char buf[4096];
        ssize_t n;
        while (m_read >= 0 && (n = read(m_read, buf, sizeof buf)) > 0)
            all.append(buf, static_cast<int>(n));
        return all;
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_saved = -1;
    }
    int m_read = -1;
    int m_saved = -1;
};

class LoggerTest : public testsupport::ScratchTest
{
protected:
    void TearDown() override
    {
        // Back to a harmless destination so no stream into the scratch folder outlives the test.
        Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(), 50);
        testsupport::ScratchTest::TearDown();
    }

    QString logPath() const { return path() + "/launcher.log"; }
    ustring logPathU() const { return ustring(logPath().toStdString()); }
    QString companion(int i) const { return logPath() + "_" + QString::number(i); }

    int initFile(int rotate = 50, const QByteArray& levels = QByteArray())
    {
        ustring levelPath;
        if (!levels.isNull()) {
            testsupport::writeFile(path() + "/launcher.debug", levels);
            levelPath = (path() + "/launcher.debug").toStdString();
        }
        return Logger::Initialize(Logger::FILE_LOGGER, logPathU(), levelPath, rotate);
    }

    // Length of the time prefix in the current locale.
    int prefixLength()
    {
        const QString probe = path() + "/probe.log";
        EXPECT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, probe.toStdString(), ustring(), 50));
        Logger::LogMsg(Logger::L_ERR, "probe", "x");
        return static_cast<int>(QFileInfo(probe).size()) - 1;
    }
};

struct ThresholdRow
{
    const char* name;
    const char* levelFile; // nullptr: no level file at all
    const char* component;
    std::vector<int> written;
    std::vector<int> dropped;
};

void PrintTo(const ThresholdRow& row, std::ostream* os)
{
    *os << row.name;
}

class LoggerThresholdTest : public LoggerTest, public ::testing::WithParamInterface<ThresholdRow>
{};

TEST_P(LoggerThresholdTest, WritesExactlyTheLevelsAtOrBelowTheThreshold)
{
    const ThresholdRow& row = GetParam();
    ASSERT_EQ(0, initFile(50, row.levelFile ? QByteArray(row.levelFile) : QByteArray()));
    for (int level = Logger::L_EMERG; level <= Logger::L_DEBUG; ++level)
        Logger::LogMsg(static_cast<Logger::Level>(level), row.component, "level %d\n", level);
    const QByteArray text = testsupport::readFile(logPath());
    for (int level : row.written)
        EXPECT_TRUE(text.contains("level " + QByteArray::number(level) + "\n")) << level;
    for (int level : row.dropped)
        EXPECT_FALSE(text.contains("level " + QByteArray::number(level) + "\n")) << level;
}

// Component names are unique per row: thresholds are never removed by a later Initialize.
INSTANTIATE_TEST_SUITE_P(
    Rows, LoggerThresholdTest,
    ::testing::Values(
        ThresholdRow{"no_level_file", nullptr, "plain_a", {0, 3, 4}, {5, 6, 7}},
        ThresholdRow{"raised_component", "svc_b=7\n", "svc_b", {3, 4, 5, 6, 7}, {}},
        ThresholdRow{"other_component_stays", "svc_c=7\n", "other_c", {4}, {5, 7}},
        ThresholdRow{
            "default_component_is_no_fallback", "default_component=7\n", "plain_d", {4}, {5, 7}},
        ThresholdRow{"default_component_literal",
                     "default_component=7\n",
                     "default_component",
                     {4, 5, 7},
                     {}},
        ThresholdRow{"errors_only", "svc_e=3\n", "svc_e", {0, 3}, {4, 5}},
        ThresholdRow{"not_a_number_keeps_the_default", "svc_f=debug\n", "svc_f", {0, 3, 4}, {5}},
        ThresholdRow{"digits_then_text_keeps_the_default", "svc_g=6x\n", "svc_g", {3, 4}, {5, 6}},
        ThresholdRow{"quoted_leading_blanks", "svc_h='  5'\n", "svc_h", {5}, {6}},
        ThresholdRow{"explicit_plus_sign_keeps_the_default", "svc_i=+6\n", "svc_i", {4}, {5, 6}},
        ThresholdRow{"negative_keeps_the_default", "svc_j=-1\n", "svc_j", {0, 3, 4}, {5}},
        ThresholdRow{"bad_line_costs_that_line_only", "broken line\nsvc_k=7\n", "svc_k", {7}, {}},
        ThresholdRow{"byte_order_mark", "\xEF\xBB\xBFsvc_l=7\n", "svc_l", {7}, {}}),
    [](const ::testing::TestParamInfo<ThresholdRow>& info) {
        return std::string(info.param.name);
    });

// A level is used only when the whole value is a number from 0 to 7; any other value
// costs its line, with one warning, and the component keeps the default.
struct LevelValueRow
{
    const char* name;
    const char* value;
    int threshold; // -1: refused
};

void PrintTo(const LevelValueRow& row, std::ostream* os)
{
    *os << row.name;
}

class LoggerLevelValueTest : public LoggerTest, public ::testing::WithParamInterface<LevelValueRow>
{};

TEST_P(LoggerLevelValueTest, UsesOnlyWholeNumbersFromZeroToSeven)
{
    const LevelValueRow& row = GetParam();
    const std::string component = std::string("value_") + row.name;
    ASSERT_EQ(0, initFile(50, QByteArray::fromStdString(component) + "=" + row.value + "\n"));
    for (int level = Logger::L_EMERG; level <= Logger::L_DEBUG; ++level)
        Logger::LogMsg(static_cast<Logger::Level>(level), component.c_str(), "level %d\n", level);
    const QByteArray text = testsupport::readFile(logPath());
    const int threshold = row.threshold < 0 ? Logger::L_WARNING : row.threshold;
    for (int level = Logger::L_EMERG; level <= Logger::L_DEBUG; ++level)
        EXPECT_EQ(text.contains("level " + QByteArray::number(level) + "\n"), level <= threshold)
            << level << "\n"
            << text.toStdString();
    EXPECT_EQ(text.count("[WARNING] log.cpp("), row.threshold < 0 ? 1 : 0) << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoggerLevelValueTest,
    ::testing::Values(LevelValueRow{"hex", "0x7", -1}, LevelValueRow{"fraction", "0.7", -1},
                      LevelValueRow{"negative", "-7", -1},
                      LevelValueRow{"trailing_text", "7abc", -1}, LevelValueRow{"empty", "", -1},
                      LevelValueRow{"above_debug", "8", -1},
                      LevelValueRow{"large", "99999999999", -1}, LevelValueRow{"seven", "7", 7},
                      LevelValueRow{"leading_zero", "07", 7}, LevelValueRow{"zero", "0", 0},
                      LevelValueRow{"errors", "3", 3}),
    [](const ::testing::TestParamInfo<LevelValueRow>& info) {
        return std::string(info.param.name);
    });

TEST_F(LoggerTest, LinesCarryTheTimePrefixAndNothingElse)
{
    ASSERT_EQ(0, initFile());
    Logger::LogMsg(Logger::L_ERR, "comp", "[ERROR] x.cpp(%d): %s\n", 12, "text");
    const QString text = QString::fromUtf8(testsupport::readFile(logPath()));
    EXPECT_TRUE(text.contains(
        QRegularExpression(QString(TIME_PREFIX_RE) + "\\[ERROR\\] x\\.cpp\\(12\\): text\\n$")))
        << text.toStdString();
}

TEST_F(LoggerTest, RotatesOnlyAboveTheLimitAndKeepsTheCrossingMessage)
{
    const int prefix = prefixLength();
    const QByteArray first = "first message\n";
    // The file already holds nearly 1 MiB when it is opened.
    testsupport::writeFile(logPath(), QByteArray(LIMIT - prefix - first.size(), 'a'));
    ASSERT_EQ(0, initFile());
    EXPECT_EQ(LIMIT - prefix - first.size(), LoggerTestPeer::size());

    Logger::LogMsg(Logger::L_ERR, "comp", "%s", first.constData());
    EXPECT_EQ(LIMIT, QFileInfo(logPath()).size());
    EXPECT_FALSE(QFile::exists(companion(0)));

    Logger::LogMsg(Logger::L_ERR, "comp", "crossing\n");
    ASSERT_TRUE(QFile::exists(companion(0)));
    EXPECT_TRUE(testsupport::readFile(companion(0)).endsWith("crossing\n"));
    EXPECT_EQ(0, QFileInfo(logPath()).size());
    EXPECT_EQ(0, LoggerTestPeer::size());

    Logger::LogMsg(Logger::L_ERR, "comp", "after\n");
    EXPECT_EQ(prefix + 6, QFileInfo(logPath()).size());
}

struct RotationRow
{
    const char* name;
    int count;
    int rotations;
    int companions;
};

void PrintTo(const RotationRow& row, std::ostream* os)
{
    *os << row.name;
}

class LoggerRotationTest : public LoggerTest, public ::testing::WithParamInterface<RotationRow>
{};

TEST_P(LoggerRotationTest, KeepsCountMinusOneCompanionsNewestFirst)
{
    const RotationRow& row = GetParam();
    ASSERT_EQ(0, initFile(row.count));
    const std::string filler(LIMIT, 'f');
    // Every message alone crosses the limit, so each one rotates.
    for (int i = 0; i < row.rotations; ++i)
        Logger::LogMsg(Logger::L_ERR, "comp", "msg %04d %s\n", i, filler.c_str());
    for (int i = 0; i < row.companions; ++i) {
        QFile f(companion(i));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << i;
        const QByteArray head = f.read(64);
        EXPECT_TRUE(head.contains("msg " +
                                  QByteArray::number(row.rotations - 1 - i).rightJustified(4, '0')))
            << i << ": " << head.constData();
    }
    EXPECT_FALSE(QFile::exists(companion(row.companions)));
    EXPECT_FALSE(QFile::exists(companion(row.companions + 1)));
    EXPECT_EQ(0, QFileInfo(logPath()).size());
}

INSTANTIATE_TEST_SUITE_P(Rows, LoggerRotationTest,
                         ::testing::Values(RotationRow{"one", 1, 3, 1}, RotationRow{"two", 2, 3, 1},
                                           RotationRow{"three", 3, 5, 2},
                                           RotationRow{"fifty", 50, 55, 49}),
                         [](const ::testing::TestParamInfo<RotationRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(LoggerTest, ReopensAfterAnotherWritersRotation)
{
    const int prefix = prefixLength();
    ASSERT_EQ(0, initFile());
    Logger::LogMsg(Logger::L_ERR, "comp", "before\n");

    // The other writer moved the file aside and already filled most of a new one.
    ASSERT_EQ(0,
              rename(logPath().toLocal8Bit().constData(), companion(0).toLocal8Bit().constData()));
    testsupport::writeFile(logPath(), QByteArray(LIMIT - prefix - 4, 'o'));
    LoggerTestPeer::otherWriterRotated();

    Logger::LogMsg(Logger::L_ERR, "comp", "new\n");
    EXPECT_EQ(LoggerTestPeer::sharedRotations(), LoggerTestPeer::privateRotations());
    EXPECT_FALSE(testsupport::readFile(companion(0)).contains("new\n"));
    EXPECT_TRUE(testsupport::readFile(logPath()).endsWith("new\n"));
    EXPECT_EQ(LIMIT, LoggerTestPeer::size());

    // The size was taken from the reopened file, so the next message rotates it.
    Logger::LogMsg(Logger::L_ERR, "comp", "over\n");
    EXPECT_TRUE(testsupport::readFile(companion(0)).endsWith("over\n"));
    EXPECT_TRUE(testsupport::readFile(companion(1)).endsWith("before\n"));
}

// A rotation that fails says why once and writes on: in the current file when the live
// file cannot be moved, in a new one when it was removed.
TEST_F(LoggerTest, FailedRotationKeepsWritingAfterOneError)
{
    ASSERT_EQ(0, initFile(1));
    // A folder that is not empty cannot be removed nor replaced by the live file.
    ASSERT_TRUE(QDir().mkpath(companion(0) + "/keep"));
    const std::string filler(LIMIT, 'f');
    Logger::LogMsg(Logger::L_ERR, "comp", "%s\n", filler.c_str());
    Logger::LogMsg(Logger::L_ERR, "comp", "still here\n");
    QByteArray text = testsupport::readFile(logPath());
    EXPECT_EQ(1, text.count("[ERROR] log.cpp(")) << text.right(300).toStdString();
    EXPECT_TRUE(text.contains("cannot rotate '" + logPath().toUtf8() + "': rename to"));
    EXPECT_TRUE(text.endsWith("still here\n"));

    ASSERT_TRUE(QDir(companion(0)).removeRecursively());
    ASSERT_TRUE(QFile::remove(logPath()));
    Logger::LogMsg(Logger::L_ERR, "comp", "%s\n", filler.c_str());
    Logger::LogMsg(Logger::L_ERR, "comp", "after removal\n");
    text = testsupport::readFile(logPath());
    EXPECT_EQ(1, text.count("[ERROR] log.cpp(")) << text.toStdString();
    EXPECT_TRUE(text.endsWith("after removal\n"));
}

TEST_F(LoggerTest, DestroySilencesUntilTheNextInitialize)
{
    ASSERT_EQ(0, initFile());
    Logger::Destroy();
    Logger::LogMsg(Logger::L_ERR, "comp", "gone\n");
    EXPECT_FALSE(testsupport::readFile(logPath()).contains("gone"));
    ASSERT_EQ(0, initFile());
    Logger::LogMsg(Logger::L_ERR, "comp", "again\n");
    EXPECT_TRUE(testsupport::readFile(logPath()).contains("again\n"));
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave)
{
    ASSERT_EQ(0, initFile());
    const int threads = 8;
    const int lines = 1000;
    const std::string pad(200, 'p');
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, &pad]() {
            for (int n = 0; n < lines; ++n)
                Logger::LogMsg(Logger::L_WARNING, "comp", "T%d N%d %s E\n", t, n, pad.c_str());
        });
    }
    for (std::thread& th : pool)
        th.join();

    // About 1.7 MB: the run rotates once in the middle.
    const QRegularExpression line(QString(TIME_PREFIX_RE) + "T[0-7] N[0-9]+ p{200} E$");
    int total = 0;
    for (const QString& file : {companion(0), logPath()}) {
        const QList<QByteArray> parts = testsupport::readFile(file).split('\n');
        for (int i = 0; i + 1 < parts.size(); ++i) {
            ++total;
            EXPECT_TRUE(line.match(QString::fromLatin1(parts[i])).hasMatch())
                << parts[i].constData();
        }
    }
    EXPECT_EQ(threads * lines, total);
    EXPECT_FALSE(QFile::exists(companion(1)));
}

TEST_F(LoggerTest, FailedInitializeKeepsThePreviousStreamAndCountsNothing)
{
    FdCapture err(2, path() + "/stderr.txt");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(), 50));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, ustring(), ustring(), 50));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER,
                                     (path() + "/no/such/dir.log").toStdString(), ustring(), 50));
    EXPECT_EQ(-1, LoggerTestPeer::size());
    EXPECT_EQ(LoggerTestPeer::sharedRotations(), LoggerTestPeer::privateRotations());
    const std::string filler(LIMIT, 'f');
    Logger::LogMsg(Logger::L_ERR, "comp", "%s\n", filler.c_str());
    Logger::LogMsg(Logger::L_ERR, "comp", "still here\n");
    EXPECT_TRUE(err.text().endsWith("still here\n"));
    EXPECT_FALSE(QFile::exists(path() + "/no"));
}

// The level file's refused lines are told wherever the log goes, also when the file that
// was asked for cannot be opened (then on the stream the logger keeps).
struct RefusedLevelRow
{
    const char* name;
    Logger::Type type;
    bool file_opens;
    int result;
};

void PrintTo(const RefusedLevelRow& row, std::ostream* os)
{
    *os << row.name;
}

class LoggerRefusedLevelTest : public LoggerTest,
                               public ::testing::WithParamInterface<RefusedLevelRow>
{};

TEST_P(LoggerRefusedLevelTest, WarnsOfEachRefusedLine)
{
    const RefusedLevelRow& row = GetParam();
    FdCapture err(2, path() + "/stderr.txt");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(), 50));
    testsupport::writeFile(path() + "/launcher.debug", "comp=9\nbroken line\nother=5\n");
    const ustring log = row.file_opens ? logPathU() : ustring((path() + "/no/x.log").toStdString());
    EXPECT_EQ(row.result,
              Logger::Initialize(row.type, log, (path() + "/launcher.debug").toStdString(), 50));
    const QByteArray text = row.type == Logger::FILE_LOGGER && row.file_opens
                                ? testsupport::readFile(logPath())
                                : err.text();
    EXPECT_TRUE(text.contains("'comp=9' is not a level from 0 to 7, line ignored\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("1 line(s) without a component=level pair ignored\n"))
        << text.toStdString();
    EXPECT_FALSE(text.contains("other")) << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoggerRefusedLevelTest,
    ::testing::Values(RefusedLevelRow{"to_standard_error", Logger::STDERR_LOGGER, true, 0},
                      RefusedLevelRow{"to_the_file", Logger::FILE_LOGGER, true, 0},
                      RefusedLevelRow{"file_that_cannot_open", Logger::FILE_LOGGER, false, -1}),
    [](const ::testing::TestParamInfo<RefusedLevelRow>& info) {
        return std::string(info.param.name);
    });

TEST_F(LoggerTest, StandardErrorGetsThePrefixAndAndroidTheBareMessage)
{
    FdCapture err(2, path() + "/stderr.txt");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(), 50));
    Logger::LogMsg(Logger::L_ERR, "comp", "stamped\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::ANDROID_LOGGER, logPathU(), ustring(), 50));
    Logger::LogMsg(Logger::L_ERR, "comp", "bare\n");
    const QString text = QString::fromUtf8(err.text());
    EXPECT_TRUE(text.contains(QRegularExpression(QString(TIME_PREFIX_RE) + "stamped\\n")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith("stamped\nbare\n")) << text.toStdString();
    EXPECT_EQ(0, QFileInfo(logPath()).size());
}

TEST_F(LoggerTest, StandardOutputDestination)
{
    FdCapture out(1, path() + "/stdout.txt");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDOUT_LOGGER, ustring(), ustring(), 50));
    Logger::LogMsg(Logger::L_WARNING, "comp", "to stdout\n");
    Logger::LogMsg(Logger::L_NOTICE, "comp", "not shown\n");
    const QByteArray text = out.text();
    EXPECT_TRUE(text.endsWith("to stdout\n"));
    EXPECT_FALSE(text.contains("not shown"));
}

TEST_F(LoggerTest, SyslogGetsErrPriorityWithoutPrefix)
{
    ASSERT_EQ(0, initFile(50, "sys_comp=7\n"));
    ASSERT_EQ(0, Logger::Initialize(Logger::SYSLOG_LOGGER, ustring(), ustring(), 50));
    g_syslog = SyslogRecord();
    Logger::LogMsg(Logger::L_DEBUG, "sys_comp", "[DEBUG] x.cpp(%d): hello\n", 7);
    Logger::LogMsg(Logger::L_DEBUG, "other_sys_comp", "dropped\n");
    EXPECT_EQ(1, g_syslog.calls);
    EXPECT_EQ(LOG_ERR, g_syslog.priority);
    EXPECT_EQ("[DEBUG] x.cpp(7): hello\n", g_syslog.text);
}

TEST_F(LoggerTest, PlainTypeEntryPointFiltersAndWrites)
{
    ASSERT_EQ(0, initFile(50, "c_comp=5\n"));
    logC(Logger::L_NOTICE, "c_comp", "note %s\n", "kept");
    logC(Logger::L_INFO, "c_comp", "info dropped\n");
    const QByteArray text = testsupport::readFile(logPath());
    EXPECT_TRUE(text.contains("note kept\n"));
    EXPECT_FALSE(text.contains("info dropped"));
}

TEST_F(LoggerTest, LogStreamIsCloseOnExec)
{
    ASSERT_EQ(0, initFile());
    const int flags = fcntl(fileno(LoggerTestPeer::stream()), F_GETFD);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    // A rotation reopens the stream; the new one must not leak either.
    const std::string filler(LIMIT, 'f');
    Logger::LogMsg(Logger::L_ERR, "comp", "%s\n", filler.c_str());
    ASSERT_TRUE(QFile::exists(companion(0)));
    EXPECT_TRUE(fcntl(fileno(LoggerTestPeer::stream()), F_GETFD) & FD_CLOEXEC);
}

TEST_F(LoggerTest, FileLargerThanIntMaxIsCountedAsIntMax)
{
    {
        QFile f(logPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(3) << 30)); // sparse
    }
    ASSERT_EQ(0, initFile());
    EXPECT_EQ(INT_MAX, LoggerTestPeer::size());
    Logger::LogMsg(Logger::L_ERR, "comp", "rotates\n");
    EXPECT_TRUE(QFile::exists(companion(0)));
    EXPECT_EQ(0, QFileInfo(logPath()).size());
}

// A log that cannot take a line (a file system out of room, here the file size limit,
// which also makes a short write) sends the warnings and errors to standard error, after
// one line saying why; once it writes again, standard error is left alone.
TEST_F(LoggerTest, FailedWritesSendWarningsAndErrorsToStandardError)
{
    for (const int room : {0, 10}) {
        SCOPED_TRACE(room == 0 ? "no room at all" : "room for a short write");
        QFile::remove(logPath());
        ASSERT_EQ(0, initFile());
        Logger::LogMsg(Logger::L_ERR, "comp", "[ERROR] before\n");
        const off_t size = static_cast<off_t>(QFileInfo(logPath()).size());
        StderrPipe err;
        struct rlimit old;
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
        struct rlimit limit = old;
        limit.rlim_cur = static_cast<rlim_t>(size + room);
        void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
        Logger::LogMsg(Logger::L_ERR, "comp", "[ERROR] refused %d\n", 1);
        Logger::LogMsg(Logger::L_INFO, "comp", "[INFO] quiet\n");
        Logger::LogMsg(Logger::L_WARNING, "comp", "[WARNING] refused %d\n", 2);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
        signal(SIGXFSZ, oldHandler);
        Logger::LogMsg(Logger::L_ERR, "comp", "[ERROR] written again\n");
        const QString text = QString::fromUtf8(err.text());
        EXPECT_EQ(text.count("cannot write the log"), 1) << text.toStdString();
        EXPECT_TRUE(text.contains(room == 0 ? "File too large" : "a short write"))
            << text.toStdString();
        EXPECT_TRUE(text.contains("[ERROR] refused 1\n")) << text.toStdString();
        EXPECT_TRUE(text.contains("[WARNING] refused 2\n")) << text.toStdString();
        EXPECT_FALSE(text.contains("quiet"));
        EXPECT_FALSE(text.contains("written again"));
        EXPECT_TRUE(testsupport::readFile(logPath()).endsWith("[ERROR] written again\n"));
    }
}

// With standard error the journal's stream, warnings and errors reach it too, with their
// syslog priority first; JOURNAL_STREAM naming another file changes nothing.
TEST_F(LoggerTest, JournalOnStandardErrorGetsWarningsAndErrorsWithTheirPriority)
{
    for (const bool ours : {true, false}) {
        SCOPED_TRACE(ours ? "standard error is the journal" : "another stream");
        QFile::remove(logPath());
        FdCapture err(2, path() + "/stderr.txt");
        struct stat st;
        ASSERT_EQ(0, fstat(2, &st));
        const QByteArray stream =
            QByteArray::number(static_cast<qulonglong>(st.st_dev)) + ":" +
            QByteArray::number(static_cast<qulonglong>(st.st_ino) + (ours ? 0 : 1));
        testsupport::EnvGuard journal("JOURNAL_STREAM", stream);
        ASSERT_EQ(0, initFile());
        Logger::LogMsg(Logger::L_ERR, "comp", "[ERROR] e\n");
        Logger::LogMsg(Logger::L_WARNING, "comp", "[WARNING] w\n");
        Logger::LogMsg(Logger::L_NOTICE, "comp", "[NOTE] n\n");
        const QByteArray text = err.text();
        EXPECT_EQ(text, ours ? QByteArray("<3>[ERROR] e\n<4>[WARNING] w\n") : QByteArray());
        const QByteArray log = testsupport::readFile(logPath());
        EXPECT_TRUE(log.contains("[ERROR] e\n") && log.contains("[WARNING] w\n") &&
                    !log.contains("<3>"))
            << log.toStdString();
        Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring(), 50);
    }
}

// The log is the user's alone whatever the umask, also one an older launcher made open.
TEST_F(LoggerTest, LogFileIsPrivate)
{
    const mode_t oldMask = umask(022);
    testsupport::writeFile(path() + "/old.log", "older\n");
    QFile::setPermissions(path() + "/old.log", QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ReadGroup | QFile::ReadOther);
    for (const QString& file : {logPath(), path() + "/old.log"}) {
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, file.toStdString(), ustring(), 50));
        struct stat st;
        ASSERT_EQ(0, stat(file.toLocal8Bit().constData(), &st));
        EXPECT_EQ(st.st_mode & 07777, 0600u) << file.toStdString();
    }
    umask(oldMask);
}

// Runs in a fresh process, where no Initialize has happened yet.
TEST(LoggerDefaultStateDeathTest, WarningsGoToStandardErrorBeforeInitialize)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Logger::LogMsg(Logger::L_INFO, "early", "info line\n");
            Logger::LogMsg(Logger::L_WARNING, "early", "warning line\n");
            fflush(nullptr);
            _exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] warning line\n$");
}

} // namespace
