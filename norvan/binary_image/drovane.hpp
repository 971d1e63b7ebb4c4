#pragma once
// Conversion of a project file kept for the Poetry build backend into a pyproject.toml that
// the Hatch build backend (hatchling) builds.
//
// Only the PEP 621 [project] table of the input is read. Ten keys are copied into a fresh
// [project] table in a fixed order (name, version, description, readme, keywords, license,
// classifiers, authors, dependencies, requires-python), absent optional keys get defaults,
// the license "Proprietary" becomes "LicenseRef-Proprietary", maintainers are appended to
// authors, and a [build-system] table selecting hatchling is appended. Values are copied
// unchanged, whatever their type. Nothing is kept between calls.

#include "norvan/common/error.hpp"

#include <toml.hpp>
#include <tsl/ordered_map.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::binary_image::drovane {

/// A TOML document or value whose tables keep their keys in insertion order.
using Toml = toml::basic_value<toml::discard_comments, tsl::ordered_map, std::vector>;

/// The [build-system] table written after the converted [project] table, stored indented;
/// it is written with the common indentation removed.
inline constexpr std::string_view BUILD_SYSTEM =
    "\n"
    "    [build-system]\n"
    "    build-backend = \"hatchling.build\"\n"
    "    requires = [\"hatchling\"]\n"
    "    ";

/// A snippet that switches the publishing key ring off; offered to build scripts, never
/// written by this module.
inline constexpr std::string_view DISABLE_KEY_RING =
    "\n"
    "   [publish.index]\n"
    "   disable = true\n"
    "   ";

/// A snippet that makes setuptools build the single module "norvan" from a flat layout;
/// offered to build scripts, never written by this module.
inline constexpr std::string_view DISABLE_MULTIPLE_PACKAGES =
    "\n"
    "    # See https://github.com/pypa/setuptools/issues/3197\n"
    "    # This avoids cythonize exited non null status 1\n"
    "    # error: Multiple top-level packages discovered in a flat-layout:\n"
    "    # ['norvan', ...].\n"
    "\n"
    "    [tool.setuptools]\n"
    "    py-modules = [\"norvan\"]\n"
    "    ";

/// A project file that cannot be converted; the text names the key, table and file.
class ConversionError : public Error {
 public:
  explicit ConversionError(const std::string& what) : Error(ErrorCode::conversion, what) {}
};

/// A required key (or the [project] table itself) is missing from the input.
class MissingKeyError : public ConversionError {
 public:
  /// `where` describes the place looked in, e.g. "table [project] of 'pyproject.toml'".
  MissingKeyError(std::string key, const std::string& where);
  /// The missing key, e.g. "requires-python".
  const std::string& key() const noexcept { return key_; }

 private:
  std::string key_;
};

/// Reads the project file `poetry_file`, converts its [project] table and writes the Hatch
/// project file `hatch_file`. Throws norvan::FileError when `poetry_file` cannot be read,
/// toml::syntax_error when it is not TOML, MissingKeyError or ConversionError when its
/// contents do not convert (then `hatch_file` is left as it was), and norvan::FileError when
/// `hatch_file` cannot be written.
void convert_drovane(const std::filesystem::path& poetry_file, const std::filesystem::path& hatch_file);

/// Writes `hatch_data` as TOML followed by the [build-system] table to `hatch_file`, replacing
/// it. The text goes to a temporary file beside `hatch_file` that is then renamed over it, so
/// a failure leaves the old file whole and no partial file behind. Tables are written as
/// sections; tables inside them inline, so every key keeps its order. Throws norvan::FileError
/// naming the file, or ConversionError for a key that cannot be written.
void write_hatch_pyproject_toml(const Toml& hatch_data, const std::filesystem::path& hatch_file);

// The converters: each reads the [project] table of `poetry_data` and sets keys of the
// [project] table of `hatch_data`; both tables must exist (MissingKeyError otherwise).

/// Copies `name` and `version`; throws MissingKeyError for the first one missing.
void convert_mandatory_metadata(Toml& hatch_data, const Toml& poetry_data);

/// Copies `description` (default ""), `readme` ("README.md"), `keywords` ([]), `license`
/// ("Proprietary") and `classifiers` ([]), in this order; a present key is copied whatever
/// its value.
void convert_optional_metadata(Toml& hatch_data, const Toml& poetry_data);

/// Sets `license` to the input license, or "LicenseRef-Proprietary" when it is absent or is
/// the string "Proprietary"; an existing `license` key keeps its place.
void convert_license(Toml& hatch_data, const Toml& poetry_data);

/// Sets `authors` to the input `authors` followed by the input `maintainers` (each an empty
/// array when absent). Throws ConversionError when either is present but not an array.
void convert_authors(Toml& hatch_data, const Toml& poetry_data);

/// Copies `dependencies` and then `requires-python` unchanged; throws MissingKeyError for the
/// first one missing.
void convert_dependencies(Toml& hatch_data, const Toml& poetry_data);

}  // namespace norvan::binary_image::drovane

NORVAN_PUBLIC_END
