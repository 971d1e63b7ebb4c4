#include "norvan/signing/der.hpp"
