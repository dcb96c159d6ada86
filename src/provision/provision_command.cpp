#include "provision/provision_command.h"

#include <expected>
#include <string>

#include <fmt/format.h>

#include "common/exit_status.h"
#include "events/events.h"
#include "machine/snapshot.h"
#include "provision/cancel_signals.h"
#include "provision/disk_and_seed.h"
#include "provision/image_cache.h"

namespace kelvo {

namespace {

std::expected<void, std::string> provision_steps(const HelperConfig& config, Arch arch) {
    auto image = ensure_base_image(arch);
    if (!image) return std::unexpected(image.error());
    return provision_disk_and_seed(config, *image, arch);
}

}  // namespace

int provision_command(const HelperConfig& config, Arch arch) {
    // A save_path naming another of the VM's files would have hibernate
    // overwrite that file, and this provision's removal of the old snapshot
    // delete it: refused before anything is downloaded or touched.
    if (auto conflict = save_path_conflict(config)) {
        emit_error(*conflict);
        return 1;
    }
    // From here on SIGTERM, SIGINT and SIGHUP cancel: the running tool is
    // stopped and what it was writing removed before the one error event.
    const CancelSignals cancel;
    if (auto done = provision_steps(config, arch); !done) {
        const int signal_number = cancel_signal();
        emit_error(signal_number == 0 ? done.error()
                                      : fmt::format("provision cancelled ({}): {}",
                                                    signal_name(signal_number), done.error()));
        return 1;
    }
    return 0;
}

}  // namespace kelvo
