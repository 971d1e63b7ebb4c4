#include "norvan/signing/mime.hpp"

#include "norvan/common/files.hpp"
#include "norvan/common/openssl.hpp"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace norvan::signing::mime {
namespace {

// ---------------------------------------------------------------------------------------------
// Writing the message

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kSignatureFileName = "smime.p7s";
// 48 bytes of DER make one base64 line of 64 characters.
constexpr std::size_t kBase64BytesPerLine = 48;
// Payload bytes are converted and handed to the sink in blocks of this size at most.
constexpr std::size_t kOutputBlockSize = 64 * 1024;
// BIO_write takes an int length; larger pieces are fed in slices of this size.
constexpr std::size_t kMaxDigestSlice = 1U << 30;

// The signature options: no content in the SignedData, the payload signed as the bytes given
// (no LF to CR LF canonicalisation, no text header), and the SignedData finished by our own
// streaming code rather than by PKCS7_sign.
constexpr int kSigningFlags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_PARTIAL;

// Never asked for: certificates are not encrypted, and nothing may prompt on the terminal.
int refuse_password(char*, int, int, void*) { return 0; }

ossl::UniquePtr<X509> load_pem_certificate(ByteView pem) {
  const auto bio = ossl::memory_reader(pem.data(), pem.size());
  ossl::UniquePtr<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, refuse_password, nullptr));
  if (!certificate) ossl::throw_error("The signer certificate is not a PEM X.509 certificate");
  return certificate;
}

// A boundary of 128 random bits: it cannot occur in a payload by accident.
std::string random_boundary() {
  unsigned char random[16];
  if (RAND_bytes(random, sizeof random) != 1) ossl::throw_error("Cannot make a random MIME boundary");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string boundary = "----=_norvan_";
  for (const unsigned char byte : random) {
    boundary += kHex[byte >> 4];
    boundary += kHex[byte & 0xF];
  }
  return boundary;
}

std::string message_header(const std::string& boundary) {
  std::string header;
  header += "MIME-Version: 1.0\r\n";
  header += "Content-Type: multipart/signed; protocol=\"application/x-pkcs7-signature\"; "
            "micalg=\"sha-256\"; boundary=\"" + boundary + "\"\r\n";
  header += kCrLf;
  header += "This is an S/MIME signed message\r\n";
  header += "--" + boundary + "\r\n";
  header += "Content-Type: text/plain\r\n";
  header += kCrLf;
  return header;
}

// The CR LF ending the payload belongs to the delimiter that follows it.
std::string signature_part_header(const std::string& boundary) {
  std::string header;
  header += "\r\n--" + boundary + "\r\n";
  header += "Content-Type: application/x-pkcs7-signature; name=\"" + std::string(kSignatureFileName) + "\"\r\n";
  header += "Content-Transfer-Encoding: base64\r\n";
  header += "Content-Disposition: attachment; filename=\"" + std::string(kSignatureFileName) + "\"\r\n";
  header += kCrLf;
  return header;
}

// `der` in base64, 64 characters per line, lines separated (not ended) by CR LF.
std::string base64_lines(ByteView der) {
  std::string text;
  unsigned char line[4 * kBase64BytesPerLine / 3 + 1];
  for (std::size_t offset = 0; offset < der.size(); offset += kBase64BytesPerLine) {
    const std::size_t count = std::min(kBase64BytesPerLine, der.size() - offset);
    const int length = EVP_EncodeBlock(line, der.data() + offset, static_cast<int>(count));
    if (offset != 0) text += kCrLf;
    text.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(length));
  }
  return text;
}

Bytes der_encoding(PKCS7* signed_data) {
  const int length = i2d_PKCS7(signed_data, nullptr);
  if (length <= 0) ossl::throw_error("Cannot encode the SignedData");
  Bytes der(static_cast<std::size_t>(length));
  unsigned char* out = der.data();
  if (i2d_PKCS7(signed_data, &out) != length) ossl::throw_error("Cannot encode the SignedData");
  return der;
}

