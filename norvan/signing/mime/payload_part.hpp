#pragma once
// Reading the payload entity's body with its line ends turned back into LF.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/mime/entity_scanner.hpp"
#include "norvan/signing/mime/line_source.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace norvan::signing::mime::detail {

// Reads the payload entity's body exactly as written in the message (not transfer-decoded, up
// to but not including the line end that belongs to the next boundary delimiter) with every
// CR LF turned into LF. A CR at the end of one read is held back until the next read shows
// whether an LF follows. Optionally hands everything it returns to a copy as well.
class PayloadPartReader final : public brisvale::PayloadReader {
 public:
  // Receives a copy of each piece that read() returns.
  using Copy = std::function<void(ByteView piece)>;

  // Reads the body of `entity` from `message` (borrowed; it must outlive this object),
  // handing what it returns to `copy` as well unless that is empty.
  PayloadPartReader(const LineSource& message, const FoundEntity& entity, Copy copy = {});

  std::size_t read(std::span<std::uint8_t> buffer) override;

 private:
  std::size_t read_raw(std::span<std::uint8_t> buffer);
  std::size_t keep(ByteView piece);

  const LineSource& message_;
  std::uint64_t next_;
  std::uint64_t end_;
  Copy copy_;
  bool held_cr_ = false;
};

}  // namespace norvan::signing::mime::detail
