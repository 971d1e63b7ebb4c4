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

// The same for the message that `lines` reads from a file: a clear-signed entity reaches
// `payload_sink` in pieces as it is digested, and has verified only when the call returns (the
// caller discards what it got when the call throws). An opaque message's SignedData, and with
// options.body the entity whose body is decoded, are held in memory.
void verify_rfc8551(LineSource& lines, const RecordSource& record, const VerifyOptions& options,
                    const MessageSink& payload_sink, const ProgressSink& progress);

}  // namespace norvan::signing::mime::detail
