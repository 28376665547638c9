// The GEMM kernels carried inside the program: eight entries, one per
// (matrix side, accumulator), each with an sm_86 image and its PTX text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace fpbench {

struct KernelEntry {
    std::uint32_t n;
    bool fp16_accumulate;
    const unsigned char* cubin;
    std::uint64_t cubin_size;
    const char* ptx;
    const char* name;
    std::uint32_t shared_bytes;
    std::uint32_t threads;
    std::uint32_t tile;  // side of the square tile of C that one block computes
    const char* sha256;
};

// Entries in the order 256/FP16, 256/FP32, 1024/FP16, ... 8192/FP32.
std::span<const KernelEntry, 8> KernelCatalogue();
// SHA-256 (lowercase hex) of the kernel source the images were built from.
extern const char* const KernelSourceSha256;

// Throws std::runtime_error "No embedded kernel for selected size".
const KernelEntry& FindKernel(std::int32_t n, bool fp16_accumulate);

// The kernel source's licence notice, a /* ... */ block of 23 LF-ended lines.
std::string_view KernelLicenceNotice();

}  // namespace fpbench
