#pragma once
// A shared library opened on first use instead of linked: programs that never need it do not
// load it (and its dependencies) at start-up. A table type holds the library and the functions
// resolved from it; loaded_once<Table, load>() builds that table once per process.
// Internal: not installed, not exported.

#include "norvan/common/error.hpp"

#include <memory>
#include <string>

namespace norvan::detail {

struct DlcloseHandle {
  void operator()(void* handle) const noexcept;
};

/// One opened shared library. `label` names it in errors ("GMime", "libp11").
class LazyLibrary {
 public:
  /// Opens `soname` (RTLD_NOW | RTLD_LOCAL; with `keep_mapped`, RTLD_NODELETE too, for a
  /// library that cannot be unloaded). Throws Error (code file):
  /// "<label> library '<soname>' could not be loaded: <loader's reason>".
  LazyLibrary(std::string label, std::string soname, bool keep_mapped = false);

  /// Points `function` at the library's symbol `name`. Throws Error (code file):
  /// "<label> library '<soname>' lacks the function '<name>': <loader's reason>".
  template <class Function>
  void resolve(const char* name, Function& function) const {
    function = reinterpret_cast<Function>(symbol(name));
  }

  const std::string& soname() const noexcept { return soname_; }

 private:
  void* symbol(const char* name) const;

  std::string label_;
  std::string soname_;
  std::unique_ptr<void, DlcloseHandle> handle_;
};

/// The table that `load` returns, built on the first call in the process; every later call
/// (from any thread) returns the same one. A call whose `load` throws passes the error on, and
/// the next call tries again.
template <class Table, Table (*load)()>
const Table& loaded_once() {
  static const Table table = load();
  return table;
}

}  // namespace norvan::detail
