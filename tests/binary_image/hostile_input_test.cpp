// Hostile input for the build tooling: project files that are not UTF-8, nest absurdly deep
// or hold huge values, and project directories whose work files are symbolic links pointing
// elsewhere. Each ends in a clear error or a correct result; nothing outside "_tmp" is
// deleted.

#include "norvan/binary_image/drovane.hpp"
#include "norvan/binary_image/kelvory.hpp"
#include "norvan/common/files.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace norvan::binary_image;
using drovane::ConversionError;
using drovane::convert_drovane;
using drovane::MissingKeyError;
using norvan::testing::read_text;
using norvan::testing::TempDir;
using norvan::testing::expect_error;
using norvan::testing::write_file;

constexpr const char* kRequired =
    "[project]\nname = \"n\"\nversion = \"1\"\ndependencies = []\nrequires-python = \">=3.10\"\n";


std::string repeated(const std::string& piece, std::size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (std::size_t i = 0; i < count; ++i) text += piece;
  return text;
}

class HostileProjectFile : public ::testing::Test {
 protected:
  // Converts `text`; the output must not appear when the conversion fails.
  void convert(const std::string& text) {
    write_file(input_, text);
    convert_drovane(input_, output_);
  }
  void expect_refused(const std::string& text, const std::string& fragment) {
    expect_error<ConversionError>([&] { convert(text); }, fragment);
    EXPECT_FALSE(fs::exists(output_));
  }

  TempDir dir_;
  fs::path input_ = dir_ / "pyproject.toml";
  fs::path output_ = dir_ / "hatch_pyproject.toml";
};

TEST_F(HostileProjectFile, EmptyOrMissingInputGivesClearErrors) {
  expect_error<MissingKeyError>([&] { convert(""); }, "Missing key 'project' in '" + input_.string() + "'");
  expect_error<norvan::FileError>([&] { convert_drovane(dir_ / "absent.toml", output_); }, "absent.toml");
  EXPECT_FALSE(fs::exists(output_));
}

TEST_F(HostileProjectFile, TextThatIsNotUtf8IsRefusedBeforeParsing) {
  // toml11 read past its buffer on invalid UTF-8 in literal strings (found by fuzz_pyproject).
  const std::string where = "The project file '" + input_.string() + "' is not UTF-8 text: invalid byte sequence at byte ";
  expect_refused(std::string(kRequired) + "description = '\xF5\xF5'\n", where + "95 (line 6)");
  expect_refused(std::string(kRequired) + "description = '\xC3", where + "95 (line 6)");   // cut off at the end
  expect_refused("# \xC0\xAF overlong\n" + std::string(kRequired), where + "2 (line 1)");  // overlong "/"
  expect_refused("# \xED\xA0\x80 surrogate\n" + std::string(kRequired), where + "2 (line 1)");
  expect_refused("name = \"\xF4\x90\x80\x80\"\n", where + "8 (line 1)");  // beyond U+10FFFF

  convert(std::string(kRequired) + "description = 'caf\xC3\xA9 \xF0\x9F\x94\x8F'\n");
  EXPECT_NE(read_text(output_).find("caf\xC3\xA9 \xF0\x9F\x94\x8F"), std::string::npos);
}

TEST_F(HostileProjectFile, KeysThatExtendAnEmptyArrayAreRefused) {
  // toml11 took the last element of the array without checking for one (found by fuzz_pyproject).
  const std::string message = "Invalid TOML in '" + input_.string() + "': a key or table extends an empty array";
  expect_refused("project = []\nproject.name = \"n\"\n", message);
  expect_refused("project = [ # none\n]\n[project.urls]\nhome = \"h\"\n", message);
  expect_refused(std::string(kRequired) + "keywords = []\n[project.keywords.x]\n", message);
}

