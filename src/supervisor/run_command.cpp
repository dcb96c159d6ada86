#include "supervisor/run_command.h"

#include "events/events.h"

namespace kelvo {

asio::awaitable<int> run_command(const HelperConfig&, Arch) {
    emit_error("run is not available in this build");
    co_return 1;
}

}  // namespace kelvo
