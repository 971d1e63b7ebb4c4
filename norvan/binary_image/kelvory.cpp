#include "norvan/binary_image/kelvory.hpp"
