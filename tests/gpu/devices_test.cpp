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

TEST(UuidText, KeepsByteOrderLeadingZerosAndLowercase) {
    EXPECT_EQ(FormatUuid({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb,
                          0xcc, 0xdd, 0xee, 0xff}),
              "GPU-00112233-4455-6677-8899-aabbccddeeff");
    const auto text = FormatUuid({0x0a, 0, 0, 0, 0x0b, 0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01});
    EXPECT_EQ(text, "GPU-0a000000-0b00-f000-0000-000000000001");
    EXPECT_EQ(text.size(), 40u);
}

TEST(DeviceDiscovery, ReportsWhatTheDriverSays) {
    const std::string long_name = std::string(252, 'x') + "\xE5\xBC\xA0";  // 255 bytes, UTF-8 ending
    ScopedEnv count("TESSMOR_SIM_DEVICES", "2");
    ScopedEnv name0("TESSMOR_SIM_DEVICE0_NAME", long_name);
    ScopedEnv uuid0("TESSMOR_SIM_DEVICE0_UUID", "0a112233445566778899aabbccddeeff");
    ScopedEnv sm0("TESSMOR_SIM_DEVICE0_SM", "82");
    ScopedEnv cc0("TESSMOR_SIM_DEVICE0_CC", "8.6");
    ScopedEnv name1("TESSMOR_SIM_DEVICE1_NAME", "Older GPU");
    ScopedEnv cc1("TESSMOR_SIM_DEVICE1_CC", "7.5");
    const auto devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].ordinal, 0);
    EXPECT_EQ(devices[0].name, long_name);
    EXPECT_EQ(devices[0].uuid, "GPU-0a112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(devices[0].sm_count, 82);
    EXPECT_EQ(devices[0].major, 8);
    EXPECT_EQ(devices[0].minor, 6);
    EXPECT_TRUE(IsSupportedDevice(devices[0]));
    EXPECT_EQ(devices[1].ordinal, 1);
    EXPECT_EQ(devices[1].name, "Older GPU");
    EXPECT_NE(devices[1].uuid, devices[0].uuid);
    EXPECT_EQ(devices[1].major * 10 + devices[1].minor, 75);
    EXPECT_FALSE(IsSupportedDevice(devices[1]));
}

TEST(DeviceDiscovery, NoDeviceIsAnEmptyList) {
    ScopedEnv count("TESSMOR_SIM_DEVICES", "0");
    EXPECT_TRUE(EnumerateDevices().empty());
}

TEST(DeviceDiscovery, OneFailingQueryFailsTheWholeList) {
    ScopedEnv count("TESSMOR_SIM_DEVICES", "2");
    for (const char* fault : {"cuDeviceGetName:2", "cuDeviceGetUuid:2", "cuDeviceGetAttribute:4",
                              "cuDeviceGet:2", "cuDeviceGetCount"}) {
        SCOPED_TRACE(fault);
        ScopedEnv fail("TESSMOR_SIM_FAIL", fault);
        const std::string label = std::string(fault).substr(0, std::string(fault).find(':'));
        EXPECT_EQ(EnumerationError(), label + ": unknown error (999)");
    }
}

TEST(DeviceDiscoveryWithoutSimLibraries, MissingDriverFailsTheEnumeration) {
    EXPECT_EQ(EnumerationError(), "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
}

}  // namespace
}  // namespace fpbench
