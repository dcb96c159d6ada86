#include "common/progress_line.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using std::chrono::milliseconds;

TEST(ProgressLine, DrawnOnATerminalWithAUsableTermOnly) {
    EXPECT_TRUE(status_line_wanted(true, "xterm-256color"));
    EXPECT_FALSE(status_line_wanted(false, "xterm-256color"));
    for (const char* term : {static_cast<const char*>(nullptr), "", "dumb"})
        EXPECT_FALSE(status_line_wanted(true, term)) << (term ? term : "(unset)");
}

TEST(ProgressLine, FitsOneRowWithoutControlBytes) {
    struct Case {
        std::string text;
        size_t columns;
        std::string row;
    };
    for (const auto& c : {
             Case{"3 s  waiting", 80, "3 s  waiting"},
             Case{"0123456789", 11, "0123456789"},
             Case{"0123456789", 10, "01234567…"},
             Case{"0123456789", 1, "…"},
             Case{"ééééé", 5, "ééé…"},      // columns, not bytes
             Case{"漢字漢字", 6, "漢字…"},  // two columns each
             Case{"a\x1b[1;31mred\x1b[0m\x07\x7f b", 80, "ared b"},
             Case{"a\x1b]0;title\x07z", 80, "az"},
             Case{"x\xC2\x9B"
                  "1m\xFFy",
                  80, "x1m\xEF\xBF\xBDy"},  // C1 dropped, invalid replaced
             Case{"two\nlines", 80, "two lines"},
         })
        EXPECT_EQ(fit_to_row(c.text, c.columns), c.row) << c.text;
}

TEST(ProgressLine, LastConsoleLineIsTheLastThatShowsSomething) {
    struct Case {
        std::string console, line;
    };
    for (const auto& c : {
             Case{"", ""},
             Case{"first\r\nsecond\r\n\r\n  \r\n", "second"},
             Case{"[\x1b[0;32m  OK  \x1b[0m] Started \x1b[0;1;39mssh.service\x1b[0m.\r\n",
                  "[  OK  ] Started ssh.service."},
             // Firmware places its text with cursor positions and clears.
             Case{"\x1b[2J\x1b[01;01HBdsDxe: loading\x1b[25;01H\x1b[0m", "BdsDxe: loading"},
             // A line redrawn after "\r" shows its last state.
             Case{"fsck 10%\rfsck 20%\t", "fsck 20%"},
             Case{"partial line without end", "partial line without end"},
             Case{"\x1b[?25l\x1b[", ""},
         })
        EXPECT_EQ(last_console_line(c.console), c.line) << c.console;
}

TEST(ProgressLine, AmountsAndRates) {
    EXPECT_EQ(format_seconds(milliseconds(8900)), "8 s");
    EXPECT_EQ(format_transfer(5u << 20, milliseconds(50)), "5 MiB");
    EXPECT_EQ(format_transfer(812u << 20, milliseconds(4000)), "812 MiB, 203.0 MiB/s");
}

}  // namespace
}  // namespace kelvo
