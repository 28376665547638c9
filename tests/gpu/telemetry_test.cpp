// NVML telemetry: readings when everything works, -1 for whatever fails,
// and nvmlShutdown exactly when initialisation succeeded.
#include <gtest/gtest.h>

#include <algorithm>

#include "gpu/devices.h"
#include "gpu/telemetry.h"
#include "test_support.h"

namespace fpbench {
namespace {

using test::ScopedEnv;

TEST(Telemetry, EachReadingOrOpeningStepThatFailsLeavesItsFieldsUnknown) {
    const std::string uuid = [] {
        CudaDriver driver;
        return QueryDeviceInfo(driver, 0).uuid;
    }();
    const struct {
        const char* missing_export;
        const char* fault;
        std::string uuid;
        TelemetrySample expected;
        long shutdowns;  // owed exactly when initialisation succeeded
    } cases[] = {
        {"", "", uuid, {1785, 0, 71}, 1},  // a real 0 stays 0
        {"", "nvmlDeviceGetClockInfo", uuid, {-1, 0, 71}, 1},
        {"", "nvmlDeviceGetPowerUsage", uuid, {1785, -1, 71}, 1},
        {"", "nvmlDeviceGetTemperature", uuid, {1785, 0, -1}, 1},
        {"nvmlDeviceGetPowerUsage", "", uuid, {-1, -1, -1}, 0},
        {"nvmlInit_v2", "", uuid, {-1, -1, -1}, 0},
        {"nvmlShutdown", "", uuid, {-1, -1, -1}, 0},
        {"", "nvmlInit_v2", uuid, {-1, -1, -1}, 0},
        {"", "nvmlDeviceGetHandleByUUID", uuid, {-1, -1, -1}, 1},
        {"", "", "GPU-00000000-0000-0000-0000-000000000000", {-1, -1, -1}, 1},
    };
    ScopedEnv clock("TESSMOR_SIM_NVML_CLOCK_MHZ", "1785"), power("TESSMOR_SIM_NVML_POWER_MW", "0"),
        temperature("TESSMOR_SIM_NVML_TEMPERATURE_C", "71");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.missing_export) + "/" + c.fault + "/" + c.uuid);
        test::TempDir dir;
        TelemetrySample sample;
        {
            ScopedEnv missing("TESSMOR_SIM_MISSING_EXPORT", c.missing_export), fail("TESSMOR_SIM_FAIL", c.fault),
                trace("TESSMOR_SIM_TRACE", (dir.path() / "trace").string());
            NvmlLibrary nvml(c.uuid);
            SampleTelemetry(nvml, sample);
        }
        EXPECT_TRUE(sample.sm_clock_mhz == c.expected.sm_clock_mhz && sample.power_mw == c.expected.power_mw &&
                    sample.temperature_c == c.expected.temperature_c)
            << sample.sm_clock_mhz << " " << sample.power_mw << " " << sample.temperature_c;
        const auto lines = test::ReadTrace(dir.path() / "trace");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "nvmlShutdown 0"), c.shutdowns);
    }
}

TEST(TelemetryWithoutSimLibraries, AbsentNvmlLeavesEveryReadingUnknown) {
    NvmlLibrary nvml("GPU-00112233-4455-6677-8899-aabbccddeeff");
    TelemetrySample sample;
    SampleTelemetry(nvml, sample);
    EXPECT_TRUE(nvml.module_handle == nullptr && sample.sm_clock_mhz == -1 && sample.power_mw == -1 &&
                sample.temperature_c == -1);
}

}  // namespace
}  // namespace fpbench
