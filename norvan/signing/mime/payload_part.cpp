#include "norvan/signing/mime/payload_part.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/line_ends.hpp"

#include <algorithm>
#include <stdexcept>

namespace norvan::signing::mime::detail {

PayloadPartReader::PayloadPartReader(const LineSource& message, const FoundEntity& entity, Copy copy)
    : message_(message), next_(entity.body_start), end_(entity.body_start + entity.body_length), copy_(std::move(copy)) {}

std::size_t PayloadPartReader::read(std::span<std::uint8_t> buffer) {
  if (buffer.size() < 2) throw std::logic_error("PayloadPartReader::read needs room for two bytes");
  for (;;) {
    std::size_t filled = 0;
    if (held_cr_) {
      buffer[0] = '\r';
      filled = 1;
      held_cr_ = false;
    }
    const std::size_t arrived = read_raw(buffer.subspan(filled));
    if (arrived == 0) return keep(buffer.first(filled));  // the end: a held CR stands alone
    std::size_t length = crlf_to_lf(buffer.first(filled + arrived));
    if (buffer[length - 1] == '\r') {
      held_cr_ = true;
      --length;
    }
    if (length != 0) return keep(buffer.first(length));
  }
}

std::size_t PayloadPartReader::read_raw(std::span<std::uint8_t> buffer) {
  const std::size_t wanted = std::min<std::uint64_t>(buffer.size(), end_ - next_);
  if (wanted == 0) return 0;
  const std::size_t count = message_.read_at(next_, buffer.first(wanted));
  // The file was shorter than when it was scanned.
  if (count == 0) throw MessageFormatError("Cannot read the payload part of the message");
  next_ += count;
  return count;
}

std::size_t PayloadPartReader::keep(ByteView piece) {
  if (copy_) copy_(piece);
  return piece.size();
}

}  // namespace norvan::signing::mime::detail
