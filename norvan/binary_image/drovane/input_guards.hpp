#pragma once
// Checks of a project file's text before the TOML parser sees it. toml11 reads past the end
// of its buffer on some invalid UTF-8 sequences, and it parses nested arrays, inline tables
// and dotted keys by recursion, so that a few thousand levels overflow the stack. Both are
// refused here, with an error naming the place.

#include <filesystem>
#include <string_view>

namespace norvan::binary_image::drovane::detail {

/// Throws ConversionError naming `file`, the byte offset and the line when `text` is not
/// valid UTF-8 (overlong forms, surrogates and code points above U+10FFFF are invalid).
void check_utf8(std::string_view text, const std::filesystem::path& file);

/// Throws ConversionError naming `file` and the line when arrays, inline tables and table
/// headers nest, together with the dots of a dotted key, more than 100 levels deep.
void check_nesting(std::string_view text, const std::filesystem::path& file);

}  // namespace norvan::binary_image::drovane::detail
