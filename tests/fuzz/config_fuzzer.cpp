// Fuzz target for the key=value reader: fuzzed bytes are read from a file, and whenever
// the writer accepts the store, what it wrote must read back as the same store, both in
// the plain mode and in the mode that keeps quotes.
#include "config.h"
#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A folder for the two files of every run, removed when the process ends.
class Scratch
{
public:
    Scratch()
    {
        const char* tmp = std::getenv("TMPDIR");
        m_dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/config_fuzzer.XXXXXX";
        if (!mkdtemp(&m_dir[0])) {
            fuzz::fail("mkdtemp", m_dir);
        }
        input = m_dir + "/input.conf";
        output = m_dir + "/output.conf";
    }
    ~Scratch()
    {
        unlink(input.c_str());
        unlink(output.c_str());
        rmdir(m_dir.c_str());
    }

    std::string input;
    std::string output;

private:
    std::string m_dir;
};

void writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "we");
    if (!f) {
        fuzz::fail("fopen", path);
    }
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) {
        fuzz::fail("write", path);
    }
}

std::string describe(const Config& config)
{
    std::string out;
    for (const auto& entry : config) {
        out += std::string(entry.first.c_str()) + "=[" + entry.second.c_str() + "]\n";
    }
    return out;
}

bool sameStore(const Config& a, const Config& b)
{
    auto ia = a.begin();
    auto ib = b.begin();
    for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
        if (ia->first != ib->first || ia->second != ib->second) {
            return false;
        }
    }
    return ia == a.end() && ib == b.end();
}

void roundTrip(const Scratch& files, bool preserve)
{
    Config config;
    config.set_preserve(preserve);
    if (config.read(files.input.c_str()) != 0) {
        fuzz::check(config.begin() == config.end(), "a failed read left entries");
        return;
    }
    for (const auto& entry : config) {
        // Only their not crashing is of interest here.
        (void)config.get_int(entry.first);
        (void)config.get_bool(entry.first);
    }
    if (config.write(files.output.c_str()) != 0) {
        return;
    }
    Config again;
    again.set_preserve(preserve);
    fuzz::check(again.read(files.output.c_str()) == 0, "written file does not read back",
                describe(config));
    fuzz::check(sameStore(config, again), "round trip changed the store",
                describe(config) + "--- read back as\n" + describe(again));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Scratch files;
    writeFile(files.input, data, size);
    roundTrip(files, false);
    roundTrip(files, true);
    return 0;
}
