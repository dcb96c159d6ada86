#include "provision/image_cache.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelvo {
namespace {

constexpr std::string_view kAmd64 = "ubuntu-25.10-server-cloudimg-amd64.img";

TEST(FindExpectedDigest, Table) {
    struct Case {
        std::string what, list;
        std::expected<std::string, std::string> digest;
    } cases[] = {
        {"plain", "aaa *other.img\nbbb *ubuntu-25.10-server-cloudimg-amd64.img\n", "bbb"},
        {"crlf lines", "aaa *other.img\r\nbbb *ubuntu-25.10-server-cloudimg-amd64.img\r\n", "bbb"},
        {"no final newline", "bbb *ubuntu-25.10-server-cloudimg-amd64.img", "bbb"},
        {"leading blanks", "  \tccc  ubuntu-25.10-server-cloudimg-amd64.img\n", "ccc"},
        {"first mention wins even as a prefix of another file",
         "ddd *ubuntu-25.10-server-cloudimg-amd64.img.manifest\n"
         "eee *ubuntu-25.10-server-cloudimg-amd64.img\n",
         "ddd"},
        {"case kept", "ABCDEF *ubuntu-25.10-server-cloudimg-amd64.img\n", "ABCDEF"},
        {"other arch only", "fff *ubuntu-25.10-server-cloudimg-arm64.img\n",
         std::unexpected("ubuntu-25.10-server-cloudimg-amd64.img not found in SHA256SUMS")},
        {"empty list", "",
         std::unexpected("ubuntu-25.10-server-cloudimg-amd64.img not found in SHA256SUMS")},
    };
    for (const auto& c : cases) EXPECT_EQ(find_expected_digest(c.list, kAmd64), c.digest) << c.what;
}

TEST(ImageNames, FollowTheArchitecture) {
    EXPECT_EQ(image_file_name(Arch::X86_64), kAmd64);
    EXPECT_EQ(image_file_name(Arch::Arm64), "ubuntu-25.10-server-cloudimg-arm64.img");
    EXPECT_EQ(image_url(Arch::Arm64),
              "https://cloud-images.ubuntu.com/releases/questing/release/"
              "ubuntu-25.10-server-cloudimg-arm64.img");
}

TEST(Sha256OfFile, FirstTokenOfSha256sum) {
    test_support::TempDir dir;
    const std::string path = dir.write("abc", "abc");
    EXPECT_EQ(sha256_of_file(path),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    auto missing = sha256_of_file(path);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().rfind("sha256sum exited with exit status: 1: sha256sum: ", 0), 0u)
        << missing.error();
}

}  // namespace
}  // namespace kelvo
