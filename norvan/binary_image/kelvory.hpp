#pragma once
// A scoped set-up that turns the project into a Hatch project for the length of some build
// work and turns it back afterwards.

#include "norvan/binary_image/nox.hpp"
#include "norvan/binary_image/noxconfig.hpp"
#include "norvan/common/error.hpp"

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::binary_image::kelvory {

/// The lock file that a set-up holds in the project root for its whole life, and deletes.
inline constexpr const char* LOCK_FILE_NAME = ".pyproject.toml.lock";

/// The clean-up failed while an earlier error was under way. Its text is the clean-up
/// failure's; cause() is that failure itself and nested_ptr() (std::nested_exception, so
/// std::rethrow_if_nested works) the earlier error, which is not reported on its own.
class CleanupError : public Error, public std::nested_exception {
 public:
  /// Must be built while the earlier error is being handled, so that it is captured.
  CleanupError(const std::string& what, std::exception_ptr cause)
      : Error(ErrorCode::cleanup, what), cause_(std::move(cause)) {}
  std::exception_ptr cause() const noexcept { return cause_; }

 private:
  std::exception_ptr cause_;
};

/// Runs `work` with the project's pyproject.toml replaced by its Hatch form, then restores it.
///
/// Set-up: session.chdir(config.root_path) (the working directory stays there afterwards);
/// take an exclusive lock on LOCK_FILE_NAME there, held until the clean-up has ended: a second
/// set-up on the same project does not wait but throws norvan::LockHeldError at once. When an
/// earlier set-up was ended before its clean-up -- "_tmp/poetry_pyproject.toml" exists and
/// "pyproject.toml" has exactly the bytes of "_tmp/hatch_pyproject.toml" -- copy the saved
/// original back over "pyproject.toml" first and say so on standard error. Then create "_tmp" (a symbolic link in its place is removed, never followed); delete stale
/// "_tmp/poetry_pyproject.toml" and "_tmp/hatch_pyproject.toml"; copy "pyproject.toml" to the
/// first, convert it into the second (drovane::convert_drovane), copy that over
/// "pyproject.toml", and print "Content of _tmp/hatch_pyproject.toml:", a line feed, a blank,
/// the converted text and a line feed on standard output. Then `work` runs. Clean-up, after
/// the conversion whether it or `work` succeeded or threw: copy the saved file back over
/// "pyproject.toml" and delete "_tmp" with its contents. The clean-up acts on the project
/// root even when `work` changed the working directory.
///
/// Throws what the set-up throws (a failure before the conversion leaves "_tmp" behind and
/// pyproject.toml untouched), else what `work` throws, unchanged, after the clean-up. When
/// the clean-up fails, its error is thrown: unchanged when nothing failed before, otherwise
/// as CleanupError carrying the earlier error. A failed restore leaves "_tmp" in place.
void hatch_project_setup(nox::Session& session, const std::function<void()>& work,
                         const noxconfig::ProjectConfig& config);

/// The same with noxconfig::PROJECT_CONFIG, the project in the working directory.
void hatch_project_setup(nox::Session& session, const std::function<void()>& work);

}  // namespace norvan::binary_image::kelvory

NORVAN_PUBLIC_END
