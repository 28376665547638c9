// The main window's state and its window procedure. Everything here runs on
// the user-interface thread, except the worker that a run starts (it only
// posts the three private messages below, each owning a heap object that the
// window procedure deletes).
#pragma once

#include <windows.h>

#include <array>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "bench/records.h"
#include "gpu/device_info.h"
#include "run/run_benchmark.h"
#include "ui/layout.h"
#include "ui/run_control.h"

namespace fpbench {

inline constexpr UINT WM_APP_STATUS = WM_APP + 1;    // lParam: std::wstring*
inline constexpr UINT WM_APP_ROW = WM_APP + 2;       // lParam: Row*
inline constexpr UINT WM_APP_FINISHED = WM_APP + 3;  // lParam: FinishedRun*

inline constexpr COLORREF kBackgroundColour = RGB(247, 249, 252);

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
template <typename Handle>
using GdiOwner = std::unique_ptr<std::remove_pointer_t<Handle>, GdiObjectDeleter>;

struct MainWindow {
    MainWindow() = default;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    // The shutdown: stops and joins a run still going, discards what it
    // posted, destroys a window still open; then the GDI objects go.
    ~MainWindow();

    HWND Control(WindowControl control) const { return controls[static_cast<std::size_t>(control)]; }

    HWND hwnd = nullptr;  // fixed once created; the worker addresses its posts to it
    std::array<HWND, kControlCount> controls{};
    GdiOwner<HFONT> body_font;
    GdiOwner<HFONT> title_font;
    GdiOwner<HBRUSH> background_brush;
    std::vector<DeviceInfo> devices;  // item i of the GPU list is devices[i]
    std::thread worker;
    RunControl run;  // idle/running/stopping/closing and the stop flag
    int dpi = 96;
    std::filesystem::path output_override;  // --output, used by every run
    std::filesystem::path last_report_dir;  // of the last started run
    // An error that left a message handler. It ends the message loop and is
    // rethrown after the shutdown, never across the system's frames.
    std::exception_ptr failure;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

void AppendLog(MainWindow& window, const std::wstring& line);
void SetRunning(MainWindow& window, bool on);
void SetStatus(MainWindow& window, const wchar_t* text);

// Run control (run_worker.cpp).
void OnStart(MainWindow& window);
void OnStop(MainWindow& window);
void OnRunFinished(MainWindow& window, const FinishedRun& finished);
// Deletes the object a private message carries; other messages are ignored.
void DiscardPayload(UINT message, LPARAM lparam);

}  // namespace fpbench
