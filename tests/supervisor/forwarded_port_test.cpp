#include "supervisor/forwarded_port.h"

#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using fakes::FakeSshPort;

TEST(ForwardedPort, ListenersAreFoundByPortAndState) {
    const std::string table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:08AE 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 "
        "4242 1 0 100 0 0 10 0\n"
        "   1: 0100007F:08AE 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000 0 "
        "777 1 0 20 4 30 10 -1\n"
        "   2: 00000000:18AE 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 0 "
        "99 1 0 100 0 0 10 0\n";
    EXPECT_EQ(listening_inodes(table, 2222), std::vector<uint64_t>{4242});  // not the connection
    EXPECT_EQ(listening_inodes(table, 6318), std::vector<uint64_t>{99});
    EXPECT_TRUE(listening_inodes(table, 22).empty());
    EXPECT_TRUE(listening_inodes("garbage\n", 2222).empty());
}

TEST(ForwardedPort, AListenerIsSeenAsItsOwnersAndTheBindIsRefused) {
    FakeSshPort port([] { return std::string("SSH-2.0-x\r\n"); });
    EXPECT_EQ(listener_held_by(::getpid(), port.port()), true);
    EXPECT_EQ(listener_held_by(::getppid(), port.port()), false);
    const auto in_use = check_port_free(port.port());
    ASSERT_FALSE(in_use.has_value());
    EXPECT_EQ(in_use.error(), fmt::format("ssh_host_port {0}: 127.0.0.1:{0} is already in use by "
                                          "another program",
                                          port.port()));
    const uint16_t closed = fakes::closed_port();  // bound, not listening
    EXPECT_EQ(listener_held_by(::getpid(), closed), false);
    const uint16_t released = FakeSshPort([] { return std::string(); }).port();
    EXPECT_TRUE(check_port_free(released).has_value());
}

}  // namespace
}  // namespace kelvo
