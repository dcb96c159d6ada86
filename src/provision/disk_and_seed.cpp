#include "provision/disk_and_seed.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>

#include "common/files.h"
#include "common/os_error.h"
#include "common/paths.h"
#include "events/events.h"
#include "machine/firmware.h"
#include "machine/snapshot.h"
#include "machine/varstore.h"
#include "provision/cancel_signals.h"
#include "provision/tool_runner.h"

namespace kelvo {

namespace {

constexpr std::string_view kCreatingDiskLine = "provisioning: creating disk";
constexpr std::string_view kBuildingSeedLine = "provisioning: building cloud-init seed";
constexpr std::string_view kCompleteLine = "provisioning: complete";
constexpr std::string_view kNoSeedDir = "seed_path has no parent dir";
constexpr std::string_view kSeedVolumeLabel = "cidata";

// A path the tools are to read or write that exists and is not a regular
// file (through links): a FIFO there would hold the tool in open() for ever,
// a device would be overwritten.
bool exists_but_not_regular(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// A disk that qemu-img left half written (a full file system, say) must not
// be booted: without it start refuses until a provision succeeds.
std::unexpected<std::string> drop_torn_disk(const HelperConfig& config, std::string message) {
    (void)::unlink(config.disk_path.c_str());
    return std::unexpected(std::move(message));
}

std::expected<void, std::string> create_disk(const HelperConfig& config,
                                             const std::string& image_path) {
    emit_log(kCreatingDiskLine);
    if (exists_but_not_regular(config.disk_path))
        return std::unexpected(fmt::format("disk {}: {}", config.disk_path, kNotRegularFile));
    // A hibernation snapshot holds the old guest's memory; resumed over the
    // new disk it would corrupt its file systems. It goes before the disk is
    // touched, so a VM never has a new disk and an old snapshot.
    remove_snapshot(config.save_path);
    // Every provision starts the disk afresh from the image. The disk is the
    // guest's: readable by its owner alone, whatever the umask (a disk left
    // from an earlier provision keeps its mode through qemu-img).
    if (auto converted = run_tool(
            "qemu-img", {"convert", "-f", "qcow2", "-O", "qcow2", image_path, config.disk_path},
            /*private_files=*/true);
        !converted) {
        return drop_torn_disk(config, fmt::format("qemu-img convert: {}", converted.error()));
    }
    if (::chmod(config.disk_path.c_str(), 0600) != 0)
        return std::unexpected(fmt::format("chmod {}: {}", config.disk_path, last_os_error()));
    if (config.disk_gib != 0) {
        if (auto resized = run_tool(
                "qemu-img", {"resize", config.disk_path, fmt::format("{}G", config.disk_gib)});
            !resized) {
            return drop_torn_disk(config, fmt::format("qemu-img resize: {}", resized.error()));
        }
    }
    return {};
}

std::expected<void, std::string> build_seed(const HelperConfig& config) {
    emit_log(kBuildingSeedLine);
    const auto seed_dir = parent_dir(config.seed_path);
    if (!seed_dir) return std::unexpected(std::string(kNoSeedDir));
    const std::string user_data = join_path(*seed_dir, "user-data");
    const std::string meta_data = join_path(*seed_dir, "meta-data");
    if (!path_exists(user_data) || !path_exists(meta_data)) {
        return std::unexpected(missing_seed_inputs_message(*seed_dir));
    }
    for (const auto& input : {user_data, meta_data}) {
        if (exists_but_not_regular(input))
            return std::unexpected(fmt::format("{}: {}", input, kNotRegularFile));
    }
    (void)::unlink(config.seed_path.c_str());
    // cloud-localds when it works, whatever its failure, otherwise genisoimage.
    auto built = run_tool("cloud-localds", {config.seed_path, user_data, meta_data});
    if (built) return {};
    if (cancel_signal() == 0) {
        built = run_tool("genisoimage",
                         {"-output", config.seed_path, "-volid", std::string(kSeedVolumeLabel),
                          "-joliet", "-rock", user_data, meta_data});
        if (built) return {};
    }
    // A cancelled build leaves no half-written seed behind.
    if (cancel_signal() != 0) {
        (void)::unlink(config.seed_path.c_str());
        return std::unexpected(built.error());
    }
    return std::unexpected(fmt::format(
        "seed build failed (need cloud-image-utils or genisoimage): {}", built.error()));
}

// The variable store is a convenience here: run makes it again and reports
// any failure, so nothing about it is reported from provision.
void prepare_varstore(const HelperConfig& config, Arch arch) {
    if (auto firmware = find_firmware(arch, config.firmware_path)) {
        (void)ensure_varstore(firmware->vars, config.efi_store_path);
    }
}

}  // namespace

std::string missing_seed_inputs_message(const std::string& seed_dir) {
    return fmt::format("missing {} or meta-data (backend must upload them before provision)",
                       join_path(seed_dir.empty() ? "." : seed_dir, "user-data"));
}

std::expected<void, std::string> provision_disk_and_seed(const HelperConfig& config,
                                                         const std::string& image_path, Arch arch) {
    if (auto disk = create_disk(config, image_path); !disk) return disk;
    if (auto seed = build_seed(config); !seed) return seed;
    prepare_varstore(config, arch);
    emit_log(kCompleteLine);
    return {};
}

}  // namespace kelvo
