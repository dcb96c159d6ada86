#include "supervisor/guest_clock.h"

#include <chrono>

#include "machine/run_dir.h"
#include "monitor/qga_client.h"

namespace kelvo {

namespace {

int64_t host_time_ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

asio::awaitable<std::expected<void, std::string>> set_clock(Supervisor& s) {
    auto agent = co_await QgaClient::connect(agent_socket_path(s.config), s.timings.agent);
    if (!agent) co_return std::unexpected(agent.error());
    // The time is taken as late as possible: the agent may have kept the
    // connection waiting.
    auto set = co_await agent->call(qga_set_time_request(host_time_ns()));
    if (!set) co_return std::unexpected(set.error());
    co_return std::expected<void, std::string>{};
}

}  // namespace

asio::awaitable<void> set_guest_clock(Supervisor& s) {
    (void)co_await within(set_clock(s), s.timings.clock_limit, "guest clock not set in time");
}

}  // namespace kelvo
