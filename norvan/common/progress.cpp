#include "norvan/common/progress.hpp"

#include "norvan/common/fd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace norvan {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

std::string size_text(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string duration_text(double seconds) {
  const auto whole = static_cast<unsigned long long>(std::ceil(seconds));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  }
  return text;
}

// Writes all of `text` to standard error; a failure only means the line is not seen.
void write_to_stderr(const std::string& text) { (void)write_all(STDERR_FILENO, as_bytes(text)); }

}  // namespace

std::string progress_text(const std::string& label, std::uint64_t done, std::optional<std::uint64_t> total,
                          std::chrono::duration<double> elapsed) {
  std::string text = label + ": " + size_text(static_cast<double>(done));
  if (total) {
    const double fraction = *total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(*total));
    text += " of " + size_text(static_cast<double>(*total)) + " (" + std::to_string(static_cast<int>(fraction * 100)) + "%)";
  }
  const double seconds = elapsed.count();
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    text += ", " + size_text(rate) + "/s";
    if (total && *total >= done) text += ", " + duration_text(static_cast<double>(*total - done) / rate) + " left";
  }
  return text;
}

ProgressLine::ProgressLine(std::string label, std::optional<std::uint64_t> total, bool wanted)
    : label_(std::move(label)), total_(total), enabled_(wanted && ::isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() {
  if (shown_) write_to_stderr("\r\x1b[K");
}

void ProgressLine::advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  if (!shown_ && (total_ ? *total_ : done_) <= kProgressThreshold) return;
  const Clock::time_point now = Clock::now();
  if (shown_ && now - last_draw_ < kRedrawInterval) return;
  shown_ = true;
  last_draw_ = now;
  write_to_stderr("\r" + progress_text(label_, done_, total_, now - start_) + "\x1b[K");
}

}  // namespace norvan
