#include "norvan/signing/certificates.hpp"
