// The driver binding against the simulated driver: every construction
// message, the error-text convention and the release passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "gpu/cuda_driver.h"
#include "test_support.h"

namespace fpbench {
namespace {

using test::ScopedEnv;
using test::TempDir;

std::string ConstructionError() {
    try {
        CudaDriver driver;
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

// Lines of the call trace whose entry point is `name`.
long CallsOf(const std::vector<std::string>& trace, const std::string& name) {
    return std::count_if(trace.begin(), trace.end(),
                         [&](const std::string& line) { return line.rfind(name + " ", 0) == 0; });
}

TEST(CudaDriverWithoutSimLibraries, MissingDriverIsReportedInItsOwnWords) {
    EXPECT_EQ(ConstructionError(), "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
}

TEST(CudaDriverBinding, EveryMissingExportIsNamedAndTheLibraryReleased) {
    const char* names[] = {
#define FPBENCH_NAME(name, params) #name,
        FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_NAME)
#undef FPBENCH_NAME
    };
    ASSERT_EQ(std::size(names), 30u);
    TempDir dir;
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const auto live = dir.path() / (std::string(name) + ".json");
        ScopedEnv missing("TESSMOR_SIM_MISSING_EXPORT", name);
        ScopedEnv live_file("TESSMOR_SIM_LIVE", live.string());
        EXPECT_EQ(ConstructionError(), std::string("Driver entry point unavailable: ") + name);
        // The simulator writes its counts when it is unloaded.
        EXPECT_TRUE(std::filesystem::exists(live));
    }
}

TEST(CudaDriverBinding, FailingInitReleasesTheLibrary) {
    TempDir dir;
    ScopedEnv fail("TESSMOR_SIM_FAIL", "cuInit:1:3");
    ScopedEnv live("TESSMOR_SIM_LIVE", (dir.path() / "live.json").string());
    EXPECT_EQ(ConstructionError(), "cuInit: initialization error (3)");
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "live.json"));
}

TEST(CudaErrorText, FollowsTheDriverOrFallsBack) {
    CudaDriver driver;
    EXPECT_EQ(CudaErrorMessage(driver, 2, "cuMemAlloc"), "cuMemAlloc: out of memory (2)");
    EXPECT_EQ(CudaErrorMessage(driver, 999, "input copy A"), "input copy A: unknown error (999)");
    // Codes the driver has no text for: the fallback, the sign kept.
    EXPECT_EQ(CudaErrorMessage(driver, -7, "guard copy"), "guard copy: CUDA error (-7)");
    EXPECT_EQ(CudaErrorMessage(driver, 123456, "x"), "x: CUDA error (123456)");
    EXPECT_NO_THROW(CheckCuda(driver, 0, "cuInit"));
    try {
        CheckCuda(driver, 101, "cuDeviceGet");
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "cuDeviceGet: invalid device ordinal (101)");
    }
}

TEST(CudaErrorText, NullErrorStringGivesTheFallback) {
    ScopedEnv null_text("TESSMOR_SIM_ERROR_STRING_NULL", "1");
    CudaDriver driver;
    EXPECT_EQ(CudaErrorMessage(driver, 999, "cuLaunchKernel"), "cuLaunchKernel: CUDA error (999)");
}

// A driver with an open GPU context, two allocations and a module, tracing
// every call into a file.
struct OpenContext {
    explicit OpenContext(const std::string& faults)
        : fail("TESSMOR_SIM_FAIL", faults),
          trace_env("TESSMOR_SIM_TRACE", (dir.path() / "trace").string()),
          live_env("TESSMOR_SIM_LIVE", (dir.path() / "live.json").string()) {
        driver = std::make_unique<CudaDriver>();
        OpenGpuContext(*driver, 0);
        for (int i = 0; i < 2; ++i) {
            CUdeviceptr address = 0;
            CheckCuda(*driver, driver->cuMemAlloc_v2(&address, 4096), "cuMemAlloc");
            driver->allocations.push_back(address);
        }
        CUmodule module = nullptr;
        static const char kImage[] = "//\n.version 8.7\n.target sm_86\n";
        CheckCuda(*driver, driver->cuModuleLoadDataEx(&module, kImage, 0, nullptr, nullptr),
                  "cuModuleLoadDataEx");
        driver->modules.push_back(module);
    }
    std::vector<std::string> Trace() const { return test::ReadTrace(dir.path() / "trace"); }
    test::LiveCounts LiveAfterUnload() {
        driver.reset();
        auto counts = test::ReadLiveCounts(dir.path() / "live.json");
        EXPECT_TRUE(counts.has_value());
        return counts.value_or(test::LiveCounts{});
    }

