// Writing signed messages: the payload part with CR LF line ends between the message header
// and the signature part.
#include "norvan/signing/mime.hpp"
#include "norvan/signing/mime/line_ends.hpp"
#include "norvan/signing/mime/message_text.hpp"
#include "norvan/signing/mime/reserved_bytes.hpp"
#include "norvan/signing/mime/rfc8551_writer.hpp"
#include "norvan/signing/mime/signature_builder.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace norvan::signing::mime {
namespace {

using detail::LineEndCount;
using detail::LineEndWriter;
using detail::SignatureBuilder;
using detail::message_header;
using detail::reserved_bytes;

// Payload bytes are converted and handed to the sink in blocks of this size at most.
constexpr std::size_t kOutputBlockSize = 64 * 1024;

// Collects converted payload bytes in blocks of kOutputBlockSize and hands each block to a
// sink, so that the sink sees few large pieces instead of one per line.
class BlockOutput {
 public:
  explicit BlockOutput(const MessageSink& sink) : sink_(sink) { block_.reserve(kOutputBlockSize + 2); }

  void append(const std::uint8_t* from, const std::uint8_t* to) {
    while (from != to) {
      const std::size_t room = kOutputBlockSize - std::min(block_.size(), kOutputBlockSize);
      const std::size_t count = std::min(room, static_cast<std::size_t>(to - from));
      block_.insert(block_.end(), from, from + count);
      from += count;
      if (block_.size() >= kOutputBlockSize) flush();
    }
  }

  void append_line_end() {
    block_.push_back('\r');
    block_.push_back('\n');
    if (block_.size() >= kOutputBlockSize) flush();
  }

  void flush() {
    if (block_.empty()) return;
    sink_(block_);
    block_.clear();
  }

 private:
  const MessageSink& sink_;
  Bytes block_;
};

// Appends converted payload bytes straight to a message whose room was reserved beforehand.
class MessageOutput {
 public:
  explicit MessageOutput(Bytes& message) : message_(message) {}
  void append(const std::uint8_t* from, const std::uint8_t* to) { message_.insert(message_.end(), from, to); }
  void append_line_end() {
    message_.push_back('\r');
    message_.push_back('\n');
  }

 private:
  Bytes& message_;
};

void write_text(const MessageSink& sink, std::string_view text) { sink(as_bytes(text)); }

void check_options(const SignOptions& options) {
  if ((options.entity || options.opaque) && !options.rfc8551) {
    throw Error(ErrorCode::invalid_argument, "Signing an entity or an opaque message needs the RFC 8551 mode");
  }
}

}  // namespace

struct PayloadSigner::State {
  MessageSink sink;
  SignatureBuilder signature;
  BlockOutput payload_blocks;
  LineEndWriter<BlockOutput> payload_writer;
  bool finished = false;
  // RFC 8551 mode: the whole payload, signed by finish().
  SignOptions options;
  Bytes certificate;
  const merrowin::PrivateKey& private_key;
  Bytes held;

  State(ByteView certificate_pem, const merrowin::PrivateKey& key, MessageSink message_sink, const SignOptions& how)
      : sink(std::move(message_sink)),
        signature(certificate_pem, key, how.chain),
        payload_blocks(sink),
        payload_writer(payload_blocks),
        options(how),
        certificate(certificate_pem.begin(), certificate_pem.end()),
        private_key(key) {}
};

PayloadSigner::PayloadSigner(ByteView certificate, const merrowin::PrivateKey& private_key, MessageSink sink,
                             const SignOptions& options) {
  check_options(options);
  state_ = std::make_unique<State>(certificate, private_key, std::move(sink), options);
  if (!options.rfc8551) write_text(state_->sink, message_header(state_->signature.boundary()));
}

PayloadSigner::~PayloadSigner() = default;

void PayloadSigner::update(ByteView piece) {
  State& state = *state_;
  if (state.finished) throw std::logic_error("PayloadSigner::update called after finish");
  if (state.options.rfc8551) {
    state.held.insert(state.held.end(), piece.begin(), piece.end());
    return;
  }
  // Each slice is digested and then converted while it is still in the cache.
  for (std::size_t offset = 0; offset < piece.size(); offset += kOutputBlockSize) {
    const ByteView slice = piece.subspan(offset, std::min(kOutputBlockSize, piece.size() - offset));
    state.signature.digest(slice);
    state.payload_writer.write(slice);
  }
  state.payload_blocks.flush();
}

void PayloadSigner::finish() {
  State& state = *state_;
  if (state.finished) throw std::logic_error("PayloadSigner::finish called twice");
  state.finished = true;
  if (state.options.rfc8551) {
    state.sink(detail::sign_rfc8551(state.certificate, state.private_key, state.held, state.options));
    return;
  }
  state.payload_writer.close();
  state.payload_blocks.flush();
  write_text(state.sink, state.signature.finish());
}

// The whole payload is at hand: one pass digests it and counts its line ends (slice by slice,
// while each is in the cache), the signature is made, and a second pass converts the payload
// straight into a message reserved at its exact size.
Bytes sign_payload(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload,
                   const SignOptions& options) {
  check_options(options);
  if (options.rfc8551) return detail::sign_rfc8551(certificate, private_key, payload, options);
  SignatureBuilder signature(certificate, private_key, options.chain);
  LineEndCount line_ends;
  for (std::size_t offset = 0; offset < payload.size(); offset += kOutputBlockSize) {
    const ByteView slice = payload.subspan(offset, std::min(kOutputBlockSize, payload.size() - offset));
    signature.digest(slice);
    line_ends.add(slice, payload.data() + payload.size());
  }
  const std::string header = message_header(signature.boundary());
  const std::string trailer = signature.finish();

  Bytes message = reserved_bytes(header.size() + payload.size() + line_ends.added_bytes() + trailer.size());
  message.insert(message.end(), header.begin(), header.end());
  MessageOutput output(message);
  LineEndWriter<MessageOutput> writer(output);
  writer.write(payload);
  writer.close();
  message.insert(message.end(), trailer.begin(), trailer.end());
  return message;
}

}  // namespace norvan::signing::mime
