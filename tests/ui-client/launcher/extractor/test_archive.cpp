#include "test_archive.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace testarchive {

namespace {

struct WriteFree
{
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree
{
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

la_ssize_t appendTo(archive*, void* sink, const void* buffer, size_t length)
{
    static_cast<std::string*>(sink)->append(static_cast<const char*>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

const long MTIME = 1700000000;

// Turns the pax regular file at path into a hard link to target that keeps its data.
void retypeAsHardlink(std::string& bytes, const std::string& path, const std::string& target)
{
    ASSERT_LT(path.size(), 100u);
    ASSERT_LT(target.size(), 100u);
    for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
        char* h = &bytes[at];
        if (std::memcmp(h + 257, "ustar", 5) != 0 || h[156] != '0' ||
            std::strncmp(h, path.c_str(), 100) != 0) {
            continue;
        }
        h[156] = '1';
        std::memset(h + 157, 0, 100);
        std::memcpy(h + 157, target.data(), target.size());
        std::memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (int i = 0; i < 512; ++i) {
            sum += static_cast<unsigned char>(h[i]);
        }
        char field[8];
        std::snprintf(field, sizeof field, "%06o", sum);
        std::memcpy(h + 148, field, 7);
        return;
    }
    ADD_FAILURE() << "no header for " << path;
}

} // namespace

std::string build(Format format, const std::vector<Entry>& entries)
{
    std::string bytes;
    std::unique_ptr<archive, WriteFree> w(archive_write_new());
    if (format == Format::Zip) {
        archive_write_set_format_zip(w.get());
    } else if (format == Format::Cpio) {
        archive_write_set_format_cpio_newc(w.get());
    } else {
        // Full pax: a hard link with data needs an extended header to keep its size.
        archive_write_set_format_pax(w.get());
    }
    if (format == Format::TarGz) {
        archive_write_add_filter_gzip(w.get());
    } else if (format == Format::TarZst) {
        archive_write_add_filter_zstd(w.get());
    } else if (format == Format::TarXz) {
        archive_write_add_filter_xz(w.get());
    }
    // Zero padding after a zstd frame makes it unreadable; bsdtar does the same.
    archive_write_set_bytes_in_last_block(w.get(), 1);
    if (archive_write_open(w.get(), &bytes, nullptr, appendTo, nullptr) != ARCHIVE_OK) {
        ADD_FAILURE() << archive_error_string(w.get());
        return bytes;
    }
    std::vector<const Entry*> retyped;
    for (const Entry& in : entries) {
        std::unique_ptr<archive_entry, EntryFree> e(archive_entry_new());
        archive_entry_set_pathname_utf8(e.get(), in.path.c_str());
        archive_entry_set_mtime(e.get(), MTIME, 0);
        archive_entry_set_perm(e.get(), 0644);
        size_t size = 0;
        switch (in.kind) {
        case Entry::File:
            archive_entry_set_filetype(e.get(), AE_IFREG);
            size = in.data.size();
            break;
        case Entry::Dir:
            archive_entry_set_filetype(e.get(), AE_IFDIR);
            archive_entry_set_perm(e.get(), 0755);
            break;
        case Entry::Symlink:
            archive_entry_set_filetype(e.get(), AE_IFLNK);
            archive_entry_set_symlink_utf8(e.get(), in.link.c_str());
            break;
        case Entry::Hardlink:
            archive_entry_set_filetype(e.get(), AE_IFREG);
            if (in.data.empty()) {
                archive_entry_set_hardlink_utf8(e.get(), in.link.c_str());
            } else {
                EXPECT_EQ(format, Format::Tar) << "hard-link data needs a plain tar";
                archive_entry_set_mtime(e.get(), MTIME, 1); // forces the extended header
                size = in.data.size();
                retyped.push_back(&in);
            }
            break;
        case Entry::Fifo:
            archive_entry_set_filetype(e.get(), AE_IFIFO);
            break;
        case Entry::CharDevice:
            archive_entry_set_filetype(e.get(), AE_IFCHR);
            archive_entry_set_rdev(e.get(), makedev(1, 3));
            break;
        }
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(size));
        if (archive_write_header(w.get(), e.get()) != ARCHIVE_OK) {
            ADD_FAILURE() << in.path << ": " << archive_error_string(w.get());
            continue;
        }
        if (size > 0 &&
            archive_write_data(w.get(), in.data.data(), size) != static_cast<la_ssize_t>(size)) {
            ADD_FAILURE() << in.path << ": " << archive_error_string(w.get());
        }
    }
    if (archive_write_close(w.get()) != ARCHIVE_OK) {
        ADD_FAILURE() << archive_error_string(w.get());
    }
    for (const Entry* e : retyped) {
        retypeAsHardlink(bytes, e->path, e->link);
    }
    return bytes;
}

bool write(const std::string& path, Format format, const std::vector<Entry>& entries)
{
    const std::string bytes = build(format, entries);
    FILE* f = std::fopen(path.c_str(), "wbe");
    if (!f) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

} // namespace testarchive
