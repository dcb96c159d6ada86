#include "provision/provision_command.h"

#include "events/events.h"

namespace kelvo {

int provision_command(const HelperConfig&, Arch) {
    emit_error("provision is not available in this build");
    return 1;
}

}  // namespace kelvo
