// GMime opened on first use: the errors of a missing library or function, one table for all
// threads, and a program that opens it neither to sign nor to verify messages in the plain form.

#include "norvan/signing/mime/gmime.hpp"

#include "norvan/common/error.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace mime = norvan::signing::mime::detail;
using norvan::testing::run_process;

const std::filesystem::path kSigningData = std::filesystem::path(NORVAN_TEST_DATA_DIR) / "signing";

norvan::Error load_error(const std::string& soname) {
  try {
    mime::load_gmime(soname);
  } catch (const norvan::Error& error) {
    return error;
  }
  ADD_FAILURE() << "loading " << soname << " did not fail";
  return norvan::Error(norvan::ErrorCode::file, "");
}

// The loader's own record (LD_DEBUG=files) of the shared objects the program loaded; the
// program must end with `status`.
std::string loaded_objects(const std::vector<std::string>& args, int status = 0) {
  std::vector<std::string> argv{"env", "LD_DEBUG=files", NORVAN_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto result = run_process(argv);
  EXPECT_EQ(result.exit_status, status) << result.err;
  return result.err;
}

bool loads_gmime(const std::string& record) { return record.find("libgmime") != std::string::npos; }

// Signs a short payload with the fixture signer into dir/message.
std::filesystem::path signed_message(const norvan::testing::TempDir& dir) {
  norvan::testing::write_file(dir / "payload", "one line\n");
  const auto result = norvan::testing::run_norvan({"sign", "-c", (kSigningData / "ec-signer.pem").string(),
                                                   "-k", (kSigningData / "ec-signer.key").string(), "-o",
                                                   (dir / "message").string(), (dir / "payload").string()});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return dir / "message";
}

std::vector<std::string> verify_args(const std::filesystem::path& message,
                                     const norvan::testing::TempDir& dir) {
  return {"verify",        "-t", (kSigningData / "root-ca.pem").string(), "-o", (dir / "out").string(),
          message.string()};
}

}  // namespace

TEST(GMimeLoading, AMissingLibraryOrFunctionIsAnErrorNamingTheLibrary) {
  const norvan::Error missing = load_error("libnorvan-absent-gmime.so.0");
  EXPECT_EQ(missing.code(), norvan::ErrorCode::file);
  EXPECT_EQ(std::string(missing.what())
                .rfind("GMime library 'libnorvan-absent-gmime.so.0' could not be loaded: ", 0),
            0u)
      << missing.what();
  EXPECT_NE(std::string(missing.what()).find("cannot open shared object file"), std::string::npos)
      << missing.what();

  // A library that loads but is not GMime: the first function looked up is missing.
  const norvan::Error not_gmime = load_error("libc.so.6");
  EXPECT_EQ(not_gmime.code(), norvan::ErrorCode::file);
  EXPECT_EQ(
      std::string(not_gmime.what()).rfind("GMime library 'libc.so.6' lacks the function 'g_mime_init': ", 0),
      0u)
      << not_gmime.what();
}

TEST(GMimeLoading, ConcurrentFirstUsesShareOneTableOfTheLinkedLibrary) {
  std::vector<const mime::GMimeApi*> tables(8, nullptr);
  std::vector<std::thread> threads;
  for (auto& table : tables) threads.emplace_back([&table] { table = &mime::gmime(); });
  for (auto& thread : threads) thread.join();
  for (const auto* table : tables) EXPECT_EQ(table, tables.front());
  // This test program links GMime: opened by the configured SONAME, it is the same library
  // (the same registered types), initialised.
  EXPECT_EQ(tables.front()->multipart_get_type(), g_mime_multipart_get_type());
  EXPECT_EQ(tables.front()->object_unref, &g_object_unref);
  EXPECT_NE(g_mime_format_options_get_default(), nullptr);
}

TEST(GMimeLoading, SigningLoadsNoGMime) {
  norvan::testing::TempDir dir;
  norvan::testing::write_file(dir / "payload", "one line\n");
  const std::string record = loaded_objects({"sign", "-c", (kSigningData / "ec-signer.pem").string(), "-k",
                                             (kSigningData / "ec-signer.key").string(), "-o",
                                             (dir / "message").string(), (dir / "payload").string()});
  EXPECT_FALSE(loads_gmime(record)) << record;
  EXPECT_TRUE(std::filesystem::exists(dir / "message"));
}

TEST(GMimeLoading, VerifyingOrdinaryMessagesLoadsNoGMime) {
  norvan::testing::TempDir dir;
  const std::filesystem::path own = signed_message(dir);
  EXPECT_FALSE(loads_gmime(loaded_objects(verify_args(own, dir))));
  EXPECT_EQ(norvan::testing::read_text(dir / "out"), "one line\n");

  // The messages of other producers (some of which fail on their hash, by their form).
  int fixtures = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kSigningData)) {
    if (entry.path().extension() != ".eml") continue;
    ++fixtures;
    const bool fails = entry.path().filename().string().rfind("python-", 0) == 0 &&
                       entry.path().filename().string().find("binary") == std::string::npos;
    const std::string record = loaded_objects(verify_args(entry.path(), dir), fails ? 1 : 0);
    EXPECT_FALSE(loads_gmime(record)) << entry.path();
  }
  EXPECT_GE(fixtures, 18);
}

TEST(GMimeLoading, AHeaderOutsideThePlainFormIsReadWithGMime) {
  // A comment among the parameters of the signature's Content-Type: GMime reads the field, and the message
  // verifies.
  norvan::testing::TempDir dir;
  std::string text = norvan::testing::read_text(signed_message(dir));
  const std::string plain = "Content-Type: application/x-pkcs7-signature;";
  const std::size_t at = text.find(plain);
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, plain.size(), "Content-Type: application/x-pkcs7-signature; (detached)");
  norvan::testing::write_file(dir / "commented", text);
  EXPECT_TRUE(loads_gmime(loaded_objects(verify_args(dir / "commented", dir))));
  EXPECT_EQ(norvan::testing::read_text(dir / "out"), "one line\n");
}
