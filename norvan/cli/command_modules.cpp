// Loading command modules: each sub-command lives in its own loadable module, which registers
// the command when it is loaded. A process loads only the modules it needs.
#include "norvan/cli/cli.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace norvan::cli {
namespace {

// The names of the command modules built with this library, separated by commas.
constexpr std::string_view kModuleNames = NORVAN_COMMAND_MODULES;

std::vector<std::string> module_names() {
  std::vector<std::string> names;
  for (std::string_view rest = kModuleNames; !rest.empty();) {
    const auto comma = rest.find(',');
    names.emplace_back(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
  }
  return names;
}

// The directory of command modules: norvan/commands beside this library, which is in the
// library directory of an installed tree and in its own build directory otherwise.
std::filesystem::path module_directory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&load_all_command_modules), &info) == 0 || info.dli_fname == nullptr) {
    throw std::runtime_error("Cannot find the command modules: the location of libnorvan_cli is unknown");
  }
  return std::filesystem::path(info.dli_fname).parent_path() / NORVAN_COMMAND_MODULE_DIR;
}

// Loads one module for the life of the process (never unloaded: the registry holds its
// functions). Loading is serialised so that registrations never run concurrently.
void load_module_file(const std::filesystem::path& file) {
  static std::mutex loading;
  const std::lock_guard lock(loading);
  if (::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) {
    const char* reason = ::dlerror();
    throw std::runtime_error("Cannot load the command module '" + file.string() + "': " +
                             (reason != nullptr ? reason : "unknown reason"));
  }
}

std::filesystem::path module_file(const std::string& name) { return module_directory() / ("libnorvan_" + name + ".so"); }

}  // namespace

bool load_command_module(const std::string& name) {
  const auto names = module_names();
  if (std::find(names.begin(), names.end(), name) == names.end()) return false;
  load_module_file(module_file(name));
  return true;
}

void load_all_command_modules() {
  for (const std::string& name : module_names()) load_module_file(module_file(name));
}

}  // namespace norvan::cli
