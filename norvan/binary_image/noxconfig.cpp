#include "norvan/binary_image/noxconfig.hpp"

namespace norvan::binary_image::noxconfig {

const ProjectConfig PROJECT_CONFIG{"."};

}  // namespace norvan::binary_image::noxconfig
