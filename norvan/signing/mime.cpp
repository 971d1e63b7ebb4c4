#include "norvan/signing/mime.hpp"

#include "norvan/common/openssl.hpp"

#include <gmime/gmime.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <mutex>
#include <string>
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

// Writes payload bytes with every line end (LF, lone CR, CR LF) as CR LF. A CR at the end of
// one piece waits for the next piece to tell whether an LF completes it.
class LineEndWriter {
 public:
  explicit LineEndWriter(const MessageSink& sink) : sink_(sink) { block_.reserve(kOutputBlockSize + 2); }

  void write(ByteView piece) {
    for (const std::uint8_t byte : piece) {
      if (pending_cr_) {
        pending_cr_ = false;
        append_line_end();
        if (byte == '\n') continue;
      }
      if (byte == '\r') {
        pending_cr_ = true;
      } else if (byte == '\n') {
        append_line_end();
      } else {
        block_.push_back(byte);
        if (block_.size() >= kOutputBlockSize) flush();
      }
    }
    flush();
  }

  // Ends the payload: a trailing lone CR still becomes a line end.
  void close() {
    if (pending_cr_) append_line_end();
    pending_cr_ = false;
    flush();
  }

 private:
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

  const MessageSink& sink_;
  Bytes block_;
  bool pending_cr_ = false;
};

void write_text(const MessageSink& sink, std::string_view text) { sink(as_bytes(text)); }

}  // namespace

struct PayloadSigner::State {
  MessageSink sink;
  ossl::UniquePtr<X509> certificate;
  ossl::UniquePtr<PKCS7> signed_data;
  // Digests what is written into it: the chain PKCS7_dataInit made, ending in a null sink.
  ossl::UniquePtr<BIO> digest_chain;
  std::string boundary;
  LineEndWriter payload_writer;
  bool finished = false;

  explicit State(MessageSink message_sink) : sink(std::move(message_sink)), payload_writer(sink) {}
};

PayloadSigner::PayloadSigner(ByteView certificate, const merrowin::PrivateKey& private_key, MessageSink sink)
    : state_(std::make_unique<State>(std::move(sink))) {
  State& state = *state_;
  state.certificate = load_pem_certificate(certificate);

  state.signed_data.reset(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, kSigningFlags));
  if (!state.signed_data) ossl::throw_error("Cannot create the SignedData");
  // One signer by issuer and serial number, SHA-256, the standard signed attributes (content
  // type and S/MIME capabilities now; signing time and message digest when it is finished),
  // and the signer's certificate. OpenSSL signs RSA keys with PKCS#1 v1.5 padding and EC
  // keys with ECDSA here. It refuses a key that does not belong to the certificate.
  if (PKCS7_sign_add_signer(state.signed_data.get(), state.certificate.get(), private_key.native(),
                            EVP_sha256(), kSigningFlags) == nullptr) {
    ossl::throw_error("Cannot add the signer to the SignedData");
  }
  state.digest_chain.reset(PKCS7_dataInit(state.signed_data.get(), nullptr));
  if (!state.digest_chain) ossl::throw_error("Cannot start digesting the payload");

  state.boundary = random_boundary();
  write_text(state.sink, message_header(state.boundary));
}

PayloadSigner::~PayloadSigner() = default;

void PayloadSigner::update(ByteView piece) {
  State& state = *state_;
  if (state.finished) throw std::logic_error("PayloadSigner::update called after finish");
  for (std::size_t offset = 0; offset < piece.size(); offset += kMaxDigestSlice) {
    const std::size_t count = std::min(kMaxDigestSlice, piece.size() - offset);
    if (BIO_write(state.digest_chain.get(), piece.data() + offset, static_cast<int>(count)) != static_cast<int>(count)) {
      ossl::throw_error("Cannot digest the payload");
    }
  }
  state.payload_writer.write(piece);
}

