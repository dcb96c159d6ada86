#include "supervisor/signals_and_stdin.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using fakes::Runtime;

TEST(ControlCommand, ParsesTheThreeCommandsAndIgnoresTheRest) {
    struct Case {
        const char* line;
        std::optional<ControlRequest> request;
    };
    const Case cases[] = {
        {R"({"cmd":"stop"})", ControlRequest::Stop},
        {R"({"cmd":"kill"})", ControlRequest::Kill},
        {R"({"cmd":"hibernate"})", ControlRequest::Hibernate},
        {"  \t{\"cmd\": \"stop\", \"why\": 1}  ", ControlRequest::Stop},  // other members ignored
        {R"({"why":"x","cmd":"kill"})", ControlRequest::Kill},
        {R"({"cmd":"Stop"})", std::nullopt},  // case-sensitive
        {R"({"cmd":"STOP"})", std::nullopt},
        {R"({"cmd":" stop"})", std::nullopt},
        {R"({"cmd":1})", std::nullopt},
        {R"({"cmd":null})", std::nullopt},
        {R"({"cmd":["stop"]})", std::nullopt},
        {R"({"command":"stop"})", std::nullopt},
        {R"(["stop"])", std::nullopt},
        {R"("stop")", std::nullopt},
        {"stop", std::nullopt},
        {R"({"cmd":"stop")", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_control_command(c.line), c.request) << c.line;
}

// Feeds text through a pipe to the reader and collects what it queued.
std::vector<ControlRequest> read_from_pipe(const std::string& text) {
    asio::io_context io;
    ControlChannel channel(io.get_executor());
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::thread writer([&] {
        // Small pieces, so lines arrive split across reads.
        for (size_t i = 0; i < text.size(); i += 7) {
            const std::string piece = text.substr(i, 7);
            EXPECT_EQ(::write(fds[1], piece.data(), piece.size()),
                      static_cast<ssize_t>(piece.size()));
        }
        ::close(fds[1]);
    });
    read_control_commands(fds[0], channel);
    writer.join();
    ::close(fds[0]);
    std::vector<ControlRequest> out;
    while (auto r = channel.try_receive()) out.push_back(*r);
    return out;
}

TEST(ControlCommand, ReaderQueuesCommandsInOrderThenInputClosed) {
    EXPECT_EQ(read_from_pipe("{\"cmd\":\"hibernate\"}\n"
                             "not json\n"
                             "\n"
                             "{\"cmd\":\"Kill\"}\n"
                             "{\"cmd\":\"kill\"}\r\n"
                             "{\"cmd\":\"stop\"}"),  // a last line without a line feed counts
              (std::vector{ControlRequest::Hibernate, ControlRequest::Kill, ControlRequest::Stop,
                           ControlRequest::InputClosed}));
}

TEST(ControlCommand, EmptyInputIsJustInputClosed) {
    EXPECT_EQ(read_from_pipe(""), std::vector{ControlRequest::InputClosed});
}

TEST(ControlCommand, OverlongLineIsDroppedWholeAndReadingGoesOn) {
    const std::string junk = "{\"cmd\":\"stop\",\"pad\":\"" + std::string(3 << 20, 'x') + "\"}\n";
    EXPECT_EQ(read_from_pipe(junk + "{\"cmd\":\"kill\"}\n"),
              (std::vector{ControlRequest::Kill, ControlRequest::InputClosed}));
}

TEST(ControlCommand, ReadErrorEndsTheReaderWithoutARequest) {
    asio::io_context io;
    ControlChannel channel(io.get_executor());
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);  // reading it fails (EBADF)
    read_control_commands(fd, channel);
    ::close(fd);
    EXPECT_EQ(channel.try_receive(), std::nullopt);
}

TEST(ControlCommand, NonBlockingInputIsWaitedFor) {
    asio::io_context io;
    ControlChannel channel(io.get_executor());
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(::write(fds[1], "{\"cmd\":\"stop\"}\n", 15), 15);
        ::close(fds[1]);
    });
    read_control_commands(fds[0], channel);
    writer.join();
    ::close(fds[0]);
    EXPECT_EQ(channel.try_receive(), ControlRequest::Stop);
    EXPECT_EQ(channel.try_receive(), ControlRequest::InputClosed);
}

}  // namespace
}  // namespace kelvo
