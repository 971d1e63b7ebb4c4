#include "norvan/binary_image/drovane.hpp"
#include "norvan/common/files.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace norvan::binary_image::drovane;
using norvan::testing::read_text;
using norvan::testing::TempDir;
using norvan::testing::write_file;

const fs::path kRealistic = fs::path(NORVAN_TEST_DATA_DIR) / "binary_image" / "pyproject.toml";

constexpr const char* kBuildSystemTail =
    "\n[build-system]\nbuild-backend = \"hatchling.build\"\nrequires = [\"hatchling\"]\n";

Toml parse_text(const std::string& text, const std::string& name = "pyproject.toml") {
  std::istringstream stream(text);
  return toml::parse<toml::discard_comments, tsl::ordered_map>(stream, name);
}

Toml parse_file(const fs::path& file) { return toml::parse<toml::discard_comments, tsl::ordered_map>(file.string()); }

std::vector<std::string> keys_of(const Toml& table) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : table.as_table()) keys.push_back(key);
  return keys;
}

Toml empty_output() {
  Toml::table_type document;
  document.emplace("project", Toml(Toml::table_type()));
  return Toml(std::move(document));
}

TEST(Drovane, RealisticProjectParsesBackToTheTenKeysWithValuesUnchanged) {
  TempDir dir;
  convert_drovane(kRealistic, dir / "hatch.toml");
  const Toml input = parse_file(kRealistic).at("project");
  const Toml output = parse_file(dir / "hatch.toml");

  EXPECT_EQ(keys_of(output), (std::vector<std::string>{"project", "build-system"}));
  const Toml& project = output.at("project");
  EXPECT_EQ(keys_of(project), (std::vector<std::string>{"name", "version", "description", "readme", "keywords",
                                                        "license", "classifiers", "authors", "dependencies",
                                                        "requires-python"}));
  for (const char* key : {"name", "version", "description", "readme", "keywords", "license", "classifiers",
                          "dependencies", "requires-python"}) {
    EXPECT_EQ(project.at(key), input.at(key)) << key;
  }
  // Order inside copied tables is kept too.
  EXPECT_EQ(keys_of(project.at("readme")), (std::vector<std::string>{"file", "content-type"}));

  // Authors first, then the maintainer with its extra key; no maintainers key of its own.
  const auto& authors = project.at("authors").as_array();
  ASSERT_EQ(authors.size(), 3u);
  EXPECT_EQ(authors[0], input.at("authors").as_array()[0]);
  EXPECT_EQ(authors[1], input.at("authors").as_array()[1]);
  EXPECT_EQ(authors[2], input.at("maintainers").as_array()[0]);

  EXPECT_EQ(output.at("build-system").at("build-backend").as_string().str, "hatchling.build");
  const std::string text = read_text(dir / "hatch.toml");
  EXPECT_TRUE(text.ends_with(kBuildSystemTail));
  for (const char* absent : {"maintainers", "urls", "scripts", "tool", "poetry", "publish.index", "tool.setuptools"}) {
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  }
}

TEST(Drovane, MinimalProjectGetsTheDefaultsByteForByte) {
  TempDir dir;
  write_file(dir / "pyproject.toml",
             "[project]\nname = \"tiny\"\nversion = \"0.1\"\nrequires-python = \">=3.10\"\n"
             "dependencies = [\"attrs >= 23 ; python_version >= '3.10'\"]\n[tool.black]\nline-length = 100\n");
  write_file(dir / "hatch.toml", "old contents that must be replaced entirely, and then some more text\n");
  convert_drovane(dir / "pyproject.toml", dir / "hatch.toml");
  const std::string expected =
      "[project]\n"
      "name = \"tiny\"\n"
      "version = \"0.1\"\n"
      "description = \"\"\n"
      "readme = \"README.md\"\n"
      "keywords = []\n"
      "license = \"LicenseRef-Proprietary\"\n"
      "classifiers = []\n"
      "authors = []\n"
      "dependencies = [\"attrs >= 23 ; python_version >= '3.10'\"]\n"
      "requires-python = \">=3.10\"\n" +
      std::string(kBuildSystemTail);
  EXPECT_EQ(read_text(dir / "hatch.toml"), expected);

  convert_drovane(dir / "pyproject.toml", dir / "again.toml");
  EXPECT_EQ(read_text(dir / "again.toml"), expected);
}

TEST(Drovane, LicenseMapsOnlyTheExactWordProprietary) {
  const auto converted_license = [](const std::string& license_line) {
    const Toml input = parse_text("[project]\n" + license_line + "\n");
    Toml output = empty_output();
    convert_optional_metadata(output, input);
    convert_license(output, input);
    EXPECT_EQ(keys_of(output.at("project"))[3], "license") << "keeps its place";
    return output.at("project").at("license");
  };
  EXPECT_EQ(converted_license("license = \"Proprietary\"").as_string().str, "LicenseRef-Proprietary");
  EXPECT_EQ(converted_license("").as_string().str, "LicenseRef-Proprietary");
  EXPECT_EQ(converted_license("license = \"proprietary\"").as_string().str, "proprietary");
  EXPECT_EQ(converted_license("license = \"MIT OR Apache-2.0\"").as_string().str, "MIT OR Apache-2.0");
  EXPECT_EQ(converted_license("license = \"\"").as_string().str, "");
  EXPECT_EQ(converted_license("license = { text = \"Proprietary\" }"), parse_text("text = \"Proprietary\""));
}

