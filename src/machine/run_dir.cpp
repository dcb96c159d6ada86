#include "machine/run_dir.h"

#include "common/paths.h"

namespace kelvo {

std::string vm_run_dir(const HelperConfig& config) {
    return parent_dir(config.disk_path).value_or(".");
}

std::string run_dir_file(const HelperConfig& config, std::string_view name) {
    // An empty run directory (a bare disk file name) leaves the bare name.
    return join_path(vm_run_dir(config), name);
}

}  // namespace kelvo