// Advises the kernel to back the storage of `bytes` (capacity already reserved) with huge
// pages. Fresh memory is otherwise mapped one 4 KiB page at a time on first write, which on
// large results costs several times the work itself. Only for blocks that malloc serves
// straight from mmap (the largest dynamic threshold is 32 MiB), so heap memory is never
// advised; the advice changes no contents and failure is harmless.
void advise_huge_pages(Bytes& bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kMinimumSize = 32U << 20;
  constexpr std::uintptr_t kHugePage = 2U << 20;
  if (bytes.capacity() < kMinimumSize) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes.capacity()) & ~(kHugePage - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)bytes;
#endif
}

// Returns an empty byte string with room for `size` bytes.
Bytes reserved_bytes(std::size_t size) {
  Bytes bytes;
  bytes.reserve(size);
  advise_huge_pages(bytes);
  return bytes;
}

// Writes payload bytes into an Output with every line end (LF, lone CR, CR LF) as CR LF. A CR
// at the end of one piece waits for the next piece to tell whether an LF completes it. Runs
// without line ends are handed on whole. Output offers append(from, to) and
// append_line_end().
template <class Output>
class LineEndWriter {
 public:
  explicit LineEndWriter(Output& output) : output_(output) {}

  void write(ByteView piece) {
    const std::uint8_t* next = piece.data();
    const std::uint8_t* const end = next + piece.size();
    const std::uint8_t* next_lf = nullptr;
    const std::uint8_t* next_cr = nullptr;
    while (next != end) {
      if (pending_cr_) {
        pending_cr_ = false;
        output_.append_line_end();
        if (*next == '\n') ++next;
        continue;
      }
      const std::uint8_t* line_end = std::min(next_of('\n', next, end, next_lf), next_of('\r', next, end, next_cr));
      output_.append(next, line_end);
      if (line_end == end) break;
      if (*line_end == '\r') {
        pending_cr_ = true;
      } else {
        output_.append_line_end();
      }
      next = line_end + 1;
    }
  }

  // Ends the payload: a trailing lone CR still becomes a line end.
  void close() {
    if (pending_cr_) output_.append_line_end();
    pending_cr_ = false;
  }

 private:
  // The next occurrence of `byte` at or after `from` (or `end`), remembered in `cached` so
  // that each byte of a piece is searched once.
  static const std::uint8_t* next_of(std::uint8_t byte, const std::uint8_t* from, const std::uint8_t* end,
                                     const std::uint8_t*& cached) {
    if (cached == nullptr || cached < from) {
      const void* found = std::memchr(from, byte, static_cast<std::size_t>(end - from));
      cached = found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
    }
    return cached;
  }

  Output& output_;
  bool pending_cr_ = false;
};

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

// The number of LF bytes in `bytes`. Counted in fixed blocks with a byte-sized counter, a
// loop the compiler turns into vector compares (several times faster than std::count here).
std::size_t count_line_feeds(ByteView bytes) {
  constexpr std::size_t kBlock = 240;  // a multiple of the vector width, below 256
  const std::uint8_t* next = bytes.data();
  std::size_t left = bytes.size();
  std::size_t total = 0;
  for (; left >= kBlock; next += kBlock, left -= kBlock) {
    std::uint8_t in_block = 0;
    for (std::size_t i = 0; i < kBlock; ++i) in_block = static_cast<std::uint8_t>(in_block + (next[i] == '\n'));
    total += in_block;
  }
  for (std::size_t i = 0; i < left; ++i) total += next[i] == '\n' ? 1 : 0;
  return total;
}

// The line ends of a payload, counted piece by piece, and how many bytes their conversion
// to CR LF adds: one for every LF without a CR before it and one for every CR without an LF
// after it. A CR LF split between pieces is counted as a pair from the piece holding the CR.
class LineEndCount {
 public:
  // Counts `piece`, which lies in a payload ending at `payload_end`.
  void add(ByteView piece, const std::uint8_t* payload_end) {
    line_feeds_ += count_line_feeds(piece);
    const std::uint8_t* next = piece.data();
    const std::uint8_t* const end = next + piece.size();
    while (const void* found = std::memchr(next, '\r', static_cast<std::size_t>(end - next))) {
      const auto* cr = static_cast<const std::uint8_t*>(found);
      ++returns_;
      if (cr + 1 != payload_end && cr[1] == '\n') ++pairs_;
      next = cr + 1;
    }
  }

