#include "norvan/signing/requests.hpp"

#include "norvan/common/shortened.hpp"

#include <openssl/err.h>

namespace norvan::signing::requests {
namespace {

[[noreturn]] void bad_subject(std::string_view subject, const std::string& why) {
  throw RequestInputError("The subject '" + shortened(subject, 200) + "' is malformed: " + why +
                          " (expected the form /CN=Alice/O=Example)");
}

// One attribute of the subject: its type, its value, and whether it joins the previous one
// in a multi-valued RDN ("+").
struct Attribute {
  std::string type;
  std::string value;
  bool joins_previous = false;
};

std::vector<Attribute> split_subject(std::string_view subject) {
  if (subject.empty() || subject.front() != '/') bad_subject(subject, "it does not start with '/'");
  std::vector<Attribute> attributes;
  std::size_t position = 1;
  bool joins = false;
  while (position < subject.size()) {
    Attribute attribute{.joins_previous = joins};
    const std::size_t start = position;
    // The type runs to '='.
    for (; position < subject.size() && subject[position] != '='; ++position) {
      if (subject[position] == '/' || subject[position] == '+') break;
      attribute.type += subject[position];
    }
    const std::string piece(subject.substr(start, position - start));
    if (position >= subject.size() || subject[position] != '=') {
      bad_subject(subject, "the piece '" + shortened(piece, 60) + "' has no '='");
    }
    if (attribute.type.empty()) bad_subject(subject, "a piece has an empty attribute type before '='");
    ++position;
    // The value runs to an unescaped '/' or '+'.
    joins = false;
    for (; position < subject.size(); ++position) {
      const char c = subject[position];
      if (c == '\\') {
        if (++position >= subject.size()) bad_subject(subject, "it ends in a '\\' that escapes nothing");
        attribute.value += subject[position];
      } else if (c == '/' || c == '+') {
        joins = c == '+';
        ++position;
        break;
      } else {
        attribute.value += c;
      }
    }
    if (attribute.value.empty()) bad_subject(subject, "the attribute '" + shortened(attribute.type, 60) + "' has no value");
    attributes.push_back(std::move(attribute));
  }
  if (joins) bad_subject(subject, "it ends in '+'");
  return attributes;
}

// A subjectAltName entry of `type` (GEN_EMAIL, GEN_DNS) holding the ASCII text `value`.
void add_name(GENERAL_NAMES* names, int type, const std::string& value, const char* what) {
  if (value.empty()) throw RequestInputError(std::string("An empty ") + what + " cannot go into the request");
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte > 0x7E) {
      throw RequestInputError(std::string("The ") + what + " '" + shortened(value, 100) +
                              "' holds a character that is not printable ASCII (use its A-label or an ASCII address)");
    }
  }
  if (type == GEN_EMAIL && value.find('@') == std::string::npos) {
    throw RequestInputError("The e-mail address '" + shortened(value, 100) + "' has no '@'");
  }
  ossl::UniquePtr<ASN1_STRING> text(ASN1_IA5STRING_new());
  if (!text || ASN1_STRING_set(text.get(), value.data(), static_cast<int>(value.size())) != 1) {
    ossl::throw_error("Cannot create the subjectAltName");
  }
  GENERAL_NAME* name = GENERAL_NAME_new();
  if (name == nullptr) ossl::throw_error("Cannot create the subjectAltName");
  GENERAL_NAME_set0_value(name, type, text.release());
  if (sk_GENERAL_NAME_push(names, name) <= 0) {
    GENERAL_NAME_free(name);
    ossl::throw_error("Cannot create the subjectAltName");
  }
}

}  // namespace

ossl::UniquePtr<X509_NAME> parse_subject(std::string_view subject) {
  ossl::UniquePtr<X509_NAME> name(X509_NAME_new());
  if (!name) ossl::throw_error("Cannot create the subject name");
  for (const Attribute& attribute : split_subject(subject)) {
    if (OBJ_txt2nid(attribute.type.c_str()) == NID_undef) {
      ossl::clear_errors();
      bad_subject(subject, "the attribute type '" + shortened(attribute.type, 60) + "' is unknown");
    }
    ossl::clear_errors();
    if (X509_NAME_add_entry_by_txt(name.get(), attribute.type.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(attribute.value.data()),
                                   static_cast<int>(attribute.value.size()), -1, attribute.joins_previous ? -1 : 0) != 1) {
      const std::string reason = ossl::take_error_reason();
      bad_subject(subject, "the value of '" + shortened(attribute.type, 60) + "' cannot be used" +
                               (reason.empty() ? std::string() : ": " + reason));
    }
  }
  return name;
}

Bytes make_request(const merrowin::PrivateKey& key, const RequestOptions& options) {
  ossl::clear_errors();
  const ossl::UniquePtr<X509_NAME> subject =
      options.subject.empty() ? ossl::UniquePtr<X509_NAME>(X509_NAME_new()) : parse_subject(options.subject);
  ossl::UniquePtr<GENERAL_NAMES> names(sk_GENERAL_NAME_new_null());
  ossl::UniquePtr<X509_REQ> request(X509_REQ_new());
  ossl::UniquePtr<STACK_OF(X509_EXTENSION)> extensions(sk_X509_EXTENSION_new_null());
  if (!subject || !names || !request || !extensions) ossl::throw_error("Cannot create the certificate request");
  for (const auto& email : options.emails) add_name(names.get(), GEN_EMAIL, email, "e-mail address");
  for (const auto& dns : options.dns_names) add_name(names.get(), GEN_DNS, dns, "DNS name");

  if (X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) != 1 ||
      X509_REQ_set_subject_name(request.get(), subject.get()) != 1 ||
      X509_REQ_set_pubkey(request.get(), key.native()) != 1) {
    ossl::throw_error("Cannot fill in the certificate request");
  }
  ossl::UniquePtr<ASN1_STRING> usage(ASN1_BIT_STRING_new());
  STACK_OF(X509_EXTENSION)* list = extensions.get();
  if (!usage || ASN1_BIT_STRING_set_bit(usage.get(), 0, 1) != 1 ||  // bit 0: digitalSignature
      X509V3_add1_i2d(&list, NID_key_usage, usage.get(), 1, X509V3_ADD_DEFAULT) != 1) {
    ossl::throw_error("Cannot add the key usage to the certificate request");
  }
  if (sk_GENERAL_NAME_num(names.get()) > 0) {
    const int critical = X509_NAME_entry_count(subject.get()) == 0 ? 1 : 0;  // RFC 5280, 4.2.1.6
    if (X509V3_add1_i2d(&list, NID_subject_alt_name, names.get(), critical, X509V3_ADD_DEFAULT) != 1) {
      ossl::throw_error("Cannot add the subjectAltName to the certificate request");
    }
  }
  if (X509_REQ_add_extensions(request.get(), list) != 1) ossl::throw_error("Cannot add the extension request");
  if (X509_REQ_sign(request.get(), key.native(), EVP_sha256()) <= 0) {
    ossl::throw_error("Cannot sign the certificate request with the private key");
  }
  ossl::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_X509_REQ(out.get(), request.get()) != 1) {
    ossl::throw_error("Cannot write the certificate request as PEM");
  }
  const char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return Bytes(data, data + size);
}

}  // namespace norvan::signing::requests
