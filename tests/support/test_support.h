// Helpers shared by the test suites: child processes, temporary folders,
// environment changes and the simulator's live-object counts.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fpbench::test {

struct ProcessResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs a program of the build tree against the simulated GPU with extra
// NAME=VALUE environment entries for the child only. On Linux it goes through
// tools/with-sim (which honours TESSMOR_SIM_NO_DRIVER / _NO_NVML); on Windows
// the simulated DLLs are already in system32.
ProcessResult RunWithSim(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// A fresh empty folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets (or, with nullopt, removes) an environment variable of this process
// until destruction. The simulated libraries read it each time they load.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

std::string ReadFileBytes(const std::filesystem::path& path);
// Whether the text is one JSON value as RFC 8259 defines it (UTF-8 well-formed,
// numbers without inf or nan, nothing after the value but white space).
bool IsJson(std::string_view text);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

struct LiveCounts {
    int contexts = -1, streams = -1, events = -1, allocations = -1, modules = -1;
    int ptx_loads = -1;  // PTX images the driver compiled (cubins are not counted)
    bool AllZero() const { return contexts == 0 && streams == 0 && events == 0 && allocations == 0 && modules == 0; }
};
// Parses the one-line JSON that the simulator writes to TESSMOR_SIM_LIVE.
std::optional<LiveCounts> ReadLiveCounts(const std::filesystem::path& path);

// Lines "NAME RESULT" that the simulator appends to TESSMOR_SIM_TRACE.
std::vector<std::string> ReadTrace(const std::filesystem::path& path);

std::filesystem::path SourceDir();
std::filesystem::path BuildDir();
// A program of the build tree by base name ("tessmor-bench", "TessmorBench").
std::filesystem::path BuildProgram(const std::string& name);

}  // namespace fpbench::test
