// The embedded kernel catalogue: every pair found, the digests recomputed by a tool that shares nothing with the build
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
#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace fpbench {
namespace {

// SHA-256 by an outside tool over the same bytes, lowercase hex. The Windows suites read the same generated catalogue
// and leave this to the Linux ones.
std::string Sha256Hex(std::string_view data) {
#if defined(_WIN32)
    (void)data;
    return "";
#else
    test::TempDir dir;
    test::WriteFileBytes(dir.path() / "bytes", std::string(data));
    return test::RunWithSim({"sha256sum", (dir.path() / "bytes").string()}).out.substr(0, 64);
#endif
}
bool Checked(const std::string& digest, std::string_view data) { return sizeof(wchar_t) == 2 || digest == Sha256Hex(data); }

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
        EXPECT_EQ(std::tuple(entry.n, entry.fp16_accumulate, std::string(entry.name), entry.shared_bytes, entry.threads, GridBlocks(entry)),
                  std::tuple(std::uint32_t(n), i % 2 == 0, std::string("fp16_native_gemm"), 32768u, 128u, unsigned(n / 128 * n / 128)));
        ASSERT_GE(entry.cubin_size, 64u);
        EXPECT_TRUE(Checked(entry.sha256, Bytes(entry))) << entry.sha256;
        EXPECT_EQ(std::memcmp(entry.cubin, "\x7f" "ELF\x02", 5), 0);  // 64-bit ELF
        EXPECT_EQ(entry.cubin[18] | entry.cubin[19] << 8, 190) << "EM_CUDA";
        EXPECT_EQ(entry.cubin[48], 86) << "sm_86 in e_flags";

        const std::string ptx(entry.ptx);
        EXPECT_EQ(ptx.find("mma.sync.aligned.m16n8k16.row.col.f16.f16.f16.f16") != std::string::npos, entry.fp16_accumulate);
        EXPECT_EQ(ptx.find("mma.sync.aligned.m16n8k16.row.col.f32.f16.f16.f32") != std::string::npos, !entry.fp16_accumulate);
        cubins.insert(Bytes(entry)), ptxs.insert(ptx), digests.insert(entry.sha256);
    }
    EXPECT_EQ(std::tuple(cubins.size(), ptxs.size(), digests.size()), std::tuple(8u, 8u, 8u));
    for (const std::int32_t n : {2048, 128, 0, -256, 8193})  // the message shows in the engine's tests
        for (const bool fp16 : {true, false}) EXPECT_THROW(FindKernel(n, fp16), std::runtime_error) << n;
}

TEST(KernelCatalogue, SourceDigestAndLicenceNoticeComeFromTheKernelSource) {
    const std::string source = test::ReadFileBytes(test::SourceDir() / "kernels" / "fp16_native_kernel.py");
    EXPECT_TRUE(Checked(KernelSourceSha256, source));

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
