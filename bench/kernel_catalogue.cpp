#include "bench/kernel_catalogue.h"

#include <stdexcept>

#include "bench/embedded_kernels.h"

namespace fpbench {

std::span<const KernelEntry, 8> KernelCatalogue() {
    return std::span<const KernelEntry, 8>(embedded::kKernels);
}

const KernelEntry& FindKernel(std::int32_t n, bool fp16_accumulate) {
    for (const KernelEntry& entry : KernelCatalogue()) {
        if (static_cast<std::int64_t>(entry.n) == n && entry.fp16_accumulate == fp16_accumulate) {
            return entry;
        }
    }
    throw std::runtime_error("No embedded kernel for selected size");
}

std::string_view KernelLicenceNotice() {
    return embedded::kLicenceNotice;
}

}  // namespace fpbench
