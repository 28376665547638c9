// What the generated image source (kernel_images.cpp in the build tree)
// defines. Only the catalogue reads it; everyone else uses kernel_catalogue.h.
#pragma once

#include "bench/kernel_catalogue.h"

namespace fpbench::embedded {

// The eight entries in catalogue order.
extern const KernelEntry kKernels[8];
// The kernel source's licence notice, NUL-terminated.
extern const char kLicenceNotice[];

}  // namespace fpbench::embedded
