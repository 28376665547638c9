// Device discovery and identity on the simulated driver.
#include <gtest/gtest.h>

#include "gpu/devices.h"
#include "test_support.h"

namespace fpbench {
namespace {

using test::ScopedEnv;

std::string EnumerationError() {
    try {
        EnumerateDevices();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(DeviceDiscovery, ReportsWhatTheDriverSays) {
    EXPECT_EQ(FormatUuid({0x0a, 0, 0, 0, 0x0b, 0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}),
              "GPU-0a000000-0b00-f000-0000-000000000001");
    const std::string long_name = std::string(252, 'x') + "\xE5\xBC\xA0";  // 255 bytes, UTF-8 ending
    ScopedEnv count("TESSMOR_SIM_DEVICES", "2"), name0("TESSMOR_SIM_DEVICE0_NAME", long_name),
        uuid0("TESSMOR_SIM_DEVICE0_UUID", "0a112233445566778899aabbccddeeff"), sm0("TESSMOR_SIM_DEVICE0_SM", "82"),
        name1("TESSMOR_SIM_DEVICE1_NAME", "Older GPU"), cc1("TESSMOR_SIM_DEVICE1_CC", "7.5");
    const auto devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_TRUE(devices[0].ordinal == 0 && devices[0].name == long_name && devices[0].sm_count == 82);
    EXPECT_EQ(devices[0].uuid, "GPU-0a112233-4455-6677-8899-aabbccddeeff");
    EXPECT_TRUE(devices[0].major == 8 && devices[0].minor == 6 && IsSupportedDevice(devices[0]));
    EXPECT_TRUE(devices[1].ordinal == 1 && devices[1].name == "Older GPU" && devices[1].uuid != devices[0].uuid);
    EXPECT_TRUE(devices[1].major == 7 && devices[1].minor == 5 && !IsSupportedDevice(devices[1]));
}

TEST(DeviceDiscovery, NoDeviceIsAnEmptyListAndOneFailingQueryFailsItAll) {
    {
        ScopedEnv none("TESSMOR_SIM_DEVICES", "0");
        EXPECT_TRUE(EnumerateDevices().empty());
    }
    ScopedEnv count("TESSMOR_SIM_DEVICES", "2");
    for (const std::string fault : {"cuDeviceGetName:2", "cuDeviceGetUuid:2", "cuDeviceGetAttribute:4", "cuDeviceGet:2",
                                    "cuDeviceGetCount"}) {
        ScopedEnv fail("TESSMOR_SIM_FAIL", fault);
        EXPECT_EQ(EnumerationError(), fault.substr(0, fault.find(':')) + ": unknown error (999)");
    }
}

TEST(DeviceDiscoveryWithoutSimLibraries, MissingDriverFailsTheEnumeration) {
    EXPECT_EQ(EnumerationError(), "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
}

}  // namespace
}  // namespace fpbench
