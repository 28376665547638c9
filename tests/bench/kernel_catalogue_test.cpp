#include "bench/kernel_catalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

namespace fpbench {
namespace {

// A SHA-256 of our own (FIPS 180-4), so the digests are checked by code that
// shares nothing with the build step that wrote them.
std::string Sha256Hex(const unsigned char* data, std::size_t size) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };

    std::string message(reinterpret_cast<const char*>(data), size);
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56) message.push_back('\0');
    const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
    for (int shift = 56; shift >= 0; shift -= 8) message.push_back(static_cast<char>(bits >> shift));

    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(message.data() + block + 4 * i);
            w[i] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        const std::uint32_t add[8] = {a, b, c, d, e, f, g, hh};
        for (int i = 0; i < 8; ++i) h[i] += add[i];
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (std::uint32_t word : h) {
        for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(kHex[(word >> shift) & 0xF]);
    }
    return hex;
}

std::string Sha256Hex(std::string_view text) {
    return Sha256Hex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(KernelCatalogue, OwnSha256MatchesPublishedVectors) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(KernelCatalogue, FindKernelReturnsTheEntryOfEveryPair) {
    const auto catalogue = KernelCatalogue();
    const std::int32_t sides[] = {256, 1024, 4096, 8192};
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        const std::int32_t n = sides[i / 2];
        const bool fp16 = i % 2 == 0;
        SCOPED_TRACE(testing::Message() << "n=" << n << " fp16=" << fp16);
        const KernelEntry& entry = FindKernel(n, fp16);
        EXPECT_EQ(&entry, &catalogue[i]);
        EXPECT_EQ(entry.n, static_cast<std::uint32_t>(n));
        EXPECT_EQ(entry.fp16_accumulate, fp16);
        EXPECT_STREQ(entry.name, "fp16_native_gemm");
        EXPECT_EQ(entry.shared_bytes, 32768u);
        EXPECT_EQ(entry.threads, 128u);
    }
}

TEST(KernelCatalogue, FindKernelRejectsSizesWithoutAnImage) {
    for (std::int32_t n : {2048, 128, 0, -256, 8193}) {
        SCOPED_TRACE(n);
        for (bool fp16 : {true, false}) {
            try {
                FindKernel(n, fp16);
                ADD_FAILURE() << "no exception";
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "No embedded kernel for selected size");
            }
        }
    }
}

TEST(KernelCatalogue, DigestsAreTheSha256OfTheCompiledImages) {
    for (const KernelEntry& entry : KernelCatalogue()) {
        SCOPED_TRACE(entry.n);
        ASSERT_NE(entry.cubin, nullptr);
        ASSERT_GT(entry.cubin_size, 0u);
        EXPECT_EQ(std::string(entry.sha256), Sha256Hex(entry.cubin, entry.cubin_size));
    }
}

TEST(KernelCatalogue, CompiledImagesAreElfForSm86) {
    for (const KernelEntry& entry : KernelCatalogue()) {
        SCOPED_TRACE(entry.n);
        ASSERT_GE(entry.cubin_size, 64u);
        EXPECT_EQ(std::memcmp(entry.cubin, "\x7f" "ELF", 4), 0);
        EXPECT_EQ(entry.cubin[4], 2) << "64-bit class";
        EXPECT_EQ(entry.cubin[18] | entry.cubin[19] << 8, 190) << "EM_CUDA";
        EXPECT_EQ(entry.cubin[48], 86) << "sm_86 in e_flags";
    }
}

// The accumulator is visible in the tensor-core instructions; a swapped entry
// would time the other mode under this one's name.
TEST(KernelCatalogue, PtxMatchesTheContractOfItsEntry) {
    const std::regex header(R"(^\.version 8\.7\s*\n\.target sm_86\s*\n\.address_size 64\s*$)",
                            std::regex::multiline);
    const std::regex entry_point(R"(\.visible\s+\.entry\s+fp16_native_gemm\s*\(([^)]*)\))");
    const std::regex param(R"(\.param\s+\.(\w+))");
    for (const KernelEntry& entry : KernelCatalogue()) {
        SCOPED_TRACE(testing::Message() << entry.n << (entry.fp16_accumulate ? " fp16" : " fp32"));
        const std::string ptx(entry.ptx);
        EXPECT_TRUE(std::regex_search(ptx, header));
        std::smatch match;
        ASSERT_TRUE(std::regex_search(ptx, match, entry_point));
        const std::string params = match[1];
        std::vector<std::string> types;
        for (std::sregex_iterator it(params.begin(), params.end(), param), end; it != end; ++it) {
            types.push_back((*it)[1]);
        }
        EXPECT_EQ(types, std::vector<std::string>(5, "u64"));
        const bool has_f16 = ptx.find("mma.sync.aligned.m16n8k16.row.col.f16.f16.f16.f16") != std::string::npos;
        const bool has_f32 = ptx.find("mma.sync.aligned.m16n8k16.row.col.f32.f16.f16.f32") != std::string::npos;
        EXPECT_EQ(has_f16, entry.fp16_accumulate);
        EXPECT_EQ(has_f32, !entry.fp16_accumulate);
    }
}

TEST(KernelCatalogue, EveryEntryHasItsOwnImages) {
    std::set<std::string> cubins, ptxs, digests;
    for (const KernelEntry& entry : KernelCatalogue()) {
        cubins.emplace(reinterpret_cast<const char*>(entry.cubin), entry.cubin_size);
        ptxs.emplace(entry.ptx);
        digests.emplace(entry.sha256);
    }
    EXPECT_EQ(cubins.size(), 8u);
    EXPECT_EQ(ptxs.size(), 8u);
    EXPECT_EQ(digests.size(), 8u);
}

TEST(KernelCatalogue, SourceDigestIsTheSha256OfTheKernelSource) {
    const std::string source =
        test::ReadFileBytes(std::filesystem::path(TESSMOR_SOURCE_DIR) / "kernels" / "fp16_native_kernel.py");
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(std::string(KernelSourceSha256), Sha256Hex(source));
}

TEST(KernelCatalogue, LicenceNoticeIsTheCommentBlockOfTheKernelSource) {
    const std::string_view notice = KernelLicenceNotice();
    EXPECT_EQ(notice.size(), 1132u);
    EXPECT_EQ(notice.find('\r'), std::string_view::npos);
    EXPECT_EQ(notice.find('\0'), std::string_view::npos);
    ASSERT_TRUE(notice.ends_with('\n'));

    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < notice.size();) {
        const std::size_t end = notice.find('\n', start);
        lines.push_back(notice.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 23u);
    EXPECT_EQ(lines.front(), "/*");
    EXPECT_EQ(lines.back(), "*/");
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_TRUE(lines[i].starts_with('*'));
        EXPECT_FALSE(lines[i].ends_with(' '));
        for (char c : lines[i]) EXPECT_TRUE(c >= 0x20 && c < 0x7f);
    }
    EXPECT_NE(notice.find("Permission is hereby granted, free of charge"), std::string_view::npos);

    const std::string source =
        test::ReadFileBytes(std::filesystem::path(TESSMOR_SOURCE_DIR) / "kernels" / "fp16_native_kernel.py");
    EXPECT_NE(source.find(notice), std::string::npos) << "notice differs from the kernel source's";
}

}  // namespace
}  // namespace fpbench
