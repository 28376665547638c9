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
using test::TempDir;

std::string SimUuid() {
    CudaDriver driver;
    return QueryDeviceInfo(driver, 0).uuid;
}

struct Sampled {
    TelemetrySample sample;
    long shutdowns = 0;
    bool has_device = false;
};

// Opens NVML for the simulated GPU, samples once and closes it again.
Sampled SampleOnce(const std::string& faults, const std::string& uuid = SimUuid()) {
    TempDir dir;
    const auto trace = dir.path() / "trace";
    Sampled result;
    {
        ScopedEnv fail("TESSMOR_SIM_FAIL", faults);
        ScopedEnv trace_env("TESSMOR_SIM_TRACE", trace.string());
        NvmlLibrary nvml(uuid);
        result.has_device = nvml.device_handle != nullptr;
        SampleTelemetry(nvml, result.sample);
    }
    const auto lines = test::ReadTrace(trace);
    result.shutdowns = std::count_if(lines.begin(), lines.end(),
                                     [](const std::string& l) { return l.rfind("nvmlShutdown ", 0) == 0; });
    return result;
}

TEST(Telemetry, ReadsClockPowerAndTemperature) {
    ScopedEnv clock("TESSMOR_SIM_NVML_CLOCK_MHZ", "1785");
    ScopedEnv power("TESSMOR_SIM_NVML_POWER_MW", "0");  // a real 0 stays 0
    ScopedEnv temperature("TESSMOR_SIM_NVML_TEMPERATURE_C", "71");
    const auto r = SampleOnce("");
    EXPECT_TRUE(r.has_device);
    EXPECT_EQ(r.sample.sm_clock_mhz, 1785);
    EXPECT_EQ(r.sample.power_mw, 0);
    EXPECT_EQ(r.sample.temperature_c, 71);
    EXPECT_EQ(r.shutdowns, 1);
}

TEST(Telemetry, EachFailingReadingLeavesOnlyItsField) {
    const auto no_clock = SampleOnce("nvmlDeviceGetClockInfo");
    EXPECT_EQ(no_clock.sample.sm_clock_mhz, -1);
    EXPECT_EQ(no_clock.sample.power_mw, 250000);
    EXPECT_EQ(no_clock.sample.temperature_c, 65);
    const auto no_power = SampleOnce("nvmlDeviceGetPowerUsage");
    EXPECT_EQ(no_power.sample.sm_clock_mhz, 1800);
    EXPECT_EQ(no_power.sample.power_mw, -1);
    EXPECT_EQ(no_power.sample.temperature_c, 65);
    const auto no_temperature = SampleOnce("nvmlDeviceGetTemperature");
    EXPECT_EQ(no_temperature.sample.sm_clock_mhz, 1800);
    EXPECT_EQ(no_temperature.sample.power_mw, 250000);
    EXPECT_EQ(no_temperature.sample.temperature_c, -1);
}

TEST(Telemetry, OpeningFailuresLeaveEveryReadingUnknown) {
    const std::string uuid = SimUuid();
    // Shutdown is owed exactly when initialisation succeeded.
    const struct {
        const char* missing_export;
        const char* fault;
        std::string uuid;
        long shutdowns;
    } cases[] = {
        {"nvmlDeviceGetPowerUsage", "", uuid, 0},
        {"nvmlInit_v2", "", uuid, 0},
        {"nvmlShutdown", "", uuid, 0},
        {"", "nvmlInit_v2", uuid, 0},
        {"", "nvmlDeviceGetHandleByUUID", uuid, 1},
        {"", "", "GPU-00000000-0000-0000-0000-000000000000", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.missing_export) + "/" + c.fault);
        ScopedEnv missing("TESSMOR_SIM_MISSING_EXPORT", c.missing_export);
        const auto r = SampleOnce(c.fault, c.uuid);
        EXPECT_FALSE(r.has_device);
        EXPECT_EQ(r.sample.sm_clock_mhz, -1);
        EXPECT_EQ(r.sample.power_mw, -1);
        EXPECT_EQ(r.sample.temperature_c, -1);
        EXPECT_EQ(r.shutdowns, c.shutdowns);
    }
}

TEST(TelemetryWithoutSimLibraries, AbsentNvmlLeavesEveryReadingUnknown) {
    NvmlLibrary nvml("GPU-00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(nvml.module_handle, nullptr);
    TelemetrySample sample;
    SampleTelemetry(nvml, sample);
    EXPECT_EQ(sample.sm_clock_mhz, -1);
    EXPECT_EQ(sample.power_mw, -1);
    EXPECT_EQ(sample.temperature_c, -1);
}

}  // namespace
}  // namespace fpbench
