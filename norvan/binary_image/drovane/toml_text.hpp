#pragma once
// Writing TOML documents as text whose keys keep their order and whose values stay on one
// line.

#include "norvan/binary_image/drovane.hpp"

#include <string>
#include <string_view>

namespace norvan::binary_image::drovane::detail {

/// The document as TOML: plain top-level entries first, then one section per top-level
/// table; tables inside sections inline, arrays of tables one table per line.
std::string format_document(const Toml& document);

/// `snippet` with blank-only lines emptied and the leading blanks common to all other lines
/// removed.
std::string dedent(std::string_view snippet);

}  // namespace norvan::binary_image::drovane::detail
