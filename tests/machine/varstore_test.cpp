#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <gtest/gtest.h>

#include "machine/firmware.h"
#include "machine/varstore.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::file_mode;
using test_support::read_file;
using test_support::TempDir;

const std::string kNotAFile =
    "the source path is neither a regular file nor a symlink to a regular file";

TEST(EnsureVarstore, CopiesTheTemplateWithMode644) {
    TempDir dir;
    std::string content(200 * 1024, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    std::string tmpl = dir.write("OVMF_VARS.fd", content);
    ::chmod(tmpl.c_str(), 0400);
    std::string store = dir.file("efi-vars.fd");

    // Whatever the umask, the store ends up 644.
    mode_t old_mask = ::umask(077);
    auto r = ensure_varstore(tmpl, store);
    ::umask(old_mask);

    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(read_file(store), content);
    EXPECT_EQ(file_mode(store), 0644u);
}

TEST(EnsureVarstore, ExistingStoreIsLeftAlone) {
    TempDir dir;
    std::string tmpl = dir.write("OVMF_VARS.fd", "template");
    std::string store = dir.write("efi-vars.fd", "settings");
    ASSERT_EQ(::chmod(store.c_str(), 0444), 0);
    ASSERT_TRUE(ensure_varstore(tmpl, store).has_value());
    EXPECT_EQ(read_file(store), "settings");
    EXPECT_EQ(file_mode(store), 0444u);
    // Even a missing template does not matter then.
    ASSERT_TRUE(ensure_varstore(dir.file("missing"), store).has_value());
}

TEST(EnsureVarstore, TemplateThroughASymlinkIsCopied) {
    TempDir dir;
    std::string tmpl = dir.write("OVMF_VARS.fd", "template");
    ASSERT_EQ(::symlink(tmpl.c_str(), dir.file("link").c_str()), 0);
    ASSERT_TRUE(ensure_varstore(dir.file("link"), dir.file("store")).has_value());
    EXPECT_EQ(read_file(dir.file("store")), "template");
}

TEST(EnsureVarstore, MissingTemplate) {
    TempDir dir;
    std::string tmpl = dir.file("missing.fd");
    std::string store = dir.file("store");
    auto r = ensure_varstore(tmpl, store);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(),
              "copy varstore " + tmpl + "→" + store + ": No such file or directory (os error 2)");
    EXPECT_FALSE(path_exists(store));
}

TEST(EnsureVarstore, MissingParentDirectoryIsNotCreated) {
    TempDir dir;
    std::string tmpl = dir.write("vars", "x");
    std::string store = dir.file("no-dir/store");
    auto r = ensure_varstore(tmpl, store);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(),
              "copy varstore " + tmpl + "→" + store + ": No such file or directory (os error 2)");
    EXPECT_FALSE(path_exists(dir.file("no-dir")));
}

TEST(EnsureVarstore, TemplateThatIsNotARegularFileIsRefusedBeforeWriting) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("dir-link").c_str()), 0);
    for (const std::string& tmpl :
         {dir.path().string(), dir.file("fifo"), dir.file("dir-link"), std::string("/dev/null")}) {
        std::string store = dir.file("store");
        auto r = ensure_varstore(tmpl, store);
        ASSERT_FALSE(r.has_value()) << tmpl;
        EXPECT_EQ(r.error(), "copy varstore " + tmpl + "→" + store + ": " + kNotAFile);
        EXPECT_FALSE(path_exists(store)) << tmpl;
    }
}

TEST(EnsureVarstore, ReadFailureMidCopyLeavesNoStore) {
    // The process's own memory file is a regular file whose first page is
    // unmapped: the read after the store is created fails with EIO.
    TempDir dir;
    std::string store = dir.file("store");
    auto r = ensure_varstore("/proc/self/mem", store);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(),
              "copy varstore /proc/self/mem→" + store + ": Input/output error (os error 5)");
    EXPECT_FALSE(path_exists(store));
    // The next call starts afresh instead of accepting a broken store.
    std::string tmpl = dir.write("vars", "good");
    ASSERT_TRUE(ensure_varstore(tmpl, store).has_value());
    EXPECT_EQ(read_file(store), "good");
}

TEST(EnsureVarstore, ChmodFailureLeavesNoStore) {
    TempDir dir;
    std::string tmpl = dir.write("vars", "template");
    std::string store = dir.file("store");
    unsigned asked_mode = 0;
    auto r = ensure_varstore(tmpl, store, [&](int, unsigned mode) {
        asked_mode = mode;
        errno = EPERM;
        return -1;
    });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(asked_mode, 0644u);
    EXPECT_EQ(r.error(), "chmod varstore " + store + ": Operation not permitted (os error 1)");
    EXPECT_FALSE(path_exists(store));
}

TEST(EnsureVarstore, DanglingSymlinkAtTheStorePathIsNotFollowed) {
    // A dangling link does not exist as a store, but writing through it would
    // put the firmware settings somewhere else.
    TempDir dir;
    std::string tmpl = dir.write("vars", "template");
    std::string store = dir.file("store");
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), store.c_str()), 0);
    auto r = ensure_varstore(tmpl, store);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "copy varstore " + tmpl + "→" + store + ": File exists (os error 17)");
    EXPECT_FALSE(path_exists(dir.file("elsewhere")));
}

}  // namespace
}  // namespace kelvo