  // Valid once every piece has been counted.
  std::size_t added_bytes() const noexcept { return line_feeds_ + returns_ - 2 * pairs_; }

 private:
  std::size_t line_feeds_ = 0;
  std::size_t returns_ = 0;
  std::size_t pairs_ = 0;  // CR LF
};

void write_text(const MessageSink& sink, std::string_view text) { sink(as_bytes(text)); }

// The signature side of a message: the signer's certificate, the SignedData being built, the
// digest of the payload so far and the MIME boundary. digest() the payload, then finish().
class SignatureBuilder {
 public:
  SignatureBuilder(ByteView certificate, const merrowin::PrivateKey& private_key)
      : certificate_(load_pem_certificate(certificate)) {
    signed_data_.reset(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, kSigningFlags));
    if (!signed_data_) ossl::throw_error("Cannot create the SignedData");
    // One signer by issuer and serial number, SHA-256, the standard signed attributes (content
    // type and S/MIME capabilities now; signing time and message digest when it is finished),
    // and the signer's certificate. OpenSSL signs RSA keys with PKCS#1 v1.5 padding and EC
    // keys with ECDSA here. It refuses a key that does not belong to the certificate.
    if (PKCS7_sign_add_signer(signed_data_.get(), certificate_.get(), private_key.native(), sha256(),
                              kSigningFlags) == nullptr) {
      ossl::throw_error("Cannot add the signer to the SignedData");
    }
    digest_chain_.reset(PKCS7_dataInit(signed_data_.get(), nullptr));
    if (!digest_chain_) ossl::throw_error("Cannot start digesting the payload");
    boundary_ = random_boundary();
  }

  const std::string& boundary() const noexcept { return boundary_; }

  void digest(ByteView piece) {
    for (std::size_t offset = 0; offset < piece.size(); offset += kMaxDigestSlice) {
      const std::size_t count = std::min(kMaxDigestSlice, piece.size() - offset);
      if (BIO_write(digest_chain_.get(), piece.data() + offset, static_cast<int>(count)) != static_cast<int>(count)) {
        ossl::throw_error("Cannot digest the payload");
      }
    }
  }

  // Signs the payload digested so far; returns the message text that follows the payload:
  // the signature part and the close delimiter.
  std::string finish() {
    if (BIO_flush(digest_chain_.get()) != 1) ossl::throw_error("Cannot digest the payload");
    if (PKCS7_dataFinal(signed_data_.get(), digest_chain_.get()) != 1) ossl::throw_error("Cannot sign the payload");
    const Bytes der = der_encoding(signed_data_.get());
    return signature_part_header(boundary_) + base64_lines(der) + "\r\n--" + boundary_ + "--\r\n";
  }

 private:
  // SHA-256, fetched once per process: an immutable algorithm object that saves the provider
  // look-up (and its lock) on every message.
  static const EVP_MD* sha256() {
    static const ossl::UniquePtr<EVP_MD> fetched(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!fetched) ossl::throw_error("SHA-256 is not available");
    return fetched.get();
  }

  ossl::UniquePtr<X509> certificate_;
  ossl::UniquePtr<PKCS7> signed_data_;
  // Digests what is written into it: the chain PKCS7_dataInit made, ending in a null sink.
  ossl::UniquePtr<BIO> digest_chain_;
  std::string boundary_;
};

}  // namespace

struct PayloadSigner::State {
  MessageSink sink;
  SignatureBuilder signature;
  BlockOutput payload_blocks;
  LineEndWriter<BlockOutput> payload_writer;
  bool finished = false;

  State(ByteView certificate, const merrowin::PrivateKey& private_key, MessageSink message_sink)
      : sink(std::move(message_sink)),
        signature(certificate, private_key),
        payload_blocks(sink),
        payload_writer(payload_blocks) {}
};

