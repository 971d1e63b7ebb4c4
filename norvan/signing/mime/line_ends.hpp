#pragma once
// Line-end conversion of payloads: to CR LF when a message is written (every LF, lone CR and
// CR LF), back to LF when it is read (every CR LF; a lone CR or LF stays).

#include "norvan/common/bytes.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace norvan::signing::mime::detail {

// Writes payload bytes into an Output with every line end (LF, lone CR, CR LF) as CR LF. A CR
// at the end of one piece waits for the next piece to tell whether an LF completes it. Runs
// without line ends are handed on whole. Output offers append(from, to) and
// append_line_end().
template <class Output>
class LineEndWriter {
 public:
  explicit LineEndWriter(Output& output) : output_(output) {}

  void write(ByteView piece) {
    const std::uint8_t* next = piece.data();
    const std::uint8_t* const end = next + piece.size();
    const std::uint8_t* next_lf = nullptr;
    const std::uint8_t* next_cr = nullptr;
    while (next != end) {
      if (pending_cr_) {
        pending_cr_ = false;
        output_.append_line_end();
        if (*next == '\n') ++next;
        continue;
      }
      const std::uint8_t* line_end = std::min(next_of('\n', next, end, next_lf), next_of('\r', next, end, next_cr));
      output_.append(next, line_end);
      if (line_end == end) break;
      if (*line_end == '\r') {
        pending_cr_ = true;
      } else {
        output_.append_line_end();
      }
      next = line_end + 1;
    }
  }

  // Ends the payload: a trailing lone CR still becomes a line end.
  void close() {
    if (pending_cr_) output_.append_line_end();
    pending_cr_ = false;
  }

 private:
  // The next occurrence of `byte` at or after `from` (or `end`), remembered in `cached` so
  // that each byte of a piece is searched once.
  static const std::uint8_t* next_of(std::uint8_t byte, const std::uint8_t* from, const std::uint8_t* end,
                                     const std::uint8_t*& cached) {
    if (cached == nullptr || cached < from) {
      const void* found = std::memchr(from, byte, static_cast<std::size_t>(end - from));
      cached = found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
    }
    return cached;
  }

  Output& output_;
  bool pending_cr_ = false;
};

// The number of LF bytes in `bytes`. Counted in fixed blocks with a byte-sized counter, a
// loop the compiler turns into vector compares (several times faster than std::count here).
inline std::size_t count_line_feeds(ByteView bytes) {
  constexpr std::size_t kBlock = 240;  // a multiple of the vector width, below 256
  const std::uint8_t* next = bytes.data();
  std::size_t left = bytes.size();
  std::size_t total = 0;
  for (; left >= kBlock; next += kBlock, left -= kBlock) {
    std::uint8_t in_block = 0;
    for (std::size_t i = 0; i < kBlock; ++i) in_block = static_cast<std::uint8_t>(in_block + (next[i] == '\n'));
    total += in_block;
  }
  for (std::size_t i = 0; i < left; ++i) total += next[i] == '\n' ? 1 : 0;
  return total;
}

// The line ends of a payload, counted piece by piece, and how many bytes their conversion
// to CR LF adds: one for every LF without a CR before it and one for every CR without an LF
// after it. A CR LF split between pieces is counted as a pair from the piece holding the CR.
class LineEndCount {
 public:
  // Counts `piece`, which lies in a payload ending at `payload_end`.
  void add(ByteView piece, const std::uint8_t* payload_end) {
    line_feeds_ += count_line_feeds(piece);
    const std::uint8_t* next = piece.data();
    const std::uint8_t* const end = next + piece.size();
    while (const void* found = std::memchr(next, '\r', static_cast<std::size_t>(end - next))) {
      const auto* cr = static_cast<const std::uint8_t*>(found);
      ++returns_;
      if (cr + 1 != payload_end && cr[1] == '\n') ++pairs_;
      next = cr + 1;
    }
  }

  // Valid once every piece has been counted.
  std::size_t added_bytes() const noexcept { return line_feeds_ + returns_ - 2 * pairs_; }

 private:
  std::size_t line_feeds_ = 0;
  std::size_t returns_ = 0;
  std::size_t pairs_ = 0;  // CR LF
};

// Calls `emit(from, to)` for each run of `bytes` that stays when every CR LF becomes LF, in
// order: the CR of a CR LF is left out (its LF starts the next run), a lone CR or LF is kept.
// Runs without CR are handed on whole.
template <class Emit>
void for_each_lf_run(ByteView bytes, Emit&& emit) {
  const std::uint8_t* next = bytes.data();
  const std::uint8_t* const end = next + bytes.size();
  while (next != end) {
    const void* found = std::memchr(next, '\r', static_cast<std::size_t>(end - next));
    if (found == nullptr) {
      emit(next, end);
      return;
    }
    const auto* cr = static_cast<const std::uint8_t*>(found);
    const bool pair = cr + 1 != end && cr[1] == '\n';
    emit(next, pair ? cr : cr + 1);
    next = cr + 1;
  }
}

// Turns every CR LF in `bytes` into LF in place and returns the new length; a lone CR or LF
// stays.
inline std::size_t crlf_to_lf(std::span<std::uint8_t> bytes) {
  std::uint8_t* out = bytes.data();
  for_each_lf_run(bytes, [&out](const std::uint8_t* from, const std::uint8_t* to) {
    const auto count = static_cast<std::size_t>(to - from);
    if (out != from) std::memmove(out, from, count);
    out += count;
  });
  return static_cast<std::size_t>(out - bytes.data());
}

// Appends `bytes` to `output` with every CR LF turned into LF; a lone CR or LF stays.
inline void append_with_lf_line_ends(ByteView bytes, Bytes& output) {
  for_each_lf_run(bytes, [&output](const std::uint8_t* from, const std::uint8_t* to) {
    output.insert(output.end(), from, to);
  });
}

}  // namespace norvan::signing::mime::detail
