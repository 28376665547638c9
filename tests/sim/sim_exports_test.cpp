// The simulated CUDA driver and NVML through their exports, loaded the way
// the product loads them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/kernel_catalogue.h"
#include "sim/half.h"
#include "sim_library.h"
#include "support/test_support.h"

namespace fpbench::test {
namespace {

// A loaded driver with the primary context of device 0 current and a stream.
struct Gpu {
    Gpu() {
        EXPECT_EQ(api.cuInit(0), 0);
        EXPECT_EQ(api.cuDevicePrimaryCtxRetain(&context, 0), 0);
        EXPECT_EQ(api.cuCtxSetCurrent(context), 0);
        EXPECT_EQ(api.cuStreamCreate(&stream, 1), 0);
    }
    CUdeviceptr Allocate(std::size_t bytes) {
        CUdeviceptr address = 0;
        EXPECT_EQ(api.cuMemAlloc_v2(&address, bytes), 0);
        return address;
    }
    CUfunction Load(const void* image) {
        CUmodule module = nullptr;
        CUfunction function = nullptr;
        EXPECT_EQ(api.cuModuleLoadDataEx(&module, image, 0, nullptr, nullptr), 0);
        EXPECT_EQ(api.cuModuleGetFunction(&function, module, "fp16_native_gemm"), 0);
        return function;
    }
    CUresult Launch(CUfunction function, unsigned grid, CUdeviceptr a, CUdeviceptr b, CUdeviceptr c,
                    CUdeviceptr fourth = 0, unsigned block = 128, unsigned shared = 32768) {
        CUdeviceptr values[5] = {a, b, c, fourth, 0};
        void* params[5] = {&values[0], &values[1], &values[2], &values[3], &values[4]};
        return api.cuLaunchKernel(function, grid, 1, 1, block, 1, 1, shared, stream, params, nullptr);
    }

