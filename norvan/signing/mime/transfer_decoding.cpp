#include "norvan/signing/mime/transfer_decoding.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/gmime.hpp"

#include <array>
#include <cstdint>
#include <string_view>

namespace norvan::signing::mime::detail {
namespace {

// The value of each base64 alphabet character; -1 for every other byte.
constexpr std::array<std::int8_t, 256> base64_values() {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t index = 0; index < alphabet.size(); ++index) {
    values[static_cast<std::uint8_t>(alphabet[index])] = static_cast<std::int8_t>(index);
  }
  return values;
}
constexpr std::array<std::int8_t, 256> kBase64Values = base64_values();

// `body` decoded in one pass when it holds only base64 characters and line ends (a CR only
// before a LF), in whole groups of four, with one or two '=' only at the very end; nullopt for
// anything else.
std::optional<Bytes> decode_base64(ByteView body) {
  Bytes bytes;
  bytes.reserve(body.size() / 4 * 3 + 3);
  std::uint32_t group = 0;
  std::size_t in_group = 0;
  std::size_t padding = 0;
  for (std::size_t index = 0; index < body.size(); ++index) {
    const std::uint8_t byte = body[index];
    if (byte == '\n') continue;
    if (byte == '\r') {
      if (index + 1 == body.size() || body[index + 1] != '\n') return std::nullopt;
      continue;
    }
    const std::int8_t value = kBase64Values[byte];
    if (byte == '=') {
      if (++padding > 2) return std::nullopt;
    } else if (value < 0 || padding > 0) {
      return std::nullopt;
    }
    group = group << 6 | static_cast<std::uint32_t>(value < 0 ? 0 : value);
    if (++in_group == 4) {
      bytes.push_back(static_cast<std::uint8_t>(group >> 16));
      bytes.push_back(static_cast<std::uint8_t>(group >> 8));
      bytes.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      in_group = 0;
    }
  }
  if (in_group != 0) return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}

}  // namespace

std::optional<Bytes> decode_plain_body(ByteView body, GMimeContentEncoding encoding) {
  switch (encoding) {
    case GMIME_CONTENT_ENCODING_DEFAULT:
    case GMIME_CONTENT_ENCODING_7BIT:
    case GMIME_CONTENT_ENCODING_8BIT:
    case GMIME_CONTENT_ENCODING_BINARY:
      return Bytes(body.begin(), body.end());
    case GMIME_CONTENT_ENCODING_BASE64:
      return decode_base64(body);
    default:
      return std::nullopt;
  }
}

Bytes decode_body_with_gmime(ByteView body, GMimeContentEncoding encoding) {
  if (body.empty()) return {};
  const GMimeApi& api = gmime();
  GObjectPtr<GMimeStream> raw(
      api.stream_mem_new_with_buffer(reinterpret_cast<const char*>(body.data()), body.size()));
  GObjectPtr<GMimeDataWrapper> content(api.data_wrapper_new_with_stream(raw.get(), encoding));
  GObjectPtr<GMimeStream> result(api.stream_mem_new());
  if (api.data_wrapper_write_to_stream(content.get(), result.get()) < 0) {
    throw MessageFormatError("Cannot decode the signature part of the message");
  }
  const GByteArray* array = api.stream_mem_get_byte_array(reinterpret_cast<GMimeStreamMem*>(result.get()));
  return Bytes(array->data, array->data + array->len);
}

Bytes decode_body(ByteView body, GMimeContentEncoding encoding) {
  if (std::optional<Bytes> plain = decode_plain_body(body, encoding)) return std::move(*plain);
  return decode_body_with_gmime(body, encoding);
}

}  // namespace norvan::signing::mime::detail
