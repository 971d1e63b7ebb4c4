#include "norvan/binary_image/docker.hpp"
