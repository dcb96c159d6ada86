// load_helper_config and parse_helper_config: every case of the shared
// conformance table (the record each loads, or the exact message each fails
// with), and files that are not plain helper.json texts, which must fail with
// a clear reason and never crash or wait.
#include "config/helper_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/helper_config_json.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using nlohmann::json;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

std::string base64_decode(std::string_view in) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : in) {
        const size_t v = alphabet.find(c);
        if (v == std::string::npos) continue;  // padding
        bits = bits << 6 | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

TEST(ConfigConformance, EveryCaseMatches) {
    const std::string table = KELVO_TESTS_DIR "/data/config_cases.json";
    const json cases = json::parse(read_file(table), nullptr, false);
    ASSERT_TRUE(cases.is_array()) << "cannot read " << table;
    ASSERT_FALSE(cases.empty());

    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.file("helper.json");

    size_t passed = 0;
    for (const json& c : cases) {
        const std::string name = c.at("name");
        const std::string kind = c.at("kind");
        const std::string input = c.at("input").is_null()
                                      ? base64_decode(c.at("input_b64").get<std::string>())
                                      : c.at("input").get<std::string>();
        write_file(file, input);
        const auto loaded = load_helper_config(file);
        bool ok = false;
        if (kind == "ok") {
            EXPECT_TRUE(loaded.has_value()) << name << ": " << (loaded ? "" : loaded.error());
            if (loaded) {
                const json got = test_support::helper_config_json(*loaded);
                EXPECT_EQ(got, c.at("value")) << name;
                ok = got == c.at("value");
            }
        } else {
            const std::string expected = c.at("expected");
            const std::string want = kind == "read" ? "read config " + file + ": " + expected
                                                    : "parse config: " + expected;
            EXPECT_FALSE(loaded.has_value()) << name;
            if (!loaded) {
                EXPECT_EQ(loaded.error(), want) << name;
                ok = loaded.error() == want;
            }
            if (kind == "parse") {
                const auto parsed = parse_helper_config(input);
                EXPECT_EQ(parsed ? "" : parsed.error(), expected)
                    << name << " (parse_helper_config)";
            }
        }
        if (ok) ++passed;
    }
    EXPECT_EQ(passed, cases.size());
    std::cout << "config conformance: " << passed << "/" << cases.size() << " cases pass\n";
}

const std::string kValid =
    R"({"disk_path":"/vm/a/disk.qcow2","seed_path":"/vm/a/seed.iso",)"
    R"("efi_store_path":"/vm/a/efi-vars.fd","machine_identifier_path":"/vm/a/machine-id",)"
    R"("console_log_path":"/vm/a/console.log","save_path":"","mac_address":"52:54:00:12:34:56",)"
    R"("cpu_count":2,"memory_mib":4096,"isolated":false)";

// kValid with one more member and the closing brace.
std::string valid_with(const std::string& member) {
    return kValid + "," + member + "}";
}

// Loads path on another thread and gives up after a time limit; a FIFO that
// the reader waits on is then released (release() drops the test's own ends,
// then a writer comes and goes).
std::expected<HelperConfig, std::string> load_with_limit(
    const std::string& path, const std::function<void()>& release = {}) {
    auto pending = std::async(std::launch::async, [path] { return load_helper_config(path); });
    if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        if (release) release();
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
        pending.wait();
        return std::unexpected("timed out");
    }
    return pending.get();
}

struct RobustCase {
    const char* name;
    // Creates the input under dir and returns the path to load.
    std::function<std::string(const std::string& dir)> make;
    // The expected error after "read config {path}: " or "parse config: ",
    // or "" when the file loads.
    std::string read_reason;
    std::string parse_reason;
};

std::string file_with(const std::string& dir, const std::string& bytes) {
    const std::string path = dir + "/helper.json";
    write_file(path, bytes);
    return path;
}

