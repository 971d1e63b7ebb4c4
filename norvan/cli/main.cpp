// The `norvan` program. Its sub-commands come from the command modules linked into it.
#include "norvan/cli/cli.hpp"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
  try {
    return norvan::cli::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "norvan: " << e.what() << '\n';
    return 1;
  }
}
