#include "norvan/common/files.hpp"

#include "norvan/common/temporary_file.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace norvan;
using norvan::testing::expect_error;
using norvan::testing::TempDir;

TEST(ReadFile, InputsThatAreNeverLargeAreRefusedBeyondTheLimit) {
  TempDir dir;
  const auto file = dir / "key.pem";
  norvan::testing::write_file(file, "0123456789");
  EXPECT_EQ(read_file(file, "key", 10), to_bytes("0123456789"));
  expect_error<FileError>([&] { read_file(file, "key", 9); },
                          "Cannot read key '" + file.string() + "': it is larger than 9 bytes, the limit for this input");

  // A huge regular file is refused by its size, before anything is read.
  const auto sparse = dir / "sparse.toml";
  { std::ofstream(sparse).flush(); }
  fs::resize_file(sparse, std::uintmax_t{1} << 40);
  expect_error<FileError>([&] { read_file(sparse, "the project file"); },
                          "Cannot read the project file '" + sparse.string() +
                              "': it is larger than 16 MiB, the limit for this input");

  // An endless device is read only up to the limit.
  expect_error<FileError>([] { read_file("/dev/zero", "certificate file"); },
                          "Cannot read certificate file '/dev/zero': it is larger than 16 MiB");
}

// Writes `text` into the FIFO `path` in pieces of `piece` bytes, from a thread of its own; the
// reader sees many short reads, as from a pipe.
std::thread feed_fifo(const fs::path& path, std::string text, std::size_t piece) {
  return std::thread([path, text = std::move(text), piece] {
    sigset_t pipe_signal;  // a reader that stopped early makes write() fail, not the process end
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    for (std::size_t at = 0; at < text.size(); at += piece) {
      if (::write(fd, text.data() + at, std::min(piece, text.size() - at)) < 0) break;  // reader gone
    }
    ::close(fd);
  });
}

TEST(ReadFile, PipesAreReadWholeUpToTheLimitInEveryWay) {
  TempDir dir;
  const auto fifo = dir / "key.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string text(200000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);

  // Several times the first buffer, in odd pieces: every byte arrives, in order.
  std::thread writer = feed_fifo(fifo, text, 4093);
  EXPECT_EQ(read_file(fifo, "key", text.size()), to_bytes(text));
  writer.join();

  writer = feed_fifo(fifo, text, 7000);
  EXPECT_EQ(read_secret_file(fifo, "private key file").bytes(), to_bytes(text));
  writer.join();

  // One byte over the limit is refused, also when the buffer had to grow to the limit first.
  writer = feed_fifo(fifo, text, 4096);
  expect_error<FileError>([&] { read_file(fifo, "key", text.size() - 1); },
                          "Cannot read key '" + fifo.string() + "': it is larger than 199999 bytes");
  writer.join();
}

TEST(ReadFile, ErrorsNameTheFileAndTheReason) {
  TempDir dir;
  expect_error<FileError>([&] { read_file(dir / "missing.pem", "private key file"); },
                          "Cannot read private key file '" + (dir / "missing.pem").string() +
                              "': No such file or directory");
  expect_error<FileError>([&] { read_file(dir.path(), "certificate file"); },
                          "Cannot read certificate file '" + dir.path().string() + "': Is a directory");
}

TEST(TemporaryFile, HoldsWhatWasWrittenAndHasNoName) {
  TempDir dir;
  const char* saved = std::getenv("TMPDIR");
  const std::string saved_value = saved != nullptr ? saved : "";
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  {
    TemporaryFile spool("the message");
    spool.write(to_bytes("spooled "));
    spool.write(to_bytes("bytes"));
    EXPECT_TRUE(fs::is_empty(dir.path()));  // no name, not even for a moment
    spool.rewind();
    std::uint8_t buffer[32];
    const std::size_t count = spool.read(buffer);
    EXPECT_EQ(std::string(buffer, buffer + count), "spooled bytes");
    EXPECT_EQ(norvan::testing::read_text(spool.path()), "spooled bytes");  // reopened by its path
    struct stat info {};
    ASSERT_EQ(::fstat(spool.fd(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);
  }
  ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
  expect_error<FileError>([] { TemporaryFile("the message from standard input"); },
                          "Cannot create a temporary file for the message from standard input in '");
  if (saved != nullptr) {
    ::setenv("TMPDIR", saved_value.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

}  // namespace