TEST_F(HostileProjectFile, DeepNestingIsRefusedBeforeItCanOverflowTheStack) {
  const std::string deep = "levels deep (line ";
  const std::size_t n = 100000;
  expect_refused(std::string(kRequired) + "keywords = " + repeated("[", n) + repeated("]", n) + "\n", deep + "6)");
  expect_refused(std::string(kRequired) + "readme = " + repeated("{ a = ", n) + "1" + repeated("}", n) + "\n",
                 deep + "6)");
  expect_refused(std::string(kRequired) + "readme = " + repeated("[", n) + "\n", deep + "6)");  // never closed
  expect_refused(std::string(kRequired) + "a" + repeated(".a", n) + " = 1\n", deep + "6)");
  expect_refused("[project" + repeated(".a", n) + "]\n", deep + "1)");

  // Brackets, quotes and dots inside strings and comments do not count.
  const std::string inert = repeated("[{.", 1000);
  convert(std::string(kRequired) + "description = \"" + inert + "\"\nreadme = '" + inert + "'\nkeywords = [\"\"\"" +
          inert + "\n\"\"\"\"\"]\n# " + inert + "\n");
  EXPECT_NE(read_text(output_).find(inert), std::string::npos);

  // Tables nested to the limit convert as fast as flat ones (each level once used to double
  // the work: these took longer than the age of the universe).
  convert(std::string(kRequired) + "[tool" + repeated(".a", 97) + "]\nb = 1\n");
  convert(std::string(kRequired) + "[tool]\n" + repeated("a.", 97) + "b = 1\nc = " + repeated("{ d = ", 97) + "1" +
          repeated("}", 97) + "\n");
  EXPECT_NE(read_text(output_).find("requires-python = \">=3.10\""), std::string::npos);

  // Fifty levels are fine and come out unchanged.
  convert(std::string(kRequired) + "classifiers = " + repeated("[", 50) + "1.5" + repeated("]", 50) + "\n");
  EXPECT_NE(read_text(output_).find("classifiers = " + repeated("[", 50) + "1.5" + repeated("]", 50)), std::string::npos);
}

TEST_F(HostileProjectFile, TenMegabyteStringIsCopiedWhole) {
  const std::string big(10u << 20, 'x');
  convert(std::string(kRequired) + "description = \"" + big + "\"\n");
  EXPECT_NE(read_text(output_).find("description = \"" + big + "\"\n"), std::string::npos);
}

// A project directory prepared by an attacker: "_tmp" and the stale work files are symbolic
// links into a directory outside the project, which must survive the set-up untouched.
class HostileProjectDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(outside_ / "victim_dir");
    write_file(outside_ / "poetry_pyproject.toml", "outside poetry");
    write_file(outside_ / "hatch_pyproject.toml", "outside hatch");
    write_file(outside_ / "victim_dir" / "precious", "precious");
    write_file(project_ / "pyproject.toml", kRequired);
  }
  void TearDown() override { fs::current_path(saved_cwd_); }

  void run_setup(const std::function<void()>& work = [] {}) {
    nox::DefaultSession session;
    kelvory::hatch_project_setup(session, work, noxconfig::ProjectConfig{project_.path()});
  }

  void expect_outside_untouched() {
    EXPECT_EQ(read_text(outside_ / "poetry_pyproject.toml"), "outside poetry");
    EXPECT_EQ(read_text(outside_ / "hatch_pyproject.toml"), "outside hatch");
    EXPECT_EQ(read_text(outside_ / "victim_dir" / "precious"), "precious");
    EXPECT_EQ(read_text(project_ / "pyproject.toml"), kRequired);
    EXPECT_FALSE(fs::exists(fs::symlink_status(project_ / "_tmp")));
  }

  TempDir project_;
  TempDir outside_;
  fs::path saved_cwd_ = fs::current_path();
};

TEST_F(HostileProjectDirectory, WorkDirectoryLinkedOutsideIsReplacedNotFollowed) {
  fs::create_directory_symlink(outside_.path(), project_ / "_tmp");
  run_setup();
  expect_outside_untouched();
}

TEST_F(HostileProjectDirectory, StaleWorkFilesLinkedOutsideAreUnlinkedNotFollowed) {
  fs::create_directory(project_ / "_tmp");
  fs::create_symlink(outside_ / "poetry_pyproject.toml", project_ / "_tmp" / "poetry_pyproject.toml");
  fs::create_symlink(outside_ / "hatch_pyproject.toml", project_ / "_tmp" / "hatch_pyproject.toml");
  fs::create_directory_symlink(outside_ / "victim_dir", project_ / "_tmp" / "escape");
  run_setup();
  expect_outside_untouched();
}

TEST_F(HostileProjectDirectory, LinksPlantedDuringTheWorkAreRemovedAsLinks) {
  expect_error<std::runtime_error>(
      [&] {
        run_setup([&] {
          fs::create_directory_symlink(outside_ / "victim_dir", project_ / "_tmp" / "escape");
          fs::create_symlink(outside_ / "hatch_pyproject.toml", project_ / "_tmp" / "link");
          throw std::runtime_error("work failed");
        });
      },
      "work failed");
  expect_outside_untouched();
}

TEST_F(HostileProjectDirectory, ProjectFileThatFailsToConvertCleansUpOnlyItsOwnFiles) {
  fs::create_directory_symlink(outside_.path(), project_ / "_tmp");
  const std::string hostile = std::string(kRequired) + "keywords = " + repeated("[", 10000) + "\n";
  write_file(project_ / "pyproject.toml", hostile);
  expect_error<ConversionError>([&] { run_setup(); }, "levels deep");
  EXPECT_EQ(read_text(project_ / "pyproject.toml"), hostile);
  write_file(project_ / "pyproject.toml", kRequired);
  expect_outside_untouched();
}

}  // namespace
