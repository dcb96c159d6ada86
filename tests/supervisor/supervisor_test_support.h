#pragma once

// In-process stand-ins for what `run` talks to: a monitor socket (QMP or the
// guest agent), the forwarded SSH port, a child standing in for QEMU, and a
// capture of the event stream.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include "common/child_process.h"
#include "common/exit_status.h"
#include "common/text.h"
#include "config/helper_config.h"
#include "supervisor/supervisor.h"
#include "supervisor/timings.h"
#include "support/monitor_peer.h"
#include "support/ssh_port.h"
#include "support/stdout_capture.h"
#include "support/temp_dir.h"

namespace kelvo::fakes {

using namespace std::chrono_literals;

using test_support::StdoutCapture;

using test_support::closed_port;
using test_support::FakeMonitor;
using test_support::FakeSshPort;
using test_support::file_exists;
using test_support::TempDir;
using test_support::write_file;

// A child standing in for QEMU: it runs until killed.
inline Child stand_in_qemu() {
    SpawnOptions options;
    options.program = "sleep";
    options.args = {"60"};
    options.in = Redirect::null();
    options.kill_on_drop = true;
    auto child = spawn(options);
    EXPECT_TRUE(child.has_value());
    return std::move(*child);
}

// The time limits of `run`, shortened for in-process tests.
inline RunTimings quick_timings() {
    RunTimings t;
    t.qmp_connect = {2000ms, 20ms};
    t.qmp_handshake_limit = 1000ms;
    t.qmp_reply_limit = 1000ms;
    t.probe = {500ms, 500ms};
    t.boot_probe_retry = 50ms;
    t.powerdown_limit = 300ms;
    t.quit_limit = 200ms;
    t.disk_retry = 50ms;
    t.hibernate_limit = 400ms;
    t.migrate_poll = 20ms;
    t.run_state_poll = 10ms;
    t.agent = {1000ms, 20ms, 200ms, 50};
    t.agent_pings = 3;
    t.agent_ping_retry = 20ms;
    t.reinit_window = 500ms;
    t.probe_interval = 20ms;
    t.link_pause = 20ms;
    t.bounce_window = 500ms;
    t.clock_limit = 300ms;
    return t;
}

// Runs a task to completion on a private two-thread runtime, on one strand
// as the program runs its tasks: the branches of a race never run at once.
class Runtime {
  public:
    template <typename T>
    T run(asio::awaitable<T> task) {
        std::optional<T> out;  // (T need not be default-constructible)
        run([](asio::awaitable<T> task, std::optional<T>& out) -> asio::awaitable<void> {
            out.emplace(co_await std::move(task));
        }(std::move(task), out));
        return std::move(*out);
    }
    void run(asio::awaitable<void> task) {
        auto result = asio::co_spawn(strand_, std::move(task), asio::use_future);
        drive(result);
        result.get();
    }
    asio::any_io_executor executor() { return strand_; }

  private:
    template <typename F>
    void drive(F& result) {
        io_.restart();
        auto work = asio::make_work_guard(io_);
        std::thread helper([this] { io_.run(); });
        std::thread main([this] { io_.run(); });
        // Every test task ends by itself; this bound only keeps a broken one
        // from hanging the whole suite.
        if (result.wait_for(60s) != std::future_status::ready) {
            std::fprintf(stderr, "a supervisor test task hung\n");
            std::abort();
        }
        work.reset();
        io_.stop();
        helper.join();
        main.join();
    }

    asio::io_context io_{2};
    asio::strand<asio::io_context::executor_type> strand_ = asio::make_strand(io_);
};

// A supervisor of a stand-in QEMU, its VM run directory in a temporary
// directory, with quick time limits; QMP is absent until connect_qmp_peer().
class SupervisorFixture : public ::testing::Test {
  protected:
    SupervisorFixture() {
        config.disk_path = dir.file("disk.qcow2");
        config.save_path = dir.file("state.save");
        config.ssh_host_port = closed_port();
        qemu_pid = s.qemu.pid();
        s.port_owner = ::getpid();  // the guest's SSH server stands in this process
    }

    void connect_qmp_peer(FakeMonitor::Responder responder) {
        qmp_peer = std::make_unique<FakeMonitor>(dir.file("qmp.sock"), std::move(responder));
        auto client = rt.run(QmpClient::connect(dir.file("qmp.sock"), timings.qmp_connect));
        ASSERT_TRUE(client.has_value()) << client.error();
        s.qmp.emplace(std::move(*client));
    }

    // QEMU's end as the supervisor sees it.
    std::string qemu_end() {
        auto status = rt.run(async_wait(s.qemu));
        return status ? describe_wait_status(*status) : status.error();
    }

    TempDir dir;
    HelperConfig config;
    RunTimings timings = quick_timings();
    Runtime rt;
    Supervisor s{config, timings, stand_in_qemu(), std::make_shared<ControlChannel>(rt.executor())};
    pid_t qemu_pid = -1;
    std::unique_ptr<FakeMonitor> qmp_peer;
};

}  // namespace kelvo::fakes
