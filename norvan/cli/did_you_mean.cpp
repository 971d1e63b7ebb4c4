#include "norvan/cli/did_you_mean.hpp"

#include <algorithm>
#include <cstddef>

namespace norvan::cli {
namespace {

// Optimal string alignment distance: edits, counting the swap of two neighbours as one.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitution = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + substitution});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> closest_name(std::string_view given, const std::vector<std::string>& names) {
  // Command names are short; a long argument is no misspelling of one.
  if (given.empty() || given.size() > 64) return std::nullopt;
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  for (const std::string& name : names) {
    const std::size_t distance = edit_distance(given, name);
    const std::size_t allowed = std::max<std::size_t>(1, name.size() / 3);
    if (distance <= allowed && (!best || distance < best_distance)) {
      best = name;
      best_distance = distance;
    }
  }
  if (best) return best;
  std::vector<std::string> starting;
  std::copy_if(names.begin(), names.end(), std::back_inserter(starting),
               [given](const std::string& name) { return name.starts_with(given); });
  if (starting.size() == 1) return starting.front();
  return std::nullopt;
}

}  // namespace norvan::cli
