// The GPU layer against the simulated libraries: the binding's messages and error texts, device discovery, NVML
// telemetry, and on Windows that only the system directory's driver is ever loaded. The calls a run makes on the
// bound driver, the release passes included, fail one by one in the engine's tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <tuple>

#include "gpu/cuda_driver.h"
#include "gpu/devices.h"
#include "gpu/telemetry.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fpbench {
namespace {

using test::ErrorOf;
using test::ScopedEnv;

const char kNoDriver[] = "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.";

TEST(GpuWithoutSimLibraries, MissingLibrariesAreReportedOrLeaveTelemetryUnknown) {
    EXPECT_EQ(ErrorOf([] { CudaDriver driver; }), kNoDriver);
    EXPECT_EQ(ErrorOf([] { EnumerateDevices(); }), kNoDriver);
    NvmlLibrary nvml("GPU-00112233-4455-6677-8899-aabbccddeeff");
    TelemetrySample sample;
    SampleTelemetry(nvml, sample);
    EXPECT_FALSE(nvml.Loaded());
    EXPECT_EQ(std::tuple(sample.sm_clock_mhz, sample.power_mw, sample.temperature_c), std::tuple(-1, -1, -1));
}

// A binding that fails unloads the library again: the simulator writes its live counts only when it is unloaded.
TEST(CudaDriverBinding, EveryMissingExportAndAFailingInitAreNamedAndTheLibraryReleased) {
    std::vector<std::pair<std::string, std::string>> cases{{"cuInit:1:3", "cuInit: initialization error (3)"}};
#define FPBENCH_NAME(name, params) cases.emplace_back(#name, "Driver entry point unavailable: " #name);
    FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_NAME)
#undef FPBENCH_NAME
    ASSERT_EQ(cases.size(), 31u);
    test::TempDir dir;
    for (const auto& [fault, message] : cases) {
        const auto live = dir.path() / (fault.substr(0, fault.find(':')) + ".json");
        const bool init = fault.find(':') != std::string::npos;
        ScopedEnv missing("TESSMOR_SIM_MISSING_EXPORT", init ? "" : fault), fail("TESSMOR_SIM_FAIL", init ? fault : ""),
            live_file("TESSMOR_SIM_LIVE", live.string());
        EXPECT_EQ(ErrorOf([] { CudaDriver driver; }), message);
        EXPECT_TRUE(std::filesystem::exists(live)) << fault;
    }
}

// The driver's text, or the fallback for codes it has none for (and when it gives none at all), the sign kept.
TEST(CudaDriverBinding, ErrorTextsFollowTheDriverOrFallBack) {
    for (const auto& [null_text, code, text] : {std::tuple{"", 2, "x: out of memory (2)"}, {"", 999, "x: unknown error (999)"},
                                               {"", -7, "x: CUDA error (-7)"}, {"", 123456, "x: CUDA error (123456)"},
                                               {"1", 999, "x: CUDA error (999)"}}) {
        ScopedEnv null_string("TESSMOR_SIM_ERROR_STRING_NULL", null_text);
        CudaDriver driver;
        EXPECT_EQ(CudaErrorMessage(driver, code, "x"), text);
        EXPECT_EQ(ErrorOf([&] { CheckCuda(driver, code, "x"); }), text);
        EXPECT_NO_THROW(CheckCuda(driver, 0, "cuInit"));
    }
}

TEST(DeviceDiscovery, ReportsWhatTheDriverSaysAndFailsAsAWhole) {
    EXPECT_EQ(FormatUuid({0x0a, 0, 0, 0, 0x0b, 0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}),
              "GPU-0a000000-0b00-f000-0000-000000000001");
    {
        ScopedEnv none("TESSMOR_SIM_DEVICES", "0");
        EXPECT_TRUE(EnumerateDevices().empty());
    }
    const std::string long_name = std::string(252, 'x') + "\xE5\xBC\xA0";  // 255 bytes, UTF-8 ending
    ScopedEnv count("TESSMOR_SIM_DEVICES", "2"), name0("TESSMOR_SIM_DEVICE0_NAME", long_name),
        uuid0("TESSMOR_SIM_DEVICE0_UUID", "0a112233445566778899aabbccddeeff"), sm0("TESSMOR_SIM_DEVICE0_SM", "82"),
        name1("TESSMOR_SIM_DEVICE1_NAME", "Older GPU"), cc1("TESSMOR_SIM_DEVICE1_CC", "7.5"),
        max0("TESSMOR_SIM_DEVICE0_MAX_CLOCK_MHZ", "1410");
    const auto devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 2u);
    const auto fields = [](const DeviceInfo& d) {
        return std::tuple(d.ordinal, d.sm_count, d.major, d.minor, d.name, d.uuid, IsSupportedDevice(d), d.max_sm_clock_mhz);
    };
    EXPECT_EQ(fields(devices[0]), std::tuple(0, 82, 8, 6, long_name, "GPU-0a112233-4455-6677-8899-aabbccddeeff", true, 1410));
    EXPECT_EQ(fields(devices[1]), std::tuple(1, 84, 7, 5, "Older GPU", "GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f801", false, 1800));
    {
        // A driver that no longer answers the clock rate leaves it unknown, nothing else.
        ScopedEnv fail("TESSMOR_SIM_FAIL", "cuDeviceGetAttribute:4:999:1");
        EXPECT_EQ(EnumerateDevices().at(0).max_sm_clock_mhz, -1);
    }
    for (const std::string fault : {"cuDeviceGetName:2", "cuDeviceGetUuid:2", "cuDeviceGetAttribute:4", "cuDeviceGet:2",
                                    "cuDeviceGetCount"}) {
        ScopedEnv fail("TESSMOR_SIM_FAIL", fault);
        EXPECT_EQ(ErrorOf([] { EnumerateDevices(); }), fault.substr(0, fault.find(':')) + ": unknown error (999)");
    }
}

