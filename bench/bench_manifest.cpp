// The start's check of the per-user tree against its manifest, and the install's writing
// of it, on a tree shaped like the install benchmark's typical package: 3,180 entries
// (150 folders, 3,000 files, 30 symbolic links). The tree is made in BENCH_DIR (default
// /var/tmp) and removed at the end.
#include "manifest.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Tree
{
    std::string user;
    std::string app;
    Tree()
    {
        const char* base = getenv("BENCH_DIR");
        std::string tmpl = std::string(base ? base : "/var/tmp") + "/bench_manifest_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        user = mkdtemp(buf.data()) ? buf.data() : "/var/tmp";
        app = user + "/Brisendale.app";
        mkdir(app.c_str(), 0755);
        put(app + "/INFO", "[Version]\nbuild_version=125\n");
        std::vector<std::string> folders;
        for (int top = 0; top < 15; ++top) {
            const std::string dir = app + "/d" + std::to_string(top);
            mkdir(dir.c_str(), 0755);
            folders.push_back(dir);
            for (int sub = 0; sub < 9; ++sub) {
                folders.push_back(dir + "/s" + std::to_string(sub));
                mkdir(folders.back().c_str(), 0755);
            }
        }
        for (int i = 0; i < 2999; ++i) {
            put(folders[i % folders.size()] + "/file-" + std::to_string(i) + ".dat",
                std::string(static_cast<size_t>(i % 700), 'x'));
        }
        for (int i = 0; i < 30; ++i) {
            symlink(("file-" + std::to_string(i * 150) + ".dat").c_str(),
                    (folders[0] + "/link-" + std::to_string(i)).c_str());
        }
        if (WriteNextTreeManifest(u(), a(), a()) != 0 || PromoteTreeManifest(u(), a()) != 0) {
            fprintf(stderr, "cannot write the manifest\n");
        }
    }
    ~Tree() { std::system(("rm -rf '" + user + "'").c_str()); }

    static void put(const std::string& path, const std::string& data)
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, data.data(), data.size()) < 0) {
                perror(path.c_str());
            }
            close(fd);
        }
    }
    ustring u() const { return ustring(user.c_str()); }
    ustring a() const { return ustring(app.c_str()); }
};

Tree& tree()
{
    static Tree t;
    return t;
}

void BM_CheckInstalledTree(benchmark::State& state)
{
    Tree& t = tree();
    for (auto _ : state) {
        const TreeCheck check = CheckInstalledTree(t.u(), t.a(), 4);
        if (check.state != TreeState::Intact) {
            state.SkipWithError("the tree is not intact");
            break;
        }
        benchmark::DoNotOptimize(check);
    }
}
BENCHMARK(BM_CheckInstalledTree)->Unit(benchmark::kMillisecond);

// Includes the fsync of the manifest and of its folder.
void BM_WriteNextTreeManifest(benchmark::State& state)
{
    Tree& t = tree();
    for (auto _ : state) {
        if (WriteNextTreeManifest(t.u(), t.a(), t.a()) != 0) {
            state.SkipWithError("cannot write the manifest");
            break;
        }
    }
}
BENCHMARK(BM_WriteNextTreeManifest)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
