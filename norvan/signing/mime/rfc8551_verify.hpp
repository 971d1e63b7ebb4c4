#pragma once
// Verifying messages as mail clients sign them (RFC 8551): the signed bytes are the first body
// part of the top-level multipart/signed in canonical form, or the content encapsulated in an
// application/pkcs7-mime SignedData.

#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/line_source.hpp"
#include "norvan/signing/mime/parsed_message.hpp"

namespace norvan::signing::mime::detail {

// Returns the signed entity of `message` exactly as signed (with options.body: the decoded body
// of its single text part, LF line ends) once its signature verifies with the record of
// `record`. Throws VerificationError when the top level is not a signed message, whatever
// brisvale's verification throws, and MessageFormatError when options.body is asked of an
// entity that is not one text part.
Bytes verify_rfc8551(ByteView message, const RecordSource& record, const VerifyOptions& options);

// The same for the message that `lines` reads from a file: a clear-signed entity is digested in
// pieces while a copy of it is kept (in memory up to 16 MiB, beyond that in an unnamed
// temporary file), and only that copy reaches `payload_sink`, once verified. An opaque message's
// SignedData, and with options.body the body, are held in memory.
void verify_rfc8551(LineSource& lines, const RecordSource& record, const VerifyOptions& options,
                    const MessageSink& payload_sink, const ProgressSink& progress);

}  // namespace norvan::signing::mime::detail