    TempDir dir;
    ScopedEnv fail, trace_env, live_env;
    std::unique_ptr<CudaDriver> driver;
};

TEST(CudaDriverCleanup, WithoutContextIsANoOp) {
    OpenContext open("");
    ASSERT_TRUE(open.driver->Cleanup());
    const auto calls = open.Trace().size();
    EXPECT_TRUE(open.driver->Cleanup());
    EXPECT_EQ(open.Trace().size(), calls);  // no driver call at all

    TempDir dir;
    ScopedEnv trace("TESSMOR_SIM_TRACE", (dir.path() / "fresh").string());
    CudaDriver fresh;
    const auto before = test::ReadTrace(dir.path() / "fresh").size();
    EXPECT_TRUE(fresh.Cleanup());
    EXPECT_EQ(test::ReadTrace(dir.path() / "fresh").size(), before);
}

TEST(CudaDriverCleanup, CompleteCleanupReleasesEverything) {
    OpenContext open("");
    EXPECT_TRUE(open.driver->Cleanup());
    EXPECT_EQ(open.driver->context, nullptr);
    EXPECT_EQ(open.driver->stream, nullptr);
    EXPECT_TRUE(open.driver->allocations.empty());
    EXPECT_TRUE(open.driver->modules.empty());
    CUcontext current = reinterpret_cast<CUcontext>(1);
    open.driver->cuCtxGetCurrent(&current);
    EXPECT_EQ(current, nullptr);  // the thread's previous (null) context is back
    EXPECT_TRUE(open.LiveAfterUnload().AllZero());
}

