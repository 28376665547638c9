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

}  // namespace
}  // namespace fpbench::sim