PayloadSigner::PayloadSigner(ByteView certificate, const merrowin::PrivateKey& private_key, MessageSink sink)
    : state_(std::make_unique<State>(certificate, private_key, std::move(sink))) {
  write_text(state_->sink, message_header(state_->signature.boundary()));
}

PayloadSigner::~PayloadSigner() = default;

void PayloadSigner::update(ByteView piece) {
  State& state = *state_;
  if (state.finished) throw std::logic_error("PayloadSigner::update called after finish");
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
  state.payload_writer.close();
  state.payload_blocks.flush();
  write_text(state.sink, state.signature.finish());
}

// The whole payload is at hand: one pass digests it and counts its line ends (slice by slice,
// while each is in the cache), the signature is made, and a second pass converts the payload
// straight into a message reserved at its exact size.
Bytes sign_payload(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload) {
  SignatureBuilder signature(certificate, private_key);
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

// ---------------------------------------------------------------------------------------------
// Reading the message

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};

/// Owns one reference to a GObject: only what a GMime *_new / construct function returned.
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

void initialise_gmime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// A GMime memory stream reading the caller's bytes in place. GMime's memory stream reads
// from a GByteArray: the array is lent the caller's buffer, the stream is told it does not
// own the array, and the buffer is taken back from the array before the array is freed, so
// GLib never copies, changes or frees the caller's bytes. The stream is only read (parsing
// and reading part contents never write to it). Everything made from the stream (parser,
// parts, their substreams) must be gone before this object is destroyed.
class BorrowedStream {
 public:
  explicit BorrowedStream(ByteView bytes) {
    if (bytes.size() > G_MAXUINT) {
      throw MessageFormatError("The message is " + std::to_string(bytes.size()) +
                               " bytes long; messages over 4 GiB cannot be parsed");
    }
    // g_byte_array_new_take wants a mutable pointer; nothing writes through it.
    array_ = g_byte_array_new_take(const_cast<guint8*>(bytes.data()), bytes.size());
    stream_.reset(g_mime_stream_mem_new_with_byte_array(array_));
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream_.get()), FALSE);
  }
  BorrowedStream(const BorrowedStream&) = delete;
  BorrowedStream& operator=(const BorrowedStream&) = delete;
  ~BorrowedStream() {
    stream_.reset();
    g_byte_array_steal(array_, nullptr);
    g_byte_array_unref(array_);
  }

  GMimeStream* get() const noexcept { return stream_.get(); }

 private:
  GByteArray* array_ = nullptr;
  GObjectPtr<GMimeStream> stream_;
};

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The entity's content type as lower-case "type/subtype" with its parameters dropped. No
// Content-Type header: "text/plain", or "message/rfc822" for a direct child of a
// multipart/digest. A value without exactly one slash: "text/plain".
std::string content_type_of(GMimeObject* entity, bool child_of_digest) {
  const char* header = g_mime_object_get_header(entity, "Content-Type");
  if (header == nullptr) return child_of_digest ? "message/rfc822" : "text/plain";
  std::string_view value(header);
  std::string type(trim(value.substr(0, value.find(';'))));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (std::count(type.begin(), type.end(), '/') != 1) return "text/plain";
  return type;
}

bool is_signature_type(std::string_view type) {
  return type == "application/x-pkcs7-signature" || type == "application/pkcs7-signature";
}

// The entities that verification needs: the last signature and the last text/plain entity
// in document order (borrowed from the parsed tree).
struct SignedParts {
  GMimePart* signature = nullptr;
  GMimePart* payload = nullptr;
};

