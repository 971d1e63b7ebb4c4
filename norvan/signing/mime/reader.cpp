// Verifying signed messages held in memory or in files.
#include "norvan/signing/mime.hpp"

#include "norvan/common/input.hpp"
#include "norvan/signing/mime/line_source.hpp"
#include "norvan/signing/mime/line_ends.hpp"
#include "norvan/signing/mime/parsed_message.hpp"
#include "norvan/signing/mime/payload_part.hpp"
#include "norvan/signing/mime/reserved_bytes.hpp"
#include "norvan/signing/mime/rfc8551_verify.hpp"

#include <cerrno>
#include <optional>

namespace norvan::signing::mime {
namespace {

using namespace detail;

// Returns `body` with every CR LF turned into LF (a lone CR or LF stays), copied once into a
// byte string reserved at the body's size.
Bytes lf_line_ends(ByteView body) {
  Bytes payload = reserved_bytes(body.size());
  append_with_lf_line_ends(body, payload);
  return payload;
}

void check_options(const VerifyOptions& options) {
  if (options.body && !options.rfc8551) {
    throw Error(ErrorCode::invalid_argument, "Returning the body alone needs the RFC 8551 mode");
  }
}

Bytes verify_in_memory(ByteView message, const RecordSource& record, const VerifyOptions& options) {
  check_options(options);
  if (options.rfc8551) return detail::verify_rfc8551(message, record, options);
  LineSource lines(message);
  const ParsedMessage parsed(lines);
  const FoundEntity& payload = parsed.payload();
  return parsed.verify(lf_line_ends(message.subspan(payload.body_start, payload.body_length)), record);
}

// The payload reaches `payload_sink` as it is checked, in one read of the message.
void verify_in_file(const std::filesystem::path& message_file, const RecordSource& record,
                    const MessageSink& payload_sink, const ProgressSink& progress, const VerifyOptions& options) {
  check_options(options);
  Input input = Input::file(message_file, "message file");
  // Parts of the message are read again by offset: it must be a regular file.
  if (!input.is_regular()) input.fail(EINVAL, "it is not a regular file");
  LineSource lines(input);
  if (options.rfc8551) return detail::verify_rfc8551(lines, record, options, payload_sink, progress);
  const ParsedMessage parsed(lines);
  PayloadPartReader reader(lines, parsed.payload(), [&](ByteView piece) {
    payload_sink(piece);
    if (progress) progress(piece.size());
  });
  parsed.verify(reader, record);
}

}  // namespace

Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& trusted_certs,
                     const std::optional<std::filesystem::path>& trusted_dir, const VerifyOptions& options) {
  return verify_in_memory(message, RecordSource(trusted_certs, trusted_dir, options.policy), options);
}

void verify_message_file(const std::filesystem::path& message_file, const std::optional<std::vector<Bytes>>& trusted_certs,
                         const std::optional<std::filesystem::path>& trusted_dir, const MessageSink& payload_sink,
                         const ProgressSink& progress, const VerifyOptions& options) {
  verify_in_file(message_file, RecordSource(trusted_certs, trusted_dir, options.policy), payload_sink, progress,
                 options);
}

Verifier::Verifier(const std::optional<std::vector<Bytes>>& trusted_certs,
                   const std::optional<std::filesystem::path>& trusted_dir, const VerifyOptions& options)
    : record_(trusted_certs, trusted_dir, options.policy), options_(options) {}

Bytes Verifier::verify(ByteView message) const {
  return verify_in_memory(message, RecordSource(record_), options_);
}

void Verifier::verify_file(const std::filesystem::path& message_file, const MessageSink& payload_sink,
                           const ProgressSink& progress) const {
  verify_in_file(message_file, RecordSource(record_), payload_sink, progress, options_);
}

Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs) {
  std::optional<std::vector<Bytes>> certs;
  if (!trusted_certs.empty()) certs = trusted_certs;
  return verify_message(as_bytes(smime_message), certs);
}

}  // namespace norvan::signing::mime
