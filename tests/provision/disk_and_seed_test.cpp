#include "provision/disk_and_seed.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(MissingSeedInputsMessage, NamesTheUserDataPathOfTheSeedDirectory) {
    const std::string tail = " or meta-data (backend must upload them before provision)";
    EXPECT_EQ(missing_seed_inputs_message("/home/u/.kelvo/vms/x"),
              "missing /home/u/.kelvo/vms/x/user-data" + tail);
    EXPECT_EQ(missing_seed_inputs_message("vm"), "missing vm/user-data" + tail);
    // A bare seed_path looks in the working directory; "/user-data" would
    // wrongly point at the root.
    EXPECT_EQ(missing_seed_inputs_message(""), "missing ./user-data" + tail);
    EXPECT_EQ(missing_seed_inputs_message("/"), "missing /user-data" + tail);
}

}  // namespace
}  // namespace kelvo