// Visits every entity depth-first in document order, message/rfc822 bodies included. The
// walk keeps its own stack, so nesting depth costs no recursion here (GMime itself caps the
// nesting it builds). Only leaf parts carry a body; a container that a malformed header
// classifies as a leaf type is passed over, and its children are still visited.
SignedParts find_signed_parts(GMimeObject* root) {
  struct Pending {
    GMimeObject* entity;
    bool child_of_digest;
  };
  SignedParts found;
  std::vector<Pending> pending{{root, false}};
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    const std::string type = content_type_of(current.entity, current.child_of_digest);

    if (GMIME_IS_MULTIPART(current.entity)) {
      auto* multipart = GMIME_MULTIPART(current.entity);
      const bool digest = type == "multipart/digest";
      for (int index = g_mime_multipart_get_count(multipart) - 1; index >= 0; --index) {
        pending.push_back({g_mime_multipart_get_part(multipart, index), digest});
      }
    } else if (GMIME_IS_MESSAGE_PART(current.entity)) {
      GMimeMessage* message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(current.entity));
      GMimeObject* body = message != nullptr ? g_mime_message_get_mime_part(message) : nullptr;
      if (body != nullptr) pending.push_back({body, false});
    } else if (GMIME_IS_PART(current.entity) && type.rfind("multipart/", 0) != 0) {
      if (is_signature_type(type)) {
        found.signature = GMIME_PART(current.entity);
      } else if (type == "text/plain") {
        found.payload = GMIME_PART(current.entity);
      }
    }
  }
  return found;
}

// The signature entity's body, decoded by its transfer encoding (base64, quoted-printable,
// uuencode; any other or none leaves the bytes as they are).
Bytes decoded_body(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return {};
  GObjectPtr<GMimeStream> decoded(g_mime_stream_mem_new());
  if (g_mime_data_wrapper_write_to_stream(content, decoded.get()) < 0) {
    throw MessageFormatError("Cannot decode the signature part of the message");
  }
  const GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(decoded.get()));
  return Bytes(array->data, array->data + array->len);
}

// Turns every CR LF in `bytes` into LF in place and returns the new length; a lone CR or LF
// stays. Runs without CR are moved whole.
std::size_t crlf_to_lf(std::span<std::uint8_t> bytes) {
  const std::uint8_t* in = bytes.data();
  const std::uint8_t* const end = in + bytes.size();
  std::uint8_t* out = bytes.data();
  while (in != end) {
    const void* found = std::memchr(in, '\r', static_cast<std::size_t>(end - in));
    const std::uint8_t* cr = found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
    if (out != in) std::memmove(out, in, static_cast<std::size_t>(cr - in));
    out += cr - in;
    in = cr;
    if (in == end) break;
    if (in + 1 != end && in[1] == '\n') {
      ++in;  // the CR of a CR LF is dropped; the LF is copied with the next run
    } else {
      *out++ = *in++;
    }
  }
  return static_cast<std::size_t>(out - bytes.data());
}

// The body of `part` as written in the message (not transfer-decoded, without the line end
// that belongs to the next delimiter) as a view into `message`, when the part's content is a
// window onto the memory stream over `message`; nullopt otherwise. Its bytes are exactly what
// a PayloadPartReader would read from the part before converting line ends.
std::optional<ByteView> body_in_place(GMimePart* part, ByteView message) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  GMimeStream* body = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
  if (body == nullptr || !GMIME_IS_STREAM_MEM(body)) return std::nullopt;
  const GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(body));
  if (array == nullptr || array->data != message.data() || array->len != message.size()) return std::nullopt;
  const gint64 start = body->bound_start;
  const gint64 end = body->bound_end < 0 ? static_cast<gint64>(message.size()) : body->bound_end;
  if (start < 0 || start > end || end > static_cast<gint64>(message.size())) return std::nullopt;
  return message.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// Returns `body` with every CR LF turned into LF (a lone CR or LF stays), copied once into a
// byte string reserved at the body's size.
Bytes lf_line_ends(ByteView body) {
  Bytes payload = reserved_bytes(body.size());
  const std::uint8_t* next = body.data();
  const std::uint8_t* const end = next + body.size();
  while (next != end) {
    const void* found = std::memchr(next, '\r', static_cast<std::size_t>(end - next));
    if (found == nullptr) {
      payload.insert(payload.end(), next, end);
      break;
    }
    const auto* cr = static_cast<const std::uint8_t*>(found);
    // The CR of a CR LF is left out (its LF starts the next run); a lone CR is kept.
    const bool pair = cr + 1 != end && cr[1] == '\n';
    payload.insert(payload.end(), next, pair ? cr : cr + 1);
    next = cr + 1;
  }
  return payload;
}

