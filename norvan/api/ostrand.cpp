#include "norvan/api/ostrand.hpp"
