#include "norvan/api/verify.hpp"

#include "norvan/api/sign.hpp"
#include "norvan/signing/certificates.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/files.hpp"
#include "tests/support/base64.hpp"
#include "tests/support/pki.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace norvan;
using namespace norvan::testing;
using signing::brisvale::HashValueError;

// A signed message around `payload_text` whose signature part holds `der`.
std::string message(const std::string& payload_text, ByteView der) {
  return "Content-Type: multipart/signed; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\n" + payload_text +
         "\r\n--B\r\nContent-Type: application/x-pkcs7-signature\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(der) +
         "\r\n--B--\r\n";
}

template <class Error>
std::string failure_text(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Error& error) {
    return error.what();
  } catch (const std::exception& error) {
    return std::string("wrong type: ") + error.what();
  }
}

class VerifyOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "root.pem", root_.cert_pem());
    trust_.trusted_cert_files = {dir_ / "root.pem"};
  }
  // Writes a message over `signed_text` that carries `sent_text` as its payload.
  fs::path write_message(const std::string& name, const std::string& signed_text, const std::string& sent_text) {
    write_file(dir_ / name, message(sent_text, openssl_cms_sign(signer_, to_bytes(signed_text))));
    return dir_ / name;
  }

  Credential root_ = make_root_ca("Operations Root");
  Credential signer_ = issue_certificate(root_, "Operations Signer");
  TempDir dir_;
  api::TrustedCerts trust_;
};

// Without an output directory the batch hands back each message's payload or the error it
// raises alone, in the order given; trust roots that cannot be gathered fail every message.
TEST_F(VerifyOperations, BatchReturnsEachMessagesOwnOutcome) {
  const std::vector<fs::path> messages{write_message("good.eml", "one\n", "one\n"),
                                       write_message("tampered.eml", "two\n", "TWO\n"), dir_ / "missing.eml",
                                       write_message("other.eml", "three\n", "three\n")};
  const auto outcomes = api::verify_batch(messages, trust_, std::nullopt, 2);
  ASSERT_EQ(outcomes.size(), 4u);
  ASSERT_FALSE(outcomes[0].failure);
  EXPECT_EQ(outcomes[0].payload, to_bytes("one\n"));
  EXPECT_EQ(failure_text<HashValueError>(outcomes[1].failure), "Different hash values for raw and signed payload digests");
  EXPECT_FALSE(outcomes[1].payload);
  EXPECT_EQ(failure_text<FileError>(outcomes[2].failure),
            "Cannot read message file '" + (dir_ / "missing.eml").string() + "': No such file or directory");
  EXPECT_EQ(outcomes[3].payload, to_bytes("three\n"));

  api::TrustedCerts unreadable;
  unreadable.trusted_cert_files = {dir_ / "no-root.pem"};
  for (const auto& outcome : api::verify_batch(messages, unreadable, std::nullopt)) {
    EXPECT_EQ(failure_text<FileError>(outcome.failure),
              "Cannot read trusted certificate '" + (dir_ / "no-root.pem").string() + "': No such file or directory");
  }
  expect_error<std::runtime_error>([&] { api::verify_batch({dir_ / "a.eml", dir_ / "sub" / "a.eml"}, trust_, dir_.path()); },
                                   "would both write '" + (dir_ / "a").string() + "'");
}

// Several jobs at once, each with its committer, on one shared verifier: every payload lands in
// the output directory, whole, under its message's name.
TEST_F(VerifyOperations, BatchWithConcurrentJobsPutsEveryPayloadInPlace) {
  std::vector<fs::path> messages;
  for (int index = 0; index < 12; ++index) {
    const std::string payload = "payload " + std::to_string(index) + "\n";
    messages.push_back(write_message("m" + std::to_string(index) + ".eml", payload, payload));
  }
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  const auto outcomes = api::verify_batch(messages, trust_, out, 3);
  ASSERT_EQ(outcomes.size(), messages.size());
  for (int index = 0; index < 12; ++index) {
    EXPECT_FALSE(outcomes[static_cast<std::size_t>(index)].failure) << index;
    EXPECT_EQ(read_text(out / ("m" + std::to_string(index))), "payload " + std::to_string(index) + "\n");
  }
}

// A payload that does not verify reaches no output, however large: a file target keeps its old
// contents and gains no neighbour; a target written in place (a descriptor of this process, as
// standard output is) receives nothing. One that verifies arrives whole.
TEST_F(VerifyOperations, OnlyAVerifiedPayloadReachesTheOutput) {
  std::string large;
  while (large.size() < (std::size_t{17} << 20)) large += "line " + std::to_string(large.size()) + "\n";
  std::string changed = large;
  changed[changed.size() / 2] = 'X';
  const fs::path tampered = write_message("tampered.eml", large, changed);
  const fs::path good = write_message("good.eml", large, large);

  write_file(dir_ / "out.txt", "old");
  EXPECT_THROW(api::verify(tampered, trust_, dir_ / "out.txt"), HashValueError);
  EXPECT_EQ(read_text(dir_ / "out.txt"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 4);

  const FileDescriptor destination(::open((dir_ / "device").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  const fs::path in_place = "/dev/fd/" + std::to_string(destination.get());
  EXPECT_THROW(api::verify(tampered, trust_, in_place), HashValueError);
  struct stat info {};
  ASSERT_EQ(::fstat(destination.get(), &info), 0);
  EXPECT_EQ(info.st_size, 0);

  api::verify(good, trust_, in_place);
  EXPECT_TRUE(read_text(dir_ / "device") == large);
  api::verify(good, trust_, dir_ / "out.txt");
  EXPECT_TRUE(read_text(dir_ / "out.txt") == large);
}

// The certificate may be given as its bytes; the message made verifies back to the payload, and
// bytes that hold no certificate are named as the certificate given.
TEST_F(VerifyOperations, SignTakesTheCertificateAsBytesOrFile) {
  write_file(dir_ / "key.pem", signer_.key_pem());
  write_file(dir_ / "payload.txt", "signed payload\n");
  api::sign(to_bytes(signer_.cert_pem()), dir_ / "key.pem", std::nullopt, dir_ / "payload.txt", dir_ / "message.eml");
  api::verify(dir_ / "message.eml", trust_, dir_ / "verified.txt");
  EXPECT_EQ(read_text(dir_ / "verified.txt"), "signed payload\n");

  expect_error<signing::certificates::CertificateFormatError>(
      [&] { api::sign(to_bytes("not a certificate"), dir_ / "key.pem", std::nullopt, dir_ / "payload.txt", dir_ / "other.eml"); },
      "The certificate given holds no PEM certificate");
  EXPECT_FALSE(fs::exists(dir_ / "other.eml"));
}

}  // namespace