// Reads the payload entity's body exactly as written in the message (not transfer-decoded, up
// to but not including the line end that belongs to the next boundary delimiter) with every
// CR LF turned into LF. A CR at the end of one read is held back until the next read shows
// whether an LF follows. Optionally keeps a copy of everything it returns.
class PayloadPartReader final : public brisvale::PayloadReader {
 public:
  PayloadPartReader(GMimePart* part, Bytes* copy) : copy_(copy) {
    if (GMimeDataWrapper* content = g_mime_part_get_content(part)) stream_ = g_mime_data_wrapper_get_stream(content);
    rewind();
  }

  // Starts again from the beginning of the body.
  void rewind() {
    held_cr_ = false;
    if (stream_ != nullptr && g_mime_stream_reset(stream_) != 0) fail();
  }

  // The length of the body as written: an upper bound of what read() returns in all.
  std::size_t raw_length() const {
    const gint64 length = stream_ != nullptr ? g_mime_stream_length(stream_) : 0;
    return length > 0 ? static_cast<std::size_t>(length) : 0;
  }

  std::size_t read(std::span<std::uint8_t> buffer) override {
    if (buffer.size() < 2) throw std::logic_error("PayloadPartReader::read needs room for two bytes");
    for (;;) {
      std::size_t filled = 0;
      if (held_cr_) {
        buffer[0] = '\r';
        filled = 1;
        held_cr_ = false;
      }
      const std::size_t arrived = read_raw(buffer.subspan(filled));
      if (arrived == 0) return keep(buffer.first(filled));  // the end: a held CR stands alone
      std::size_t length = crlf_to_lf(buffer.first(filled + arrived));
      if (buffer[length - 1] == '\r') {
        held_cr_ = true;
        --length;
      }
      if (length != 0) return keep(buffer.first(length));
    }
  }

 private:
  [[noreturn]] static void fail() { throw MessageFormatError("Cannot read the payload part of the message"); }

  std::size_t read_raw(std::span<std::uint8_t> buffer) {
    // A file stream reports reading at the end of a part as an error: ask first.
    if (stream_ == nullptr || g_mime_stream_eos(stream_)) return 0;
    const ssize_t count = g_mime_stream_read(stream_, reinterpret_cast<char*>(buffer.data()), buffer.size());
    if (count < 0) fail();
    return static_cast<std::size_t>(count);
  }

  std::size_t keep(ByteView piece) {
    if (copy_ != nullptr) copy_->insert(copy_->end(), piece.begin(), piece.end());
    return piece.size();
  }

  GMimeStream* stream_ = nullptr;  // borrowed from the part
  Bytes* copy_;
  bool held_cr_ = false;
};

// A parsed message and the two entities that verification needs. The one place where messages
// in memory and in files are taken apart: the same parser, the same entity selection and the
// same errors for both.
class ParsedMessage {
 public:
  // Parses the message in `stream` (which must stay alive and unchanged while this object
  // lives). Throws VerificationError when it holds no signature or no payload entity.
  explicit ParsedMessage(GMimeStream* stream) : parser_(g_mime_parser_new_with_stream(stream)) {
    // Part contents stay substreams of the message instead of being copied.
    g_mime_parser_set_persist_stream(parser_.get(), TRUE);
    // GMime yields nothing for text without a header; that text is one text/plain entity,
    // which holds no signature.
    root_.reset(g_mime_parser_construct_part(parser_.get(), nullptr));
    parts_ = root_ ? find_signed_parts(root_.get()) : SignedParts{};
    if (parts_.signature == nullptr) throw VerificationError("Could not find any signature");
    if (parts_.payload == nullptr) throw VerificationError("Unsupported payload \"None\" type <class 'NoneType'>");
  }

  GMimePart* payload() const noexcept { return parts_.payload; }

