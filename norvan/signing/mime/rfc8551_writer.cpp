#include "norvan/signing/mime/rfc8551_writer.hpp"

#include "norvan/common/openssl.hpp"
#include "norvan/common/utf8.hpp"
#include "norvan/signing/mime/canonical.hpp"
#include "norvan/signing/mime/header_fields.hpp"
#include "norvan/signing/mime/line_source.hpp"
#include "norvan/signing/mime/message_text.hpp"
#include "norvan/signing/mime/signature_builder.hpp"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

namespace norvan::signing::mime::detail {
namespace {

// RFC 5322 and 2045: a line has at most 998 bytes before its CR LF.
constexpr std::size_t kMaxLineLength = 998;
// Quoted-printable lines have at most 76 characters, a soft line break's "=" included.
constexpr std::size_t kMaxEncodedLine = 76;

[[noreturn]] void invalid(const std::string& text) { throw Error(ErrorCode::invalid_argument, text); }

// Whether `payload` goes through mail as 7bit text: short lines of ASCII without NUL, and CR only
// as part of CR LF.
bool fits_7bit(ByteView payload) {
  std::size_t line = 0;
  for (std::size_t i = 0; i < payload.size(); ++i) {
    const std::uint8_t byte = payload[i];
    if (byte == '\n') {
      line = 0;
      continue;
    }
    if (byte == '\r') {
      if (i + 1 == payload.size() || payload[i + 1] != '\n') return false;
      continue;
    }
    if (byte == 0 || byte >= 0x80 || ++line > kMaxLineLength) return false;
  }
  return true;
}

// The lines of `payload` (split at LF, a CR before it dropped), each quoted-printable encoded
// (RFC 2045, 6.7) and ended by CR LF except the last when the payload does not end in LF.
std::string quoted_printable(ByteView payload) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  std::size_t start = 0;
  while (start <= payload.size()) {
    std::size_t end = start;
    while (end < payload.size() && payload[end] != '\n') ++end;
    const bool has_lf = end < payload.size();
    std::size_t text_end = end;
    if (has_lf && text_end > start && payload[text_end - 1] == '\r') --text_end;
    std::size_t column = 0;
    for (std::size_t i = start; i < text_end; ++i) {
      const std::uint8_t byte = payload[i];
      const bool last = i + 1 == text_end;
      const bool literal =
          (byte >= 33 && byte <= 126 && byte != '=') || ((byte == ' ' || byte == '\t') && !last);
      const std::size_t width = literal ? 1 : 3;
      // Room for a soft line break's "=" unless this is the line's last character.
      if (column + width > kMaxEncodedLine - (last ? 0 : 1)) {
        out += "=\r\n";
        column = 0;
      }
      if (literal) {
        out += static_cast<char>(byte);
      } else {
        out += '=';
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
      }
      column += width;
    }
    if (!has_lf) break;
    out += "\r\n";
    start = end + 1;
  }
  return out;
}

// The detached SignedData over `entity`, digested in place as the default signer does.
Bytes detached_signed_data(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView entity,
                           const SignOptions& options) {
  SignatureBuilder builder(certificate, private_key, options.chain);
  builder.digest(entity);
  return builder.finish_der();
}

// The SignedData with `entity` encapsulated.
Bytes encapsulating_signed_data(ByteView certificate, const merrowin::PrivateKey& private_key,
                                ByteView entity, const SignOptions& options) {
  const int flags = PKCS7_BINARY | PKCS7_PARTIAL;
  const ossl::UniquePtr<X509> signer = load_pem_certificate(certificate);
  ossl::UniquePtr<PKCS7> p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!p7) ossl::throw_error("Cannot create the SignedData");
  // Content type, signing time, message digest and S/MIME capabilities as signed attributes.
  if (PKCS7_sign_add_signer(p7.get(), signer.get(), private_key.native(), EVP_sha256(), flags) == nullptr) {
    ossl::throw_error("Cannot add the signer to the SignedData");
  }
  for (std::size_t i = 0; i < options.chain.size(); ++i) {
    const ossl::UniquePtr<X509> extra =
        load_pem_certificate(options.chain[i], "Chain certificate #" + std::to_string(i + 1));
    if (PKCS7_add_certificate(p7.get(), extra.get()) != 1)
      ossl::throw_error("Cannot add a chain certificate");
  }
  const auto data = ossl::memory_reader(entity.data(), entity.size());
  if (PKCS7_final(p7.get(), data.get(), flags) != 1) ossl::throw_error("Cannot sign the entity");
  return ossl::to_der(p7.get(), i2d_PKCS7, "Cannot encode the SignedData");
}