    SimLibrary library{SimKind::Cuda};
    CudaApi api{library};
    CUcontext context = nullptr;
    CUstream stream = nullptr;
};

std::vector<std::uint16_t> SignMatrix(std::uint32_t n, std::uint32_t seed) {
    std::vector<std::uint16_t> matrix(std::size_t{n} * n);
    for (auto& element : matrix) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        element = static_cast<std::uint16_t>(0x2c00 | (seed & 1u) << 15);
    }
    return matrix;
}

TEST(CudaSim, UnloadingReallyUnloadsAndReloadingRereadsTheEnvironment) {
    {
        ScopedEnv devices("TESSMOR_SIM_DEVICES", "2");
        Gpu gpu;
        int count = 0;
        EXPECT_EQ(gpu.api.cuDeviceGetCount(&count), 0);
        EXPECT_EQ(count, 2);
        EXPECT_TRUE(SimLibrary::Resident(SimKind::Cuda));
    }
    EXPECT_FALSE(SimLibrary::Resident(SimKind::Cuda));
    ScopedEnv devices("TESSMOR_SIM_DEVICES", "0");
    SimLibrary library(SimKind::Cuda);
    CudaApi api(library);
    int count = -1;
    CUcontext current = reinterpret_cast<CUcontext>(1);
    EXPECT_EQ(api.cuDeviceGetCount(&count), 3);  // before cuInit
    EXPECT_EQ(api.cuInit(0), 0);
    EXPECT_EQ(api.cuDeviceGetCount(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(api.cuCtxGetCurrent(&current), 0);
    EXPECT_EQ(current, nullptr);  // nothing left over from the previous load
}

TEST(CudaSim, InjectedFailuresHitCountCallsFromTheKthAndAreTraced) {
    TempDir dir;
    const auto trace = dir.path() / "trace.txt";
    ScopedEnv fail("TESSMOR_SIM_FAIL", "cuDeviceGetCount:2:-7:2,nvmlInit_v2:1:3");
    ScopedEnv tracing("TESSMOR_SIM_TRACE", trace.string());
    {
        SimLibrary library(SimKind::Cuda);
        CudaApi api(library);
        ASSERT_EQ(api.cuInit(0), 0);
        for (const int expected : {0, -7, -7, 0}) {
            int count = 42;
            EXPECT_EQ(api.cuDeviceGetCount(&count), expected);
            EXPECT_EQ(count, expected == 0 ? 1 : 42);  // a failed call leaves its output alone
        }
    }
    {
        SimLibrary library(SimKind::Nvml);
        NvmlApi api(library);
        EXPECT_EQ(api.nvmlInit_v2(), 3);
        EXPECT_EQ(api.nvmlInit_v2(), 3);
    }
    EXPECT_EQ(ReadTrace(trace), (std::vector<std::string>{"cuInit 0", "cuDeviceGetCount 0", "cuDeviceGetCount -7",
                                                          "cuDeviceGetCount -7", "cuDeviceGetCount 0", "nvmlInit_v2 3",
                                                          "nvmlInit_v2 3"}));
}

TEST(CudaSim, ContextCallsNeedAnActivePrimaryContextCurrentOnThisThread) {
    SimLibrary library(SimKind::Cuda);
    CudaApi api(library);
    ASSERT_EQ(api.cuInit(0), 0);
    CUdeviceptr address = 0;
    CUdevice device = -1;
    EXPECT_EQ(api.cuMemAlloc_v2(&address, 64), 201);
    EXPECT_EQ(api.cuDeviceGet(&device, 1), 101);
    EXPECT_EQ(api.cuDevicePrimaryCtxRelease_v2(0), 201);  // never retained

    CUcontext context = nullptr, again = nullptr;
    ASSERT_EQ(api.cuDevicePrimaryCtxRetain(&context, 0), 0);
    ASSERT_EQ(api.cuDevicePrimaryCtxRetain(&again, 0), 0);
    EXPECT_EQ(context, again);
    ASSERT_EQ(api.cuCtxSetCurrent(context), 0);
    EXPECT_EQ(api.cuMemAlloc_v2(&address, 64), 0);
    std::thread([&] {
        CUcontext elsewhere = context;
        EXPECT_EQ(api.cuCtxGetCurrent(&elsewhere), 0);
        EXPECT_EQ(elsewhere, nullptr);
        CUevent event = nullptr;
        EXPECT_EQ(api.cuEventCreate(&event, 0), 201);
    }).join();

    std::size_t free = 0, total = 0;
    EXPECT_EQ(api.cuMemAlloc_v2(&address, 25ull << 30), 2);
    ASSERT_EQ(api.cuMemGetInfo_v2(&free, &total), 0);
    EXPECT_EQ(free, (24ull << 30) - 64);
    EXPECT_EQ(api.cuMemFree_v2(address + 1), 1);

    EXPECT_EQ(api.cuDevicePrimaryCtxRelease_v2(0), 0);
    EXPECT_EQ(api.cuDevicePrimaryCtxRelease_v2(0), 0);
    EXPECT_EQ(api.cuMemFree_v2(address), 201);  // released: no longer active
}

TEST(CudaSim, EveryCatalogueImageRunsItsOwnProductAtTheModelledRate) {
    ScopedEnv fp16_rate("TESSMOR_SIM_TFLOPS", "200");
    Gpu gpu;
    CUevent start = nullptr, stop = nullptr;
    ASSERT_EQ(gpu.api.cuEventCreate(&start, 0), 0);
    ASSERT_EQ(gpu.api.cuEventCreate(&stop, 0), 0);
    for (const KernelEntry& entry : KernelCatalogue()) {
        const std::size_t bytes = 2 * std::size_t{entry.n} * entry.n;
        const CUdeviceptr a = gpu.Allocate(bytes), b = gpu.Allocate(bytes), c = gpu.Allocate(bytes);
        const unsigned grid = (entry.n / 128) * (entry.n / 128);
        for (const void* image : {static_cast<const void*>(entry.cubin), static_cast<const void*>(entry.ptx)}) {
            const CUfunction function = gpu.Load(image);
            ASSERT_EQ(gpu.api.cuEventRecord(start, gpu.stream), 0);
            for (int i = 0; i < 3; ++i) ASSERT_EQ(gpu.Launch(function, grid, a, b, c), 0);
            ASSERT_EQ(gpu.api.cuEventRecord(stop, gpu.stream), 0);
            float ms = 0;
            ASSERT_EQ(gpu.api.cuEventElapsedTime(&ms, start, stop), 0);
            const double seconds = 3 * 2.0 * entry.n * entry.n * entry.n / ((entry.fp16_accumulate ? 200 : 50) * 1e12);
            EXPECT_FLOAT_EQ(ms, static_cast<float>(seconds * 1000)) << entry.n << (image == entry.ptx ? " PTX" : " cubin");
        }
        for (const CUdeviceptr address : {a, b, c}) EXPECT_EQ(gpu.api.cuMemFree_v2(address), 0);
    }

    // The numbers themselves, N = 256, both accumulators.
    constexpr std::uint32_t n = 256;
    const auto host_a = SignMatrix(n, 20261028), host_b = SignMatrix(n, 20261029);
    const CUdeviceptr a = gpu.Allocate(2 * n * n), b = gpu.Allocate(2 * n * n), zone = gpu.Allocate(2 * n * n + 512);
    ASSERT_EQ(gpu.api.cuMemcpyHtoD_v2(a, host_a.data(), 2 * n * n), 0);
    ASSERT_EQ(gpu.api.cuMemcpyHtoD_v2(b, host_b.data(), 2 * n * n), 0);
    ASSERT_EQ(gpu.api.cuMemsetD8_v2(zone, 0xa5, 2 * n * n + 512), 0);
    int sum = 0;
    for (std::uint32_t k = 0; k < n; ++k) sum += ((host_a[k] ^ host_b[k * n]) & 0x8000) ? -1 : 1;
    for (const int entry : {0, 1}) {
        ASSERT_EQ(gpu.Launch(gpu.Load(KernelCatalogue()[entry].cubin), 4, a, b, zone + 256), 0);
        std::uint16_t element = 0;
        ASSERT_EQ(gpu.api.cuMemcpyDtoH_v2(&element, zone + 256, 2), 0);
        EXPECT_EQ(sim::HalfToFloat(element), sum / 256.0f);
        unsigned char guard[256];
        ASSERT_EQ(gpu.api.cuMemcpyDtoH_v2(guard, zone, 256), 0);
        EXPECT_EQ(guard[0], 0xa5);
        EXPECT_EQ(guard[255], 0xa5);
    }
}

TEST(CudaSim, LaunchesBreakingTheCallingContractFail) {
    Gpu gpu;
    constexpr std::size_t bytes = 2 * 256 * 256;
    const CUdeviceptr a = gpu.Allocate(bytes), b = gpu.Allocate(bytes), c = gpu.Allocate(bytes);
    const CUfunction function = gpu.Load(KernelCatalogue()[0].ptx);
    EXPECT_EQ(gpu.Launch(function, 4, a, b, c), 0);
    EXPECT_EQ(gpu.Launch(function, 16, a, b, c), 1);
    EXPECT_EQ(gpu.Launch(function, 4, a, b, c, 0, 256), 1);
    EXPECT_EQ(gpu.Launch(function, 4, a, b, c, 0, 128, 16384), 1);
    EXPECT_EQ(gpu.Launch(function, 4, a, b, c, a), 1);
    EXPECT_EQ(gpu.Launch(function, 4, a + 2, b, c), 1);
    EXPECT_EQ(gpu.Launch(reinterpret_cast<CUfunction>(&gpu), 4, a, b, c), 400);
    CUdeviceptr values[5] = {a, b, c, 0, 0};
    void* params[5] = {&values[0], &values[1], &values[2], &values[3], &values[4]};
    EXPECT_EQ(gpu.api.cuLaunchKernel(function, 4, 1, 1, 128, 1, 1, 32768, nullptr, params, nullptr), 1);
    EXPECT_EQ(gpu.api.cuLaunchKernel(function, 4, 1, 1, 128, 1, 1, 32768, gpu.stream, params, params), 1);
}

TEST(CudaSim, ModuleLoadingRefusesEmptyImagesAndReportsTheConfiguredLog) {
    {
        Gpu gpu;
        CUmodule module = nullptr;
        CUfunction function = nullptr;
        EXPECT_EQ(gpu.api.cuModuleLoadDataEx(&module, "", 0, nullptr, nullptr), 200);
        EXPECT_EQ(gpu.api.cuModuleLoadDataEx(&module, nullptr, 0, nullptr, nullptr), 200);
        ASSERT_EQ(gpu.api.cuModuleLoadDataEx(&module, "not a kernel", 0, nullptr, nullptr), 0);
        EXPECT_EQ(gpu.api.cuModuleGetFunction(&function, module, "other_kernel"), 500);
        EXPECT_EQ(gpu.api.cuFuncSetAttribute(gpu.Load("not a kernel"), 8, 101377), 1);

        // An image the catalogue does not hold runs, and writes nothing.
        const CUdeviceptr c = gpu.Allocate(2 * 256 * 256);
        ASSERT_EQ(gpu.api.cuMemsetD8_v2(c, 0xa5, 2 * 256 * 256), 0);
        EXPECT_EQ(gpu.Launch(gpu.Load("not a kernel"), 4, c, c, c), 0);
        std::uint16_t element = 0;
        ASSERT_EQ(gpu.api.cuMemcpyDtoH_v2(&element, c, 2), 0);
        EXPECT_EQ(element, 0xa5a5);
    }
    ScopedEnv log("TESSMOR_SIM_LOAD_LOG", "ptxas fatal: unsupported");
    Gpu gpu;
    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    CUjit_option keys[2] = {5, 6};
    void* values[2] = {buffer, reinterpret_cast<void*>(std::uintptr_t{8})};
    CUmodule module = nullptr;
    EXPECT_EQ(gpu.api.cuModuleLoadDataEx(&module, KernelCatalogue()[0].ptx, 2, keys, values), 218);
    EXPECT_STREQ(buffer, "ptxas f");
    EXPECT_EQ(buffer[8], 'z');
}

#if defined(_WIN32)
#endif

}  // namespace
}  // namespace fpbench::test
