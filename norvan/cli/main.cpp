// The `norvan` program. Its sub-commands come from the command modules linked into it.
#include "norvan/cli/cli.hpp"

int main(int argc, char** argv) { return norvan::cli::run(argc, argv); }
