#include "norvan/common/pending_output.hpp"

#include "norvan/common/fd.hpp"
#include "norvan/common/input.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace norvan;
using norvan::testing::read_text;
using norvan::testing::TempDir;

off_t size_of(int fd) {
  struct stat info {};
  EXPECT_EQ(::fstat(fd, &info), 0);
  return info.st_size;
}

// A regular file is replaced only at commit; destroyed before, the output leaves the old file.
TEST(PendingOutput, ARegularFileAppearsOnlyAtCommit) {
  TempDir dir;
  const fs::path target = dir / "payload.txt";
  norvan::testing::write_file(target, "old");
  {
    FileWriter output(target);
    PendingOutput payload(output, "the payload");
    payload.write(as_bytes("new "));
    payload.write(as_bytes("payload"));
    EXPECT_EQ(read_text(target), "old");
  }
  EXPECT_EQ(read_text(target), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  {
    FileWriter output(target);
    PendingOutput payload(output, "the payload");
    payload.write(as_bytes("new "));
    payload.write(as_bytes("payload"));
    payload.commit();
  }
  EXPECT_EQ(read_text(target), "new payload");
}

// Written in place (here a descriptor of this process, as /dev/stdout would be), nothing
// reaches the destination before commit: small outputs are held in memory, large ones in a
// temporary file; an output never committed never arrives.
TEST(PendingOutput, InPlaceDestinationsReceiveNothingBeforeCommit) {
  TempDir dir;
  for (const std::size_t size : {std::size_t{5}, kSmallFileLimit + 100}) {
    const FileDescriptor destination(::open((dir / "destination").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(destination);
    const fs::path target = "/dev/fd/" + std::to_string(destination.get());
    std::string expected;
    for (std::size_t index = 0; expected.size() < size; ++index) expected += std::to_string(index) + ",";
    expected.resize(size);
    {
      FileWriter output(target);
      PendingOutput payload(output, "the payload");
      for (std::size_t at = 0; at < size; at += 65536) payload.write(as_bytes(std::string_view(expected).substr(at, 65536)));
      EXPECT_EQ(size_of(destination.get()), 0) << size;
    }
    EXPECT_EQ(size_of(destination.get()), 0) << size;
    {
      FileWriter output(target);
      PendingOutput payload(output, "the payload");
      for (std::size_t at = 0; at < size; at += 65536) payload.write(as_bytes(std::string_view(expected).substr(at, 65536)));
      EXPECT_EQ(size_of(destination.get()), 0) << size;
      payload.commit();
    }
    EXPECT_TRUE(read_text(dir / "destination") == expected) << size;
  }
}

}  // namespace
