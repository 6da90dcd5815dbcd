// Stands in for libFuzzer's driver in builds without it: runs the fuzz target once on
// every file named on the command line, or found directly inside a named folder, so the
// seed corpus and the regression inputs run in the normal test suite.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

// The regular files directly inside `folder`, sorted so that runs are repeatable.
bool listFolder(const std::string& folder, std::vector<std::string>& files)
{
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) {
        std::perror(folder.c_str());
        return false;
    }
    std::vector<std::string> found;
    while (dirent* e = readdir(dir.get())) {
        const std::string path = folder + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            found.push_back(path);
        }
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

// Absolute paths: a target may change the working directory.
bool collect(const char* arg, std::vector<std::string>& files)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(arg, nullptr), &std::free);
    struct stat st;
    if (!resolved || stat(resolved.get(), &st) != 0) {
        std::perror(arg);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        return listFolder(resolved.get(), files);
    }
    files.push_back(resolved.get());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], files)) {
            return 2;
        }
    }
    // An empty corpus would pass without testing anything.
    if (files.empty()) {
        std::fprintf(stderr, "no input files\n");
        return 2;
    }
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::perror(path.c_str());
            return 2;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
