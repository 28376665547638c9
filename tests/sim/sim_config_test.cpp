#include "sim/config.h"

#include <gtest/gtest.h>

#include <map>

namespace fpbench::sim {
namespace {

SimConfig Read(const std::map<std::string, std::string>& variables) {
    return ReadSimConfig([&](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
    });
}

TEST(SimConfig, FailRulesTakeDefaultsAndRejectMalformedItems) {
    const auto config = Read({{"TESSMOR_SIM_FAIL", "cuInit,cuMemAlloc_v2:3,nvmlInit_v2:2:-5:4,cuDeviceGet::7,"
                                                   "bad:0,worse:x,worst:1:2:3:4,:1"}});
    ASSERT_EQ(config.fail_rules.size(), 4u);
    EXPECT_EQ(config.warnings.size(), 4u);

    const FailRule& every = config.fail_rules[0];
    EXPECT_EQ(every.entry, "cuInit");
    EXPECT_EQ(every.code, 999);
    EXPECT_TRUE(every.Fails(1));
    EXPECT_TRUE(every.Fails(1000));

    const FailRule& from_third = config.fail_rules[1];
    EXPECT_FALSE(from_third.Fails(2));
    EXPECT_TRUE(from_third.Fails(3));
    EXPECT_TRUE(from_third.Fails(50));

    const FailRule& window = config.fail_rules[2];
    EXPECT_EQ(window.code, -5);
    EXPECT_FALSE(window.Fails(1));
    EXPECT_TRUE(window.Fails(2));
    EXPECT_TRUE(window.Fails(5));
    EXPECT_FALSE(window.Fails(6));

    EXPECT_EQ(config.fail_rules[3].first_call, 1u);
    EXPECT_EQ(config.fail_rules[3].code, 7);
}

TEST(SimConfig, DevicesHaveDistinctDefaultsAndTakeOverrides) {
    const auto config = Read({{"TESSMOR_SIM_DEVICES", "3"},
                              {"TESSMOR_SIM_DEVICE1_UUID", "GPU-00112233-4455-6677-8899-aabbccddeeff"},
                              {"TESSMOR_SIM_DEVICE1_CC", "8.9"},
                              {"TESSMOR_SIM_DEVICE1_NAME", std::string(300, 'x')},
                              {"TESSMOR_SIM_DEVICE2_CC", "nine"},
                              {"TESSMOR_SIM_DEVICE2_FREE_BYTES", "575219566"}});
    ASSERT_EQ(config.devices.size(), 3u);
    EXPECT_EQ(config.devices[0].name, "Tessmor Simulated GPU");
    EXPECT_EQ(UuidText(config.devices[0].uuid), "GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f800");
    EXPECT_NE(config.devices[0].uuid, config.devices[2].uuid);

    EXPECT_EQ(UuidText(config.devices[1].uuid), "GPU-00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(config.devices[1].cc_major, 8);
    EXPECT_EQ(config.devices[1].cc_minor, 9);
    EXPECT_EQ(config.devices[1].name, std::string(255, 'x'));

    EXPECT_EQ(config.devices[2].cc_major, 8);  // "nine" is refused
    EXPECT_EQ(config.devices[2].cc_minor, 6);
    EXPECT_EQ(config.devices[2].free_bytes, 575219566u);
    EXPECT_EQ(config.warnings.size(), 2u);

    EXPECT_TRUE(Read({{"TESSMOR_SIM_DEVICES", "0"}}).devices.empty());
}

}  // namespace
}  // namespace fpbench::sim
