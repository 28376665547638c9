// The driver binding against the simulated driver: every construction
// message and the error-text convention. The calls a run makes on the bound
// driver, the release passes included, fail one by one in the engine's tests.
#include <gtest/gtest.h>

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

TEST(CudaDriverWithoutSimLibraries, MissingDriverIsReportedInItsOwnWords) {
    EXPECT_EQ(ConstructionError(), "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
}

// A binding that fails unloads the library again: the simulator writes its
// live counts only when it is unloaded.
TEST(CudaDriverBinding, EveryMissingExportAndAFailingInitAreNamedAndTheLibraryReleased) {
    std::vector<std::pair<std::string, std::string>> cases{{"cuInit:1:3", "cuInit: initialization error (3)"}};
#define FPBENCH_NAME(name, params) cases.emplace_back(#name, "Driver entry point unavailable: " #name);
    FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_NAME)
#undef FPBENCH_NAME
    ASSERT_EQ(cases.size(), 31u);
    TempDir dir;
    for (const auto& [fault, message] : cases) {
        SCOPED_TRACE(fault);
        const auto live = dir.path() / (fault.substr(0, fault.find(':')) + ".json");
        const bool init = fault.find(':') != std::string::npos;
        ScopedEnv missing("TESSMOR_SIM_MISSING_EXPORT", init ? "" : fault);
        ScopedEnv fail("TESSMOR_SIM_FAIL", init ? fault : "");
        ScopedEnv live_file("TESSMOR_SIM_LIVE", live.string());
        EXPECT_EQ(ConstructionError(), message);
        EXPECT_TRUE(std::filesystem::exists(live));
    }
}

TEST(CudaErrorText, FollowsTheDriverOrFallsBack) {
    {
        CudaDriver driver;
        for (const auto& [code, label, text] :
             {std::tuple{2, "cuMemAlloc", "cuMemAlloc: out of memory (2)"},
              {999, "input copy A", "input copy A: unknown error (999)"},
              // Codes the driver has no text for: the fallback, the sign kept.
              {-7, "guard copy", "guard copy: CUDA error (-7)"}, {123456, "x", "x: CUDA error (123456)"}})
            EXPECT_EQ(CudaErrorMessage(driver, code, label), text);
        EXPECT_NO_THROW(CheckCuda(driver, 0, "cuInit"));
        try {
            CheckCuda(driver, 101, "cuDeviceGet");
            ADD_FAILURE();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "cuDeviceGet: invalid device ordinal (101)");
        }
    }
    ScopedEnv null_text("TESSMOR_SIM_ERROR_STRING_NULL", "1");
    CudaDriver driver;
    EXPECT_EQ(CudaErrorMessage(driver, 999, "cuLaunchKernel"), "cuLaunchKernel: CUDA error (999)");
}

}  // namespace
}  // namespace fpbench