TEST(Drovane, AwkwardValuesAreWrittenAsTomlThatParsesBackUnchanged) {
  TempDir dir;
  write_file(dir / "pyproject.toml", R"TOML(
[project]
name = 'C:\literal\path'
version = '''
it's a
multi-line literal'''
requires-python = "tab\there, quote \" and backslash \\ and bell \u0007, DEL \u007F, CRLF \r\n done"
dependencies = [
  "ünïcødé ✓ 😀", 1979-05-27, 1979-05-27T07:32:00.5, 07:32:00, 1979-05-27T00:32:00.999-07:00,
  1.5, -0.0, inf, 42, true, [[1, 2], ["x"]], { "dotted.key" = 1, "ctl\u0001key" = "v", nested = { deep = [{ a = 1 }] } },
  """
first line
second line ending in a quote""""
]
[[project.authors]]
name = "Sectioned Author"
since = 2021-06-01
[project.authors.links]
home = "https://example.org"
)TOML");
  convert_drovane(dir / "pyproject.toml", dir / "hatch.toml");
  const Toml input = parse_file(dir / "pyproject.toml").at("project");
  const Toml output = parse_file(dir / "hatch.toml").at("project");
  for (const char* key : {"name", "version", "requires-python", "dependencies", "authors"}) {
    EXPECT_EQ(output.at(key), input.at(key)) << key;
  }
}

TEST(Drovane, MissingKeysFailNamingKeyAndFileAndWriteNothing) {
  TempDir dir;
  const fs::path poetry = dir / "pyproject.toml";
  const fs::path hatch = dir / "hatch.toml";
  const auto expect_missing = [&](const std::string& text, const std::string& message) {
    write_file(poetry, text);
    try {
      convert_drovane(poetry, hatch);
      ADD_FAILURE() << "no error for: " << message;
    } catch (const MissingKeyError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  };
  // All earlier keys convert; requires-python is the last one asked for.
  expect_missing("[project]\nname = \"x\"\nversion = \"1\"\ndependencies = []\n",
                 "Missing key 'requires-python' in table [project] of '" + poetry.string() + "'");
  EXPECT_FALSE(fs::exists(hatch)) << "absent stays absent";
  write_file(hatch, "keep me\n");
  expect_missing("[project]\nname = \"x\"\nrequires-python = \">=3\"\ndependencies = []\n",
                 "Missing key 'version' in table [project] of '" + poetry.string() + "'");
  expect_missing("[tool.poetry]\nname = \"x\"\n", "Missing key 'project' in '" + poetry.string() + "'");
  EXPECT_EQ(read_text(hatch), "keep me\n");

  write_file(poetry, "[project]\nname = \"x\"\nversion = \"1\"\nrequires-python = \">=3\"\ndependencies = []\n"
                     "authors = { name = \"not an array\" }\n");
  try {
    convert_drovane(poetry, hatch);
    ADD_FAILURE() << "a table of authors was accepted";
  } catch (const ConversionError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The value of 'authors' in table [project] of '" + poetry.string() + "' is not an array");
  }
  EXPECT_EQ(read_text(hatch), "keep me\n");

  EXPECT_THROW(convert_drovane(dir / "absent.toml", hatch), norvan::FileError);
  write_file(poetry, "[project\nname = 1\n");
  EXPECT_THROW(convert_drovane(poetry, hatch), toml::syntax_error);
  EXPECT_EQ(read_text(hatch), "keep me\n");
}

TEST(Drovane, WriteFailureLeavesTheOldFileAndNoTemporaryFile) {
  TempDir dir;
  const Toml document = parse_text("[project]\nname = \"x\"\n");
  // A directory in the target's place cannot be replaced by a file.
  fs::create_directory(dir / "hatch.toml");
  try {
    write_hatch_pyproject_toml(document, dir / "hatch.toml");
    ADD_FAILURE() << "wrote over a directory";
  } catch (const norvan::FileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot write the Hatch project file '" + (dir / "hatch.toml").string() + "'", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_THROW(write_hatch_pyproject_toml(document, dir / "no-such-dir" / "hatch.toml"), norvan::FileError);

  // A replaced file keeps its permission bits.
  write_file(dir / "kept.toml", "old\n");
  fs::permissions(dir / "kept.toml", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  write_hatch_pyproject_toml(document, dir / "kept.toml");
  EXPECT_EQ(read_text(dir / "kept.toml"), "[project]\nname = \"x\"\n" + std::string(kBuildSystemTail));
  EXPECT_EQ(fs::status(dir / "kept.toml").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