TEST(LoadHelperConfig, FailsCleanlyOnUnusualInputs) {
    const size_t deep = 1'000'000;
    const RobustCase cases[] = {
        {"missing file", [](const std::string& d) { return d + "/absent.json"; },
         "No such file or directory (os error 2)", ""},
        {"missing directory on the way",
         [](const std::string& d) { return d + "/no/such/helper.json"; },
         "No such file or directory (os error 2)", ""},
        {"empty path", [](const std::string&) { return std::string(); },
         "No such file or directory (os error 2)", ""},
        {"a directory", [](const std::string& d) { return d; }, "Is a directory (os error 21)", ""},
        {"a path through a regular file",
         [](const std::string& d) { return file_with(d, kValid + "}") + "/x"; },
         "Not a directory (os error 20)", ""},
        {"FIFO without a writer",
         [](const std::string& d) {
             const std::string p = d + "/fifo";
             ::mkfifo(p.c_str(), 0600);
             return p;
         },
         "not a regular file", ""},
        {"character device", [](const std::string&) { return std::string("/dev/null"); },
         "not a regular file", ""},
        {"NUL inside the path", [](const std::string& d) { return d + std::string("/a\0b", 4); },
         "file name contained an unexpected NUL byte", ""},
        {"invalid UTF-8 in an ignored value",
         [](const std::string& d) { return file_with(d, valid_with("\"x\":\"\xff\"")); },
         "stream did not contain valid UTF-8", ""},
        {"NUL bytes inside a string value",
         [](const std::string& d) {
             return file_with(d, std::string("{\"disk_path\":\"a\0b\"}", 19));
         },
         "",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 16"},
        {"only NUL bytes", [](const std::string& d) { return file_with(d, std::string(8, '\0')); },
         "", "expected value at line 1 column 1"},
        {"a million nested arrays in an ignored value",
         [deep](const std::string& d) {
             return file_with(
                 d, valid_with("\"x\":" + std::string(deep, '[') + std::string(deep, ']')));
         },
         "", ""},
        {"a million unclosed arrays in an ignored value",
         [deep](const std::string& d) {
             return file_with(d, kValid + ",\"x\":" + std::string(deep, '['));
         },
         "",
         "EOF while parsing a list at line 1 column " + std::to_string(kValid.size() + 5 + deep)},
        {"a million nested arrays as the top level",
         [deep](const std::string& d) { return file_with(d, std::string(deep, '[')); }, "",
         "invalid type: sequence, expected a string at line 1 column 1"},
        {"a million nested objects for a typed field",
         [deep](const std::string& d) {
             std::string nested;
             for (size_t i = 0; i < deep; ++i) nested += "{\"a\":";
             return file_with(d, "{\"cpu_count\":" + nested);
         },
         "", "invalid type: map, expected u32 at line 1 column 13"},
        {"a million-digit number for a typed field",
         [deep](const std::string& d) {
             return file_with(d, "{\"cpu_count\":" + std::string(deep, '7') + "}");
         },
         "", "number out of range at line 1 column " + std::to_string(13 + deep)},
        {"a million-digit number in an ignored value",
         [deep](const std::string& d) {
             return file_with(d, valid_with("\"x\":" + std::string(deep, '7') + ".5e999999999999"));
         },
         "", ""},
        {"16 MB of trailing blank lines",
         [](const std::string& d) {
             return file_with(d, kValid + "}" + std::string(16 << 20, '\n'));
         },
         "", ""},
        {"a 4 MB name",
         [](const std::string& d) {
             return file_with(d, valid_with("\"vm_name\":\"" + std::string(4 << 20, 'n') + "\""));
         },
         "", ""},
        {"symbolic link to a valid file",
         [](const std::string& d) {
             const std::string target = file_with(d, kValid + "}");
             const std::string link = d + "/link.json";
             std::filesystem::create_symlink(target, link);
             return link;
         },
         "", ""},
        {"dangling symbolic link",
         [](const std::string& d) {
             const std::string link = d + "/dangling.json";
             std::filesystem::create_symlink(d + "/nowhere", link);
             return link;
         },
         "No such file or directory (os error 2)", ""},
    };
    for (const RobustCase& c : cases) {
        TempDir dir;
        ASSERT_FALSE(dir.path().empty());
        const std::string path = c.make(dir.path());
        const auto loaded = load_with_limit(path);
        if (c.read_reason.empty() && c.parse_reason.empty()) {
            EXPECT_TRUE(loaded.has_value()) << c.name << ": " << (loaded ? "" : loaded.error());
        } else if (!c.read_reason.empty()) {
            EXPECT_EQ(loaded ? "loaded" : loaded.error(),
                      "read config " + path + ": " + c.read_reason)
                << c.name;
        } else {
            EXPECT_EQ(loaded ? "loaded" : loaded.error(), "parse config: " + c.parse_reason)
                << c.name;
        }
    }
}

TEST(LoadHelperConfig, FifoWithAWriterIsNotWaitedOn) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string fifo = dir.file("helper.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Holding both ends open: a reader that blocked would wait for ever.
    int held = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const auto drop = [&held] {
        ::close(held);
        held = -1;
    };
    const auto loaded = load_with_limit(fifo, drop);
    if (held >= 0) drop();
    EXPECT_EQ(loaded ? "loaded" : loaded.error(), "read config " + fifo + ": not a regular file");
}

TEST(LoadHelperConfig, UnreadableFileGivesTheSystemReason) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = file_with(dir.path(), kValid + "}");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const auto loaded = load_helper_config(path);
    EXPECT_EQ(loaded ? "loaded" : loaded.error(),
              "read config " + path + ": Permission denied (os error 13)");
}

TEST(LoadHelperConfig, ParsedRecordMatchesTheText) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const auto loaded = load_helper_config(file_with(
        dir.path(),
        valid_with(R"("ssh_host_port":65535,"disk_gib":4294967295,"firmware_path":"/fw")")));
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(loaded->disk_path, "/vm/a/disk.qcow2");
    EXPECT_EQ(loaded->mac_address, "52:54:00:12:34:56");
    EXPECT_EQ(loaded->cpu_count, 2u);
    EXPECT_EQ(loaded->memory_mib, 4096u);
    EXPECT_EQ(loaded->disk_gib, 4294967295u);
    EXPECT_EQ(loaded->ssh_host_port, 65535);
    EXPECT_EQ(loaded->firmware_path, "/fw");
    EXPECT_EQ(loaded->vm_name, "");
    EXPECT_FALSE(loaded->isolated);
}

TEST(ParseHelperConfig, RefusesTextThatIsNotUtf8) {
    const auto parsed = parse_helper_config(valid_with("\"x\":\"\xc3\x28\""));
    EXPECT_EQ(parsed ? "parsed" : parsed.error(), "stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace kelvo
