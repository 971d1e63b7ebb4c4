// The RFC 8551 mode through the norvan program: messages that other producers signed verify
// with --rfc8551 (see tests/data/signing/rfc8551/README.md), and norvan's messages in that mode
// verify with openssl smime and come back byte for byte.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/openssl_ca.hpp"
#include "tests/support/test_support.hpp"

namespace {

namespace fs = std::filesystem;
using norvan::testing::ProcessResult;
using norvan::testing::read_text;
using norvan::testing::run_norvan;
using norvan::testing::run_openssl;
using norvan::testing::TempDir;

const fs::path kKeys = fs::path(NORVAN_TEST_DATA_DIR) / "signing";
const fs::path kData = kKeys / "rfc8551";
const std::string kRoot = (kKeys / "root-ca.pem").string();

ProcessResult verify(const fs::path& message, std::vector<std::string> options = {}) {
  std::vector<std::string> args = {"verify", "-t", kRoot};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(message.string());
  return run_norvan(args);
}

TEST(Rfc8551Command, ProducerMessagesVerifyOnlyInTheMode) {
  for (const char* name : {"openssl-text-clear.eml", "nss-text-opaque.eml", "gpgsm-mixed-clear.eml",
                           "python-mixed-clear.eml", "nss-mixed-clear.eml"}) {
    SCOPED_TRACE(name);
    const ProcessResult verified = verify(kData / name, {"--rfc8551"});
    EXPECT_EQ(verified.exit_status, 0) << verified.err;
    EXPECT_FALSE(verified.out.empty());
    const ProcessResult at_signing = verify(kData / name, {"--rfc8551", "--at-time", "signing-time"});
    EXPECT_EQ(at_signing.exit_status, 0) << at_signing.err;
    EXPECT_EQ(at_signing.out, verified.out);
  }
  // The text entities come back as the payload with --body.
  for (const char* name : {"openssl-text-clear.eml", "nss-text-opaque.eml"}) {
    SCOPED_TRACE(name);
    const ProcessResult body = verify(kData / name, {"--rfc8551", "--body"});
    EXPECT_EQ(body.exit_status, 0) << body.err;
    EXPECT_EQ(body.out, read_text(kData / "payload.txt"));
  }
  // The mixed entity comes back as it was signed.
  EXPECT_EQ(verify(kData / "python-mixed-clear.eml", {"--rfc8551"}).out,
            read_text(kData / "mixed-entity.txt"));
  // Without the mode the signature covers other bytes than the design's format signs.
  for (const char* name : {"openssl-text-clear.eml", "gpgsm-mixed-clear.eml"}) {
    SCOPED_TRACE(name);
    const ProcessResult plain = verify(kData / name);
    EXPECT_EQ(plain.exit_status, 1);
    EXPECT_TRUE(plain.err.starts_with("HashValueError: ")) << plain.err;
    EXPECT_EQ(plain.out, "");
  }
}

TEST(Rfc8551Command, BatchVerifiesEachMessageInTheMode) {
  TempDir dir;
  const std::string text = (kData / "openssl-text-clear.eml").string();
  const std::string opaque = (kData / "nss-text-opaque.eml").string();
  const std::string design_format = (kKeys / "openssl-ec-stream.eml").string();
  const ProcessResult batch = run_norvan({"verify", "--rfc8551", "--body", "-t", kRoot, "--output-dir",
                                          dir.path().string(), text, opaque, design_format});
  EXPECT_EQ(batch.exit_status, 1);
  EXPECT_EQ(batch.err,
            design_format + ": HashValueError: Different hash values for raw and signed payload digests\n");
  EXPECT_EQ(read_text(dir / "openssl-text-clear"), read_text(kData / "payload.txt"));
  EXPECT_EQ(read_text(dir / "nss-text-opaque"), read_text(kData / "payload.txt"));
  EXPECT_FALSE(fs::exists(dir / "openssl-ec-stream"));
}

TEST(Rfc8551Command, SignedMessagesVerifyWithOpensslAndComeBackByteForByte) {
  TempDir dir;
  const std::string cert = (kKeys / "ec-signer.pem").string();
  const std::string key = (kKeys / "ec-signer.key").string();
  const std::string payload = (kData / "payload.txt").string();
  const std::string entity = (kData / "mixed-entity.txt").string();
  struct Case {
    std::string name;
    std::vector<std::string> flags;
    std::string input;
  };
  const Case cases[] = {{"clear", {"--rfc8551"}, payload},
                        {"opaque", {"--rfc8551", "--opaque"}, payload},
                        {"entity", {"--rfc8551", "--entity"}, entity},
                        {"entity-opaque", {"--rfc8551", "--entity", "--opaque"}, entity}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string message = (dir / (test.name + ".eml")).string();
    std::vector<std::string> args = {"sign", "-c", cert, "-k", key, "-o", message};
    args.insert(args.end(), test.flags.begin(), test.flags.end());
    args.push_back(test.input);
    const ProcessResult signed_ = run_norvan(args);
    ASSERT_EQ(signed_.exit_status, 0) << signed_.err;

    const std::string by_openssl = (dir / (test.name + ".openssl")).string();
    run_openssl({"smime", "-verify", "-CAfile", kRoot, "-in", message, "-out", by_openssl});
    const ProcessResult entity_back = verify(message, {"--rfc8551"});
    EXPECT_EQ(entity_back.exit_status, 0) << entity_back.err;
    if (test.input == payload) {
      EXPECT_EQ(verify(message, {"--rfc8551", "--body"}).out, read_text(payload));
    } else {
      EXPECT_EQ(entity_back.out, read_text(entity));  // the entity is CR LF already
    }
    EXPECT_EQ(verify(message).exit_status, 1);
  }
}

TEST(Rfc8551Command, ModeOnlyOptionsAreUsageErrors) {
  TempDir dir;
  const std::string cert = (kKeys / "ec-signer.pem").string();
  const std::string key = (kKeys / "ec-signer.key").string();
  const fs::path output = dir / "message.eml";
  for (const char* flag : {"--entity", "--opaque"}) {
    const ProcessResult refused = run_norvan(
        {"sign", "-c", cert, "-k", key, flag, "-o", output.string(), (kData / "payload.txt").string()});
    EXPECT_EQ(refused.exit_status, 2) << flag;
    EXPECT_NE(refused.err.find(std::string(flag) + " requires --rfc8551"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(output));
  }
  const ProcessResult body = verify(kData / "openssl-text-clear.eml", {"--body"});
  EXPECT_EQ(body.exit_status, 2);
  EXPECT_NE(body.err.find("--body requires --rfc8551"), std::string::npos) << body.err;
  // An --entity input without a header block is refused and nothing is written.
  const ProcessResult no_header = run_norvan({"sign", "-c", cert, "-k", key, "--rfc8551", "--entity", "-o",
                                              output.string(), (kData / "payload.txt").string()});
  EXPECT_EQ(no_header.exit_status, 1);
  EXPECT_TRUE(no_header.err.starts_with("The entity to sign does not start with a MIME header field"))
      << no_header.err;
  EXPECT_FALSE(fs::exists(output));
}

}  // namespace
