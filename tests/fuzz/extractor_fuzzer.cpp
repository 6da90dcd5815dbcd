// Fuzz target for the package extractor: fuzzed archive bytes are extracted, with the
// options the launcher uses, into a scratch folder that sits beside a sentinel folder.
// After each input nothing outside the scratch folder may have changed; the run aborts
// otherwise. The scratch folder is emptied between inputs.
#include "extractor.h"
#include "file/unique_fd.h"
#include "fuzz_support.h"
#include "log/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

// Calls fn with the path of every entry of the folder path, "." and ".." left out.
template <typename Fn>
void forEachChild(const std::string& path, Fn fn)
{
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    if (!dir) {
        fuzz::fail("opendir", path);
    }
    while (dirent* e = readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            fn(path + "/" + name);
        }
    }
}

// Everything that changes when an entry is written, replaced, linked to or re-permitted;
// the ctime catches what the rest would miss.
std::string describeNode(const std::string& path, const struct stat& st)
{
    std::ostringstream out;
    out << std::oct << st.st_mode << std::dec << " ino=" << st.st_ino << " nlink=" << st.st_nlink
        << " uid=" << st.st_uid << " size=" << st.st_size << " mtime=" << st.st_mtim.tv_sec << "."
        << st.st_mtim.tv_nsec << " ctime=" << st.st_ctim.tv_sec << "." << st.st_ctim.tv_nsec;
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof(target));
        out << " -> " << std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        out << " data=" << std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out.str();
}

using Snapshot = std::map<std::string, std::string>;

// Every node below (and including) path, without following links, except `skip`.
void snapshot(const std::string& path, const std::string& skip, Snapshot& out)
{
    if (path == skip) {
        return;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    out[path] = describeNode(path, st);
    if (!S_ISDIR(st.st_mode)) {
        return;
    }
    forEachChild(path, [&](const std::string& child) { snapshot(child, skip, out); });
}

// Counts, per inode, the names below path that link to each non-folder.
void countLinks(const std::string& path, std::map<ino_t, std::pair<nlink_t, nlink_t>>& seen)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        auto& entry = seen[st.st_ino];
        entry.first = st.st_nlink;
        ++entry.second;
        return;
    }
    forEachChild(path, [&](const std::string& child) { countLinks(child, seen); });
}

// A file with more links than names below the scratch folder shares its inode with a
// file elsewhere, wherever that is on the file system: writing it would change both.
void checkNoLinkLeavesScratch(const std::string& scratch)
{
    std::map<ino_t, std::pair<nlink_t, nlink_t>> seen;
    countLinks(scratch, seen);
    for (const auto& inode : seen) {
        fuzz::check(inode.second.first <= inode.second.second,
                    "a hard link below the scratch folder reaches a file outside it, inode",
                    std::to_string(inode.first));
    }
}

// Removes path and everything below it, whatever permissions the archive gave them.
void removeTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        forEachChild(path, [](const std::string& child) { removeTree(child); });
        if (rmdir(path.c_str()) != 0) {
            fuzz::fail("rmdir", path);
        }
        return;
    }
    if (unlink(path.c_str()) != 0) {
        fuzz::fail("unlink", path);
    }
}

// Empties the scratch folder and gives it back the mode it started with.
void emptyFolder(const std::string& path)
{
    chmod(path.c_str(), 0755);
    forEachChild(path, [](const std::string& child) { removeTree(child); });
}

void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    out.close();
    if (!out) {
        fuzz::fail("write", path);
    }
}

std::string difference(const Snapshot& before, const Snapshot& after)
{
    std::string out;
    for (const auto& node : before) {
        auto it = after.find(node.first);
        if (it == after.end()) {
            out += "removed " + node.first + "\n";
        } else if (it->second != node.second) {
            out += "changed " + node.first + ": " + node.second + " => " + it->second + "\n";
        }
    }
    for (const auto& node : after) {
        if (before.count(node.first) == 0) {
            out += "added " + node.first + ": " + node.second + "\n";
        }
    }
    return out;
}

// The layout: <base>/box/{sentinel,scratch}, the archive at <base>/package; the sentinel
// holds a file, a folder and a link into the scratch folder, none of which may change.
// The scratch folder stays between inputs, so that box itself must not change; two
// levels above the scratch folder catch an escape of one or two steps up. The working
// directory is the sentinel folder during extraction, so a write relative to it shows.
struct Layout
{
    Layout()
    {
        const char* tmp = std::getenv("TMPDIR");
        base = std::string(tmp && *tmp ? tmp : "/tmp") + "/extractor_fuzzer.XXXXXX";
        if (!mkdtemp(&base[0])) {
            fuzz::fail("mkdtemp", base);
        }
        package = base + "/package";
        const std::string box = base + "/box";
        sentinel = box + "/sentinel";
        scratch = box + "/scratch";
        if (mkdir(box.c_str(), 0755) != 0 || mkdir(sentinel.c_str(), 0755) != 0 ||
            mkdir(scratch.c_str(), 0755) != 0 || mkdir((sentinel + "/folder").c_str(), 0755) != 0 ||
            symlink("../scratch", (sentinel + "/to-scratch").c_str()) != 0) {
            fuzz::fail("layout", base);
        }
        writeFile(sentinel + "/file", "sentinel\n");
        writeFile(sentinel + "/folder/file", "sentinel\n");
        // The extractor only reports failures; its log lines would drown the fuzzer's.
        Logger::Destroy();
    }
    ~Layout() { removeTree(base); }

    std::string base;
    std::string sentinel;
    std::string package;
    std::string scratch;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Layout layout;
    writeFile(layout.package, std::string(reinterpret_cast<const char*>(data), size));
    Snapshot before;
    snapshot(layout.base, layout.scratch, before);

    const UniqueFd cwd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cwd.valid() || chdir(layout.sentinel.c_str()) != 0) {
        fuzz::fail("chdir", layout.sentinel);
    }
    Extractor extractor;
    extractor.SetSource(layout.package.c_str());
    extractor.SetTarget(layout.scratch.c_str());
    extractor.Extract();
    // libFuzzer reads its corpus through relative paths.
    if (fchdir(cwd.get()) != 0) {
        fuzz::fail("fchdir");
    }

    Snapshot after;
    snapshot(layout.base, layout.scratch, after);
    const std::string changed = difference(before, after);
    fuzz::check(changed.empty(), "extraction reached outside the scratch folder:\n", changed);
    checkNoLinkLeavesScratch(layout.scratch);
    emptyFolder(layout.scratch);
    return 0;
}
