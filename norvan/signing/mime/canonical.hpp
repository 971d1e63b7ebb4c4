#pragma once
// The canonical form of a MIME entity (RFC 8551, 3.1.1): every line end CR LF. An LF without a
// CR before it gains one; CR LF and a lone CR stay as they are. Nothing else changes: header
// fields, folding and transfer encodings are kept exactly as they stand.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/mime/line_source.hpp"
#include "norvan/signing/mime/rfc8551_entity.hpp"

#include <cstdint>
#include <functional>
#include <span>

namespace norvan::signing::mime::detail {

// Returns `bytes` in canonical form.
Bytes canonical_line_ends(ByteView bytes);

// Reads a byte range of a message in canonical form, in pieces, so that a large entity is never
// held whole. Hands everything it returns to `copy` as well, unless that is empty.
class CanonicalReader final : public brisvale::PayloadReader {
 public:
  using Copy = std::function<void(ByteView piece)>;

  // `message` is borrowed and must outlive this object.
  CanonicalReader(const LineSource& message, ByteRange range, Copy copy = {});

  std::size_t read(std::span<std::uint8_t> buffer) override;

 private:
  const LineSource& message_;
  std::uint64_t next_;
  std::uint64_t end_;
  Copy copy_;
  Bytes raw_;
  bool after_cr_ = false;  // the last byte read was a CR
};

}  // namespace norvan::signing::mime::detail
