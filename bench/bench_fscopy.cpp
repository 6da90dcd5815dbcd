// FSCopy of a 256 MiB file against cp of the same file. FSCopy flushes the copy to
// storage; "cp" alone does not, so "cp + sync FILE" is the like-for-like figure.
// The folder is taken from BENCH_DIR (default /var/tmp) so that it can be a real disk.
#include "file/file-op.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const size_t FILE_SIZE = size_t(256) << 20;

struct Fixture
{
    std::string dir;
    std::string src;
    std::string dst;
    Fixture()
    {
        const char* base = getenv("BENCH_DIR");
        std::string tmpl = std::string(base ? base : "/var/tmp") + "/bench_fscopy_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        dir = mkdtemp(buf.data()) ? buf.data() : "/var/tmp";
        src = dir + "/src.bin";
        dst = dir + "/dst.bin";
        const int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 7);
        for (size_t done = 0; done < FILE_SIZE; done += block.size())
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                break;
        fsync(fd);
        close(fd);
    }
    ~Fixture() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void setBytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(FILE_SIZE));
}

void BM_FSCopy(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state) {
        if (FSCopy(f.src.c_str(), f.dst.c_str(), false) != 0)
            state.SkipWithError("FSCopy failed");
    }
    setBytes(state);
}
BENCHMARK(BM_FSCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void runShell(benchmark::State& state, const std::string& cmd)
{
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError(cmd.c_str());
    }
    setBytes(state);
}

void BM_Cp(benchmark::State& state)
{
    Fixture& f = fixture();
    runShell(state, "cp '" + f.src + "' '" + f.dst + "'");
}
BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_CpThenSync(benchmark::State& state)
{
    Fixture& f = fixture();
    runShell(state, "cp '" + f.src + "' '" + f.dst + "' && sync '" + f.dst + "'");
}
BENCHMARK(BM_CpThenSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
