// Proves error_box_helper against error_box_sample, which shows the same kind
// of box as the program's error handler. Needs a display (Xvfb under Wine).
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"

namespace fpbench {
namespace {

std::wstring SiblingProgram(const wchar_t* name) {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

// error_box_sample showing its box; terminated if it is still up at the end,
// so that a helper that never answers cannot hang the suite.
class SampleBox {
public:
    explicit SampleBox(const std::wstring& arguments) {
        const std::wstring program = SiblingProgram(L"error_box_sample.exe");
        std::wstring command_line = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        started_ = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &info_) != FALSE;
    }
    SampleBox(const SampleBox&) = delete;
    SampleBox& operator=(const SampleBox&) = delete;
    ~SampleBox() {
        if (started_) {
            TerminateProcess(info_.hProcess, 99);
            CloseHandle(info_.hThread);
            CloseHandle(info_.hProcess);
        }
    }
    bool Started() const { return started_; }
    // The exit code, or STILL_ACTIVE while the box stays open.
    DWORD Wait() {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(info_.hProcess, 10000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(info_.hProcess, &code);
        }
        return code;
    }

private:
    PROCESS_INFORMATION info_ = {};
    bool started_ = false;
};

test::ProcessResult RunHelper(const char* timeout_seconds) {
    return test::RunWithSim(
        {platform::Utf8FromWide(SiblingProgram(L"error_box_helper.exe")), timeout_seconds});
}

TEST(ErrorBoxHelper, ReadsTheMessageAndPressesOk) {
    SampleBox box(L"\"Unknown argument: --gr\u00f6\u00dfe \u8bbe\u5907\U0001F600\"");
    ASSERT_TRUE(box.Started());
    const test::ProcessResult helper = RunHelper("30");
    EXPECT_EQ(helper.out,
              "Unknown argument: --gr\xc3\xb6\xc3\x9f" "e \xe8\xae\xbe\xe5\xa4\x87\xf0\x9f\x98\x80\n");
    EXPECT_EQ(helper.exit_code, 0);
    EXPECT_EQ(box.Wait(), 0u) << "the box was not closed with OK";
}

TEST(ErrorBoxHelper, TellsABoxWithoutTheErrorIcon) {
    for (const wchar_t* icon : {L"--no-icon", L"--warning-icon"}) {
        SampleBox box(std::wstring(icon) + L" \"Missing argument\"");
        ASSERT_TRUE(box.Started());
        const test::ProcessResult helper = RunHelper("30");
        EXPECT_EQ(helper.out, "Missing argument\n");
        EXPECT_EQ(helper.exit_code, 3) << platform::Utf8FromWide(icon);
        EXPECT_EQ(box.Wait(), 0u);
    }
}

TEST(ErrorBoxHelper, GivesUpWhenNoBoxAppears) {
    const test::ProcessResult helper = RunHelper("1");
    EXPECT_EQ(helper.out, "");
    EXPECT_EQ(helper.exit_code, 2);
}

}  // namespace
}  // namespace fpbench
