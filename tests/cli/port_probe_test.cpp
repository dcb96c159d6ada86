#include "cli/port_probe.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ssh_port.h"

namespace kelvo {
namespace {

using test_support::closed_port;

// A loopback listener that greets each connection with a fixed text (or
// says nothing) and keeps it open until the listener ends.
test_support::FakeSshPort listener(std::string greeting, bool split = false) {
    return test_support::FakeSshPort(
        std::move(greeting), test_support::FakeSshPort::Then::keep_until_listener_ends, split);
}

TEST(PortProbe, OpenOnlyWhenThePeerIdentifiesAsSsh) {
    const auto ssh = listener("SSH-2.0-test\r\n");
    const auto split = listener("SSH-2.0-slow\r\n", /*split=*/true);
    const auto silent = listener("");
    const auto http = listener("HTTP/1.1 400\r\n");
    const auto short_hello = listener("SS");
    struct Case {
        const char* what;
        uint16_t port;
        bool open;
    } cases[] = {
        {"ssh greeting", ssh.port(), true},
        {"greeting in two pieces", split.port(), true},
        {"accepts but never answers", silent.port(), false},
        {"other protocol", http.port(), false},
        {"greeting cut short", short_hello.port(), false},
        {"nothing listening", closed_port(), false},
        {"port zero", 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(port_open(c.port), c.open) << c.what;
}

TEST(PortProbe, SeveralPortsAnswerInOrder) {
    const auto ssh = listener("SSH-2.0-test\r\n");
    const auto silent = listener("");
    const uint16_t closed = closed_port();
    const std::vector<uint16_t> ports{silent.port(), ssh.port(), 0,
                                      closed,        ssh.port(), silent.port()};
    EXPECT_EQ(ports_open(ports), (std::vector<bool>{false, true, false, false, true, false}));
    EXPECT_TRUE(ports_open({}).empty());
}

}  // namespace
}  // namespace kelvo
