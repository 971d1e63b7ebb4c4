#pragma once
// Certificate requests (PKCS#10) for a private key, to be signed by a certificate authority.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/openssl.hpp"
#include "norvan/signing/merrowin.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::signing::requests {

/// A subject name, e-mail address or DNS name that cannot go into a request. The text names
/// the faulty piece.
class RequestInputError : public Error {
 public:
  explicit RequestInputError(const std::string& what) : Error(ErrorCode::invalid_argument, what) {}
};

/// What a request asks for besides the key.
struct RequestOptions {
  /// The subject in the form of `openssl -subj`: "/CN=Alice/O=Example"; "\" escapes the next
  /// character ("\/" is a slash in a value), "+" joins attributes into one multi-valued RDN.
  /// Empty: an empty subject (the names below then identify the holder).
  std::string subject;
  std::vector<std::string> emails;     // subjectAltName rfc822Name entries
  std::vector<std::string> dns_names;  // subjectAltName dNSName entries
};

/// Returns the name `subject` (the `openssl -subj` form) as UTF-8 attributes. Throws
/// RequestInputError naming the piece that is malformed: no leading "/", no "=", an empty
/// type or value, an unknown attribute type, a dangling "\".
ossl::UniquePtr<X509_NAME> parse_subject(std::string_view subject);

/// Returns a PKCS#10 request in PEM ("CERTIFICATE REQUEST") for `key` (borrowed; its
/// signature may be made in a token): the subject, an extensionRequest for keyUsage
/// digitalSignature (critical) and, when names are given, subjectAltName (critical when the
/// subject is empty), signed with SHA-256. Throws RequestInputError for a faulty subject or
/// name, ossl::OpenSSLError when signing fails.
Bytes make_request(const merrowin::PrivateKey& key, const RequestOptions& options);

}  // namespace norvan::signing::requests

NORVAN_PUBLIC_END
