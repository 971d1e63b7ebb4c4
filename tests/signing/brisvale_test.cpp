#include "norvan/signing/brisvale.hpp"

#include "norvan/common/shortened.hpp"
#include "norvan/signing/der.hpp"
#include "tests/support/der_writer.hpp"
#include "tests/support/pki.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <functional>
#include <thread>

namespace norvan::signing::brisvale {
namespace {

namespace pki = norvan::testing;
using pki::CmsSignOptions;
using pki::Credential;
using pki::der_element;
using pki::der_oid;

constexpr const char* kHashMismatch = "Different hash values for raw and signed payload digests";
constexpr const char* kMessageDigestOid = "1.2.840.113549.1.9.4";

// ---- SignedData surgery: split elements into their children and re-encode them ----------

std::vector<Bytes> children(ByteView element) {
  der::Reader outer(element);
  der::Tag tag = 0;
  der::Reader contents;
  EXPECT_TRUE(outer.get_any(tag, contents));
  std::vector<Bytes> parts;
  while (!contents.empty()) {
    ByteView child;
    std::size_t header_size = 0;
    if (!contents.get_any_element(tag, child, header_size)) break;
    parts.emplace_back(child.begin(), child.end());
  }
  return parts;
}

Bytes rebuild(der::Tag tag, const std::vector<Bytes>& parts) {
  Bytes contents;
  for (const auto& part : parts) contents.insert(contents.end(), part.begin(), part.end());
  return der_element(tag, contents);
}

// Re-encodes `datas` after `edit` has changed the fields of the SignedData.
Bytes edit_signed_data(ByteView datas, const std::function<void(std::vector<Bytes>&)>& edit) {
  auto content_info = children(datas);
  auto wrapper = children(content_info[1]);
  auto signed_data = children(wrapper[0]);
  edit(signed_data);
  wrapper[0] = rebuild(der::kSequence, signed_data);
  content_info[1] = rebuild(der::context_tag(0, true), wrapper);
  return rebuild(der::kSequence, content_info);
}

// Re-encodes `datas` after `edit` has changed the fields of the first SignerInfo (version,
// sid, digestAlgorithm, [signedAttrs], signatureAlgorithm, signature).
Bytes edit_signer(ByteView datas, const std::function<void(std::vector<Bytes>&)>& edit) {
  return edit_signed_data(datas, [&](std::vector<Bytes>& signed_data) {
    auto infos = children(signed_data.back());
    auto signer = children(infos[0]);
    edit(signer);
    infos[0] = rebuild(der::kSequence, signer);
    signed_data.back() = rebuild(der::kSet, infos);
  });
}

Bytes algorithm(const std::string& oid, std::optional<Bytes> parameters = std::nullopt) {
  Bytes contents = der_oid(oid);
  if (parameters) contents.insert(contents.end(), parameters->begin(), parameters->end());
  return der_element(der::kSequence, contents);
}

Bytes attribute(const std::string& oid, const Bytes& value) {
  Bytes contents = der_oid(oid);
  const Bytes values = der_element(der::kSet, value);
  contents.insert(contents.end(), values.begin(), values.end());
  return der_element(der::kSequence, contents);
}

// Replaces the signed attributes by `attributes` (in this order) and signs them anew.
Bytes with_signed_attributes(ByteView datas, const std::vector<Bytes>& attributes, EVP_PKEY* key) {
  return edit_signer(datas, [&](std::vector<Bytes>& signer) {
    Bytes element = rebuild(der::context_tag(0, true), attributes);
    signer[3] = element;
    element[0] = 0x31;
    signer[5] = der_element(der::kOctetString, pki::sign_bytes(key, element));
  });
}

Bytes sha256(ByteView data) {
  Bytes digest(32);
  EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
  return digest;
}

// Returns the exception of type E that `call` throws; records a test failure otherwise.
template <class E, class F>
std::optional<E> caught(F&& call) {
  try {
    call();
  } catch (const E& error) {
    return error;
  } catch (const std::exception& other) {
    ADD_FAILURE() << "unexpected exception: " << other.what();
    return std::nullopt;
  }
  ADD_FAILURE() << "no exception";
  return std::nullopt;
}

// Hands out the payload in small chunks of varying size.
class ChunkedReader : public PayloadReader {
 public:
  explicit ChunkedReader(ByteView data) : data_(data) {}
  std::size_t read(std::span<std::uint8_t> buffer) override {
    const std::size_t count = std::min({buffer.size(), data_.size(), 1 + (calls_++ % 13) * 997});
    std::copy_n(data_.begin(), count, buffer.begin());
    data_ = data_.subspan(count);
    return count;
  }

 private:
  ByteView data_;
  std::size_t calls_ = 0;
};

class BrisvaleTest : public ::testing::Test {
 protected:
  struct Pki {
    Credential root = pki::make_root_ca("Test Root");
    Credential intermediate = pki::issue_certificate(root, "Test Intermediate", {.ca = true});
    Credential leaf = pki::issue_certificate(intermediate, "Test Signer");
    Credential rsa = pki::issue_certificate(root, "RSA Signer", {.key_type = pki::KeyType::rsa2048});
  };
  static void SetUpTestSuite() { pki_ = std::make_unique<Pki>(); }
  static void TearDownTestSuite() { pki_.reset(); }
  static inline std::unique_ptr<Pki> pki_;

  const Bytes payload = to_bytes("Hello, norvan!\r\nA second line.\r\n");
  const std::vector<Bytes> trusted{pki_->root.cert_der()};