  // Returns `payload` when the signature covers it, as brisvale's verification does with the
  // trust roots of `certs` and `systemCertsPath`; throws whatever that verification throws.
  Bytes verify(Bytes payload, const std::optional<std::vector<Bytes>>& certs,
               const std::optional<std::filesystem::path>& systemCertsPath) const {
    const Bytes signature = decoded_body(parts_.signature);
    const brisvale::VerifyData record(certs, systemCertsPath);
    return record.verify(signature, std::move(payload));
  }

  // Checks the signature over the payload that `payload` reads, with the trust roots of
  // `certs` and `systemCertsPath`; throws whatever brisvale's verification throws.
  void verify(brisvale::PayloadReader& payload, const std::optional<std::vector<Bytes>>& certs,
              const std::optional<std::filesystem::path>& systemCertsPath) const {
    const Bytes signature = decoded_body(parts_.signature);
    const brisvale::VerifyData record(certs, systemCertsPath);
    record.verify_streamed(signature, payload);
  }

 private:
  GObjectPtr<GMimeParser> parser_;
  GObjectPtr<GMimeObject> root_;
  SignedParts parts_;
};

// What identifies the contents of an open file: it changed when any of these did.
struct FileVersion {
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified;
  timespec changed;

  static FileVersion of(int fd, const std::filesystem::path& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw_file_error("Cannot read message file", path, errno);
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  }
  bool operator==(const FileVersion& other) const noexcept {
    return device == other.device && inode == other.inode && size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
  }
  static bool same(const timespec& a, const timespec& b) noexcept { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
};

// Opens `path` as a GMime stream that owns the descriptor. Throws FileError when it cannot be
// opened or is not a regular file (the message is read twice, so it must be seekable).
GObjectPtr<GMimeStream> open_message_file(const std::filesystem::path& path, FileVersion& version) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_file_error("Cannot read message file", path, errno);
  GObjectPtr<GMimeStream> stream(g_mime_stream_fs_new(fd));
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw_file_error("Cannot read message file", path, errno);
  if (S_ISDIR(info.st_mode)) throw_file_error("Cannot read message file", path, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    throw FileError("Cannot read message file '" + path.string() + "' in pieces: it is not a regular file", path,
                    std::make_error_code(std::errc::invalid_argument));
  }
  version = FileVersion::of(fd, path);
  return stream;
}

}  // namespace

Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& certs,
                     const std::optional<std::filesystem::path>& systemCertsPath) {
  initialise_gmime();
  BorrowedStream stream(message);
  const ParsedMessage parsed(stream.get());
  if (const std::optional<ByteView> body = body_in_place(parsed.payload(), message)) {
    return parsed.verify(lf_line_ends(*body), certs, systemCertsPath);
  }
  Bytes payload;
  PayloadPartReader reader(parsed.payload(), &payload);
  payload.reserve(reader.raw_length());
  parsed.verify(reader, certs, systemCertsPath);
  return payload;
}

void verify_message_file(const std::filesystem::path& message_file, const std::optional<std::vector<Bytes>>& certs,
                         const std::optional<std::filesystem::path>& systemCertsPath, const MessageSink& payload_sink) {
  initialise_gmime();
  FileVersion before{};
  const GObjectPtr<GMimeStream> stream = open_message_file(message_file, before);
  const ParsedMessage parsed(stream.get());
  PayloadPartReader reader(parsed.payload(), nullptr);
  parsed.verify(reader, certs, systemCertsPath);

  // Verified: the payload is read again from the file and handed on.
  reader.rewind();
  Bytes buffer(kOutputBlockSize);
  while (const std::size_t count = reader.read(buffer)) payload_sink(ByteView(buffer).first(count));
  // Bytes that changed after they were checked must not pass as verified.
  if (!(FileVersion::of(GMIME_STREAM_FS(stream.get())->fd, message_file) == before)) {
    throw MessageFormatError("The message file '" + message_file.string() +
                             "' changed while it was being verified; its payload cannot be trusted");
  }
}

Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs) {
  std::optional<std::vector<Bytes>> certs;
  if (!trusted_certs.empty()) certs = trusted_certs;
  return verify_message(as_bytes(smime_message), certs);
}

}  // namespace norvan::signing::mime
