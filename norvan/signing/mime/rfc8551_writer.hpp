#pragma once
// Writing messages as mail clients sign them (RFC 8551): the signature covers a canonical MIME
// entity, sent clear-signed in a multipart/signed or encapsulated in application/pkcs7-mime.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include <string>

namespace norvan::signing::mime::detail {

// Returns the MIME entity that carries the UTF-8 text `payload`: "text/plain; charset=utf-8",
// 7bit when every line has at most 998 bytes and there is no NUL, 8-bit byte or lone CR, else
// quoted-printable; every line end CR LF. Throws Error (invalid_argument) when `payload` is not
// UTF-8.
Bytes text_entity(ByteView payload);

// Returns `input` in canonical form when it is a MIME entity: header fields, an empty line, a
// body. Throws Error (invalid_argument) when it does not start with a header block.
Bytes canonical_entity(ByteView input);

// Returns the whole signed message for `payload` as `options` ask (options.rfc8551 set): the
// entity signed with SHA-256 by `private_key` for the PEM `certificate`, with the PEM
// certificates of options.chain added, clear-signed or (options.opaque) encapsulated. Throws
// ossl::OpenSSLError as sign_payload does, and what text_entity or canonical_entity throw.
Bytes sign_rfc8551(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload,
                   const SignOptions& options);

}  // namespace norvan::signing::mime::detail
