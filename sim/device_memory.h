// Device memory of the simulated GPU: real host buffers behind fake 64-bit
// device addresses, and the GEMM written into them lazily.
//
// A launch does not compute C = A·B. It records a pending product on C's
// bytes, holding on to the bytes A and B had at launch time (buffers are
// copy-on-write, so later writes to A or B do not reach it). An element is
// computed only when a read needs it; a write over pending elements settles
// them. Every byte is owed by at most one pending product.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/config.h"

namespace fpbench::sim {

struct GemmLaunch {
    std::uint64_t a = 0, b = 0, c = 0;  // device addresses of N x N half matrices
    std::uint32_t n = 0;
    bool fp16_accumulate = false;
    GemmFault fault = GemmFault::None;
};

class DeviceMemory {
public:
    static constexpr std::uint64_t kFirstAddress = 0x7f0000000000ull;

    // The new allocation's address, or 0 when the host has no memory for it.
    std::uint64_t Allocate(std::size_t bytes, int device);
    // False for an address that is not the start of a live allocation.
    bool Free(std::uint64_t address);

    // Each returns false, touching nothing, unless the whole range lies in
    // one live allocation.
    bool Write(std::uint64_t address, const void* source, std::size_t bytes);
    bool Fill(std::uint64_t address, unsigned char value, std::size_t bytes);
    bool Read(void* target, std::uint64_t address, std::size_t bytes);
    bool Contains(std::uint64_t address, std::size_t bytes) const;

    // The caller has checked that A, B and C (2·N² bytes each) are live.
    void Gemm(const GemmLaunch& launch);

    std::uint64_t AllocatedBytes(int device) const;
    std::size_t LiveAllocations() const { return allocations_.size(); }

private:
    struct Buffer {
        explicit Buffer(std::size_t size);
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t size;
    };
    using SharedBuffer = std::shared_ptr<Buffer>;

    struct PendingProduct {
        std::size_t c_offset = 0;
        std::uint32_t n = 0;
        bool fp16_accumulate = false;
        GemmFault fault = GemmFault::None;
        SharedBuffer a, b;  // the inputs as they were at launch
        std::size_t a_offset = 0, b_offset = 0;
        std::vector<std::uint64_t> settled;  // one bit per element no longer owed; sized on first use
        std::uint64_t settled_count = 0;
        bool host_touched = false;

        std::uint64_t Elements() const { return std::uint64_t{n} * n; }
        std::size_t EndOffset() const { return c_offset + 2 * Elements(); }
        bool IsSettled(std::uint64_t element) const;
        void MarkSettled(std::uint64_t element);
        bool Done() const { return settled_count == Elements(); }
    };

    struct Allocation {
        std::size_t size = 0;
        int device = 0;
        SharedBuffer buffer;
        std::vector<PendingProduct> pending;
    };

    Allocation* Find(std::uint64_t address, std::size_t bytes, std::size_t& offset);
    unsigned char* MutableBytes(Allocation& allocation);
    void Settle(Allocation& allocation, std::size_t offset, std::size_t bytes);
    void Materialise(Allocation& allocation, std::size_t offset, std::size_t bytes);
    void Compute(Allocation& allocation, PendingProduct& product, std::uint64_t first, std::uint64_t last);

    std::map<std::uint64_t, Allocation> allocations_;
    std::uint64_t next_address_ = kFirstAddress;
};

// One element of C = A·B from row-major half matrices given as bit patterns:
// FP32 accumulation sums in single precision and rounds once; FP16
// accumulation rounds the running sum to half after every 16 products, as
// half-precision tensor-core accumulators do.
std::uint16_t GemmElement(const float* a_row, const float* b_column, std::uint32_t n, bool fp16_accumulate);

}  // namespace fpbench::sim