// A boundary that does not occur in `entity` (with 128 random bits it never does by accident).
std::string boundary_for(ByteView entity) {
  const std::string_view text(reinterpret_cast<const char*>(entity.data()), entity.size());
  for (;;) {
    std::string boundary = random_boundary();
    if (text.find("--" + boundary) == std::string_view::npos) return boundary;
  }
}

// The message around `entity`, which becomes its first part (moved in, not copied).
Bytes clear_signed(Bytes entity, ByteView der) {
  const std::string boundary = boundary_for(entity);
  std::string head;
  head += "MIME-Version: 1.0\r\n";
  head +=
      "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; "
      "boundary=\"" +
      boundary + "\"\r\n\r\n";
  head += "This is an S/MIME signed message\r\n\r\n";
  head += "--" + boundary + "\r\n";
  std::string tail;
  tail += "\r\n--" + boundary + "\r\n";
  tail += "Content-Type: application/pkcs7-signature; name=\"smime.p7s\"\r\n";
  tail += "Content-Transfer-Encoding: base64\r\n";
  tail += "Content-Disposition: attachment; filename=\"smime.p7s\"\r\n\r\n";
  tail += base64_lines(der);
  tail += "\r\n\r\n--" + boundary + "--\r\n";
  Bytes message = std::move(entity);
  message.reserve(head.size() + message.size() + tail.size());
  message.insert(message.begin(), head.begin(), head.end());
  message.insert(message.end(), tail.begin(), tail.end());
  return message;
}

Bytes opaque(ByteView der) {
  std::string text;
  text += "MIME-Version: 1.0\r\n";
  text += "Content-Type: application/pkcs7-mime; smime-type=signed-data; name=\"smime.p7m\"\r\n";
  text += "Content-Transfer-Encoding: base64\r\n";
  text += "Content-Disposition: attachment; filename=\"smime.p7m\"\r\n\r\n";
  text += base64_lines(der);
  text += "\r\n";
  return Bytes(text.begin(), text.end());
}

}  // namespace

Bytes text_entity(ByteView payload) {
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  if (const std::size_t bad = invalid_utf8_offset(text); bad != std::string_view::npos) {
    invalid("The payload is not UTF-8 text (byte " + std::to_string(bad) +
            "): sign it as a ready-made MIME entity with its own transfer encoding instead");
  }
  const bool seven_bit = fits_7bit(payload);
  const std::string header =
      std::string("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: ") +
      (seven_bit ? "7bit" : "quoted-printable") + "\r\n\r\n";
  Bytes entity = seven_bit ? canonical_line_ends(payload) : to_bytes(quoted_printable(payload));
  entity.insert(entity.begin(), header.begin(), header.end());
  return entity;
}

Bytes canonical_entity(ByteView input) {
  LineSource lines(input);
  Line line;
  bool first = true;
  while (lines.next(line, LineSource::kWhole)) {
    if (line.has_lf && line.length_without_cr() == 0) {
      if (first) break;
      return canonical_line_ends(input);
    }
    std::string_view name;
    const bool field = field_name_of(line.head, name) == FieldName::valid;
    const bool continuation = !first && line.length > 0 && is_blank(line.head[0]);
    if (!field && !continuation) {
      invalid(std::string(first ? "The entity to sign does not start with a MIME header field (name: value)"
                                : "The header of the entity to sign holds a line that is no header field") +
              ": give header fields, an empty line and the body");
    }
    first = false;
  }
  invalid(
      "The entity to sign has no header block ended by an empty line: give header fields, an empty line and "
      "the body");
}

Bytes sign_rfc8551(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload,
                   const SignOptions& options) {
  Bytes entity = options.entity ? canonical_entity(payload) : text_entity(payload);
  if (options.opaque) return opaque(encapsulating_signed_data(certificate, private_key, entity, options));
  const Bytes der = detached_signed_data(certificate, private_key, entity, options);
  return clear_signed(std::move(entity), der);
}

}  // namespace norvan::signing::mime::detail
