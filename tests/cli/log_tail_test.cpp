#include "cli/log_tail.h"

#include <gtest/gtest.h>

#include "common/files.h"
#include "common/text.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

TEST(LogTail, ShowsTheLastLinesAsAWholeFileReadWould) {
    const std::string odd = "\xE2\x82\xAC\xF0\x9F\x98\r\xC3\r\xff\xED\xA0\x80\x1b[2J\t";
    struct Case {
        std::string bytes;
        uint64_t count;
        uint64_t start;
    } cases[] = {
        {"", 3, 0},
        {"a\nb\n", 0, 4},
        {"a\nb\n", 1, 2},
        {"a\nb", 1, 2},
        {"a\nb", 5, 0},
        {"\n\n\n", 2, 1},
        {"one\r\ntwo\r\n", 1, 5},
        {"a\r\n\r", 1, 3},
        {odd + odd + "\r\n" + odd + "\n" + odd, 2, 2 * odd.size() + 2},
    };
    test_support::TempDir tmp;
    for (const auto& c : cases) {
        test_support::write_file(tmp.path() / "log", c.bytes);
        const auto file = open_regular_file(tmp.path() / "log");
        ASSERT_TRUE(file.has_value());
        // What logs printed when it read the whole file: the last count lines.
        const auto lines = split_lines(utf8_lossy(c.bytes));
        std::string want;
        for (auto i = lines.size() - std::min<size_t>(lines.size(), c.count); i < lines.size(); ++i)
            want += lines[i] + "\n";
        // Block sizes that put block ends inside "\r\n" and UTF-8 sequences.
        for (const size_t block : {size_t(1), size_t(2), size_t(3), size_t(5), kLogBlock}) {
            EXPECT_EQ(tail_start(file->fd.get(), file->size, c.count, block), c.start);
            std::string shown;
            size_t largest = 0;
            const auto copied = copy_lines(
                file->fd.get(), c.start, file->size,
                [&](std::string_view text) {
                    shown += text;
                    largest = std::max(largest, text.size());
                    return true;
                },
                block);
            EXPECT_EQ(copied, true);
            EXPECT_EQ(shown, want) << c.bytes << " block " << block;
            EXPECT_LE(largest, 6 * block + 16);  // a long line is passed on in parts
        }
    }
    EXPECT_EQ(open_regular_file("/dev/zero").error(), "not a regular file");
}

}  // namespace
}  // namespace kelvo
