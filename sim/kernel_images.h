// Recognises the program's embedded GEMM images when they are handed to the
// simulated module loader.
#pragma once

#include "bench/kernel_catalogue.h"

namespace fpbench::sim {

// The catalogue entry whose compiled image (same bytes) or PTX text (same
// text) `image` is; nullptr for any other non-empty image.
const KernelEntry* FindCatalogueImage(const void* image);

}  // namespace fpbench::sim