// Readings and the maximum SM clock when everything works, -1 for whatever fails (the maximum's entry point is the only
// optional one), and nvmlShutdown exactly when initialisation succeeded.
TEST(Telemetry, EachReadingOrOpeningStepThatFailsLeavesItsFieldsUnknown) {
    const std::string uuid = "GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f800";  // the simulated GPU's
    const struct {
        const char* missing_export;
        const char* fault;
        std::string uuid;
        TelemetrySample expected;
        long shutdowns;
        std::int32_t max_clock = -1;
    } cases[] = {
        {"", "", uuid, {1785, 0, 71}, 1, 1980},  // a real 0 stays 0
        {"", "nvmlDeviceGetClockInfo", uuid, {-1, 0, 71}, 1, 1980},
        {"", "nvmlDeviceGetPowerUsage", uuid, {1785, -1, 71}, 1, 1980},
        {"", "nvmlDeviceGetTemperature", uuid, {1785, 0, -1}, 1, 1980},
        {"nvmlDeviceGetMaxClockInfo", "", uuid, {1785, 0, 71}, 1},
        {"", "nvmlDeviceGetMaxClockInfo", uuid, {1785, 0, 71}, 1},
        {"nvmlDeviceGetPowerUsage", "", uuid, {-1, -1, -1}, 0},
        {"nvmlInit_v2", "", uuid, {-1, -1, -1}, 0},
        {"nvmlShutdown", "", uuid, {-1, -1, -1}, 0},
        {"", "nvmlInit_v2", uuid, {-1, -1, -1}, 0},
        {"", "nvmlDeviceGetHandleByUUID", uuid, {-1, -1, -1}, 1},
        {"", "", "GPU-00000000-0000-0000-0000-000000000000", {-1, -1, -1}, 1},
    };
    ScopedEnv clock("TESSMOR_SIM_NVML_CLOCK_MHZ", "1785"), power("TESSMOR_SIM_NVML_POWER_MW", "0"),
        temperature("TESSMOR_SIM_NVML_TEMPERATURE_C", "71"), max_clock("TESSMOR_SIM_MAX_CLOCK_MHZ", "1980");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.missing_export) + "/" + c.fault + "/" + c.uuid);
        test::TempDir dir;
        TelemetrySample s;
        std::int32_t max = 0;
        {
            ScopedEnv missing("TESSMOR_SIM_MISSING_EXPORT", c.missing_export), fail("TESSMOR_SIM_FAIL", c.fault),
                trace("TESSMOR_SIM_TRACE", (dir.path() / "trace").string());
            NvmlLibrary nvml(c.uuid);
            SampleTelemetry(nvml, s);
            max = MaxSmClockMhz(nvml);
        }
        EXPECT_EQ(max, c.max_clock);
        EXPECT_EQ(std::tuple(s.sm_clock_mhz, s.power_mw, s.temperature_c),
                  std::tuple(c.expected.sm_clock_mhz, c.expected.power_mw, c.expected.temperature_c));
        const auto lines = test::ReadTrace(dir.path() / "trace");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "nvmlShutdown 0"), c.shutdowns);
    }
}

#if defined(_WIN32)
// A planted nvcuda.dll beside the program and in the working directory is never loaded, not even when the system
// directory has none.
TEST(PlantedDll, IsNeverLoaded) {
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    const auto directory = std::filesystem::path(self).parent_path(), previous = std::filesystem::current_path();
    std::filesystem::copy_file(test::BuildDir() / "sim" / "planted" / "nvcuda.dll", directory / "nvcuda.dll",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::current_path(directory);
    for (const auto& device : EnumerateDevices()) EXPECT_NE(device.name, "PLANTED nvcuda.dll");
    {
        ScopedEnv no_driver("TESSMOR_SIM_NO_DRIVER", "1");
        EXPECT_EQ(ErrorOf([] { EnumerateDevices(); }), kNoDriver);
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove(directory / "nvcuda.dll");
}
#endif

}  // namespace
}  // namespace fpbench
