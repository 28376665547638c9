// The program's compare and fleet commands over runs of the simulated GPU, as a user runs them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace fpbench::test {

// The commands over runs of the simulated GPU, as a user runs them.
class Commands : public ::testing::Test {
protected:
    std::filesystem::path Run(const std::string& name, const std::vector<std::string>& env, const std::string& trials = "7") {
        const std::filesystem::path dir = temp.path() / name;
        Command({"--output", dir.string(), "--sizes", "256", "--trials", trials, "--sample-ms", "10", "--warmup-seconds", "0"}, env);
        return dir;
    }
    ProcessResult Command(std::vector<std::string> arguments, const std::vector<std::string>& env = {}) {
        arguments.insert(arguments.begin(), BuildProgram(kProgramName).string());
        return RunWithSim(arguments, env);
    }
    TempDir temp;
};


}  // namespace fpbench::test
