#pragma once
// Messages as mail clients sign them (RFC 8551): where the signed entity and the signature lie,
// read from the top-level structure only.

#include "norvan/common/bytes.hpp"
#include "norvan/signing/mime/line_source.hpp"

#include <gmime/gmime.h>

#include <cstdint>

namespace norvan::signing::mime::detail {

struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
};

struct Rfc8551Message {
  enum class Form { clear_signed, opaque };
  Form form = Form::clear_signed;
  // Clear-signed: the first body part of the top-level multipart/signed, its header fields
  // included, exactly as it stands in the message (without the line end that belongs to the
  // next delimiter). Empty for the opaque form.
  ByteRange signed_entity;
  // The signature part's body (clear-signed) or the message's own body (opaque), still
  // transfer-encoded by `signature_encoding`.
  ByteRange signature;
  GMimeContentEncoding signature_encoding = GMIME_CONTENT_ENCODING_DEFAULT;
};

// Finds the signed entity and the signature of the message that `lines` reads (from its
// start), looking only at the top level: a multipart/signed with exactly two body parts, the
// second of a signature type, or an application/pkcs7-mime (or x-pkcs7-mime) entity whose
// smime-type is signed-data or absent. Throws VerificationError "Could not find any
// signature: ..." naming what the top level is instead, or what is wrong with its parts.
Rfc8551Message locate_rfc8551(LineSource& lines);

// Returns the transfer-decoded body of `entity` (a MIME entity: header fields, an empty line,
// the body) with every CR LF turned into LF, when it is a single text part. Throws
// MessageFormatError naming its content type when it is not.
Bytes text_body(ByteView entity);

}  // namespace norvan::signing::mime::detail
