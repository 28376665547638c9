#include "test_support.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <list>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace fpbench::test {

std::filesystem::path SourceDir() { return TESSMOR_SOURCE_DIR; }
std::filesystem::path BuildDir() { return TESSMOR_BINARY_DIR; }

std::filesystem::path BuildProgram(const std::string& name) {
#if defined(_WIN32)
    return BuildDir() / (name + ".exe");
#else
    return BuildDir() / name;
#endif
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool IsJson(std::string_view text) { return nlohmann::json::accept(text); }

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// Unique between the suites that run at once (each has its own process) and within one.
TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const std::string process = std::to_string(std::random_device{}());
    do path_ = std::filesystem::temp_directory_path() / ("tessmor-test-" + process + "-" + std::to_string(counter++));
    while (!std::filesystem::create_directory(path_));
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {
void SetEnv(const std::string& name, const std::optional<std::string>& value) {
#if defined(_WIN32)
    // Both the C runtime's copy and the process block, which the simulated DLLs read as UTF-16: the value is UTF-8.
    _putenv_s(name.c_str(), value ? value->c_str() : "");
    const std::wstring wide_value = value ? platform::WideFromUtf8(*value) : std::wstring();
    SetEnvironmentVariableW(platform::WideFromUtf8(name).c_str(), value ? wide_value.c_str() : nullptr);
#else
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
#endif
}
}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* previous = std::getenv(name_.c_str())) previous_ = previous;
    SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() { SetEnv(name_, previous_); }

namespace {
// NAME=VALUE entries set for a scope, in this process and for its children.
struct Scoped {
    explicit Scoped(const std::vector<std::string>& env) {
        for (const auto& entry : env) set.emplace_back(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
    }
    std::list<ScopedEnv> set;
};
}  // namespace

std::optional<LiveCounts> ReadLiveCounts(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    LiveCounts c;
    if (!std::getline(in, line) ||
        std::sscanf(line.c_str(), R"({"contexts":%d,"streams":%d,"events":%d,"allocations":%d,"modules":%d,"ptx_loads":%d})",
                    &c.contexts, &c.streams, &c.events, &c.allocations, &c.modules, &c.ptx_loads) != 6)
        return std::nullopt;
    return c;
}

std::vector<std::string> ReadTrace(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

#if defined(_WIN32)
namespace {
// The quoting that CommandLineToArgvW undoes.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t ch : argument) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += ch;
    }
    return quoted.append(2 * backslashes, L'\\') + L"\"";
}
}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool) {
    const Scoped scoped(env);  // inherited by the child
    std::wstring command;
    for (const auto& arg : argv) command += (command.empty() ? L"" : L" ") + QuoteArgument(platform::WideFromUtf8(arg));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto open = [&](const char* name) {
        return CreateFileW((capture_.path() / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
    };
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = open("out");
    startup.hStdError = open("err");
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        handle_ = process.hProcess;
        CloseHandle(process.hThread);
    }
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
}

ChildProcess::~ChildProcess() {
    if (handle_ == nullptr) return;
    if (!Wait(0)) TerminateProcess(handle_, 99);
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
}

std::optional<int> ChildProcess::Wait(int milliseconds) {
    DWORD code = 0;
    if (handle_ == nullptr || WaitForSingleObject(handle_, milliseconds < 0 ? INFINITE : milliseconds) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(handle_, &code))
        return std::nullopt;
    return static_cast<int>(code);
}
#else
ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool stderr_gone) {
    const Scoped scoped(env);  // inherited by the child
    std::vector<std::string> args{(SourceDir() / "tools" / "with-sim").string(), "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char*> c_args;
    for (auto& text : args) c_args.push_back(text.data());
    c_args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (capture_.path() / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int gone[2] = {-1, -1};  // a pipe whose reading end is closed before the child starts
    if (stderr_gone && pipe(gone) == 0) {
        close(gone[0]);
        posix_spawn_file_actions_adddup2(&actions, gone[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, (capture_.path() / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = 0;
    if (posix_spawn(&pid, c_args[0], &actions, nullptr, c_args.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    if (gone[1] >= 0) close(gone[1]);
}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0 || exit_code_) return;
    kill(static_cast<pid_t>(pid_), SIGKILL);
    Wait();
}

// Only waiting for good is needed on Linux, where no box can block a program.
std::optional<int> ChildProcess::Wait(int) {
    int status = 0;
    if (!exit_code_ && pid_ > 0 && waitpid(static_cast<pid_t>(pid_), &status, 0) == static_cast<pid_t>(pid_))
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
}
#endif

std::string ChildProcess::Out() const { return ReadFileBytes(capture_.path() / "out"); }
std::string ChildProcess::Err() const {
    return std::filesystem::exists(capture_.path() / "err") ? ReadFileBytes(capture_.path() / "err") : "";
}

ProcessResult RunWithSim(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool stderr_gone) {
    ChildProcess child(argv, env, stderr_gone);
    ProcessResult result;
    result.exit_code = child.Wait().value_or(-1);
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

}  // namespace fpbench::test
