#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/helper_config.h"
#include "machine/arch.h"

namespace kelvo {

// "qemu-system-x86_64" or "qemu-system-aarch64".
std::string_view qemu_program(Arch arch);

// The parent directory of disk_path, or "." when it has none.
std::string vm_run_dir(const HelperConfig& config);
// run_dir joined with name ("qmp.sock", "qga.sock", "qemu.log").
std::string run_dir_file(const HelperConfig& config, std::string_view name);

// POSIX shell single-quote form: 'it'\''s'.
std::string shell_quote(std::string_view path);

// The 40 QEMU arguments (the program name is not included).
std::vector<std::string> build_qemu_args(const HelperConfig& config, Arch arch,
                                         std::string_view firmware_code_path,
                                         std::string_view machine_uuid,
                                         std::string_view qmp_socket_path);

// Appends "-incoming" and "exec:cat {quoted save_path}".
void append_resume_args(std::vector<std::string>& args, std::string_view save_path);

}  // namespace kelvo
