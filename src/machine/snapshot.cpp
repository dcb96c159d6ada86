#include "machine/snapshot.h"

#include <sys/stat.h>

namespace kelvo {

bool snapshot_present(const std::string& save_path) {
    struct stat st;
    return !save_path.empty() && ::stat(save_path.c_str(), &st) == 0 && st.st_size > 0;
}

}  // namespace kelvo
