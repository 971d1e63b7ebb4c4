#include "norvan/common/input.hpp"

#include "norvan/common/files.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace norvan;
using norvan::testing::expect_error;
using norvan::testing::TempDir;

// A pipe whose write end a thread fills with `content` and closes.
class FedPipe {
 public:
  explicit FedPipe(std::string content) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    read_end_ = FileDescriptor(ends[0]);
    writer_ = std::thread([fd = ends[1], content = std::move(content)] {
      (void)write_all(fd, as_bytes(content));
      ::close(fd);
    });
  }
  ~FedPipe() {
    read_end_.reset();  // a writer blocked on a full pipe gets EPIPE
    writer_.join();
  }
  int fd() const { return read_end_.get(); }

 private:
  FileDescriptor read_end_;
  std::thread writer_;
};

std::string read_all_of(TemporaryFile& file) {
  std::string text;
  Bytes buffer(1 << 16);
  while (const std::size_t count = file.read(buffer)) text.append(as_text(ByteView(buffer).first(count)));
  return text;
}

TEST(Input, FilesAreReadInPiecesOrByOffsetAndNamedInErrors) {
  TempDir dir;
  norvan::testing::write_file(dir / "message", "0123456789");
  Input input = Input::file(dir / "message", "message file");
  EXPECT_TRUE(input.is_regular());
  EXPECT_EQ(input.regular_size(), 10u);
  std::uint8_t piece[4];
  ASSERT_EQ(input.read(piece), 4u);
  EXPECT_EQ(as_text(ByteView(piece)), "0123");
  // Reading by offset leaves the position alone; seek moves it.
  ASSERT_EQ(input.read_at(8, piece), 2u);
  EXPECT_EQ(as_text(ByteView(piece).first(2)), "89");
  EXPECT_EQ(as_text(input.read_all()), "456789");
  input.seek(2);
  EXPECT_EQ(as_text(input.read_all()), "23456789");

  std::filesystem::create_directory(dir / "folder");
  expect_error<FileError>([&] { Input::file(dir / "folder", "message file"); },
                          "Cannot read message file '" + (dir / "folder").string() + "': Is a directory");
  expect_error<FileError>([&] { Input::file(dir / "missing", "payload file"); },
                          "Cannot read payload file '" + (dir / "missing").string() + "': No such file or directory");
  // A descriptor that cannot be read names what was read from it.
  Input closed = Input::descriptor(987, "the passphrase");
  expect_error<FileError>([&] { closed.read(piece); }, "Cannot read the passphrase: Bad file descriptor");
}

TEST(Input, StreamsAreBoundedAndSpooledBeyondTheLimit) {
  {
    FedPipe pipe("small message");
    Input input = Input::descriptor(pipe.fd(), "the message");
    EXPECT_FALSE(input.is_regular());
    EXPECT_EQ(input.regular_size(), std::nullopt);
    std::size_t reported = 0;
    SpooledInput spooled = read_or_spool(input, "the message", [&](std::size_t bytes) { reported += bytes; });
    EXPECT_EQ(as_text(spooled.memory), "small message");
    EXPECT_FALSE(spooled.file.has_value());
    EXPECT_EQ(reported, 13u);
  }
  {
    // One byte over the limit: all of it goes to the temporary file, in order.
    std::string large(kSmallFileLimit + 1, 'a');
    large.back() = 'z';
    large[kSmallFileLimit / 2] = 'm';
    FedPipe pipe(large);
    Input input = Input::descriptor(pipe.fd(), "the message");
    SpooledInput spooled = read_or_spool(input, "the message");
    EXPECT_TRUE(spooled.memory.empty());
    ASSERT_TRUE(spooled.file.has_value());
    EXPECT_TRUE(read_all_of(*spooled.file) == large);
  }
  {
    // read_up_to stops at its limit exactly and says whether the input ended.
    FedPipe pipe("0123456789");
    Input input = Input::descriptor(pipe.fd(), "the message");
    Bytes buffer;
    EXPECT_FALSE(input.read_up_to(buffer, 4));
    EXPECT_EQ(as_text(buffer), "0123");
    EXPECT_TRUE(input.read_up_to(buffer, 100));
    EXPECT_EQ(as_text(buffer), "0123456789");
  }
  {
    FedPipe pipe(std::string(100, 'k'));
    Input input = Input::descriptor(pipe.fd(), "the key");
    expect_error<FileError>([&] { input.read_secret(99); },
                            "Cannot read the key: it is larger than 99 bytes, the limit for this input");
  }
}

}  // namespace
