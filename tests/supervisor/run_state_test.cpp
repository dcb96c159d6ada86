#include "supervisor/run_state.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using nlohmann::json;

TEST(RunState, StoppedGuestQuotesTheFirstLineOfTheLog) {
    const struct {
        const char* log;
        const char* message;
    } cases[] = {
        {"KVM internal error. Suberror: 1\r\nextra data[0]: 0x1\n",
         "qemu stopped the guest (internal-error): KVM internal error. Suberror: 1 (see "
         "/v/qemu.log)"},
        {"\n  \nlast words",
         "qemu stopped the guest (internal-error): last words (see /v/qemu.log)"},
        {"", "qemu stopped the guest (internal-error) (see /v/qemu.log)"},
        {" \n\t\n", "qemu stopped the guest (internal-error) (see /v/qemu.log)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stopped_guest_message("internal-error", c.log, "/v/qemu.log"), c.message)
            << c.log;
}

TEST(RunState, DiskErrorLineNamesTheDeviceAndTheError) {
    const std::string advice =
        " — free space on the host; the guest continues by itself once there is room";
    const struct {
        json event;
        std::string what;
    } cases[] = {
        {{{"event", "BLOCK_IO_ERROR"},
          {"data",
           {{"device", "virtio0"},
            {"node-name", "#b1"},
            {"operation", "write"},
            {"nospace", true},
            {"reason", "No space left on device"}}}},
         "virtio0 (write): No space left on device"},
        {{{"event", "BLOCK_IO_ERROR"},
          {"data", {{"device", ""}, {"node-name", "#b1"}, {"nospace", true}}}},
         "#b1: No space left on device"},
        {{{"event", "BLOCK_IO_ERROR"}, {"data", {{"device", "d"}, {"nospace", false}}}}, "d"},
        {{{"event", "BLOCK_IO_ERROR"}, {"data", {{"device", "d"}, {"nospace", "yes"}}}}, "d"},
        {{{"event", "BLOCK_IO_ERROR"}, {"data", 5}}, "a disk"},
        {nullptr, "a disk"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(disk_error_line(c.event),
                  "qemu paused the guest on a disk error: " + c.what + advice)
            << c.event;
}

}  // namespace
}  // namespace kelvo
