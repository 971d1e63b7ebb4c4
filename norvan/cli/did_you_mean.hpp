#pragma once
// Suggestions for misspelt names ("did you mean 'sign'?").

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::cli {

/// Returns the name among `names` that `given` most likely misspells: the one with the fewest
/// single-character edits (insertion, deletion, substitution, swap of neighbours), if those
/// are at most a third of its length (and at least one), or the only name that `given` starts.
/// Absent when none is that close.
std::optional<std::string> closest_name(std::string_view given, const std::vector<std::string>& names);

}  // namespace norvan::cli

NORVAN_PUBLIC_END
