// Signed messages made by other producers (openssl cms, gpgsm, Python's cryptography; see
// tests/data/signing/README.md): each verifies through the library and the `verify` command,
// or ends in the one outcome that its form dictates.

#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/mime.hpp"

#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using namespace norvan;
using namespace norvan::testing;
namespace fs = std::filesystem;

const fs::path kData = fs::path(NORVAN_TEST_DATA_DIR) / "signing";

Bytes read_bytes(const fs::path& path) { return to_bytes(read_text(path)); }

enum class Outcome { verifies, hash_value_error };

struct Fixture {
  const char* file;
  Outcome outcome;
};

constexpr Fixture kFixtures[] = {
    {"openssl-ec-stream.eml", Outcome::verifies},
    {"openssl-ec-stream-noattr.eml", Outcome::verifies},
    {"openssl-rsa-stream.eml", Outcome::verifies},
    {"openssl-rsa-stream-noattr.eml", Outcome::verifies},
    {"openssl-ec-sha384.eml", Outcome::verifies},
    {"openssl-rsa-sha512.eml", Outcome::verifies},
    {"openssl-rsa-pss.eml", Outcome::verifies},
    {"openssl-rsa-pss-sha512.eml", Outcome::verifies},
    {"openssl-same-serial.eml", Outcome::verifies},
    {"gpgsm-rsa.eml", Outcome::verifies},
    {"python-ec-detached-binary-wrapped.eml", Outcome::verifies},
    {"python-rsa-detached-binary-wrapped.eml", Outcome::verifies},
    // The payload part has no header: its first line follows the delimiter directly.
    {"python-ec-detached-binary.eml", Outcome::verifies},
    {"python-rsa-detached-binary.eml", Outcome::verifies},
    // The signature covers the canonical MIME entity (CR LF, and with Text its header), while
    // the payload is read back with LF line ends.
    {"python-ec-detached-text.eml", Outcome::hash_value_error},
    {"python-rsa-detached-text.eml", Outcome::hash_value_error},
    {"python-ec-detached.eml", Outcome::hash_value_error},
    {"python-rsa-detached.eml", Outcome::hash_value_error},
};

constexpr const char* kHashValueLine = "HashValueError: Different hash values for raw and signed payload digests\n";

class RealProducers : public ::testing::TestWithParam<Fixture> {};

TEST_P(RealProducers, LibraryGivesTheSignedPayloadOrTheFixedOutcome) {
  const Fixture& fixture = GetParam();
  const std::string message = read_text(kData / fixture.file);
  const std::vector<Bytes> trusted{read_bytes(kData / "root-ca.pem")};
  if (fixture.outcome == Outcome::verifies) {
    EXPECT_EQ(signing::mime::verify_signed_smime(message, trusted), read_bytes(kData / "payload.txt"));
  } else {
    expect_error<signing::brisvale::HashValueError>([&] { signing::mime::verify_signed_smime(message, trusted); },
                                                    "Different hash values for raw and signed payload digests");
  }
}

TEST_P(RealProducers, VerifyCommandGivesTheSignedPayloadOrTheFixedOutcome) {
  const Fixture& fixture = GetParam();
  const TempDir dir;
  const ProcessResult result =
      run_norvan({"verify", "--trusted-cert", (kData / "root-ca.pem").string(), "--output",
                  (dir / "payload.txt").string(), (kData / fixture.file).string()});
  if (fixture.outcome == Outcome::verifies) {
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_text(dir / "payload.txt"), read_text(kData / "payload.txt"));
  } else {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, kHashValueLine);
    EXPECT_FALSE(fs::exists(dir / "payload.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealProducers, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture>& info) {
                           std::string name = info.param.file;
                           name = name.substr(0, name.find('.'));
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

TEST(RealProducersChain, SameSerialChainNeedsItsIntermediateFromTheSignature) {
  // The intermediate CA comes only with the signature; trusting the intermediate instead of
  // the root verifies as well, and trusting an unrelated signer does not.
  const std::string message = read_text(kData / "openssl-same-serial.eml");
  EXPECT_EQ(signing::mime::verify_signed_smime(message, {read_bytes(kData / "sub-ca.pem")}),
            read_bytes(kData / "payload.txt"));
  expect_error<signing::brisvale::CertificateError>(
      [&] { signing::mime::verify_signed_smime(message, {read_bytes(kData / "ec-signer.pem")}); },
      "unable to get local issuer certificate");
}

}  // namespace
