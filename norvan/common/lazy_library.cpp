#include "norvan/common/lazy_library.hpp"

#include <dlfcn.h>

namespace norvan::detail {
namespace {

std::string last_dl_error() {
  const char* text = dlerror();
  return text != nullptr ? text : "no reason given";
}

}  // namespace

void DlcloseHandle::operator()(void* handle) const noexcept { dlclose(handle); }

LazyLibrary::LazyLibrary(std::string label, std::string soname, bool keep_mapped)
    : label_(std::move(label)), soname_(std::move(soname)) {
  const int flags = RTLD_NOW | RTLD_LOCAL | (keep_mapped ? RTLD_NODELETE : 0);
  handle_.reset(dlopen(soname_.c_str(), flags));
  if (!handle_) {
    throw Error(ErrorCode::file, label_ + " library '" + soname_ + "' could not be loaded: " + last_dl_error());
  }
}

void* LazyLibrary::symbol(const char* name) const {
  dlerror();
  void* found = dlsym(handle_.get(), name);
  if (found == nullptr) {
    throw Error(ErrorCode::file,
                label_ + " library '" + soname_ + "' lacks the function '" + name + "': " + last_dl_error());
  }
  return found;
}

}  // namespace norvan::detail
