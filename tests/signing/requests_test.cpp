// Certificate requests: the subject form of `openssl -subj`, the requested extensions, and a
// request that a CA run with the openssl program turns into a working certificate.
#include "norvan/signing/requests.hpp"

#include "norvan/signing/mime.hpp"
#include "tests/support/openssl_ca.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

// Options are written with designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace norvan::signing::requests {
namespace {

using testing::expect_error;

std::string one_line(X509_NAME* name) {
  ossl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

TEST(Subject, OpensslSubjForm) {
  EXPECT_EQ(one_line(parse_subject("/CN=Alice/O=Example").get()), "O=Example,CN=Alice");
  // "\" escapes the next character; "+" makes a multi-valued RDN; UTF-8 is kept.
  EXPECT_EQ(one_line(parse_subject("/CN=a\\/b\\+c/O=Ex").get()), "O=Ex,CN=a/b\\+c");
  EXPECT_EQ(one_line(parse_subject("/CN=Alice+UID=alice/C=DE").get()), "C=DE,UID=alice+CN=Alice");
  EXPECT_EQ(one_line(parse_subject("/CN=Jörg").get()), "CN=J\\C3\\B6rg");
  EXPECT_EQ(X509_NAME_entry_count(parse_subject("/").get()), 0);

  const struct {
    const char* subject;
    const char* fragment;
  } bad[] = {
      {"CN=Alice", "does not start with '/'"},
      {"/CN=Alice/Example", "the piece 'Example' has no '='"},
      {"/CN=Alice/=x", "an empty attribute type"},
      {"/CN=", "the attribute 'CN' has no value"},
      {"/XYZ=1", "the attribute type 'XYZ' is unknown"},
      {"/CN=a\\", "ends in a '\\' that escapes nothing"},
      {"/CN=a+", "it ends in '+'"},
      {"/C=Germany", "the value of 'C' cannot be used"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.subject);
    expect_error<RequestInputError>([&] { (void)parse_subject(c.subject); }, c.fragment);
  }
  expect_error<RequestInputError>([] { (void)parse_subject("/CN=Alice/Example"); },
                                  "The subject '/CN=Alice/Example' is malformed");
}

TEST(Request, AsksForNamesAndDigitalSignatureAndIsIssuedByAnOpensslCa) {
  testing::TempDir dir;
  testing::OpensslCa ca(dir / "ca");
  const auto key = merrowin::tarrowby();
  const Bytes pem = make_request(key, {.subject = "/CN=Alice/O=Example",
                                       .emails = {"alice@example.org"},
                                       .dns_names = {"alice.example.org", "www.example.org"}});
  EXPECT_TRUE(as_text(pem).starts_with("-----BEGIN CERTIFICATE REQUEST-----\n"));
  const auto csr = dir / "alice.csr";
  testing::write_file(csr, as_text(pem));
  const std::string text = testing::run_openssl({"req", "-in", csr.string(), "-verify", "-noout", "-text"});
  EXPECT_NE(text.find("Subject: CN = Alice, O = Example"), std::string::npos) << text;
  EXPECT_NE(text.find("Signature Algorithm: ecdsa-with-SHA256"), std::string::npos) << text;
  EXPECT_NE(text.find("X509v3 Key Usage: critical\n                    Digital Signature"), std::string::npos) << text;
  EXPECT_NE(text.find("email:alice@example.org, DNS:alice.example.org, DNS:www.example.org"), std::string::npos)
      << text;

  // The CA issues it; the certificate signs a message that verifies with only the root trusted.
  const auto cert = ca.issue(csr, "alice");
  const Bytes payload = to_bytes("from a request\n");
  const Bytes message = mime::sign_payload(testing::read_bytes(cert), key, payload,
                                           {.chain = {testing::read_bytes(ca.intermediate_cert())}});
  EXPECT_EQ(mime::verify_message(message, std::vector<Bytes>{testing::read_bytes(ca.root_cert())}), payload);
  const std::string issued = testing::run_openssl({"x509", "-in", cert.string(), "-noout", "-ext", "subjectAltName"});
  EXPECT_NE(issued.find("email:alice@example.org"), std::string::npos) << issued;

  // Names that cannot go into a request.
  expect_error<RequestInputError>([&] { (void)make_request(key, {.emails = {"alice.example.org"}}); },
                                  "The e-mail address 'alice.example.org' has no '@'");
  expect_error<RequestInputError>([&] { (void)make_request(key, {.dns_names = {"bücher.example"}}); },
                                  "The DNS name 'bücher.example' holds a character that is not printable ASCII");
}

TEST(Request, WithoutSubjectTheAltNameIsCritical) {
  testing::TempDir dir;
  const Bytes pem = make_request(merrowin::tarrowby(), {.emails = {"bob@example.org"}});
  testing::write_file(dir / "bob.csr", as_text(pem));
  const std::string text = testing::run_openssl({"req", "-in", (dir / "bob.csr").string(), "-noout", "-text"});
  EXPECT_NE(text.find("X509v3 Subject Alternative Name: critical"), std::string::npos) << text;
}

}  // namespace
}  // namespace norvan::signing::requests
