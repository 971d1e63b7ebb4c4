#include "norvan/binary_image/drovane.hpp"
