#pragma once
// The S/MIME clear-signed message format: signing a payload into a message and verifying a
// message back into its payload.
//
// A message is a multipart/signed entity with CR LF line ends: first the payload as a
// "text/plain" part (its line ends written as CR LF, no transfer encoding), then a detached
// PKCS#7 SignedData over the payload bytes as passed in (SHA-256, one signer named by issuer
// and serial number, the standard signed attributes), base64-encoded in an
// "application/x-pkcs7-signature" part.
//
// On request (SignOptions::rfc8551, VerifyOptions::rfc8551) messages are signed and read as mail
// clients sign and read them (RFC 8551): the signature covers a canonical MIME entity, the first
// part of a multipart/signed or the content encapsulated in an application/pkcs7-mime.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/merrowin.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::mime {

using brisvale::VerificationError;

/// Receives the next piece of a message text; a throw aborts the signing.
using MessageSink = std::function<void(ByteView piece)>;

/// Told how many more payload bytes a verification has checked, for a progress display.
using ProgressSink = std::function<void(std::size_t bytes)>;

/// How a message is signed beyond the default format. A default-made value signs exactly the
/// default message.
struct SignOptions {
  std::vector<Bytes> chain;  // PEM certificates put after the signer's, in this order
  bool rfc8551 = false;      // sign the payload as a canonical MIME entity, as mail clients do
  bool entity = false;       // rfc8551: the payload is a MIME entity already (headers, blank line, body)
  bool opaque = false;       // rfc8551: application/pkcs7-mime with the entity encapsulated
};

/// How a message is verified beyond the default. A default-made value verifies exactly as the
/// default functions do.
struct VerifyOptions {
  brisvale::VerificationPolicy policy;
  bool rfc8551 = false;  // the signed bytes are the first part as a canonical MIME entity, or the opaque content
  bool body = false;     // rfc8551: return the decoded body of a single text part, with LF line ends

  bool is_default() const noexcept { return policy.is_default() && !rfc8551 && !body; }
};

/// Signs a payload that arrives in pieces and writes the message through a sink as it goes,
/// so that the payload never has to be held in memory as a whole.
///
/// Use: construct (writes the message header), update() with each piece of the payload in
/// order, finish() once (writes the signature part and the close delimiter). The object is
/// not reusable and not shared between threads; separate objects are independent.
class PayloadSigner {
 public:
  /// Parses the PEM `certificate`, prepares the SignedData for `private_key` (borrowed; it
  /// must outlive this object) and writes the message header to `sink`. Throws
  /// ossl::OpenSSLError when `certificate` is not one PEM certificate or does not belong to
  /// `private_key`; nothing has been written then.
  ///
  /// With options.rfc8551 the message is the one sign_payload(certificate, private_key, <the
  /// whole payload>, options) returns: the payload is held in memory until finish(), which
  /// writes the whole message (the entity's transfer encoding depends on all of the payload).
  PayloadSigner(ByteView certificate, const merrowin::PrivateKey& private_key, MessageSink sink,
                const SignOptions& options = {});
  PayloadSigner(const PayloadSigner&) = delete;
  PayloadSigner& operator=(const PayloadSigner&) = delete;
  ~PayloadSigner();

  /// Digests `piece` as the next payload bytes and writes them into the payload part.
  /// Throws std::logic_error after finish().
  void update(ByteView piece);

