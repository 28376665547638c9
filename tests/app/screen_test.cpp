// tessmor-bench screen on simulated machines of several GPUs: every GPU's run in a child process of its own, all at
// once (the simulator's barrier holds each at its first launch until all are busy, so they truly overlap), judged
// together with fleet's rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;

// Each GPU's verdict and cause from fleet.csv (its first line is its worst row).
std::map<std::string, std::string> Verdicts(const fs::path& screen) {
    std::map<std::string, std::string> verdicts;
    std::istringstream csv(test::ReadFileBytes(screen / "fleet.csv"));
    std::smatch match;
    for (std::string line; std::getline(csv, line);)
        if (std::regex_search(line, match, std::regex("^([a-z]+),([^,]*),[^,]*/(gpu[0-9]+),")))
            verdicts.emplace(match[3], match[1].str() + (match[2].length() ? " " + match[2].str() : ""));
    return verdicts;
}

TEST(Screen, RunsEveryGpuAtOnceAndJudgesThemTogether) {
    const test::TempDir temp;
    const std::string machine = "TESSMOR_SIM_SHARED_STATE=" + (temp.path() / "machine").string();
    // A supply of 800 W: three GPUs at 180 W and one at 400 W overdraw it only when all four work.
    const std::vector<std::string> supply{"TESSMOR_SIM_NVML_POWER_MW=180000", "TESSMOR_SIM_DEVICE3_POWER_MW=400000",
                                          "TESSMOR_SIM_SHARED_POWER_W=800"};
    const std::string cancelled = "incomplete run cancelled: Cancelled by user";
    struct Case {
        const char* what;
        int gpus;
        bool shared_supply;
        std::vector<std::string> options, env;
        int exit_code;
        std::map<std::string, std::string> verdicts;  // every GPU screened
    };
    const Case cases[] = {
        {"eight healthy", 8, false, {}, {}, 0,
         {{"gpu0", "ok"}, {"gpu1", "ok"}, {"gpu2", "ok"}, {"gpu3", "ok"}, {"gpu4", "ok"}, {"gpu5", "ok"}, {"gpu6", "ok"}, {"gpu7", "ok"}}},
        {"one slow", 4, false, {}, {"TESSMOR_SIM_DEVICE2_TFLOPS=90", "TESSMOR_SIM_DEVICE2_TFLOPS_FP32=45"}, 2,
         {{"gpu0", "ok"}, {"gpu1", "ok"}, {"gpu2", "fail full clock"}, {"gpu3", "ok"}}},
        {"shared power together", 4, true, {}, {"TESSMOR_SIM_BUSY_BARRIER=4"}, 2,
         {{"gpu0", "ok"}, {"gpu1", "ok"}, {"gpu2", "ok"}, {"gpu3", "fail power cap"}}},
        {"shared power one at a time", 4, true, {"--one-at-a-time"}, {}, 0, {{"gpu0", "ok"}, {"gpu1", "ok"}, {"gpu2", "ok"}, {"gpu3", "ok"}}},
        {"a child killed", 4, false, {}, {"TESSMOR_SIM_DEVICE1_SIGNAL=2:9"}, 2,
         {{"gpu0", "ok"}, {"gpu1", "incomplete run still running: the program was killed or its reports were lost"},
          {"gpu2", "ok"}, {"gpu3", "ok"}}},
        {"by UUID and ordinal", 4, false, {"--devices", "GPU-0a1b2c3d-4e5f-7081-92a3-b4c5d6e7f803,1,GPU-0a1b2c3d-4e5f-7081-92a3-0"},
         {"TESSMOR_SIM_DEVICE2_UUID=GPU-0a1b2c3d-4e5f-7081-92a3-000000000000", "TESSMOR_SIM_DEVICE2_TFLOPS=90",
          "TESSMOR_SIM_DEVICE2_TFLOPS_FP32=45"}, 2, {{"gpu1", "ok"}, {"gpu2", "fail full clock"}, {"gpu3", "ok"}}},
        // The last GPU to become busy sends SIGINT to the screen, which passes it on to every child.
        {"SIGINT", 4, false, {}, {"TESSMOR_SIM_BUSY_BARRIER=4:2"}, 2,
         {{"gpu0", cancelled}, {"gpu1", cancelled}, {"gpu2", cancelled}, {"gpu3", cancelled}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path dir = temp.path() / c.what;
        std::vector<std::string> argv{test::BuildProgram(test::kProgramName).string(), "screen", "--output", dir.string(),
                                      "--sizes", "256,1024", "--trials", "3", "--sample-ms", "10", "--warmup-seconds", "0"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        std::vector<std::string> env{"TESSMOR_SIM_DEVICES=" + std::to_string(c.gpus), machine};
        if (c.shared_supply) env.insert(env.end(), supply.begin(), supply.end());
        env.insert(env.end(), c.env.begin(), c.env.end());
        const test::ProcessResult screen = test::RunWithSim(argv, env);
        EXPECT_EQ(screen.exit_code, c.exit_code) << screen.err;
        EXPECT_EQ(Verdicts(dir), c.verdicts);
        EXPECT_TRUE(screen.out.ends_with("page: " + (dir / "fleet.html").string() + "\n")) << screen.out;
        std::string expected;
        for (const auto& [gpu, verdict] : c.verdicts) {
            expected += gpu + "\n";
            // The rows each child told its parent, as they came.
            EXPECT_EQ(screen.err.find(gpu + ": 256 FP32 ") != std::string::npos, !verdict.starts_with("incomplete")) << gpu;
        }
        EXPECT_TRUE(test::ReadFileBytes(dir / "expected.txt").ends_with("missing.\n" + expected));
    }
    const std::string evidence = test::ReadFileBytes(temp.path() / "a child killed" / "gpu1" / "task-error.txt");
    EXPECT_TRUE(evidence.starts_with("tessmor-bench was killed by signal 9 before its run ended\n--- its output:\n"));
}

}  // namespace
}  // namespace fpbench