TEST(CudaDriverCleanup, EveryFailingStepIsSurvivedAndReported) {
    // Each release step failing on its own: the pass goes on, returns false,
    // and nothing but the failing object itself stays alive.
    struct Case {
        const char* fault;
        test::LiveCounts left;
    };
    const Case cases[] = {
        {"cuCtxSetCurrent:2", {0, 0, 0, 0, 0}},  // making the context current
        {"cuStreamSynchronize:1", {0, 0, 0, 0, 0}},
        {"cuMemFree_v2:1:999:1", {0, 0, 0, 1, 0}},
        {"cuModuleUnload:1", {0, 0, 0, 0, 1}},
        {"cuEventDestroy_v2:1:999:1", {0, 0, 1, 0, 0}},
        {"cuStreamDestroy_v2:1", {0, 1, 0, 0, 0}},
        {"cuCtxSetCurrent:3", {0, 0, 0, 0, 0}},  // restoring the previous context
        {"cuDevicePrimaryCtxRelease_v2:1", {1, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        OpenContext open(c.fault);
        EXPECT_FALSE(open.driver->Cleanup());
        const auto trace = open.Trace();
        EXPECT_EQ(CallsOf(trace, "cuMemFree_v2"), 2);
        EXPECT_EQ(CallsOf(trace, "cuModuleUnload"), 1);
        EXPECT_EQ(CallsOf(trace, "cuEventDestroy_v2"), 2);
        EXPECT_EQ(CallsOf(trace, "cuStreamDestroy_v2"), 1);
        EXPECT_EQ(CallsOf(trace, "cuDevicePrimaryCtxRelease_v2"), 1);
        EXPECT_EQ(open.driver->context, nullptr);
        EXPECT_TRUE(open.driver->Cleanup());  // a second pass has nothing left to do
        const auto live = open.LiveAfterUnload();
        EXPECT_EQ(live.contexts, c.left.contexts);
        EXPECT_EQ(live.streams, c.left.streams);
        EXPECT_EQ(live.events, c.left.events);
        EXPECT_EQ(live.allocations, c.left.allocations);
        EXPECT_EQ(live.modules, c.left.modules);
    }
}

TEST(CudaDriverSizeRelease, EmptiesTheListsAndKeepsTheContext) {
    OpenContext open("");
    open.driver->ReleaseSizeResources();
    EXPECT_TRUE(open.driver->allocations.empty());
    EXPECT_TRUE(open.driver->modules.empty());
    EXPECT_NE(open.driver->context, nullptr);
    EXPECT_NE(open.driver->stream, nullptr);
    EXPECT_NE(open.driver->start_event, nullptr);
    EXPECT_NE(open.driver->stop_event, nullptr);
    EXPECT_TRUE(open.driver->Cleanup());
    EXPECT_TRUE(open.LiveAfterUnload().AllZero());
}

TEST(CudaDriverSizeRelease, FailureLeavesTheRestForCleanup) {
    {
        OpenContext open("cuMemFree_v2:2:700:1");
        const CUdeviceptr second = open.driver->allocations[1];
        try {
            open.driver->ReleaseSizeResources();
            FAIL();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "cuMemFree: an illegal memory access was encountered (700)");
        }
        // The first buffer is gone; the one that failed stays, as does the module.
        EXPECT_EQ(open.driver->allocations, std::vector<CUdeviceptr>{second});
        EXPECT_EQ(open.driver->modules.size(), 1u);
        EXPECT_TRUE(open.driver->Cleanup());
        EXPECT_TRUE(open.LiveAfterUnload().AllZero());
    }
    {
        OpenContext open("cuModuleUnload:1:999:1");
        EXPECT_THROW(open.driver->ReleaseSizeResources(), std::runtime_error);
        EXPECT_TRUE(open.driver->allocations.empty());
        EXPECT_EQ(open.driver->modules.size(), 1u);
        EXPECT_TRUE(open.driver->Cleanup());
        EXPECT_TRUE(open.LiveAfterUnload().AllZero());
    }
    {
        OpenContext open("cuStreamSynchronize:1:999:1");
        try {
            open.driver->ReleaseSizeResources();
            FAIL();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "cuStreamSynchronize: unknown error (999)");
        }
        EXPECT_EQ(open.driver->allocations.size(), 2u);
        EXPECT_TRUE(open.driver->Cleanup());
    }
}

TEST(GpuContextOpening, FailureNamesTheCallAndCleanupUndoesTheRest) {
    const char* steps[][2] = {
        {"cuDeviceGet:1:999:1", "cuDeviceGet"},
        {"cuCtxGetCurrent:1:999:1", "cuCtxGetCurrent"},
        {"cuDevicePrimaryCtxRetain:1:999:1", "cuDevicePrimaryCtxRetain"},
        {"cuCtxSetCurrent:1:999:1", "cuCtxSetCurrent"},
        {"cuStreamCreate:1:999:1", "cuStreamCreate"},
        {"cuEventCreate:2:999:1", "cuEventCreate"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step[0]);
        TempDir dir;
        ScopedEnv fail("TESSMOR_SIM_FAIL", step[0]);
        ScopedEnv live("TESSMOR_SIM_LIVE", (dir.path() / "live.json").string());
        {
            CudaDriver driver;
            try {
                OpenGpuContext(driver, 0);
                ADD_FAILURE();
            } catch (const std::runtime_error& error) {
                EXPECT_EQ(std::string(error.what()), std::string(step[1]) + ": unknown error (999)");
            }
            EXPECT_TRUE(driver.Cleanup());
        }
        const auto counts = test::ReadLiveCounts(dir.path() / "live.json");
        ASSERT_TRUE(counts.has_value());
        EXPECT_TRUE(counts->AllZero());
    }
}

}  // namespace
}  // namespace fpbench
