// Libraries opened on first use: the errors that name the library, and a table built once per
// process that a failed first load does not poison.

#include "norvan/common/lazy_library.hpp"

#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

namespace norvan::detail {
namespace {

TEST(LazyLibrary, ErrorsNameTheLibraryAndTheFunction) {
  testing::expect_error<Error>([] { LazyLibrary("Example", "libnorvan-absent-example.so.0"); },
                               "Example library 'libnorvan-absent-example.so.0' could not be loaded: ");
  const LazyLibrary libm("libm", "libm.so.6");
  double (*cosine)(double) = nullptr;
  libm.resolve("cos", cosine);
  EXPECT_EQ(cosine(0.0), 1.0);
  void (*absent)() = nullptr;
  testing::expect_error<Error>([&] { libm.resolve("norvan_absent_function", absent); },
                               "libm library 'libm.so.6' lacks the function 'norvan_absent_function': ");
  EXPECT_EQ(absent, nullptr);
}

std::atomic<int> attempts{0};

struct Table {
  int built_on_attempt;
};

// Fails on its first call, as a library that is missing at first would.
Table load_on_second_attempt() {
  const int attempt = ++attempts;
  if (attempt == 1) throw Error(ErrorCode::file, "not yet");
  return Table{attempt};
}

TEST(LazyLibrary, ATableIsBuiltOnceAfterAFailedAttempt) {
  testing::expect_error<Error>([] { (void)loaded_once<Table, load_on_second_attempt>(); }, "not yet");
  std::vector<const Table*> tables(8, nullptr);
  std::vector<std::thread> threads;
  for (auto& table : tables) threads.emplace_back([&table] { table = &loaded_once<Table, load_on_second_attempt>(); });
  for (auto& thread : threads) thread.join();
  for (const Table* table : tables) EXPECT_EQ(table, tables.front());
  EXPECT_EQ(tables.front()->built_on_attempt, 2);
  EXPECT_EQ(attempts.load(), 2);
}

}  // namespace
}  // namespace norvan::detail
