#include "machine/run_dir.h"

#include "common/paths.h"

namespace kelvo {

namespace {

// An empty run directory (a bare disk file name) leaves the bare name.
std::string run_dir_file(const HelperConfig& config, std::string_view name) {
    return join_path(vm_run_dir(config), name);
}

}  // namespace

std::string vm_run_dir(const HelperConfig& config) {
    return parent_dir(config.disk_path).value_or(".");
}

std::string qmp_socket_path(const HelperConfig& config) {
    return run_dir_file(config, "qmp.sock");
}

std::string agent_socket_path(const HelperConfig& config) {
    return run_dir_file(config, "qga.sock");
}

std::string qemu_log_path(const HelperConfig& config) {
    return run_dir_file(config, kQemuLogName);
}

std::string run_lock_path(const HelperConfig& config) {
    return run_dir_file(config, "helper.lock");
}

std::string disk_error_marker_path(const HelperConfig& config) {
    return run_dir_file(config, "disk-error");
}

}  // namespace kelvo
