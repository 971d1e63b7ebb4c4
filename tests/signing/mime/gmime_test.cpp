// GMime opened on first use: the errors of a missing library or function, one table for all
// threads, and a program that never opens it where no message is read.

#include "norvan/common/error.hpp"
#include "norvan/signing/mime/gmime.hpp"
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

// The loader's own record (LD_DEBUG=files) of the shared objects the program loaded.
std::string loaded_objects(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"env", "LD_DEBUG=files", NORVAN_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto result = run_process(argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.err;
}

bool loads_gmime(const std::string& record) { return record.find("libgmime") != std::string::npos; }

}  // namespace

TEST(GMimeLoading, AMissingLibraryOrFunctionIsAnErrorNamingTheLibrary) {
  const norvan::Error missing = load_error("libnorvan-absent-gmime.so.0");
  EXPECT_EQ(missing.code(), norvan::ErrorCode::file);
  EXPECT_EQ(std::string(missing.what()).rfind("GMime library 'libnorvan-absent-gmime.so.0' could not be loaded: ", 0), 0u)
      << missing.what();
  EXPECT_NE(std::string(missing.what()).find("cannot open shared object file"), std::string::npos) << missing.what();

  // A library that loads but is not GMime: the first function looked up is missing.
  const norvan::Error not_gmime = load_error("libc.so.6");
  EXPECT_EQ(not_gmime.code(), norvan::ErrorCode::file);
  EXPECT_EQ(std::string(not_gmime.what()).rfind("GMime library 'libc.so.6' lacks the function 'g_mime_init': ", 0), 0u)
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
  const std::string record =
      loaded_objects({"sign", "-c", (kSigningData / "ec-signer.pem").string(), "-k", (kSigningData / "ec-signer.key").string(),
                      "-o", (dir / "message").string(), (dir / "payload").string()});
  EXPECT_FALSE(loads_gmime(record)) << record;
  EXPECT_TRUE(std::filesystem::exists(dir / "message"));
}
