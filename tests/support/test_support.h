// Helpers shared by the test suites: child processes, temporary folders, environment changes, a JSON reader and the
// simulator's live-object counts and call trace.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace fpbench::test {

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

// A program started against the simulated GPU with extra NAME=VALUE environment entries: on Linux through
// tools/with-sim (which honours TESSMOR_SIM_NO_DRIVER / _NO_NVML), on Windows with the simulated DLLs already in
// system32. Its stdout and stderr go to files (on Linux, stderr to a pipe nobody reads when `stderr_gone`). A child
// still running when the object goes is killed, so that a stray box cannot hang a suite.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}, bool stderr_gone = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // The exit code (128 + the signal that ended it), or nullopt while it still runs after `milliseconds` (-1: no
    // limit; Linux always waits).
    std::optional<int> Wait(int milliseconds = -1);
    std::string Out() const;
    std::string Err() const;

private:
    TempDir capture_;
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    long pid_ = -1;
    std::optional<int> exit_code_;
#endif
};

struct ProcessResult {
    int exit_code = -1;
    std::string out, err;
};
// Starts a program as ChildProcess does and waits for it.
ProcessResult RunWithSim(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                         bool stderr_gone = false);

// Sets (or, with nullopt, removes) an environment variable of this process until destruction. The simulated
// libraries read it each time they load.
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

// The message of the exception a call throws, or "" when it returns.
std::string ErrorOf(const std::function<void()>& call);

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);
// Whether the text is one JSON value as RFC 8259 defines it (well-formed UTF-8, no inf or nan), as the program
// itself reads it back.
bool IsJson(std::string_view text);

struct LiveCounts {
    int contexts = -1, streams = -1, events = -1, allocations = -1, modules = -1;
    int ptx_loads = -1;  // PTX images the driver compiled (cubins are not counted)
    auto Held() const { return std::tuple(contexts, streams, events, allocations, modules); }
    bool AllZero() const { return Held() == std::tuple(0, 0, 0, 0, 0); }
};
// The counts the simulator writes to TESSMOR_SIM_LIVE; its lines "NAME RESULT" in TESSMOR_SIM_TRACE.
std::optional<LiveCounts> ReadLiveCounts(const std::filesystem::path& path);
std::vector<std::string> ReadTrace(const std::filesystem::path& path);

// The program under test, and where the sources and the build tree are.
#if defined(_WIN32)
inline constexpr const char* kProgramName = "TessmorBench";
#else
inline constexpr const char* kProgramName = "tessmor-bench";
#endif
std::filesystem::path SourceDir();
std::filesystem::path BuildDir();
std::filesystem::path BuildProgram(const std::string& name);  // by base name, ".exe" on Windows

}  // namespace fpbench::test