  /// Signs the payload digested so far and writes the signature part and the close
  /// delimiter. Throws ossl::OpenSSLError when signing fails, std::logic_error when called
  /// twice.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Returns the complete S/MIME message (CR LF line ends) whose second part is a detached
/// PKCS#7 SignedData over `payload`, made with SHA-256 by `private_key` (borrowed) for the
/// PEM `certificate`; the certificates of `options.chain` follow the signer's in the
/// SignedData, in their order. Throws ossl::OpenSSLError when the certificate is not PEM, does
/// not belong to the key, a chain entry is not a PEM certificate, or signing fails.
///
/// With options.rfc8551 the signature covers a canonical MIME entity (RFC 8551), as mail clients
/// sign: the UTF-8 text `payload` as a "text/plain; charset=utf-8" entity (7bit when every line
/// fits, else quoted-printable), or with options.entity `payload` itself, a MIME entity (header
/// fields, an empty line, a body) with every line end made CR LF. The message is a
/// multipart/signed with protocol "application/pkcs7-signature" and micalg sha-256, or with
/// options.opaque an application/pkcs7-mime (smime-type=signed-data) that encapsulates the
/// entity. Throws norvan::Error (invalid_argument) for a text payload that is not UTF-8, an
/// entity without a header block, and options.entity or options.opaque without options.rfc8551.
Bytes sign_payload(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload,
                   const SignOptions& options = {});

/// The message could not be taken apart at all (for example it is larger than the MIME
/// parser handles). Not a VerificationError.
class MessageFormatError : public Error {
 public:
  explicit MessageFormatError(const std::string& what) : Error(ErrorCode::message_format, what) {}
};

/// Returns the payload of the signed message `message` (bytes of its UTF-8 text) as
/// brisvale::verify returns it, after finding the last signature entity and the last
/// "text/plain" entity, transfer-decoding the former and turning CR LF into LF in the
/// latter. `trusted_certs` and `trusted_dir` go to brisvale::verify unchanged (as its `certs`
/// and `systemCertsPath`).
/// Throws VerificationError "Could not find any signature" or
/// `Unsupported payload "None" type <class 'NoneType'>`, whatever brisvale::verify throws,
/// and MessageFormatError. `message` is only read, never copied as a whole.
///
/// With options.rfc8551 the message is read as mail clients sign it (RFC 8551), from its top
/// level only: the signed bytes are the first body part of a top-level multipart/signed as a
/// canonical entity (its header fields and body as they stand, every line end CR LF), or the
/// content encapsulated in a top-level application/pkcs7-mime SignedData. The result is that
/// entity exactly as signed, or with options.body the transfer-decoded body of its single text
/// part with LF line ends (MessageFormatError when it is not one text part). A top level that is
/// neither form throws VerificationError "Could not find any signature: ...". options.body
/// without options.rfc8551 throws norvan::Error (invalid_argument).
Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& trusted_certs,
                     const std::optional<std::filesystem::path>& trusted_dir = std::nullopt,
                     const VerifyOptions& options = {});

/// Verifies the signed message in the regular file `message_file` without loading it, with the
/// same entity selection, results and errors as verify_message. The payload (CR LF already
/// turned into LF) reaches `payload_sink` in pieces as it is checked, in one read of the file:
/// it has verified only when the call returns, and when the call throws the sink has received
/// bytes that did not verify, which the caller must discard (norvan::PendingOutput does both).
/// Throws what verify_message throws, FileError when the file cannot be opened or read or is
/// not a regular file, and whatever `payload_sink` throws. Memory use does not grow with the
/// size of the payload. `progress`, when given, hears of every piece of the payload checked.
/// With options.rfc8551 the message is read as verify_message reads it then: a clear-signed
/// entity is digested in pieces as it streams to the sink; an opaque message's SignedData, and
/// with options.body the decoded body, are held in memory.
void verify_message_file(const std::filesystem::path& message_file, const std::optional<std::vector<Bytes>>& trusted_certs,
                         const std::optional<std::filesystem::path>& trusted_dir, const MessageSink& payload_sink,
                         const ProgressSink& progress = {}, const VerifyOptions& options = {});

/// Verifies any number of messages against trust roots gathered once: the reusable form of
/// verify_message and verify_message_file, for callers that check many messages with the same
/// trusted certificates. Each call has the entity selection, results and errors of those
/// functions, except that faults of the trusted certificates are reported once, by the
/// constructor, instead of by every call. The trusted-certificate directory is read when the
/// Verifier is made; later changes to it are not seen.
///
/// Immutable once made: one Verifier may serve any number of threads at once.
class Verifier {
 public:
  /// Gathers the trust roots from `trusted_certs` and `trusted_dir` as brisvale::VerifyData does
  /// (both absent: the system's trust store). `options` apply to every verification of this
  /// Verifier: its policy (revocation lists, time, purpose) and the message form. Throws what
  /// brisvale::VerifyData's constructor throws.
  explicit Verifier(const std::optional<std::vector<Bytes>>& trusted_certs = std::nullopt,
                    const std::optional<std::filesystem::path>& trusted_dir = std::nullopt,
                    const VerifyOptions& options = {});

  /// As verify_message(message, <the trust roots>, <the options>).
  Bytes verify(ByteView message) const;

  /// As verify_message_file(message_file, <the trust roots>, payload_sink, progress).
  void verify_file(const std::filesystem::path& message_file, const MessageSink& payload_sink,
                   const ProgressSink& progress = {}) const;

 private:
  brisvale::VerifyData record_;
  VerifyOptions options_;
};

/// Returns the unsigned payload when verification succeeds; raises a VerificationError
/// otherwise. `smime_message` is the whole message text (UTF-8); `trusted_certs` are PEM or
/// DER certificates, an empty list meaning the system's trust store. Same as
/// verify_message(smime_message, trusted_certs or absent when empty).
Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs = {});

}  // namespace norvan::signing::mime

NORVAN_PUBLIC_END
