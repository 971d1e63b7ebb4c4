#pragma once
// The project configuration that the build tooling reads: where the project's root is.
//
// The configuration is an immutable value. Code that works on a particular project takes a
// ProjectConfig argument; PROJECT_CONFIG is the default for build steps started from the root,
// so nothing here changes after start-up and every thread may read it.

#include <filesystem>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::binary_image::noxconfig {

/// Where a project lives.
struct ProjectConfig {
  /// The directory that holds the project's pyproject.toml. A relative path is resolved
  /// against the working directory at the moment it is used.
  std::filesystem::path root_path;
};

/// The default configuration: the project root is the current working directory (".").
extern const ProjectConfig PROJECT_CONFIG;

}  // namespace norvan::binary_image::noxconfig

NORVAN_PUBLIC_END
