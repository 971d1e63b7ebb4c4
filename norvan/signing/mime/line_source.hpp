#pragma once
// The lines of a message, read from memory or from a file in blocks, with what the MIME scan
// needs to know of each: where it lies, how it ends, and its first bytes.

#include "norvan/common/bytes.hpp"
#include "norvan/common/input.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

namespace norvan::signing::mime::detail {

// One line of a message: the bytes up to, not including, its line feed.
struct Line {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  std::uint64_t start = 0;            // offset of its first byte in the message
  std::uint64_t length = 0;           // without the line feed
  bool has_lf = false;                // false only for the last line of a message
  bool ends_in_cr = false;            // its last byte (before the line feed) is a CR
  std::string_view head;              // its first bytes (all of them when read whole)
  std::size_t last_non_lwsp = kNone;  // index of its last byte other than space, tab, CR or LF

  bool whole() const noexcept { return head.size() == length; }
  // The offset just past the line and its line feed.
  std::uint64_t end() const noexcept { return start + length + (has_lf ? 1 : 0); }
  // The length without one CR at its end.
  std::uint64_t length_without_cr() const noexcept { return ends_in_cr ? length - 1 : length; }
};

// Reads a message line by line. A line is handed out with its first `head_limit` bytes only
// (kWhole: all of them), so that a long line costs no memory beyond that. A line's head stays
// valid until the next call of next() or seek().
class LineSource {
 public:
  static constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();

  // The lines of `bytes`, which must outlive this object.
  explicit LineSource(ByteView bytes);
  // The lines of the regular file `input` (borrowed; it must outlive this object) from its
  // start.
  explicit LineSource(Input& input);

  // Reads the next line into `line`; false at the end of the message. Throws FileError when
  // the file cannot be read.
  bool next(Line& line, std::size_t head_limit);

  // Goes on reading at `offset`.
  void seek(std::uint64_t offset);

  // Fills the front of `buffer` with the bytes at `offset`, independently of the lines read;
  // returns how many (0 at the end). Throws FileError when the file cannot be read.
  std::size_t read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

  // The `length` bytes at `offset` (fewer when the message ends sooner).
  Bytes read_range(std::uint64_t offset, std::uint64_t length) const;

 private:
  ByteView current() const noexcept { return input_ == nullptr ? memory_ : ByteView(block_); }
  bool refill();
  void add_piece(Line& line, const std::uint8_t* from, std::size_t count, std::size_t head_limit);

  ByteView memory_;
  Input* input_ = nullptr;
  Bytes block_;                     // what was read of the file last (all of a message in memory)
  std::size_t block_next_ = 0;      // the first byte of block_ not yet handed out
  std::uint64_t block_start_ = 0;   // the offset of block_[0] in the message
  std::string assembled_;           // the head of a line that spans blocks
};

}  // namespace norvan::signing::mime::detail
