#include "norvan/signing/mime/payload_part.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/line_ends.hpp"

#include <stdexcept>

namespace norvan::signing::mime::detail {

std::optional<ByteView> body_in_place(GMimePart* part, ByteView message) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  GMimeStream* body = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
  if (body == nullptr || !GMIME_IS_STREAM_MEM(body)) return std::nullopt;
  const GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(body));
  if (array == nullptr || array->data != message.data() || array->len != message.size()) return std::nullopt;
  const gint64 start = body->bound_start;
  const gint64 end = body->bound_end < 0 ? static_cast<gint64>(message.size()) : body->bound_end;
  if (start < 0 || start > end || end > static_cast<gint64>(message.size())) return std::nullopt;
  return message.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

PayloadPartReader::PayloadPartReader(GMimePart* part, Copy copy) : copy_(std::move(copy)) {
  if (GMimeDataWrapper* content = g_mime_part_get_content(part)) stream_ = g_mime_data_wrapper_get_stream(content);
  rewind();
}

void PayloadPartReader::rewind() {
  held_cr_ = false;
  if (stream_ != nullptr && g_mime_stream_reset(stream_) != 0) fail();
}

std::size_t PayloadPartReader::raw_length() const {
  const gint64 length = stream_ != nullptr ? g_mime_stream_length(stream_) : 0;
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

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

void PayloadPartReader::fail() { throw MessageFormatError("Cannot read the payload part of the message"); }

std::size_t PayloadPartReader::read_raw(std::span<std::uint8_t> buffer) {
  // A file stream reports reading at the end of a part as an error: ask first.
  if (stream_ == nullptr || g_mime_stream_eos(stream_)) return 0;
  const ssize_t count = g_mime_stream_read(stream_, reinterpret_cast<char*>(buffer.data()), buffer.size());
  if (count < 0) fail();
  return static_cast<std::size_t>(count);
}

std::size_t PayloadPartReader::keep(ByteView piece) {
  if (copy_) copy_(piece);
  return piece.size();
}

}  // namespace norvan::signing::mime::detail
