#include <sys/stat.h>

#include <gtest/gtest.h>

#include "machine/machine_id.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::read_file;
using test_support::TempDir;

bool looks_generated(const std::string& id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = id[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return id[14] == '4' && std::string_view("89ab").find(id[19]) != std::string_view::npos;
}

TEST(MachineId, StoredValueIsTrimmedAndKeptAsItIs) {
    TempDir dir;
    struct Case {
        const char* content;
        const char* want;
    };
    for (auto [content, want] : {
             Case{"0B9C2F0E-5D5A-4C47-9A4E-6F0D3C1E2A7B\n", "0B9C2F0E-5D5A-4C47-9A4E-6F0D3C1E2A7B"},
             Case{"  0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7b\r\n\t",
                  "0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7b"},
             // Not a version-4 value, but the shape is all that is checked.
             Case{"00000000-0000-0000-0000-000000000000", "00000000-0000-0000-0000-000000000000"},
         }) {
        std::string path = dir.write("machine-id", content);
        EXPECT_EQ(load_or_create_machine_id(path), want);
        EXPECT_EQ(read_file(path), content) << "the file is not rewritten";
    }
}

TEST(MachineId, InvalidContentIsReplaced) {
    TempDir dir;
    for (const std::string& content : {
             std::string("0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7"),      // 35 characters
             std::string("0b9c2f0e5d5a4c479a4e6f0d3c1e2a7b"),         // no dashes
             std::string("0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7g"),     // not hex
             std::string("0b9c2f0e-5d5a-4c47-9a4e_6f0d3c1e2a7b"),     // wrong separator
             std::string("0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7bb"),    // 37 characters
             std::string("0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7\xff"),  // not UTF-8
             std::string(""),
         }) {
        std::string path = dir.write("machine-id", content);
        std::string id = load_or_create_machine_id(path);
        EXPECT_TRUE(looks_generated(id)) << id;
        EXPECT_NE(id, content);
        EXPECT_EQ(read_file(path), id) << "written without a line break";
        EXPECT_EQ(load_or_create_machine_id(path), id) << "then reused";
    }
}

TEST(MachineId, RandomBytesWithVersionAndVariantBits) {
    TempDir dir;
    std::string random;
    for (int b = 0xf0; b <= 0xff; ++b) random += static_cast<char>(b);
    std::string source = dir.write("random", random + "extra bytes are not read");
    std::string path = dir.file("machine-id");
    EXPECT_EQ(load_or_create_machine_id(path, source), "f0f1f2f3-f4f5-46f7-b8f9-fafbfcfdfeff");
    EXPECT_EQ(read_file(path), "f0f1f2f3-f4f5-46f7-b8f9-fafbfcfdfeff");
}

TEST(MachineId, RealRandomSourceGivesVersion4) {
    TempDir dir;
    std::string a = load_or_create_machine_id(dir.file("a"));
    std::string b = load_or_create_machine_id(dir.file("b"));
    EXPECT_TRUE(looks_generated(a)) << a;
    EXPECT_TRUE(looks_generated(b)) << b;
    EXPECT_NE(a, b);
}

TEST(MachineId, WithoutRandomBytesTheIdComesFromThePath) {
    // The directory does not exist: the write fails and is ignored, so every
    // call derives the identifier afresh.
    const std::string path = "/nonexistent-kelvo-dir/machine-id";
    EXPECT_EQ(load_or_create_machine_id(path, "/nonexistent-random"),
              "c00f5eec-f938-461d-8807-56e4f1305e15");
    EXPECT_EQ(load_or_create_machine_id(path, "/nonexistent-random"),
              "c00f5eec-f938-461d-8807-56e4f1305e15");

    // A source with fewer than 16 bytes falls back the same way.
    TempDir dir;
    std::string short_source = dir.write("random", std::string(15, 'x'));
    EXPECT_EQ(load_or_create_machine_id(path, short_source),
              "c00f5eec-f938-461d-8807-56e4f1305e15");
    EXPECT_EQ(load_or_create_machine_id("", short_source), "00010203-0405-4607-8809-0a0b0c0d0e0f");
}

TEST(MachineId, EndlessOrBlockingIdentifierPathsDoNotHang) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    for (const std::string& path : {std::string("/dev/zero"), dir.file("fifo")}) {
        std::string id = load_or_create_machine_id(path);
        EXPECT_TRUE(looks_generated(id)) << path;
    }
    // A valid identifier padded past the size limit is not accepted.
    std::string padded = std::string(70 * 1024, ' ') + "0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7b";
    std::string path = dir.write("machine-id", padded);
    EXPECT_NE(load_or_create_machine_id(path), "0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7b");
}

TEST(MachineId, UnreadableIdentifierPathIsReplacedWhenPossible) {
    // A directory cannot be read as text, nor written: the id is still made.
    TempDir dir;
    std::string id = load_or_create_machine_id(dir.path());
    EXPECT_TRUE(looks_generated(id)) << id;
}

}  // namespace
}  // namespace kelvo
