#pragma once
// Replacing the Hatch project file whole.

#include <filesystem>
#include <string_view>

namespace norvan::binary_image::drovane::detail {

// Replaces `target` with `text`: readers see either the old file or the whole new one. A
// replaced file keeps its permission bits; a new one gets the usual 0666 less the umask.
void replace_file(const std::filesystem::path& target, std::string_view text);

}  // namespace norvan::binary_image::drovane::detail
