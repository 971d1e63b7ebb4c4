#pragma once
// A progress line on standard error for long reads: bytes done, rate, time left.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// Inputs larger than this get a progress line.
inline constexpr std::uint64_t kProgressThreshold = std::uint64_t{64} << 20;

/// Returns the progress text "<label>: 1.5 GiB of 4.0 GiB (37%), 310.0 MiB/s, 0:08 left"; without
/// `total`, "<label>: 1.5 GiB, 310.0 MiB/s". The rate and time left appear once time has passed.
std::string progress_text(const std::string& label, std::uint64_t done, std::optional<std::uint64_t> total,
                          std::chrono::duration<double> elapsed);

/// One line on standard error that is redrawn in place (at most a few times a second) as an
/// input of `total` bytes (absent: unknown) is read, and erased when the object goes. It is
/// shown only when `wanted`, standard error is a terminal and the input is over
/// kProgressThreshold (for an input of unknown size: once that much has been read); otherwise
/// nothing is ever written. Not shared between threads.
class ProgressLine {
 public:
  ProgressLine(std::string label, std::optional<std::uint64_t> total, bool wanted);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

  /// Records `bytes` more read.
  void advance(std::uint64_t bytes);

 private:
  using Clock = std::chrono::steady_clock;
  std::string label_;
  std::optional<std::uint64_t> total_;
  bool enabled_;
  bool shown_ = false;
  std::uint64_t done_ = 0;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_{};
};

}  // namespace norvan

NORVAN_PUBLIC_END
