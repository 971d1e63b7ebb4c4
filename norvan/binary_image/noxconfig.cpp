#include "norvan/binary_image/noxconfig.hpp"