  // A signature by the leaf that carries the intermediate.
  Bytes sign_leaf(CmsSignOptions options = {}) {
    options.extra_certs.push_back(pki_->intermediate);
    return pki::openssl_cms_sign(pki_->leaf, payload, options);
  }
};

TEST_F(BrisvaleTest, VerifiesSignaturesMadeByOpenssl) {
  for (const char* digest : {"sha256", "sha1", "sha384", "sha512"}) {
    const Bytes signature = sign_leaf({.digest = digest});
    EXPECT_EQ(verify(signature, payload, trusted), payload) << digest;
  }
  const Credential p521 = pki::issue_certificate(pki_->root, "P-521", {.key_type = pki::KeyType::ec_p521});
  EXPECT_EQ(verify(pki::openssl_cms_sign(p521, payload, {.digest = "sha512"}), payload, trusted), payload);
  // RSASSA-PKCS1-v1_5 (OpenSSL's CMS has no ECDSA with SHA-3).
  for (const char* digest : {"sha256", "sha3-256"}) {
    EXPECT_EQ(verify(pki::openssl_cms_sign(pki_->rsa, payload, {.digest = digest}), payload, trusted), payload) << digest;
  }

  // Without signed attributes the signature covers the payload itself.
  const Bytes bare = sign_leaf({.signed_attributes = false});
  EXPECT_FALSE(parse_signed_data(bare).signed_attributes);
  EXPECT_EQ(verify(bare, payload, trusted), payload);

  // The usual signed attributes are longer than 127 bytes: a multi-octet length.
  const Bytes signature = sign_leaf();
  const ByteView attributes = *parse_signed_data(signature).signed_attributes;
  EXPECT_EQ(attributes[0], 0xA0);
  EXPECT_GE(attributes[1], 0x81);
}

TEST_F(BrisvaleTest, HashesSignedAttributesAsReceived) {
  const Bytes original = sign_leaf();
  const auto attributes = children(*parse_signed_data(original).signed_attributes);
  EVP_PKEY* key = pki_->leaf.key.get();
  const Bytes right = attribute(kMessageDigestOid, der_element(der::kOctetString, sha256(payload)));
  const Bytes wrong = attribute(kMessageDigestOid, der_element(der::kOctetString, Bytes(32, 0x55)));
  std::vector<Bytes> others;
  for (const auto& a : attributes) {
    if (children(a)[0] != der_oid(kMessageDigestOid)) others.push_back(a);
  }
  ASSERT_EQ(others.size() + 1, attributes.size());

  // Not in DER set order: re-encoding or sorting would break the signature.
  std::vector<Bytes> reversed(attributes.rbegin(), attributes.rend());
  EXPECT_EQ(verify(with_signed_attributes(original, reversed, key), payload, trusted), payload);

  // The last message-digest attribute counts.
  auto last_right = others;
  last_right.push_back(wrong);
  last_right.push_back(right);
  EXPECT_EQ(verify(with_signed_attributes(original, last_right, key), payload, trusted), payload);
  auto last_wrong = others;
  last_wrong.push_back(right);
  last_wrong.push_back(wrong);
  auto error = caught<HashValueError>([&] { verify(with_signed_attributes(original, last_wrong, key), payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), kHashMismatch);

  // No message digest at all, with a valid signature over the attributes.
  error = caught<HashValueError>([&] { verify(with_signed_attributes(original, others, key), payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), kHashMismatch);
  EXPECT_FALSE(error->cause());

  auto empty_value = others;
  empty_value.push_back(attribute(kMessageDigestOid, {}));
  const auto malformed = caught<MalformedSignatureError>(
      [&] { verify(with_signed_attributes(original, empty_value, key), payload, trusted); });
  ASSERT_TRUE(malformed);
  EXPECT_STREQ(malformed->what(), "Malformed signature: the message-digest attribute has no value");
}

// RFC 5652, 11.1: with signed attributes there is exactly one content-type attribute with one
// value, equal to the eContentType, which must be id-data; otherwise a signature made for
// another kind of content (a time-stamp token's TSTInfo) could pass for signed text.
TEST_F(BrisvaleTest, HoldsTheContentTypeRule) {
  constexpr const char* kContentTypeOid = "1.2.840.113549.1.9.3";
  constexpr const char* kDataOid = "1.2.840.113549.1.7.1";
  constexpr const char* kTstInfoOid = "1.2.840.113549.1.9.16.1.4";
  const Bytes original = sign_leaf();
  EXPECT_EQ(parse_signed_data(original).content_type, kDataOid);
  EVP_PKEY* key = pki_->leaf.key.get();
  std::vector<Bytes> others;  // every attribute but the content type
  for (const auto& a : children(*parse_signed_data(original).signed_attributes)) {
    if (children(a)[0] != der_oid(kContentTypeOid)) others.push_back(a);
  }
  const Bytes data_type = attribute(kContentTypeOid, der_oid(kDataOid));
  const auto with = [&](std::vector<Bytes> extra) {
    auto attributes = others;
    attributes.insert(attributes.end(), extra.begin(), extra.end());
    return with_signed_attributes(original, attributes, key);
  };
  const auto with_econtent_type = [](const Bytes& datas, const std::string& oid) {
    return edit_signed_data(datas, [&](std::vector<Bytes>& signed_data) {
      signed_data[2] = der_element(der::kSequence, der_oid(oid));
    });
  };
  const auto rejected = [&](const Bytes& datas) {
    const auto error = caught<MalformedSignatureError>([&] { verify(datas, payload, trusted); });
    return error ? std::string(error->what()) : std::string();
  };

  // The rule met, in any position among the attributes.
  EXPECT_EQ(verify(with({data_type}), payload, trusted), payload);

  EXPECT_EQ(rejected(with({})), "Malformed signature: the signed attributes have no content-type attribute");
  EXPECT_EQ(rejected(with({data_type, data_type})),
            "Malformed signature: the signed attributes hold more than one content-type attribute");
  Bytes two_values = der_oid(kDataOid);
  const Bytes second = der_oid(kDataOid);
  two_values.insert(two_values.end(), second.begin(), second.end());
  EXPECT_EQ(rejected(with({attribute(kContentTypeOid, two_values)})),
            "Malformed signature: the content-type attribute has more than one value");
  EXPECT_EQ(rejected(with({attribute(kContentTypeOid, {})})),
            "Malformed signature: the content-type attribute has no value");
  EXPECT_EQ(rejected(with({attribute(kContentTypeOid, der_oid(kTstInfoOid))})),
            std::string("Malformed signature: the content-type attribute names ") + kTstInfoOid +
                ", but the signed content is of type " + kDataOid);
  // A signature over a TSTInfo, consistent in itself, is still not signed data.
  const Bytes tst = with_econtent_type(with({attribute(kContentTypeOid, der_oid(kTstInfoOid))}), kTstInfoOid);
  EXPECT_EQ(rejected(tst), std::string("Malformed signature: the signed content is of type ") + kTstInfoOid +
                               ", not data (" + kDataOid + "): only signed data is verified");

  // Without signed attributes the rule does not apply: the signature covers the payload itself.
  EXPECT_EQ(verify(sign_leaf({.signed_attributes = false}), payload, trusted), payload);
}

// Object identifiers come from the input: an error line shows only their start.
TEST_F(BrisvaleTest, CutsLongIdentifiersInErrors) {
  std::string huge = "1.2";
  for (int arc = 0; arc < 100000; ++arc) huge += ".1";
  const Bytes original = sign_leaf();
  const Bytes digest = edit_signed_data(original, [&](std::vector<Bytes>& signed_data) {
    signed_data[1] = der_element(der::kSet, algorithm(huge));
  });
  auto error = caught<MalformedSignatureError>([&] { verify(digest, payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_LT(std::string(error->what()).size(), 400u);
  EXPECT_EQ(std::string(error->what()).rfind("Unsupported digest algorithm 1.2.1.1", 0), 0u) << error->what();
  EXPECT_NE(std::string(error->what()).find("..."), std::string::npos);

  const Bytes econtent = edit_signed_data(original, [&](std::vector<Bytes>& signed_data) {
    signed_data[2] = der_element(der::kSequence, der_oid(huge));
  });
  error = caught<MalformedSignatureError>([&] { verify(econtent, payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_LT(std::string(error->what()).size(), 400u);
}

// The BER form of `tag` with an indefinite length around `parts`.
Bytes indefinite(der::Tag tag, const std::vector<Bytes>& parts) {
  Bytes out = der_element(tag, {});
  out.back() = 0x80;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  out.insert(out.end(), {0x00, 0x00});
  return out;
}

// `element` (a short-form length below 128) with its length written in `extra` + 1 octets.
Bytes long_length(const Bytes& element, std::size_t extra) {
  Bytes out{element[0], static_cast<std::uint8_t>(0x81 + extra)};
  out.insert(out.end(), extra, 0x00);
  out.insert(out.end(), element.begin() + 1, element.end());
  return out;
}

TEST_F(BrisvaleTest, ReadsBerWhereCmsAllowsIt) {
  // openssl cms -stream: indefinite lengths from the ContentInfo down.
  for (const bool attributes : {true, false}) {
    const Bytes streamed = sign_leaf({.signed_attributes = attributes, .stream = true});
    ASSERT_EQ(Bytes(streamed.begin(), streamed.begin() + 2), (Bytes{0x30, 0x80}));
    EXPECT_EQ(verify(streamed, payload, trusted), payload);
    EXPECT_EQ(choose_certificates(parse_signed_data(streamed)).othercerts.size(), 1u);
  }
  EXPECT_EQ(verify(pki::openssl_cms_sign(pki_->rsa, payload, {.stream = true}), payload, trusted), payload);

  // The signature value in pieces, one of them nested, one empty.
  const Bytes bare = sign_leaf({.signed_attributes = false});
  const Bytes pieces = edit_signer(bare, [](std::vector<Bytes>& signer) {
    der::Reader reader(signer[4]);
    ByteView value;
    ASSERT_TRUE(reader.get_bytes(der::kOctetString, value));
    const Bytes first(value.begin(), value.begin() + 10), rest(value.begin() + 10, value.end());
    signer[4] = indefinite(der::kOctetString | der::kConstructed,
                           {der_element(der::kOctetString, first), der_element(der::kOctetString, {}),
                            indefinite(der::kOctetString | der::kConstructed, {der_element(der::kOctetString, rest)})});
  });
  EXPECT_EQ(verify(pieces, payload, trusted), payload);

  // Signed attributes in BER are hashed exactly as received: with surplus length octets, with
  // an indefinite length, and with the message digest in pieces (each signed anew).
  const Bytes original = sign_leaf();
  const auto attributes = children(*parse_signed_data(original).signed_attributes);
  std::vector<Bytes> ber_attributes;
  for (const auto& a : attributes) {
    if (children(a)[0] != der_oid(kMessageDigestOid)) {
      ber_attributes.push_back(a);
      continue;
    }
    const Bytes digest = sha256(payload);
    const Bytes value = indefinite(der::kOctetString | der::kConstructed,
                                   {der_element(der::kOctetString, ByteView(digest).first(5)),
                                    long_length(der_element(der::kOctetString, ByteView(digest).subspan(5)), 2)});
    ber_attributes.push_back(long_length(rebuild(der::kSequence, {der_oid(kMessageDigestOid), indefinite(der::kSet, {value})}), 1));
  }
  EVP_PKEY* key = pki_->leaf.key.get();
  const auto signed_as = [&](Bytes element) {
    return edit_signer(original, [&](std::vector<Bytes>& signer) {
      signer[3] = element;
      element[0] = 0x31;
      signer[5] = der_element(der::kOctetString, pki::sign_bytes(key, element));
    });
  };
  Bytes surplus = rebuild(der::context_tag(0, true), ber_attributes);
  ASSERT_EQ(surplus[1], 0x81);
  surplus.insert(surplus.begin() + 2, 0x00);
  surplus[1] = 0x82;
  EXPECT_EQ(verify(signed_as(surplus), payload, trusted), payload);
  EXPECT_EQ(verify(signed_as(indefinite(der::context_tag(0, true), ber_attributes)), payload, trusted), payload);

  // What is malformed in BER still is, with what and where.
  const auto malformed = [&](const Bytes& datas, const std::string& message) {
    const auto error = caught<MalformedSignatureError>([&] { verify(datas, payload, trusted); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->what(), message);
  };
  const Bytes streamed = sign_leaf({.stream = true});
  malformed(Bytes(streamed.begin(), streamed.end() - 2),
            "Malformed signature: ContentInfo truncated at byte " + std::to_string(streamed.size() - 2));
  const Bytes primitive_indefinite = edit_signer(bare, [](std::vector<Bytes>& signer) {
    signer[4] = {0x04, 0x80, 0x01, 0x00, 0x00};
  });
  const std::size_t at = primitive_indefinite.size() - 5;
  malformed(primitive_indefinite,
            "Malformed signature: SignerInfo.signature is a primitive element with an indefinite length at byte " +
                std::to_string(at));
  const Bytes piece_of_other_type = edit_signer(bare, [](std::vector<Bytes>& signer) {
    signer[4] = indefinite(der::kOctetString | der::kConstructed, {der_element(der::kInteger, Bytes{1})});
  });
  malformed(piece_of_other_type, "Malformed signature: SignerInfo.signature has an unexpected tag at byte " +
                                     std::to_string(piece_of_other_type.size() - 5));
}

TEST_F(BrisvaleTest, ChecksTheDigestBeforeTheSignature) {
  const Bytes signature = sign_leaf();
  Bytes changed = payload;
  changed[3] ^= 0x01;
  const Bytes tampered = edit_signer(signature, [](std::vector<Bytes>& signer) { signer[5][signer[5].size() - 5] ^= 0x01; });

  for (const Bytes* datas : {&signature, &tampered}) {
    const auto error = caught<HashValueError>([&] { verify(*datas, changed, trusted); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), kHashMismatch);
  }
  const auto error = caught<SignatureError>([&] { verify(tampered, payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), "");
  ASSERT_TRUE(error->cause());
  EXPECT_THROW(std::rethrow_exception(error->cause()), ossl::OpenSSLError);
}

TEST_F(BrisvaleTest, DispatchesOnTheKeyTypeFirst) {
  const auto with_signature_algorithm = [](ByteView datas, const Bytes& identifier) {
    return edit_signer(datas, [&](std::vector<Bytes>& signer) { signer[4] = identifier; });
  };
  // An EC key is checked with the first digest algorithm, whatever hash the identifier names.
  const Bytes ec = with_signature_algorithm(sign_leaf(), algorithm("1.2.840.10045.4.3.4"));
  EXPECT_EQ(verify(ec, payload, trusted), payload);

  const Bytes rsa_as_ecdsa = with_signature_algorithm(pki::openssl_cms_sign(pki_->rsa, payload), algorithm("1.2.840.10045.4.3.2"));
  auto error = caught<SignatureError>([&] { verify(rsa_as_ecdsa, payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), "Unknown signature algorithm");
  EXPECT_FALSE(error->cause());

  // An Ed25519 signer under its own identifier (OpenSSL's CMS cannot make one: substituted).
  const Credential ed25519 = pki::issue_certificate(pki_->root, "Ed25519 Signer", {.key_type = pki::KeyType::ed25519});
  unsigned char* serial = nullptr;
  const int serial_size = i2d_ASN1_INTEGER(X509_get0_serialNumber(ed25519.cert.get()), &serial);
  ASSERT_GT(serial_size, 0);
  const Bytes serial_der(serial, serial + serial_size);
  OPENSSL_free(serial);
  Bytes ed_signature = edit_signed_data(sign_leaf(), [&](std::vector<Bytes>& signed_data) {
    signed_data[3] = der_element(der::context_tag(0, true), ed25519.cert_der());
  });
  ed_signature = edit_signer(ed_signature, [&](std::vector<Bytes>& signer) {
    auto sid = children(signer[1]);
    sid[1] = serial_der;
    signer[1] = rebuild(der::kSequence, sid);
    signer[4] = algorithm("1.3.101.112");
  });
  error = caught<SignatureError>([&] { verify(ed_signature, payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), "Unknown signature algorithm");

  const auto unknown = caught<MalformedSignatureError>(
      [&] { verify(with_signature_algorithm(sign_leaf(), algorithm("1.2.3.4")), payload, trusted); });
  ASSERT_TRUE(unknown);
  EXPECT_STREQ(unknown->what(), "Unsupported signature algorithm 1.2.3.4");

  const Bytes md2 = edit_signed_data(sign_leaf(), [](std::vector<Bytes>& signed_data) {
    signed_data[1] = der_element(der::kSet, algorithm("1.2.840.113549.2.2"));
  });
  const auto digest = caught<MalformedSignatureError>([&] { verify(md2, payload, trusted); });
  ASSERT_TRUE(digest);
  EXPECT_STREQ(digest->what(), "Unsupported digest algorithm 1.2.840.113549.2.2");
}

TEST_F(BrisvaleTest, VerifiesRsaPssWithItsOwnParameters) {
  const Bytes salted = pki::openssl_cms_sign(pki_->rsa, payload, {.key_options = {"rsa_padding_mode:pss", "rsa_pss_saltlen:32"}});
  EXPECT_EQ(verify(salted, payload, trusted), payload);
  // The same signature claimed with salt length 20 does not verify.
  const Bytes salt20 = edit_signer(salted, [](std::vector<Bytes>& signer) {
    auto params = children(children(signer[4])[1]);
    params[2] = der_element(der::context_tag(2, true), der_element(der::kInteger, Bytes{20}));
    signer[4] = algorithm("1.2.840.113549.1.1.10", rebuild(der::kSequence, params));
  });
  const auto error = caught<SignatureError>([&] { verify(salt20, payload, trusted); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), "");
  EXPECT_TRUE(error->cause());

  // No signed attributes, PSS hash SHA-512 while the digest algorithm is SHA-256, MGF1 named
  // with SHA-1 (ignored: MGF1 uses the PSS hash), default salt length 20: the PSS digest of
  // the payload is computed in the same pass, also when it is streamed.
  const auto pss_identifier = [](const std::string& hash, const std::string& mgf) {
    const Bytes hash_field = der_element(der::context_tag(0, true), algorithm(hash, der_element(der::kNull, {})));
    const Bytes mgf_field = der_element(der::context_tag(1, true), algorithm(mgf, algorithm("1.3.14.3.2.26")));
    return algorithm("1.2.840.113549.1.1.10", rebuild(der::kSequence, {hash_field, mgf_field}));
  };
  const Bytes bare = pki::openssl_cms_sign(pki_->rsa, payload, {.signed_attributes = false});
  const Bytes pss512 = edit_signer(bare, [&](std::vector<Bytes>& signer) {
    signer[3] = pss_identifier("2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.8");
    signer[4] = der_element(der::kOctetString, pki::sign_bytes(pki_->rsa.key.get(), payload, "SHA512", 20));
  });
  const VerifyData record(trusted);
  EXPECT_EQ(record.verify(pss512, payload), payload);
  ChunkedReader reader(payload);
  EXPECT_NO_THROW(record.verify_streamed(pss512, reader));

  const Bytes other_mgf = edit_signer(bare, [&](std::vector<Bytes>& signer) {
    signer[3] = pss_identifier("2.16.840.1.101.3.4.2.3", "1.2.3.4");
  });
  auto malformed = caught<MalformedSignatureError>([&] { record.verify(other_mgf, payload); });
  ASSERT_TRUE(malformed);
  EXPECT_STREQ(malformed->what(), "Unsupported RSASSA-PSS mask generation function 1.2.3.4");
  const Bytes other_hash = edit_signer(bare, [&](std::vector<Bytes>& signer) {
    signer[3] = pss_identifier("1.2.840.113549.2.2", "1.2.840.113549.1.1.8");
  });
  malformed = caught<MalformedSignatureError>([&] { record.verify(other_hash, payload); });
  ASSERT_TRUE(malformed);
  EXPECT_STREQ(malformed->what(), "Unsupported RSASSA-PSS hash algorithm 1.2.840.113549.2.2");
}

TEST_F(BrisvaleTest, ChoosesTheSignerCertificateBySerialNumber) {
  const Bytes signature = sign_leaf({.extra_certs = {pki_->root}});
  const SignedDataView view = parse_signed_data(signature);
  ASSERT_EQ(view.certificates.size(), 3u);
  const SignerCertificates chosen = choose_certificates(view);
  EXPECT_EQ(X509_cmp(chosen.cert.get(), pki_->leaf.cert.get()), 0);
  std::vector<Bytes> expected;
  for (const ByteView cert : view.certificates) {
    if (Bytes(cert.begin(), cert.end()) != pki_->leaf.cert_der()) expected.emplace_back(cert.begin(), cert.end());
  }
  ASSERT_EQ(chosen.othercerts.size(), 2u);
  EXPECT_EQ(pki::to_der(chosen.othercerts[0].get()), expected[0]);
  EXPECT_EQ(pki::to_der(chosen.othercerts[1].get()), expected[1]);

  const auto check = [&](const Bytes& datas, const std::string& message) {
    const auto error = caught<MalformedSignatureError>([&] { verify(datas, payload, trusted); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->what(), message);
  };
  check(pki::openssl_cms_sign(pki_->leaf, payload, {.include_signer_cert = false}),
        "Malformed signature: SignedData holds no certificates");
  check(sign_leaf({.key_identifier = true}),
        "Unsupported signer identifier: the signer is named by subject key identifier, not by issuer and serial number");
  const Bytes other_serial = edit_signer(signature, [](std::vector<Bytes>& signer) {
    auto sid = children(signer[1]);
    sid[1] = der_element(der::kInteger, Bytes{0x01, 0x02});
    signer[1] = rebuild(der::kSequence, sid);
  });
  check(other_serial, "Malformed signature: no certificate in SignedData has the signer's serial number 0x0102");
}

TEST_F(BrisvaleTest, SameSerialCertificatesAreToldApartByIssuer) {
  // An intermediate CA and its leaf that share a serial number, as small CAs make them.
  const Credential intermediate = pki::issue_certificate(pki_->root, "Same Serial CA", {.ca = true, .serial = 7});
  const Credential leaf = pki::issue_certificate(intermediate, "Same Serial Signer", {.serial = 7});
  const Credential reissued = pki::issue_certificate(intermediate, "Same Serial Signer", {.serial = 7});
  const Bytes signature = pki::openssl_cms_sign(leaf, payload, {.extra_certs = {intermediate}});
  const auto with_certificates = [&](const std::vector<Bytes>& certs) {
    return edit_signed_data(signature, [&](std::vector<Bytes>& signed_data) {
      signed_data[3] = rebuild(der::context_tag(0, true), certs);
    });
  };
  const auto ders = [](const std::vector<Certificate>& certs) {
    std::vector<Bytes> out;
    for (const auto& cert : certs) out.push_back(pki::to_der(cert.get()));
    return out;
  };
  const Bytes leaf_der = leaf.cert_der(), intermediate_der = intermediate.cert_der();
  const Bytes other_der = pki_->rsa.cert_der();

  // In either order the leaf is the signer (its issuer is the signer identifier's), the
  // intermediate a candidate, and the path reaches the root.
  for (const auto& order : {std::vector<Bytes>{intermediate_der, leaf_der}, std::vector<Bytes>{leaf_der, intermediate_der}}) {
    const Bytes datas = with_certificates(order);
    EXPECT_EQ(verify(datas, payload, trusted), payload);
  }
  const Bytes mixed = with_certificates({other_der, leaf_der, intermediate_der, pki_->root.cert_der()});
  SignerCertificates chosen = choose_certificates(parse_signed_data(mixed));
  EXPECT_EQ(pki::to_der(chosen.cert.get()), leaf_der);
  EXPECT_EQ(ders(chosen.othercerts), (std::vector<Bytes>{other_der, intermediate_der, pki_->root.cert_der()}));

  // Several certificates match serial and issuer: the last one counts.
  chosen = choose_certificates(parse_signed_data(with_certificates({leaf_der, reissued.cert_der(), intermediate_der})));
  EXPECT_EQ(pki::to_der(chosen.cert.get()), reissued.cert_der());
  EXPECT_EQ(ders(chosen.othercerts), (std::vector<Bytes>{leaf_der, intermediate_der}));

  // No certificate has the identifier's issuer: the last one with the serial is the signer,
  // the others with it are candidates in their stored order.
  const Bytes unknown_issuer = edit_signer(with_certificates({leaf_der, intermediate_der, other_der}), [&](std::vector<Bytes>& signer) {
    auto sid = children(signer[1]);
    unsigned char* name = nullptr;
    const int size = i2d_X509_NAME(X509_get_subject_name(pki_->rsa.cert.get()), &name);
    ASSERT_GT(size, 0);
    sid[0] = Bytes(name, name + size);
    OPENSSL_free(name);
    signer[1] = rebuild(der::kSequence, sid);
  });
  chosen = choose_certificates(parse_signed_data(unknown_issuer));
  EXPECT_EQ(pki::to_der(chosen.cert.get()), intermediate_der);
  EXPECT_EQ(ders(chosen.othercerts), (std::vector<Bytes>{leaf_der, other_der}));
  // That signer's key did not make the signature.
  EXPECT_TRUE(caught<SignatureError>([&] { verify(unknown_issuer, payload, trusted); }));
}

TEST_F(BrisvaleTest, ValidatesTheSignerCertificate) {
  const auto certificate_error = [&](const Bytes& datas, const std::optional<std::vector<Bytes>>& certs) {
    auto error = caught<CertificateError>([&] { verify(datas, payload, certs); });
    if (error) {
      EXPECT_NE(std::string(error->what()), "");
    }
    return error;
  };
  const auto failure_code = [](const CertificateError& error) {
    try {
      std::rethrow_exception(error.cause());
    } catch (const CertificateValidationFailure& failure) {
      return failure.error_code();
    } catch (...) {
      return -1;
    }
  };
  // The intermediate reaches the root only when the signature carries it.
  const Bytes without_chain = pki::openssl_cms_sign(pki_->leaf, payload);
  auto error = certificate_error(without_chain, trusted);
  ASSERT_TRUE(error);
  EXPECT_EQ(failure_code(*error), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
  EXPECT_EQ(std::string(error->what()).rfind("unable to get local issuer certificate", 0), 0u) << error->what();

  // Any trusted certificate is an anchor, self-signed or not.
  EXPECT_EQ(verify(without_chain, payload, std::vector<Bytes>{pki_->intermediate.cert_der()}), payload);

  const Bytes signature = sign_leaf();
  ASSERT_TRUE(certificate_error(signature, std::vector<Bytes>{}));  // empty list: nothing trusted
  ASSERT_TRUE(certificate_error(signature, std::nullopt));          // the system store lacks our root
  EXPECT_FALSE(VerifyData().context->trust_roots());

  const Credential no_signing = pki::issue_certificate(pki_->root, "Encipher only", {.key_usage = KU_KEY_ENCIPHERMENT | KU_NON_REPUDIATION});
  error = certificate_error(pki::openssl_cms_sign(no_signing, payload), trusted);
  ASSERT_TRUE(error);
  EXPECT_EQ(failure_code(*error), X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE);

  const Credential unrestricted = pki::issue_certificate(pki_->root, "No key usage", {.key_usage = std::nullopt});
  EXPECT_EQ(verify(pki::openssl_cms_sign(unrestricted, payload), payload, trusted), payload);

  const Credential expired = pki::issue_certificate(pki_->root, "Expired", {.not_before_days = -30, .not_after_days = -1});
  error = certificate_error(pki::openssl_cms_sign(expired, payload), trusted);
  ASSERT_TRUE(error);
  EXPECT_EQ(failure_code(*error), X509_V_ERR_CERT_HAS_EXPIRED);
}

TEST_F(BrisvaleTest, GathersTrustRoots) {
  const Bytes signature = sign_leaf();
  const std::string pem = pki_->root.cert_pem();
  const VerifyData from_pem(std::vector<Bytes>{to_bytes("Root of the test PKI\n" + pem)});
  const VerifyData from_der(trusted);
  ASSERT_EQ(from_pem.context->trust_roots()->size(), 1u);
  EXPECT_EQ(X509_cmp(from_pem.context->trust_roots()->front().get(), from_der.context->trust_roots()->front().get()), 0);
  EXPECT_EQ(from_pem.verify(signature, payload), payload);

  pki::TempDir dir;
  const Credential other = pki::make_root_ca("Other Root");
  const Credential ignored = pki::make_root_ca("Ignored Root");
  pki::write_file(dir / "bundle.pem", pem + pki_->intermediate.cert_pem());  // contributes its first
  const Bytes other_der = other.cert_der();
  pki::write_file(dir / "other.pem", as_text(other_der));
  pki::write_file(dir / "upper.PEM", ignored.cert_pem());
  pki::write_file(dir / ".hidden.pem", ignored.cert_pem());
  pki::write_file(dir / "notes.txt", "not a certificate");
  std::filesystem::create_directory(dir / "sub");
  pki::write_file(dir / "sub" / "nested.pem", ignored.cert_pem());

  const VerifyData combined(std::vector<Bytes>{pki_->intermediate.cert_der()}, dir.path());
  const auto& roots = *combined.context->trust_roots();
  ASSERT_EQ(roots.size(), 3u);
  EXPECT_EQ(X509_cmp(roots[0].get(), pki_->intermediate.cert.get()), 0);
  const bool root_then_other = X509_cmp(roots[1].get(), pki_->root.cert.get()) == 0 && X509_cmp(roots[2].get(), other.cert.get()) == 0;
  const bool other_then_root = X509_cmp(roots[1].get(), other.cert.get()) == 0 && X509_cmp(roots[2].get(), pki_->root.cert.get()) == 0;
  EXPECT_TRUE(root_then_other || other_then_root);
  EXPECT_EQ(verify(signature, payload, std::nullopt, dir.path()), payload);

  // A missing directory gives no roots: nothing is trusted.
  const VerifyData missing(std::nullopt, dir / "missing");
  EXPECT_TRUE(missing.context->trust_roots()->empty());
  EXPECT_THROW(missing.verify(signature, payload), CertificateError);

  // Bad entries fail before any signature work.
  const Bytes garbage = to_bytes("not a signature");
  for (const std::string& entry : {std::string("junk"), std::string("-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n")}) {
    const auto error = caught<InvalidTrustedCertificateError>([&] { verify(garbage, payload, std::vector<Bytes>{to_bytes(entry)}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(std::string(error->what()).rfind("Trusted certificate #1 ", 0), 0u) << error->what();
  }
  pki::write_file(dir / "broken.pem", "junk");
  EXPECT_THROW(VerifyData(std::nullopt, dir.path()), InvalidTrustedCertificateError);
}

TEST_F(BrisvaleTest, RejectsMalformedSignatures) {
  static_assert(!std::is_base_of_v<VerificationError, MalformedSignatureError>);
  const VerifyData record(trusted);
  const auto message = [&](const Bytes& datas) {
    const auto error = caught<MalformedSignatureError>([&] { record.verify(datas, payload); });
    return error ? std::string(error->what()) : std::string();
  };
  const Bytes signature = sign_leaf();
  EXPECT_EQ(message({}), "Malformed signature: the signature data is empty");
  for (std::size_t size = 1; size < signature.size(); ++size) {
    const std::string text = message(Bytes(signature.begin(), signature.begin() + static_cast<long>(size)));
    ASSERT_EQ(text.rfind("Malformed signature: ", 0), 0u) << size;
  }
  EXPECT_EQ(message(Bytes(signature.begin(), signature.begin() + 17)), "Malformed signature: ContentInfo truncated at byte 17");

  const std::size_t header = signature[1] == 0x82 ? 4 : 3;
  const Bytes contents(signature.begin() + static_cast<long>(header), signature.end());
  Bytes huge = {0x30, 0x89, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
  huge.insert(huge.end(), contents.begin(), contents.end());
  EXPECT_EQ(message(huge), "Malformed signature: ContentInfo has a length field that is too large at byte 0");
  Bytes indefinite = {0x30, 0x80};
  indefinite.insert(indefinite.end(), contents.begin(), contents.end());
  indefinite.insert(indefinite.end(), {0, 0});
  EXPECT_EQ(record.verify(indefinite, payload), payload);  // BER, which CMS allows
  indefinite.push_back(0);
  EXPECT_EQ(message(indefinite),
            "Malformed signature: ContentInfo is followed by unexpected data at byte " + std::to_string(indefinite.size() - 1));
  Bytes trailing = signature;
  trailing.push_back(0);
  EXPECT_EQ(message(trailing), "Malformed signature: ContentInfo is followed by unexpected data at byte " + std::to_string(signature.size()));
  const Bytes data_type = rebuild(der::kSequence, {der_oid("1.2.840.113549.1.7.1"), der_element(der::context_tag(0, true), der_element(der::kOctetString, payload))});
  EXPECT_EQ(message(data_type), "Malformed signature: ContentInfo holds content type 1.2.840.113549.1.7.1, not SignedData");
}

TEST_F(BrisvaleTest, StreamsThePayloadWithTheSameResults) {
  Bytes large(3 * 1024 * 1024 + 17);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  const Bytes signature = pki::openssl_cms_sign(pki_->leaf, large, {.extra_certs = {pki_->intermediate}});
  const VerifyData record(trusted);
  ChunkedReader reader(large);
  EXPECT_NO_THROW(record.verify_streamed(signature, reader));
  EXPECT_EQ(record.verify(signature, large), large);

  large[large.size() / 2] ^= 0x80;
  ChunkedReader changed(large);
  const auto error = caught<HashValueError>([&] { record.verify_streamed(signature, changed); });
  ASSERT_TRUE(error);
  EXPECT_STREQ(error->what(), kHashMismatch);
}

TEST_F(BrisvaleTest, VerifiesFromEightThreadsAtOnce) {
  const Bytes good = sign_leaf();
  const Bytes rsa = pki::openssl_cms_sign(pki_->rsa, payload, {.key_options = {"rsa_padding_mode:pss"}});
  Bytes changed = payload;
  changed[0] ^= 1;
  const VerifyData shared(trusted);
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) try {
        if (shared.verify(good, payload) == payload) ++correct;
        if (verify(rsa, payload, trusted) == payload) ++correct;
        try {
          shared.verify(good, changed);
        } catch (const HashValueError&) {
          ++correct;
        }
        try {
          verify(good, payload, std::vector<Bytes>{});
        } catch (const CertificateError&) {
          ++correct;
        }
      } catch (...) {
        // counted as incorrect
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(correct.load(), 8 * 10 * 4);
}

// The threads of this process, as the kernel lists them.
std::size_t thread_count() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                std::filesystem::directory_iterator()));
}

// A thread that has been joined can stay listed in /proc for a moment: its id is cleared (which
// ends the join) before the kernel releases it. Counts are therefore read once they settle.

// The thread count once it has been `expected` (returned as soon as it is), or whatever it is
// after two seconds.
std::size_t thread_count_settling_at(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::size_t count = thread_count();
  while (count != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = thread_count();
  }
  return count;
}

// The thread count once the runtime's own threads are there (ThreadSanitizer, for one, starts a
// background thread when the process first creates a thread) and joined ones are gone: the same
// count 20 times in a row, a millisecond apart.
std::size_t settled_thread_count() {
  std::thread([] {}).join();
  std::size_t count = thread_count();
  for (int same = 0; same < 20;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::size_t now = thread_count();
    same = now == count ? same + 1 : 0;
    count = now;
  }
  return count;
}

// A record's first validation runs on a thread that ends with it; from the second on, the
// record keeps one worker for verifications in turn, whatever their outcome, and joins it when
// it goes. A module-level verify leaves no thread behind.
TEST_F(BrisvaleTest, RecordKeepsItsValidationWorkerUntilItGoes) {
  const Bytes good = sign_leaf();
  Bytes changed_signature = good;
  changed_signature[changed_signature.size() - 10] ^= 1;  // inside the signature value
  const std::size_t before = settled_thread_count();
  {
    const VerifyData record(trusted);
    EXPECT_EQ(thread_count_settling_at(before), before) << "no worker before the first validation";
    EXPECT_EQ(record.verify(good, payload), payload);
    EXPECT_EQ(thread_count_settling_at(before), before) << "the first validation's thread has ended";
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(record.verify(good, payload), payload);
      EXPECT_TRUE(caught<SignatureError>([&] { record.verify(changed_signature, payload); }));
      EXPECT_EQ(thread_count_settling_at(before + 1), before + 1) << "round " << round;
    }
    const VerifyData nothing_trusted(std::vector<Bytes>{});
    EXPECT_TRUE(caught<CertificateError>([&] { nothing_trusted.verify(good, payload); }));
    EXPECT_TRUE(caught<CertificateError>([&] { nothing_trusted.verify(good, payload); }));
    EXPECT_EQ(thread_count_settling_at(before + 2), before + 2);
  }
  EXPECT_EQ(thread_count_settling_at(before), before);
  EXPECT_EQ(verify(good, payload, trusted), payload);
  EXPECT_TRUE(caught<CertificateError>([&] { verify(good, payload, std::vector<Bytes>{}); }));
  EXPECT_EQ(thread_count_settling_at(before), before);
}

// A child made by fork() has none of the parent's threads: a record that the parent used goes
// on verifying there with workers of the child's own (waiting for the parent's would hang) and
// can be destroyed there.
TEST_F(BrisvaleTest, RecordUsedBeforeForkVerifiesInTheChild) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a process with threads";
#endif
  const Bytes good = sign_leaf();
  std::optional<VerifyData> record(std::in_place, trusted);
  ASSERT_EQ(record->verify(good, payload), payload);
  ASSERT_EQ(record->verify(good, payload), payload);  // the second one leaves an idle worker
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    bool fine = false;
    try {
      fine = record->verify(good, payload) == payload && record->verify(good, payload) == payload;
      record.reset();
    } catch (...) {
    }
    std::_Exit(fine ? 0 : 1);
  }
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < 3000 && done == 0; ++waited) {  // at most 30 s
    done = ::waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the child hung verifying with the record";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(record->verify(good, payload), payload);  // the parent's worker is still there
}

// Verifications at the same time on one record each get a worker of their own: never more
// workers than verifications at once, all joined with the record.
TEST_F(BrisvaleTest, RecordServesConcurrentVerificationsWithWorkersOfTheirOwn) {
  const Bytes good = sign_leaf();
  const std::size_t before = settled_thread_count();
  constexpr int kCallers = 6;
  {
    const VerifyData shared(trusted);
    std::atomic<int> verified{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
      callers.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
          if (shared.verify(good, payload) == payload) ++verified;
        }
      });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(verified.load(), kCallers * 20);
    EXPECT_GE(thread_count(), before + 1);
    EXPECT_LE(thread_count(), before + kCallers);
  }
  EXPECT_EQ(thread_count_settling_at(before), before);
}

// A certificate name that comes from input may be huge; error texts show its start only.
TEST_F(BrisvaleTest, NamesInValidationErrorsAreShortened) {
  ossl::UniquePtr<X509> cert(X509_dup(pki_->leaf.cert.get()));
  ossl::UniquePtr<X509_NAME> name(X509_NAME_new());
  const std::string unit(60, 'u');
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(X509_NAME_add_entry_by_txt(name.get(), "OU", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>(unit.c_str()), -1, -1, 0), 1);
  }
  ASSERT_EQ(X509_set_subject_name(cert.get(), name.get()), 1);
  ASSERT_GT(X509_sign(cert.get(), pki_->intermediate.key.get(), EVP_sha256()), 0);
  const CertificateValidator validator(Certificate(cert.release(), X509_free), {},
                                       ValidationContext::with_roots({}));
  try {
    validator.validate();
    ADD_FAILURE() << "validated without a trust root";
  } catch (const CertificateValidationFailure& failure) {
    const std::string text = failure.what();
    const std::string start = "unable to get local issuer certificate (certificate at depth 0: OU=" + unit;
    EXPECT_EQ(text.rfind(start, 0), 0u) << text;
    EXPECT_TRUE(text.ends_with("...)")) << text;
    EXPECT_LT(text.size(), 400u) << "the name alone has " << 100 * 64 << " characters";
  }
  EXPECT_EQ(shortened(std::string(300, 'a')), std::string(256, 'a') + "...");
  EXPECT_EQ(shortened("short"), "short");
  // A multi-byte character across the limit is left out whole, never cut.
  EXPECT_EQ(shortened(std::string(255, 'a') + "\xC3\xA9" + "b"), std::string(255, 'a') + "...");
}

}  // namespace
}  // namespace norvan::signing::brisvale
