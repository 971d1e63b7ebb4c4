// The `norvan` program. Its sub-commands are compiled into it and register themselves before main.
#include "norvan/cli/cli.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

namespace {

// Output still buffered (the help, the version, a command's text) is written now; when that
// fails (a full disk or device, a closed pipe) the program says so and does not succeed.
int flush_standard_output(int status) {
  // A write that already failed (the help and the version are flushed as they are printed)
  // left its reason in errno.
  const int earlier = std::cout.good() ? 0 : errno;
  errno = 0;
  std::cout.flush();  // flushes stdout too: the streams are synchronised with stdio
  const int now = errno;
  const bool written = std::cout.good() && std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  if (written) return status;
  const int reason = now != 0 ? now : earlier != 0 ? earlier : errno != 0 ? errno : EIO;
  std::cerr << "norvan: Cannot write to standard output: " << std::strerror(reason) << '\n';
  return status == 0 ? 1 : status;
}

// Ends the process with `status` once everything it wrote is flushed or closed. The exit
// handlers and static destructors are skipped: they only free memory, and OpenSSL's clean-up
// among them costs most of a millisecond per run. Sanitizer builds run them, so that the leak
// check at exit still sees the whole program.
[[noreturn]] void leave(int status) {
#ifdef NORVAN_RUN_EXIT_HANDLERS
  std::exit(status);
#else
  std::_Exit(status);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  int status = 1;
  try {
    status = norvan::cli::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "norvan: " << e.what() << '\n';
  }
  leave(flush_standard_output(status));
}
