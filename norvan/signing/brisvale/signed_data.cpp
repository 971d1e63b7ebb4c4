#include "norvan/signing/brisvale/signed_data.hpp"

#include "norvan/common/shortened.hpp"
#include "norvan/signing/brisvale/malformed.hpp"

#include <cstdint>
#include <functional>

namespace norvan::signing::brisvale {
namespace detail {
namespace {

constexpr std::string_view kSignedDataOid = "1.2.840.113549.1.7.2";
constexpr std::string_view kMessageDigestOid = "1.2.840.113549.1.9.4";
constexpr std::string_view kContentTypeOid = "1.2.840.113549.1.9.3";
constexpr std::string_view kDataOid = "1.2.840.113549.1.7.1";

// Reads an OBJECT IDENTIFIER for `what`, cut to a length fit for an error line: an identifier
// of that length never names an algorithm or type that is known, so comparisons are unchanged.
std::string read_oid(der::Reader& reader, const std::string& what) {
  std::string dotted;
  need(reader.get_oid(dotted), reader, what);
  return shortened(dotted);
}

// Reads encapContentInfo: eContentType and, when present, the eContent OCTET STRING element.
void read_encapsulated_content_info(der::Reader& signed_data, SignedDataView& view) {
  der::Reader info;
  need(signed_data.get(der::kSequence, info), signed_data, "SignedData.encapContentInfo");
  view.content_type = read_oid(info, "SignedData.encapContentInfo.eContentType");
  der::Reader explicit_content;
  bool present = false;
  need(info.get_optional(der::context_tag(0, true), explicit_content, present), info,
       "SignedData.encapContentInfo.eContent");
  if (present) {
    der::Tag tag = 0;
    ByteView element;
    std::size_t header_size = 0;
    need(explicit_content.get_any_element(tag, element, header_size), explicit_content,
         "SignedData.encapContentInfo.eContent");
    if ((tag & ~der::kConstructed) != der::kOctetString) {
      malformed("SignedData.encapContentInfo.eContent is a " + der::tag_name(tag) + ", not an OCTET STRING");
    }
    need(explicit_content.expect_end(), explicit_content, "SignedData.encapContentInfo.eContent");
    view.encapsulated_content = element;
  }
  need(info.expect_end(), info, "SignedData.encapContentInfo");
}

// Calls `visit(type, values)` for each attribute of the signed attributes `[0]` element, in
// stored order, with the dotted type and a reader of its values SET. Offsets in errors are
// relative to the element.
void for_each_signed_attribute(ByteView attributes_element,
                               const std::function<void(const std::string&, der::Reader&)>& visit) {
  der::Reader outer(attributes_element, der::Rules::ber);
  der::Reader attributes;
  need(outer.get(der::context_tag(0, true), attributes), outer, "SignerInfo.signedAttrs");
  for (std::size_t index = 0; !attributes.empty(); ++index) {
    const std::string what = "signed attribute " + std::to_string(index);
    der::Reader attribute;
    need(attributes.get(der::kSequence, attribute), attributes, what);
    std::string type;
    need(attribute.get_oid(type), attribute, what + " type");
    der::Reader values;
    need(attribute.get(der::kSet, values), attribute, what + " values");
    need(attribute.expect_end(), attribute, what);
    visit(type, values);
  }
}

// Holds RFC 5652, 11.1 for signed attributes: exactly one content-type attribute, with exactly
// one value, equal to the eContentType, which must be id-data.
void check_content_type_attribute(ByteView attributes_element, const std::string& content_type) {
  if (content_type != kDataOid) {
    malformed("the signed content is of type " + content_type + ", not data (" + std::string(kDataOid) +
              "): only signed data is verified");
  }
  std::size_t count = 0;
  for_each_signed_attribute(attributes_element, [&](const std::string& type, der::Reader& values) {
    if (type != kContentTypeOid) return;
    if (++count > 1) malformed("the signed attributes hold more than one content-type attribute");
    if (values.empty()) malformed("the content-type attribute has no value");
    const std::string named = read_oid(values, "content-type value");
    if (!values.empty()) malformed("the content-type attribute has more than one value");
    if (named != content_type) {
      malformed("the content-type attribute names " + named + ", but the signed content is of type " + content_type);
    }
  });
  if (count == 0) malformed("the signed attributes have no content-type attribute");
}

void skip_all(der::Reader& reader, der::Tag tag, const std::string& what) {
  while (!reader.empty()) need(reader.skip(tag), reader, what);
}

void read_certificates(der::Reader& signed_data, SignedDataView& view) {
  der::Reader certificates;
  bool present = false;
  need(signed_data.get_optional(der::context_tag(0, true), certificates, present), signed_data,
       "SignedData.certificates");
  for (std::size_t index = 0; !certificates.empty(); ++index) {
    const std::size_t offset = certificates.offset();
    const std::string what = "SignedData.certificates[" + std::to_string(index) + "]";
    der::Tag tag = 0;
    ByteView element;
    std::size_t header_size = 0;
    need(certificates.get_any_element(tag, element, header_size), certificates, what);
    if (tag != der::kSequence) {
      throw MalformedSignatureError("Unsupported certificate choice " + der::tag_name(tag) + " in " +
                                    what + " at byte " + std::to_string(offset) +
                                    ": only X.509 certificates are supported");
    }
    view.certificates.push_back(element);
  }
}

void read_signer_identifier(der::Reader& signer, SignedDataView& view) {
  if (signer.next_is(der::context_tag(0, false))) {
    ByteView key_id;  // [0] IMPLICIT SubjectKeyIdentifier (an OCTET STRING)
    need(signer.get_bytes(der::context_tag(0, false), key_id), signer, "SignerInfo.sid");
    view.signer_key_id = key_id;
    return;  // accepted or refused when the certificate is chosen
  }
  der::Reader issuer_and_serial;
  need(signer.get(der::kSequence, issuer_and_serial), signer, "SignerInfo.sid");
  ByteView issuer;
  need(issuer_and_serial.get_element(der::kSequence, issuer), issuer_and_serial, "SignerInfo.sid.issuer");
  ByteView serial;
  need(issuer_and_serial.get_integer(serial), issuer_and_serial, "SignerInfo.sid.serialNumber");
  need(issuer_and_serial.expect_end(), issuer_and_serial, "SignerInfo.sid");
  view.signer_issuer = issuer;
  view.signer_serial = serial;
}

void read_first_signer(der::Reader& signer, SignedDataView& view) {
  std::int64_t version = 0;
  need(signer.get_int64(version), signer, "SignerInfo.version");
  read_signer_identifier(signer, view);
  need(signer.skip(der::kSequence), signer, "SignerInfo.digestAlgorithm");
  ByteView attributes;
  bool present = false;
  need(signer.get_optional_element(der::context_tag(0, true), attributes, present), signer,
       "SignerInfo.signedAttrs");
  if (present) view.signed_attributes = attributes;
  view.signature_algorithm = read_algorithm(signer, "SignerInfo.signatureAlgorithm");
  Bytes pieces;
  ByteView signature;
  need(signer.get_string(der::kOctetString, pieces, signature), signer, "SignerInfo.signature");
  view.signature.assign(signature.begin(), signature.end());
  need(signer.skip_optional(der::context_tag(1, true)), signer, "SignerInfo.unsignedAttrs");
  need(signer.expect_end(), signer, "SignerInfo");
}

}  // namespace

AlgorithmIdentifier read_algorithm(der::Reader& outer, const std::string& what) {
  der::Reader reader;
  need(outer.get(der::kSequence, reader), outer, what);
  AlgorithmIdentifier algorithm;
  algorithm.oid = read_oid(reader, what + ".algorithm");
  if (!reader.empty()) {
    der::Tag tag = 0;
    ByteView parameters;
    std::size_t header_size = 0;
    need(reader.get_any_element(tag, parameters, header_size), reader, what + ".parameters");
    algorithm.parameters = parameters;
  }
  need(reader.expect_end(), reader, what);
  return algorithm;
}

// Returns the value of the last message-digest attribute, or nullopt when there is none.
std::optional<Bytes> signed_message_digest(ByteView attributes_element) {
  std::optional<Bytes> message_digest;
  for_each_signed_attribute(attributes_element, [&](const std::string& type, der::Reader& values) {
    if (type != kMessageDigestOid) return;
    if (values.empty()) malformed("the message-digest attribute has no value");
    Bytes pieces;
    ByteView value;
    need(values.get_string(der::kOctetString, pieces, value), values, "message-digest value");
    message_digest.emplace(value.begin(), value.end());
  });
  return message_digest;
}

}  // namespace detail

using namespace detail;

SignedDataView parse_signed_data(ByteView datas) {
  if (datas.empty()) malformed("the signature data is empty");
  der::Reader input(datas, der::Rules::ber);  // CMS allows BER outside the signed attributes
  der::Reader content_info;
  need(input.get(der::kSequence, content_info), input, "ContentInfo");
  need(input.expect_end(), input, "ContentInfo");
  const std::string content_type = read_oid(content_info, "ContentInfo.contentType");
  if (content_type != kSignedDataOid) {
    malformed("ContentInfo holds content type " + content_type + ", not SignedData");
  }
  der::Reader explicit_content;
  need(content_info.get(der::context_tag(0, true), explicit_content), content_info, "ContentInfo.content");
  need(content_info.expect_end(), content_info, "ContentInfo");
  der::Reader signed_data;
  need(explicit_content.get(der::kSequence, signed_data), explicit_content, "SignedData");
  need(explicit_content.expect_end(), explicit_content, "ContentInfo.content");

  SignedDataView view;
  std::int64_t version = 0;
  need(signed_data.get_int64(version), signed_data, "SignedData.version");
  der::Reader digest_algorithms;
  need(signed_data.get(der::kSet, digest_algorithms), signed_data, "SignedData.digestAlgorithms");
  if (digest_algorithms.empty()) malformed("SignedData has no digest algorithm");
  view.digest_algorithm = read_algorithm(digest_algorithms, "SignedData.digestAlgorithms[0]");
  skip_all(digest_algorithms, der::kSequence, "SignedData.digestAlgorithms");
  read_encapsulated_content_info(signed_data, view);
  read_certificates(signed_data, view);
  need(signed_data.skip_optional(der::context_tag(1, true)), signed_data, "SignedData.crls");
  der::Reader signer_infos;
  need(signed_data.get(der::kSet, signer_infos), signed_data, "SignedData.signerInfos");
  need(signed_data.expect_end(), signed_data, "SignedData");
  if (signer_infos.empty()) malformed("SignedData has no signer");
  der::Reader signer;
  need(signer_infos.get(der::kSequence, signer), signer_infos, "SignerInfo");
  read_first_signer(signer, view);
  skip_all(signer_infos, der::kSequence, "SignedData.signerInfos");
  if (view.signed_attributes) check_content_type_attribute(*view.signed_attributes, view.content_type);
  return view;
}

Bytes encapsulated_content(const SignedDataView& signed_data) {
  if (!signed_data.encapsulated_content) malformed("the SignedData carries no content (a detached signature)");
  const ByteView element = *signed_data.encapsulated_content;
  der::Reader reader(element, der::Rules::ber);
  Bytes pieces;
  ByteView content;
  need(reader.get_string(der::kOctetString, pieces, content), reader, "SignedData.encapContentInfo.eContent");
  if (pieces.empty()) return Bytes(content.begin(), content.end());
  return pieces;
}

}  // namespace norvan::signing::brisvale
