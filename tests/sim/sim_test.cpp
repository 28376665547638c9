// What keeps the simulated driver strict where the product's suites rely on it being strict: a launch that breaks the
// kernels' calling contract, and a copy outside one live allocation, fail. A product that did either would otherwise
// pass its tests.
#include <gtest/gtest.h>

#include "bench/kernel_catalogue.h"
#include "gpu/gpu_session.h"

namespace fpbench {
namespace {

TEST(SimulatedDriver, RefusesBrokenLaunchesAndCopiesOutsideAnAllocation) {
    CudaDriver driver;
    GpuSession session(driver);
    session.Open(0);
    constexpr std::size_t bytes = 2 * 256 * 256;
    const CUdeviceptr a = session.Allocate(bytes), b = session.Allocate(bytes), c = session.Allocate(bytes);
    CUfunction function = nullptr;
    ASSERT_EQ(driver->cuModuleGetFunction(&function, session.LoadModule(KernelCatalogue()[0].ptx), "fp16_native_gemm"), 0);
    const auto launch = [&](unsigned grid, CUdeviceptr first, CUdeviceptr fourth, unsigned block, unsigned shared,
                            CUstream stream, bool extra) {
        CUdeviceptr values[5] = {first, b, c, fourth, 0};
        void* params[5] = {&values[0], &values[1], &values[2], &values[3], &values[4]};
        return driver->cuLaunchKernel(function, grid, 1, 1, block, 1, 1, shared, stream, params, extra ? params : nullptr);
    };
    EXPECT_EQ(launch(4, a, 0, 128, 32768, session.stream(), false), 0);
    for (const CUresult refused : {launch(16, a, 0, 128, 32768, session.stream(), false), launch(4, a, 0, 256, 32768, session.stream(), false),
                                   launch(4, a, 0, 128, 16384, session.stream(), false), launch(4, a, a, 128, 32768, session.stream(), false),
                                   launch(4, a + 2, 0, 128, 32768, session.stream(), false), launch(4, a, 0, 128, 32768, nullptr, false),
                                   launch(4, a, 0, 128, 32768, session.stream(), true)})
        EXPECT_EQ(refused, 1);

    unsigned char byte = 0;
    EXPECT_EQ(driver->cuMemcpyDtoH_v2(&byte, c + bytes - 1, 1), 0);
    EXPECT_EQ(driver->cuMemcpyDtoH_v2(&byte, c + bytes, 1), 1);
    EXPECT_EQ(driver->cuMemcpyDtoH_v2(&byte, c - 1, 2), 1);
    EXPECT_EQ(driver->cuMemsetD8_v2(c + 1, 0, bytes), 1);
    EXPECT_TRUE(session.Cleanup());
}

}  // namespace
}  // namespace fpbench
