#include "sim/device_memory.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sim/half.h"

namespace fpbench::sim {
namespace {

// Allocations are spaced so that a range running past one never reaches the next.
constexpr std::uint64_t kAddressGranule = 2ull * 1024 * 1024;

std::uint16_t LoadHalf(const unsigned char* bytes, std::uint64_t index) {
    std::uint16_t value;
    std::memcpy(&value, bytes + 2 * index, 2);
    return value;
}

}  // namespace

std::uint16_t GemmElement(const float* a_row, const float* b_column, std::uint32_t n, bool fp16_accumulate) {
    if (!fp16_accumulate) {
        float sum = 0.0f;
        for (std::uint32_t k = 0; k < n; ++k) sum += a_row[k] * b_column[k];
        return FloatToHalf(sum);
    }
    float accumulator = 0.0f;
    for (std::uint32_t k0 = 0; k0 < n; k0 += 16) {
        float step = 0.0f;
        for (std::uint32_t k = k0; k < std::min(k0 + 16, n); ++k) step += a_row[k] * b_column[k];
        accumulator = HalfToFloat(FloatToHalf(accumulator + step));
    }
    return FloatToHalf(accumulator);
}

DeviceMemory::Buffer::Buffer(std::size_t size) : bytes(new (std::nothrow) unsigned char[size]), size(size) {}

bool DeviceMemory::PendingProduct::IsSettled(std::uint64_t element) const {
    return !settled.empty() && (settled[element / 64] >> (element % 64) & 1u) != 0;
}

void DeviceMemory::PendingProduct::MarkSettled(std::uint64_t element) {
    if (settled.empty()) settled.assign((Elements() + 63) / 64, 0);
    auto& word = settled[element / 64];
    const std::uint64_t bit = std::uint64_t{1} << (element % 64);
    if ((word & bit) == 0) {
        word |= bit;
        ++settled_count;
    }
}

std::uint64_t DeviceMemory::Allocate(std::size_t bytes, int device) {
    auto buffer = std::make_shared<Buffer>(bytes);
    if (!buffer->bytes) return 0;
    const std::uint64_t address = next_address_;
    next_address_ = (address + bytes + kAddressGranule - 1) / kAddressGranule * kAddressGranule + kAddressGranule;
    allocations_.emplace(address, Allocation{bytes, device, std::move(buffer), {}});
    return address;
}

bool DeviceMemory::Free(std::uint64_t address) { return allocations_.erase(address) == 1; }

DeviceMemory::Allocation* DeviceMemory::Find(std::uint64_t address, std::size_t bytes, std::size_t& offset) {
    auto it = allocations_.upper_bound(address);
    if (it == allocations_.begin()) return nullptr;
    --it;
    const std::uint64_t start = address - it->first;
    if (start > it->second.size || bytes > it->second.size - start) return nullptr;
    offset = static_cast<std::size_t>(start);
    return &it->second;
}

bool DeviceMemory::Contains(std::uint64_t address, std::size_t bytes) const {
    std::size_t offset = 0;
    return const_cast<DeviceMemory*>(this)->Find(address, bytes, offset) != nullptr;
}

std::uint64_t DeviceMemory::AllocatedBytes(int device) const {
    std::uint64_t total = 0;
    for (const auto& [address, allocation] : allocations_)
        if (allocation.device == device) total += allocation.size;
    return total;
}

// Copy-on-write: a pending product may still be reading these bytes.
unsigned char* DeviceMemory::MutableBytes(Allocation& allocation) {
    if (allocation.buffer.use_count() > 1) {
        auto copy = std::make_shared<Buffer>(allocation.size);
        if (!copy->bytes) throw std::bad_alloc();
        std::memcpy(copy->bytes.get(), allocation.buffer->bytes.get(), allocation.size);
        allocation.buffer = std::move(copy);
    }
    return allocation.buffer->bytes.get();
}

bool DeviceMemory::Write(std::uint64_t address, const void* source, std::size_t bytes) {
    std::size_t offset = 0;
    Allocation* allocation = Find(address, bytes, offset);
    if (allocation == nullptr) return false;
    if (bytes == 0) return true;
    Settle(*allocation, offset, bytes);
    std::memcpy(MutableBytes(*allocation) + offset, source, bytes);
    return true;
}

bool DeviceMemory::Fill(std::uint64_t address, unsigned char value, std::size_t bytes) {
    std::size_t offset = 0;
    Allocation* allocation = Find(address, bytes, offset);
    if (allocation == nullptr) return false;
    if (bytes == 0) return true;
    Settle(*allocation, offset, bytes);
    std::memset(MutableBytes(*allocation) + offset, value, bytes);
    return true;
}

bool DeviceMemory::Read(void* target, std::uint64_t address, std::size_t bytes) {
    std::size_t offset = 0;
    Allocation* allocation = Find(address, bytes, offset);
    if (allocation == nullptr) return false;
    if (bytes == 0) return true;
    Materialise(*allocation, offset, bytes);
    std::memcpy(target, allocation->buffer->bytes.get() + offset, bytes);
    return true;
}

// The bytes [offset, offset + bytes) are about to be overwritten: pending
// elements wholly inside stop being owed, an element cut by either edge is
// computed first so that its other byte stays right.
void DeviceMemory::Settle(Allocation& allocation, std::size_t offset, std::size_t bytes) {
    const std::size_t end = offset + bytes;
    for (auto& product : allocation.pending) {
        const std::size_t low = std::max(offset, product.c_offset);
        const std::size_t high = std::min(end, product.EndOffset());
        if (low >= high) continue;
        const std::size_t first_byte = low - product.c_offset;
        const std::size_t end_byte = high - product.c_offset;
        if (first_byte == 0 && end_byte == product.EndOffset() - product.c_offset) {
            product.settled_count = product.Elements();  // wholly overwritten
            continue;
        }
        if (first_byte % 2 != 0) Compute(allocation, product, first_byte / 2, first_byte / 2);
        if (end_byte % 2 != 0) Compute(allocation, product, end_byte / 2, end_byte / 2);
        for (std::uint64_t element = (first_byte + 1) / 2; element < end_byte / 2; ++element)
            product.MarkSettled(element);
        product.host_touched = true;
    }
    std::erase_if(allocation.pending, [](const PendingProduct& product) { return product.Done(); });
}

void DeviceMemory::Materialise(Allocation& allocation, std::size_t offset, std::size_t bytes) {
    const std::size_t end = offset + bytes;
    for (auto& product : allocation.pending) {
        const std::size_t low = std::max(offset, product.c_offset);
        const std::size_t high = std::min(end, product.EndOffset());
        if (low >= high) continue;
        Compute(allocation, product, (low - product.c_offset) / 2, (high - 1 - product.c_offset) / 2);
    }
    std::erase_if(allocation.pending, [](const PendingProduct& product) { return product.Done(); });
}

// Computes the still-owed elements first..last (inclusive, row-major) of one
// product into the allocation's bytes.
void DeviceMemory::Compute(Allocation& allocation, PendingProduct& product, std::uint64_t first, std::uint64_t last) {
    std::uint64_t owed = 0;
    for (std::uint64_t element = first; element <= last; ++element) owed += product.IsSettled(element) ? 0 : 1;
    if (owed == 0) return;

    const std::uint32_t n = product.n;
    const unsigned char* a = product.a->bytes.get() + product.a_offset;
    const unsigned char* b = product.b->bytes.get() + product.b_offset;
    unsigned char* c = MutableBytes(allocation) + product.c_offset;

    // Many elements: convert B once, transposed, instead of once per element.
    const bool bulk = owed > 4ull * n;
    std::vector<float> b_transposed;
    if (bulk) {
        b_transposed.resize(std::uint64_t{n} * n);
        for (std::uint64_t k = 0; k < n; ++k)
            for (std::uint64_t column = 0; column < n; ++column)
                b_transposed[column * n + k] = HalfToFloat(LoadHalf(b, k * n + column));
    }
    std::vector<float> a_row(n), b_column(n);
    std::uint64_t loaded_row = ~std::uint64_t{0};
    for (std::uint64_t element = first; element <= last; ++element) {
        if (product.IsSettled(element)) continue;
        const std::uint64_t row = element / n;
        const std::uint64_t column = element % n;
        if (row != loaded_row) {
            for (std::uint64_t k = 0; k < n; ++k) a_row[k] = HalfToFloat(LoadHalf(a, row * n + k));
            loaded_row = row;
        }
        const float* column_values = b_column.data();
        if (bulk) {
            column_values = b_transposed.data() + column * n;
        } else {
            for (std::uint64_t k = 0; k < n; ++k) b_column[k] = HalfToFloat(LoadHalf(b, k * n + column));
        }
        std::uint16_t value = GemmElement(a_row.data(), column_values, n, product.fp16_accumulate);
        if (element == 0 && product.fault == GemmFault::Wrong) value = FloatToHalf(HalfToFloat(value) + 1.0f / 64);
        if (element == 0 && product.fault == GemmFault::Nan) value = 0x7e00;
        if (element == product.Elements() - 1 && product.fault == GemmFault::Inf) value = 0x7c00;
        std::memcpy(c + 2 * element, &value, 2);
        product.MarkSettled(element);
    }
}

void DeviceMemory::Gemm(const GemmLaunch& launch) {
    const std::size_t bytes = 2 * std::size_t{launch.n} * launch.n;
    std::size_t a_offset = 0, b_offset = 0, c_offset = 0;
    Allocation* a = Find(launch.a, bytes, a_offset);
    Allocation* b = Find(launch.b, bytes, b_offset);
    Allocation* c = Find(launch.c, bytes, c_offset);
    if (a == nullptr || b == nullptr || c == nullptr || launch.fault == GemmFault::NoWrite) return;

    const unsigned char stray = 0;
    if (launch.fault == GemmFault::GuardBefore) Write(launch.c - 1, &stray, 1);
    if (launch.fault == GemmFault::GuardAfter) Write(launch.c + bytes, &stray, 1);

    // Launches of one batch repeat the same product: keep what was computed.
    if (!c->pending.empty()) {
        const PendingProduct& last = c->pending.back();
        if (last.c_offset == c_offset && last.n == launch.n && last.fp16_accumulate == launch.fp16_accumulate &&
            last.fault == launch.fault && last.a == a->buffer && last.a_offset == a_offset && last.b == b->buffer &&
            last.b_offset == b_offset && !last.host_touched)
            return;
    }
    Settle(*c, c_offset, bytes);
    PendingProduct product;
    product.c_offset = c_offset;
    product.n = launch.n;
    product.fp16_accumulate = launch.fp16_accumulate;
    product.fault = launch.fault;
    product.a = a->buffer;
    product.a_offset = a_offset;
    product.b = b->buffer;
    product.b_offset = b_offset;
    c->pending.push_back(std::move(product));
}

}  // namespace fpbench::sim
