#include "tests/support/pki.hpp"
