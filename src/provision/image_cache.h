#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "machine/arch.h"

namespace kelvo {

// "ubuntu-25.10-server-cloudimg-amd64.img" (arm64 in an ARM64 build).
std::string image_file_name(Arch arch);

// Where the checksum list and the image are published.
std::string checksum_list_url();
std::string image_url(Arch arch);

// The expected digest of image_name in a published checksum list: the first
// token of the first line that contains the name anywhere. Lines end at "\n"
// with one "\r" before it dropped. Error: "{image_name} not found in SHA256SUMS".
std::expected<std::string, std::string> find_expected_digest(std::string_view checksum_list,
                                                             std::string_view image_name);

// The first token sha256sum prints for path. Error: the runner's message, or
// "sha256sum produced no output". Only a regular file (links followed) is
// hashed, never waited on: anything else is "{path}: not a regular file".
std::expected<std::string, std::string> sha256_of_file(const std::string& path);

// Makes sure ~/.kelvo/images holds the architecture's cloud image with the
// digest published right now, downloading it when the cached copy is missing
// or differs; returns its path. A download replaces the cached image only
// after it has verified. Anything but a regular file at the cached path
// counts as not cached and is replaced too; a directory there is refused:
// "cached image {path}: not a regular file". Concurrent provisions are
// serialised by CacheLock. A cancelled download leaves no temporary file.
std::expected<std::string, std::string> ensure_base_image(Arch arch);

}  // namespace kelvo
