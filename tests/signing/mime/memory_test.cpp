// Peak memory of `norvan verify` on messages built to amplify parsing memory: many tiny parts,
// deep nesting, many header lines. Each must stay within 64 MiB + 4 x its size (measured as
// the child's peak resident set, which also counts this test program's own at the fork, so
// the bound is generous) and end in the error its missing signature dictates.
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace norvan::testing;
namespace fs = std::filesystem;

constexpr long kMiB = 1 << 20;

struct VerifyRun {
  int exit_status = -1;
  long peak_bytes = 0;
};

// Runs `norvan verify` on `message` with standard output and error discarded.
VerifyRun verify_file(const fs::path& message) {
  const std::string root = (fs::path(NORVAN_TEST_DATA_DIR) / "signing" / "root-ca.pem").string();
  std::vector<std::string> args{NORVAN_PROGRAM, "verify", "--trusted-cert", root, message.string()};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  VerifyRun run;
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return run;
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peak_bytes = usage.ru_maxrss * 1024;
  return run;
}

const char* const kSignature =
    "--B\r\nContent-Type: application/pkcs7-signature\r\nContent-Transfer-Encoding: base64\r\n\r\nMAA=\r\n--B--\r\n";

// The messages are written piece by piece, so that this program stays small.
void tiny_parts(std::ostream& out) {
  out << "Content-Type: multipart/mixed; boundary=B\r\n\r\n";
  for (int i = 0; i < 100000; ++i) out << "--B\r\nContent-Type: text/plain\r\n\r\nx\r\n";
  out << kSignature;
}

void nested(std::ostream& out) {
  constexpr int kChains = 1000;
  constexpr int kDepth = 50;
  out << "Content-Type: multipart/mixed; boundary=B\r\n\r\n";
  for (int chain = 0; chain < kChains; ++chain) {
    out << "--B\r\n";
    for (int level = 0; level < kDepth; ++level) {
      out << "Content-Type: multipart/mixed; boundary=L" << level << "\r\n\r\n--L" << level << "\r\n";
    }
    out << "Content-Type: text/plain\r\n\r\nleaf\r\n";
    for (int level = kDepth; level-- > 0;) out << "--L" << level << "--\r\n";
  }
  out << kSignature;
}

void header_lines(std::ostream& out) {
  for (int i = 0; i < 1000000; ++i) out << "X-Field-" << i << ": value\r\n";
  out << "Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nx\r\n" << kSignature;
}

void folded_content_type(std::ostream& out) {
  out << "Content-Type: multipart/mixed";
  for (int i = 0; i < 200000; ++i) out << ";\r\n x-parameter-" << i << "=(comment) v";
  out << "; boundary=B\r\n\r\n--B\r\n\r\nx\r\n" << kSignature;
}

TEST(MessageMemory, AmplifyingStructuresStayWithinTheBound) {
  const TempDir dir;
  const std::pair<const char*, void (*)(std::ostream&)> cases[] = {
      {"100,000 tiny parts", tiny_parts},
      {"1,000 chains 50 deep", nested},
      {"1,000,000 header lines", header_lines},
      {"200,000 parameters", folded_content_type},
  };
  for (const auto& [name, write] : cases) {
    const fs::path path = dir / "message.eml";
    {
      std::ofstream out(path, std::ios::binary);
      write(out);
    }
    const VerifyRun run = verify_file(path);
    // The signature is no SignedData: a malformed signature, found after the whole message.
    EXPECT_EQ(run.exit_status, 2) << name;
    const long bound = 64 * kMiB + 4 * static_cast<long>(fs::file_size(path));
    EXPECT_GT(run.peak_bytes, 0) << name;
    EXPECT_LE(run.peak_bytes, bound) << name << ": " << run.peak_bytes / kMiB << " MiB";
  }
}

}  // namespace
