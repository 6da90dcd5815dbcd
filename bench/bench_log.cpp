// Cost of a message dropped by its threshold and of one written to the log file.
#include "log/log.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string scratchDir()
{
    char tmpl[] = "/tmp/bench_log_XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? dir : "/tmp";
}

void BM_DroppedMessage(benchmark::State& state)
{
    const std::string dir = scratchDir();
    Logger::Initialize(Logger::FILE_LOGGER, (dir + "/launcher.log").c_str(), ustring(), 50);
    const ustring component("service_debug");
    for (auto _ : state)
        Logger::LogMsg(Logger::L_DEBUG, component, "[DEBUG] bench.cpp(%d): %s\n", __LINE__,
                       "dropped");
    Logger::Destroy();
    std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_DroppedMessage);

// A component name built at the call, as the file operations' callers do.
void BM_DroppedMessageFreshComponent(benchmark::State& state)
{
    const std::string dir = scratchDir();
    Logger::Initialize(Logger::FILE_LOGGER, (dir + "/launcher.log").c_str(), ustring(), 50);
    for (auto _ : state)
        Logger::LogMsg(Logger::L_DEBUG, "service_debug", "[DEBUG] bench.cpp(%d): %s\n", __LINE__,
                       "dropped");
    Logger::Destroy();
    std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_DroppedMessageFreshComponent);

// Includes the flush per message and, every ~1 MiB, a rotation.
void BM_WrittenMessage(benchmark::State& state)
{
    const std::string dir = scratchDir();
    Logger::Initialize(Logger::FILE_LOGGER, (dir + "/launcher.log").c_str(), ustring(), 50);
    const ustring component("service_debug");
    for (auto _ : state)
        Logger::LogMsg(Logger::L_ERR, component, "[ERROR] bench.cpp(%d): %s '%s'\n", __LINE__,
                       "written message", "/home/user/.Brisendale/app");
    Logger::Destroy();
    std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_WrittenMessage);

} // namespace

BENCHMARK_MAIN();
