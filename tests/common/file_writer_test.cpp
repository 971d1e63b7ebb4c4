#include "norvan/common/file_writer.hpp"

#include "norvan/common/files.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace norvan;
using norvan::testing::expect_error;
using norvan::testing::read_text;
using norvan::testing::TempDir;

mode_t mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

std::vector<std::string> entries_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Reads everything a FIFO receives, in the background.
std::future<std::string> drain_fifo(const fs::path& fifo) {
  return std::async(std::launch::async, [fifo] { return read_text(fifo); });
}

TEST(FileWriter, SpecialFilesAreWrittenInPlaceAndNeverReplaced) {
  TempDir dir;
  const auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto received = drain_fifo(fifo);
  write_file(fifo, to_bytes("through the pipe"));
  EXPECT_EQ(received.get(), "through the pipe");
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));

  // A symbolic link to a FIFO: the FIFO receives the bytes, the link stays a link.
  fs::create_symlink("fifo", dir / "to-fifo");
  received = drain_fifo(fifo);
  write_file(dir / "to-fifo", to_bytes("via link"));
  EXPECT_EQ(received.get(), "via link");
  EXPECT_TRUE(fs::is_symlink(dir / "to-fifo"));
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));

  // A character device (the null device, made where only this test sees it when we may).
  fs::path device = "/dev/null";
  if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) device = dir / "null";
  fs::create_symlink(device, dir / "to-null");
  for (const fs::path& target : {device, dir / "to-null"}) {
    write_file(target, to_bytes("discarded"));
    EXPECT_TRUE(S_ISCHR(mode_of(device))) << target;
  }
  EXPECT_TRUE(fs::is_symlink(dir / "to-null"));
  EXPECT_EQ(entries_in(dir.path()).size(), device == "/dev/null" ? 3u : 4u);
}

TEST(FileWriter, OwnDescriptorPathsWriteToTheDescriptor) {
  // /dev/stdout points to /proc/self/fd/1; renaming over it (or reopening a file behind it
  // with truncation) would destroy what the shell set up. The descriptor is written as is.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  TempDir dir;
  const std::string by_number = "/proc/self/fd/" + std::to_string(ends[1]);
  fs::create_symlink(by_number, dir / "stdout-like");
  write_file(fs::path("/dev/fd/" + std::to_string(ends[1])), to_bytes("one "));
  write_file(dir / "stdout-like", to_bytes("two"));
  ::close(ends[1]);
  char buffer[16] = {};
  EXPECT_EQ(::read(ends[0], buffer, sizeof buffer), 7);
  EXPECT_EQ(std::string(buffer), "one two");
  ::close(ends[0]);
  EXPECT_TRUE(fs::is_symlink(dir / "stdout-like"));
}

TEST(FileWriter, ReplacesRegularFilesOnlyAtCommitKeepingOwnerAndMode) {
  TempDir dir;
  const auto file = dir / "out.txt";
  norvan::testing::write_file(file, "old contents");
  ::chmod(file.c_str(), 0640);
  {
    FileWriter writer(file);
    writer.write(to_bytes("new "));
    writer.write(to_bytes("contents"));
    // Nothing is visible before commit: no temporary name, the old file intact.
    EXPECT_EQ(entries_in(dir.path()), std::vector<std::string>{"out.txt"});
    EXPECT_EQ(read_text(file), "old contents");
    writer.commit();
  }
  EXPECT_EQ(read_text(file), "new contents");
  EXPECT_EQ(mode_of(file) & 07777, 0640u);
  EXPECT_EQ(entries_in(dir.path()), std::vector<std::string>{"out.txt"});

  // Without commit the file stays as it was and nothing is left behind.
  {
    FileWriter abandoned(file);
    abandoned.write(to_bytes("never seen"));
  }
  EXPECT_EQ(read_text(file), "new contents");
  EXPECT_EQ(entries_in(dir.path()), std::vector<std::string>{"out.txt"});
}

TEST(FileWriter, OwnerOnlyFilesLoseGroupAndOtherBits) {
  TempDir dir;
  const mode_t old_umask = ::umask(022);
  const auto existing = dir / "key.pem";
  norvan::testing::write_file(existing, "world-readable");
  ::chmod(existing.c_str(), 0644);
  write_file(existing, to_bytes("secret"), FileMode::owner_only);
  write_file(dir / "new-key.pem", to_bytes("secret"), FileMode::owner_only);
  write_file(dir / "cert.pem", to_bytes("public"));
  ::umask(old_umask);
  EXPECT_EQ(mode_of(existing) & 07777, 0600u);
  EXPECT_EQ(mode_of(dir / "new-key.pem") & 07777, 0600u);
  EXPECT_EQ(mode_of(dir / "cert.pem") & 07777, 0644u);
}

TEST(FileWriter, LinksLeadToTheFileTheyNameEvenWhenItIsMissing) {
  TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_symlink("real/target.txt", dir / "dangling");
  write_file(dir / "dangling", to_bytes("created"));
  EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
  EXPECT_EQ(read_text(dir / "real" / "target.txt"), "created");
  // A chain of links, the last one absolute.
  fs::create_symlink(dir / "real" / "target.txt", dir / "absolute");
  fs::create_symlink("absolute", dir / "chain");
  write_file(dir / "chain", to_bytes("replaced"));
  EXPECT_EQ(read_text(dir / "real" / "target.txt"), "replaced");
  EXPECT_TRUE(fs::is_symlink(dir / "absolute"));
}

TEST(FileWriter, FailuresNameTheTargetAndTheReason) {
  TempDir dir;
  expect_error<FileError>([] { write_file(fs::path("/dev/full"), to_bytes("x"), FileMode::standard, "the Dockerfile"); },
                          "Cannot write the Dockerfile '/dev/full': No space left on device");
  expect_error<FileError>([&] { write_file(dir.path(), to_bytes("x")); },
                          "Cannot write '" + dir.path().string() + "': Is a directory");
  fs::create_symlink("loop", dir / "loop");
  expect_error<FileError>([&] { write_file(dir / "loop", to_bytes("x")); },
                          "Cannot write '" + (dir / "loop").string() + "': Too many levels of symbolic links");
  expect_error<FileError>([&] { write_file(dir / "no" / "such", to_bytes("x")); },
                          "Cannot write '" + (dir / "no" / "such").string() + "': No such file or directory");
  EXPECT_EQ(entries_in(dir.path()), std::vector<std::string>{"loop"});

  FileWriter writer(dir / "once");
  writer.commit();
  EXPECT_EQ(read_text(dir / "once"), "");
  EXPECT_THROW(writer.commit(), std::logic_error);
  EXPECT_THROW(writer.write(to_bytes("late")), std::logic_error);
}

}  // namespace
