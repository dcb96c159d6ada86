#pragma once

#include <string>

namespace kelvo {

// Reads the VM's UUID, or makes, stores and returns a new one. Never fails.
// random_source is read for the 16 random bytes (tests inject it).
std::string load_or_create_machine_id(const std::string& machine_identifier_path,
                                      const std::string& random_source = "/dev/urandom");

}  // namespace kelvo
