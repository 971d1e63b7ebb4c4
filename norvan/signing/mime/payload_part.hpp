#pragma once
// Reading the payload entity's body with its line ends turned back into LF.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/brisvale.hpp"

#include <gmime/gmime.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <span>

namespace norvan::signing::mime::detail {

// The body of `part` as written in the message (not transfer-decoded, without the line end
// that belongs to the next delimiter) as a view into `message`, when the part's content is a
// window onto the memory stream over `message`; nullopt otherwise. Its bytes are exactly what
// a PayloadPartReader would read from the part before converting line ends.
std::optional<ByteView> body_in_place(GMimePart* part, ByteView message);

// Reads the payload entity's body exactly as written in the message (not transfer-decoded, up
// to but not including the line end that belongs to the next boundary delimiter) with every
// CR LF turned into LF. A CR at the end of one read is held back until the next read shows
// whether an LF follows. Optionally hands everything it returns to a copy as well.
class PayloadPartReader final : public brisvale::PayloadReader {
 public:
  // Receives a copy of each piece that read() returns.
  using Copy = std::function<void(ByteView piece)>;

  // Reads the body of `part` (borrowed; it must outlive this object), handing what it
  // returns to `copy` as well unless that is empty.
  PayloadPartReader(GMimePart* part, Copy copy = {});

  // Starts again from the beginning of the body.
  void rewind();

  // The length of the body as written: an upper bound of what read() returns in all.
  std::size_t raw_length() const;

  std::size_t read(std::span<std::uint8_t> buffer) override;

 private:
  [[noreturn]] static void fail();
  std::size_t read_raw(std::span<std::uint8_t> buffer);
  std::size_t keep(ByteView piece);

  GMimeStream* stream_ = nullptr;  // borrowed from the part
  Copy copy_;
  bool held_cr_ = false;
};

}  // namespace norvan::signing::mime::detail
