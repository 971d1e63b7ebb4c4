#include "norvan/signing/mime/transfer_decoding.hpp"

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/gmime.hpp"

#include <openssl/evp.h>

#include <string>

namespace norvan::signing::mime::detail {
namespace {

bool is_base64_char(std::uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
         byte == '+' || byte == '/';
}

// The base64 characters of `body` without its line ends; nullopt when it holds anything else,
// a CR not before a LF, or padding other than one or two '=' at the very end of whole groups.
std::optional<std::string> base64_text(ByteView body) {
  std::string text;
  text.reserve(body.size());
  std::size_t padding = 0;
  for (std::size_t index = 0; index < body.size(); ++index) {
    const std::uint8_t byte = body[index];
    if (byte == '\n') continue;
    if (byte == '\r') {
      if (index + 1 == body.size() || body[index + 1] != '\n') return std::nullopt;
      continue;
    }
    if (byte == '=') {
      ++padding;
    } else if (!is_base64_char(byte) || padding > 0) {
      return std::nullopt;
    }
    text += static_cast<char>(byte);
  }
  if (text.size() % 4 != 0 || padding > 2) return std::nullopt;
  return text;
}

std::optional<Bytes> decode_base64(ByteView body) {
  const std::optional<std::string> text = base64_text(body);
  if (!text) return std::nullopt;
  Bytes bytes(text->size() / 4 * 3);
  if (text->empty()) return bytes;
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text->data()),
                                     static_cast<int>(text->size()));
  if (length < 0 || static_cast<std::size_t>(length) != bytes.size()) return std::nullopt;
  // EVP_DecodeBlock gives a zero byte for each padding character.
  const std::size_t padding = text->size() - text->find_last_not_of('=') - 1;
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
