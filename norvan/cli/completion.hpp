#pragma once
// Shell completion scripts for the program, made from its commands and their options.

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan::cli {

/// The shells completion_script() writes for.
inline constexpr std::string_view kCompletionShells[] = {"bash", "zsh", "fish"};

/// Returns the completion script for `shell` ("bash", "zsh" or "fish") of the program `app`:
/// its commands and sub-commands, each one's options, file names for options and arguments
/// that take a file, directory names for those that take a directory. Throws
/// std::invalid_argument for another shell.
std::string completion_script(const CLI::App& app, std::string_view shell);

}  // namespace norvan::cli

NORVAN_PUBLIC_END
