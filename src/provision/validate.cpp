#include "provision/validate.h"

#include "events/events.h"

namespace kelvo {

int validate_host(const HelperConfig&, Arch) {
    emit_error("validate is not available in this build");
    return 1;
}

}  // namespace kelvo
