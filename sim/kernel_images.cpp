#include "sim/kernel_images.h"

#include <algorithm>
#include <cstring>

namespace fpbench::sim {
namespace {

bool IsElf64(const unsigned char* image) {
    // Byte by byte, so that a short text image is not read past its NUL.
    return image[0] == 0x7f && image[1] == 'E' && image[2] == 'L' && image[3] == 'F' && image[4] == 2;
}

template <typename T>
T Field(const unsigned char* image, std::uint64_t offset) {
    T value;
    std::memcpy(&value, image + offset, sizeof value);
    return value;
}

// The length of an ELF64 image as its headers describe it: the end of the
// last header table or section, whichever lies furthest. Trailing padding
// beyond it is not compared.
std::uint64_t ElfImageSize(const unsigned char* image) {
    const auto program_headers = Field<std::uint64_t>(image, 0x20);
    const auto section_headers = Field<std::uint64_t>(image, 0x28);
    const auto program_entry_size = Field<std::uint16_t>(image, 0x36);
    const auto program_entries = Field<std::uint16_t>(image, 0x38);
    const auto section_entry_size = Field<std::uint16_t>(image, 0x3a);
    const auto section_entries = Field<std::uint16_t>(image, 0x3c);
    std::uint64_t size = std::max<std::uint64_t>(
        {64, program_headers + std::uint64_t{program_entry_size} * program_entries,
         section_headers + std::uint64_t{section_entry_size} * section_entries});
    constexpr std::uint32_t kNoBits = 8;
    for (std::uint16_t i = 0; i < section_entries && section_entry_size >= 64; ++i) {
        const std::uint64_t header = section_headers + std::uint64_t{i} * section_entry_size;
        if (Field<std::uint32_t>(image, header + 4) == kNoBits) continue;
        size = std::max(size, Field<std::uint64_t>(image, header + 0x18) + Field<std::uint64_t>(image, header + 0x20));
    }
    return size;
}

}  // namespace

const KernelEntry* FindCatalogueImage(const void* image) {
    const auto* bytes = static_cast<const unsigned char*>(image);
    if (IsElf64(bytes)) {
        const std::uint64_t size = ElfImageSize(bytes);
        for (const KernelEntry& entry : KernelCatalogue())
            if (size <= entry.cubin_size && std::memcmp(bytes, entry.cubin, size) == 0) return &entry;
        return nullptr;
    }
    const auto* text = static_cast<const char*>(image);
    for (const KernelEntry& entry : KernelCatalogue())
        if (std::strcmp(text, entry.ptx) == 0) return &entry;
    return nullptr;
}

}  // namespace fpbench::sim
