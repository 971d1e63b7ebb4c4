#include "norvan/binary_image/nox.hpp"

#include <iostream>

namespace norvan::binary_image::nox {
namespace {

std::string describe_failure(int exit_code) {
  if (exit_code < 0) return "The session failed: a command was killed by signal " + std::to_string(-exit_code);
  return "The session failed: a command ended with exit code " + std::to_string(exit_code);
}

}  // namespace

SessionError::SessionError(int exit_code)
    : Error(ErrorCode::session_failed, describe_failure(exit_code)), exit_code_(exit_code) {}

std::optional<int> SessionError::exit_status() const noexcept {
  return exit_code_ < 0 ? 128 - exit_code_ : exit_code_;
}

void Session::write_output(std::string_view text) {
  std::cout << text << std::flush;
  if (!std::cout) throw std::runtime_error("Cannot write to standard output");
}

void Session::write_error_output(std::string_view text) {
  std::cerr << text << std::flush;
  if (!std::cerr) throw std::runtime_error("Cannot write to standard error");
}

void DefaultSession::chdir(const std::filesystem::path& path) { std::filesystem::current_path(path); }

void DefaultSession::error(int code) { throw SessionError(code); }

}  // namespace norvan::binary_image::nox
