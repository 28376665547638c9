// Window creation that fails part-way, forced by a computer-based-training
// hook (the system's own veto over a window's creation). The error must come
// out of the window mode with its own message, after the shutdown, leaving
// no quit message that would close the entry's error box at once.
#include <windows.h>

#include <gtest/gtest.h>

#include "ui/window_mode.h"

namespace fpbench {
namespace {

constexpr wchar_t kWindowClass[] = L"TessmorBenchNativeWindow";
thread_local const wchar_t* refused_class = nullptr;

LRESULT CALLBACK RefuseCreation(int code, WPARAM wparam, LPARAM lparam) {
    wchar_t name[64] = {};
    if (code == HCBT_CREATEWND && GetClassNameW(reinterpret_cast<HWND>(wparam), name, 64) &&
        lstrcmpiW(name, refused_class) == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

std::string WindowModeErrorRefusing(const wchar_t* class_name) {
    refused_class = class_name;
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseCreation, nullptr, GetCurrentThreadId());
    std::string message = "(no error)";
    try {
        RunWindowMode(GetModuleHandleW(nullptr), SW_HIDE, RunOptions{});
    } catch (const std::exception& error) {
        message = error.what();
    }
    UnhookWindowsHookEx(hook);
    MSG quit = {};
    if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) message += " (quit left behind)";
    // Every window mode registers the class; a process may hold it once.
    UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    return message;
}

TEST(WindowModeFailure, ReportsWhatCouldNotBeCreated) {
    EXPECT_EQ(WindowModeErrorRefusing(L"SysListView32"), "Unable to create a window control");
    EXPECT_EQ(WindowModeErrorRefusing(kWindowClass), "Unable to create application window");

    WNDCLASSEXW taken = {};
    taken.cbSize = sizeof(taken);
    taken.lpfnWndProc = DefWindowProcW;
    taken.hInstance = GetModuleHandleW(nullptr);
    taken.lpszClassName = kWindowClass;
    ASSERT_NE(RegisterClassExW(&taken), 0);
    EXPECT_EQ(WindowModeErrorRefusing(L"none"), "Unable to register window class");
}

}  // namespace
}  // namespace fpbench
