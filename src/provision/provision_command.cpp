#include "provision/provision_command.h"

#include "events/events.h"
#include "machine/snapshot.h"
#include "provision/disk_and_seed.h"
#include "provision/image_cache.h"

namespace kelvo {

int provision_command(const HelperConfig& config, Arch arch) {
    // A save_path naming another of the VM's files would have hibernate
    // overwrite that file, and this provision's removal of the old snapshot
    // delete it: refused before anything is downloaded or touched.
    if (auto conflict = save_path_conflict(config)) {
        emit_error(*conflict);
        return 1;
    }
    auto image = ensure_base_image(arch);
    if (!image) {
        emit_error(image.error());
        return 1;
    }
    if (auto done = provision_disk_and_seed(config, *image, arch); !done) {
        emit_error(done.error());
        return 1;
    }
    return 0;
}

}  // namespace kelvo
