#include "norvan/binary_image/kelvory.hpp"

#include "norvan/binary_image/drovane.hpp"
#include "norvan/common/files.hpp"

#include <iostream>

namespace norvan::binary_image::kelvory {
namespace {

namespace fs = std::filesystem;

// The files the set-up works with, made absolute once the project root is the working
// directory, so that the clean-up finds them even if the work moves elsewhere.
struct ProjectFiles {
  fs::path subdir;
  fs::path pyproject_toml;
  fs::path poetry_pyproject_toml;
  fs::path hatch_pyproject_toml;
};

// What the printed record calls the converted file: its path relative to the project root.
const fs::path kHatchPyprojectName = fs::path("_tmp") / "hatch_pyproject.toml";

ProjectFiles project_files(const fs::path& root) {
  const fs::path subdir = root / "_tmp";
  return {subdir, root / "pyproject.toml", subdir / "poetry_pyproject.toml", subdir / "hatch_pyproject.toml"};
}

// Creates the work directory. Anything at that place that is not a real directory -- a
// symbolic link above all, which could point anywhere -- is removed first (the link itself,
// never what it points to), so that nothing written or deleted later lands outside it.
void make_work_directory(const fs::path& subdir) {
  const fs::file_status status = fs::symlink_status(subdir);
  if (fs::is_symlink(status)) fs::remove(subdir);
  fs::create_directory(subdir);
}

// Deletes a file left by an earlier run; a symbolic link is deleted, not followed.
void remove_stale(const fs::path& file) {
  if (fs::exists(fs::symlink_status(file))) fs::remove(file);
}

void copy_replacing(const fs::path& from, const fs::path& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void print_record(const fs::path& hatch_pyproject_toml) {
  const Bytes content = read_file(hatch_pyproject_toml, "the Hatch project file");
  std::cout << "Content of " << kHatchPyprojectName.string() << ":\n" << ' ' << as_text(content) << '\n';
  std::cout.flush();
  if (!std::cout) throw std::runtime_error("Cannot write the Hatch project file's content to standard output");
}

void clean_up(const ProjectFiles& files) {
  copy_replacing(files.poetry_pyproject_toml, files.pyproject_toml);
  fs::remove_all(files.subdir);
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "The clean-up of the Hatch project set-up failed";
  }
}

// Throws CleanupError for `cleanup_failure` with `earlier` as its nested error.
[[noreturn]] void throw_cleanup_error(const std::exception_ptr& cleanup_failure, const std::exception_ptr& earlier) {
  try {
    std::rethrow_exception(earlier);
  } catch (...) {
    throw CleanupError(describe(cleanup_failure), cleanup_failure);
  }
}

}  // namespace

void hatch_project_setup(nox::Session& session, const std::function<void()>& work,
                         const noxconfig::ProjectConfig& config) {
  session.chdir(config.root_path);
  const ProjectFiles files = project_files(fs::current_path());
  make_work_directory(files.subdir);
  remove_stale(files.poetry_pyproject_toml);
  remove_stale(files.hatch_pyproject_toml);
  copy_replacing(files.pyproject_toml, files.poetry_pyproject_toml);

  // From here on the clean-up runs on every path.
  std::exception_ptr failure;
  try {
    drovane::convert_drovane(files.poetry_pyproject_toml, files.hatch_pyproject_toml);
    copy_replacing(files.hatch_pyproject_toml, files.pyproject_toml);
    print_record(files.hatch_pyproject_toml);
    work();
  } catch (...) {
    failure = std::current_exception();
  }

  try {
    clean_up(files);
  } catch (...) {
    if (failure) throw_cleanup_error(std::current_exception(), failure);
    throw;
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace norvan::binary_image::kelvory
