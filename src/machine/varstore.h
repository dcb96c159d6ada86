#pragma once

#include <expected>
#include <functional>
#include <string>

namespace kelvo {

// Copies the template to efi_store_path (mode 644) unless that path already
// exists. A copy or chmod that fails part-way leaves no file behind.
std::expected<void, std::string> ensure_varstore(const std::string& vars_template,
                                                 const std::string& efi_store_path);

// The permission change of ensure_varstore on the new store's descriptor:
// 0 on success, -1 with errno set otherwise. Tests replace it to provoke a
// failure after the copy.
using SetModeFn = std::function<int(int fd, unsigned mode)>;
std::expected<void, std::string> ensure_varstore(const std::string& vars_template,
                                                 const std::string& efi_store_path,
                                                 const SetModeFn& set_mode);

}  // namespace kelvo
