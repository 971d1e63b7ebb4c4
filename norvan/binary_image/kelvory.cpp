#include "norvan/binary_image/kelvory.hpp"

#include "norvan/binary_image/drovane.hpp"
#include "norvan/common/file_lock.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"

#include <string>

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
const fs::path kPoetryPyprojectName = fs::path("_tmp") / "poetry_pyproject.toml";

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

// Replaces `to` whole with the contents of `from` (a project file, so read with a bound): a
// kill at any moment leaves `to` either as it was or complete.
void copy_replacing(const fs::path& from, const fs::path& to) {
  write_file(to, read_file(from, "the project file"), FileMode::standard, "the project file");
}

// Only one scope at a time may work on a project: a second one would save the first one's
// Hatch form as "the original".
FileLock lock_project(const fs::path& root) {
  const fs::path lock_file = root / LOCK_FILE_NAME;
  return FileLock(lock_file, "Another hatch-project set-up is running in '" + root.string() + "' (it holds '" +
                                 lock_file.string() + "'); run this one when it has finished");
}

bool is_regular(const fs::path& file) { return fs::is_regular_file(fs::symlink_status(file)); }

// True when an earlier scope was ended before its clean-up (killed, crashed, a power cut): the
// project file is still its Hatch form and the original exists only as the saved copy.
bool interrupted_earlier(const ProjectFiles& files) {
  return fs::is_directory(fs::symlink_status(files.subdir)) && is_regular(files.poetry_pyproject_toml) &&
         is_regular(files.hatch_pyproject_toml) && is_regular(files.pyproject_toml) &&
         read_file(files.pyproject_toml, "the project file") ==
             read_file(files.hatch_pyproject_toml, "the Hatch project file");
}

// Puts back the original that an interrupted earlier scope saved, before anything deletes it.
void recover_interrupted_scope(nox::Session& session, const ProjectFiles& files) {
  if (!interrupted_earlier(files)) return;
  copy_replacing(files.poetry_pyproject_toml, files.pyproject_toml);
  session.write_error_output("Restored pyproject.toml from " + kPoetryPyprojectName.string() +
                             ": an earlier hatch-project set-up ended before it could put the original back\n");
}

void print_record(nox::Session& session, const fs::path& hatch_pyproject_toml) {
  const Bytes content = read_file(hatch_pyproject_toml, "the Hatch project file");
  session.write_output("Content of " + kHatchPyprojectName.string() + ":\n " + std::string(as_text(content)) + '\n');
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
  const FileLock lock = lock_project(fs::current_path());
  recover_interrupted_scope(session, files);
  make_work_directory(files.subdir);
  remove_stale(files.poetry_pyproject_toml);
  remove_stale(files.hatch_pyproject_toml);
  copy_replacing(files.pyproject_toml, files.poetry_pyproject_toml);

  // From here on the clean-up runs on every path.
  std::exception_ptr failure;
  try {
    drovane::convert_drovane(files.poetry_pyproject_toml, files.hatch_pyproject_toml);
    copy_replacing(files.hatch_pyproject_toml, files.pyproject_toml);
    print_record(session, files.hatch_pyproject_toml);
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

void hatch_project_setup(nox::Session& session, const std::function<void()>& work) {
  hatch_project_setup(session, work, noxconfig::PROJECT_CONFIG);
}

}  // namespace norvan::binary_image::kelvory