void PayloadSigner::finish() {
  State& state = *state_;
  if (state.finished) throw std::logic_error("PayloadSigner::finish called twice");
  state.finished = true;
  state.payload_writer.close();

  if (BIO_flush(state.digest_chain.get()) != 1) ossl::throw_error("Cannot digest the payload");
  if (PKCS7_dataFinal(state.signed_data.get(), state.digest_chain.get()) != 1) {
    ossl::throw_error("Cannot sign the payload");
  }
  const Bytes der = der_encoding(state.signed_data.get());

  write_text(state.sink, signature_part_header(state.boundary) + base64_lines(der) + "\r\n--" +
                             state.boundary + "--\r\n");
}

Bytes sign_payload(ByteView certificate, const merrowin::PrivateKey& private_key, ByteView payload) {
  Bytes message;
  // The payload plus its line ends turned into CR LF, and a few KiB of header and signature.
  message.reserve(payload.size() + payload.size() / 32 + 8192);
  PayloadSigner signer(certificate, private_key,
                       [&message](ByteView piece) { message.insert(message.end(), piece.begin(), piece.end()); });
  signer.update(payload);
  signer.finish();
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

// Appends everything `stream` yields from its current position to `out`. Reads through a
// small buffer so that `out` grows only by what arrives (no over-allocation past a reserve).
void read_stream(GMimeStream* stream, Bytes& out, std::string_view what) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = g_mime_stream_read(stream, buffer, sizeof buffer);
    if (count < 0) throw MessageFormatError("Cannot read the " + std::string(what) + " of the message");
    if (count == 0) return;
    out.insert(out.end(), buffer, buffer + count);
  }
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

// The payload entity's body exactly as written in the message: not transfer-decoded, up to
// (not including) the line end that belongs to the next boundary delimiter.
Bytes raw_body(GMimePart* part) {
  Bytes body;
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return body;
  GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
  if (stream == nullptr) return body;
  if (g_mime_stream_reset(stream) != 0) throw MessageFormatError("Cannot read the payload part of the message");
  const gint64 length = g_mime_stream_length(stream);
  if (length > 0) body.reserve(static_cast<std::size_t>(length));
  read_stream(stream, body, "payload part");
  return body;
}

// Replaces every CR LF by LF in place; a lone CR or LF stays.
void crlf_to_lf(Bytes& bytes) {
  std::size_t kept = 0;
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (bytes[index] == '\r' && index + 1 < bytes.size() && bytes[index + 1] == '\n') continue;
    bytes[kept++] = bytes[index];
  }
  bytes.resize(kept);
}

}  // namespace

Bytes verify_message(ByteView message, const std::optional<std::vector<Bytes>>& certs,
                     const std::optional<std::filesystem::path>& systemCertsPath) {
  initialise_gmime();
  BorrowedStream stream(message);
  GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  // Part contents stay substreams of the message instead of being copied.
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
  // GMime yields nothing for text without a header; that text is one text/plain entity,
  // which holds no signature.
  GObjectPtr<GMimeObject> root(g_mime_parser_construct_part(parser.get(), nullptr));

  const SignedParts parts = root ? find_signed_parts(root.get()) : SignedParts{};
  if (parts.signature == nullptr) throw VerificationError("Could not find any signature");
  if (parts.payload == nullptr) {
    throw VerificationError("Unsupported payload \"None\" type <class 'NoneType'>");
  }
  Bytes signature = decoded_body(parts.signature);
  Bytes payload = raw_body(parts.payload);
  crlf_to_lf(payload);
  return brisvale::verify(signature, std::move(payload), certs, systemCertsPath);
}

Bytes verify_signed_smime(std::string_view smime_message, const std::vector<Bytes>& trusted_certs) {
  std::optional<std::vector<Bytes>> certs;
  if (!trusted_certs.empty()) certs = trusted_certs;
  return verify_message(as_bytes(smime_message), certs);
}

}  // namespace norvan::signing::mime
