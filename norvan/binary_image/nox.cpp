#include "norvan/binary_image/nox.hpp"
