// The embedded kernel catalogue: every pair found, the digests recomputed by code that shares nothing with the build
// step, the images' headers and PTX contract, and the licence notice taken from the kernel source.
#include "bench/kernel_catalogue.h"

#include <gtest/gtest.h>

#include "bench/timed_batch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

namespace fpbench {
namespace {

// SHA-256 (FIPS 180-4), lowercase hex; a wrong one could only fail the digests, never pass them.
std::string Sha256Hex(std::string_view data) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    std::string message(data);
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56) message.push_back('\0');
    for (int shift = 56; shift >= 0; shift -= 8) message.push_back(static_cast<char>((data.size() * 8) >> shift));
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t w[64], v[8];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(message.data() + block + 4 * i);
            w[i] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
        }
        for (int i = 16; i < 64; ++i)
            w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                   (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        std::copy(h, h + 8, v);
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                                     ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
            const std::uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                                     ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
            std::copy_backward(v, v + 7, v + 8);
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    std::string hex;
    for (std::uint32_t word : h)
        for (int shift = 28; shift >= 0; shift -= 4) hex.push_back("0123456789abcdef"[(word >> shift) & 0xF]);
    return hex;
}

std::string Bytes(const KernelEntry& entry) { return std::string(reinterpret_cast<const char*>(entry.cubin), entry.cubin_size); }

// The accumulator is visible in the tensor-core instructions; a swapped entry would time the other mode under this
// one's name.
TEST(KernelCatalogue, EveryPairHasItsOwnCheckedImages) {
    std::set<std::string> cubins, ptxs, digests;
    for (std::size_t i = 0; i < KernelCatalogue().size(); ++i) {
        const KernelEntry& entry = KernelCatalogue()[i];
        const std::int32_t n = std::vector<std::int32_t>{256, 1024, 4096, 8192}[i / 2];
        SCOPED_TRACE(testing::Message() << n << (i % 2 == 0 ? " fp16" : " fp32"));
        EXPECT_EQ(&FindKernel(n, i % 2 == 0), &entry);
        EXPECT_EQ(entry.n, static_cast<std::uint32_t>(n));
        EXPECT_EQ(entry.fp16_accumulate, i % 2 == 0);
        EXPECT_STREQ(entry.name, "fp16_native_gemm");
        EXPECT_EQ(entry.shared_bytes, 32768u);
        EXPECT_EQ(entry.threads, 128u);
        const unsigned blocks[] = {4, 64, 1024, 4096};
        EXPECT_EQ(GridBlocks(entry), blocks[i / 2]);
        ASSERT_GE(entry.cubin_size, 64u);
        EXPECT_EQ(std::string(entry.sha256), Sha256Hex(Bytes(entry)));
        EXPECT_EQ(std::memcmp(entry.cubin, "\x7f" "ELF\x02", 5), 0);  // 64-bit ELF
        EXPECT_EQ(entry.cubin[18] | entry.cubin[19] << 8, 190) << "EM_CUDA";
        EXPECT_EQ(entry.cubin[48], 86) << "sm_86 in e_flags";

        const std::string ptx(entry.ptx);
        EXPECT_EQ(ptx.find("mma.sync.aligned.m16n8k16.row.col.f16.f16.f16.f16") != std::string::npos, entry.fp16_accumulate);
        EXPECT_EQ(ptx.find("mma.sync.aligned.m16n8k16.row.col.f32.f16.f16.f32") != std::string::npos, !entry.fp16_accumulate);
        cubins.insert(Bytes(entry));
        ptxs.insert(ptx);
        digests.insert(entry.sha256);
    }
    EXPECT_EQ(cubins.size(), 8u);
    EXPECT_EQ(ptxs.size(), 8u);
    EXPECT_EQ(digests.size(), 8u);

    for (const std::int32_t n : {2048, 128, 0, -256, 8193}) {
        for (const bool fp16 : {true, false}) {
            EXPECT_THROW(FindKernel(n, fp16), std::runtime_error) << n;  // the message shows in the engine's tests
        }
    }
}

TEST(KernelCatalogue, SourceDigestAndLicenceNoticeComeFromTheKernelSource) {
    const std::string source = test::ReadFileBytes(test::SourceDir() / "kernels" / "fp16_native_kernel.py");
    EXPECT_EQ(std::string(KernelSourceSha256), Sha256Hex(source));

    const std::string_view notice = KernelLicenceNotice();
    EXPECT_EQ(notice.size(), 1132u);
    EXPECT_NE(source.find(notice), std::string::npos) << "notice differs from the kernel source's";
    EXPECT_TRUE(notice.starts_with("/*\n"));
    EXPECT_TRUE(notice.ends_with("\n*/\n"));
    EXPECT_EQ(std::count(notice.begin(), notice.end(), '\n'), 23);
    EXPECT_NE(notice.find("Permission is hereby granted, free of charge"), std::string_view::npos);
}

}  // namespace
}  // namespace fpbench
