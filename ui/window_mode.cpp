// Start-up, message loop and shutdown of the window.
#include "ui/window_mode.h"

#include <stdexcept>
#include <utility>

#include "ui/main_window.h"
#include "ui/window_texts.h"

namespace fpbench {
namespace {

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

void RegisterWindowClass(HINSTANCE instance, HBRUSH background) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = background;
    window_class.lpszClassName = texts::kWindowClass;
    if (RegisterClassExW(&window_class) == 0) throw std::runtime_error("Unable to register window class");
}

ControlRect WorkArea() {
    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return {area.left, area.top, area.right - area.left, area.bottom - area.top};
}

void CreateMainWindow(HINSTANCE instance, MainWindow& window) {
    const ControlRect at = InitialWindowRect(WorkArea(), window.dpi);
    HWND hwnd = CreateWindowExW(0, texts::kWindowClass, texts::kWindowTitle, WS_OVERLAPPEDWINDOW, at.x, at.y, at.width,
                                at.height, nullptr, nullptr, instance, &window);
    if (hwnd != nullptr) return;
    // A control that could not be created says so itself.
    if (window.failure) std::rethrow_exception(std::exchange(window.failure, nullptr));
    throw std::runtime_error("Unable to create application window");
}

void RunMessageLoop(MainWindow& window) {
    MSG message = {};
    // An error recorded by a handler ends the loop for good.
    while (!window.failure && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(window.hwnd, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Frees what the worker posted and nobody received, and drops a quit
// message that would otherwise close the entry's error box at once.
void DiscardQueue() {
    MSG message = {};
    while (PeekMessageW(&message, nullptr, WM_APP_STATUS, WM_APP_FINISHED, PM_REMOVE))
        DiscardPayload(message.message, message.lParam);
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

}  // namespace

MainWindow::~MainWindow() {
    run.RequestShutdown();
    if (worker.joinable()) worker.join();
    // Posted messages die with their window, so free them while it exists.
    DiscardQueue();
    if (hwnd != nullptr && IsWindow(hwnd)) DestroyWindow(hwnd);
    DiscardQueue();
}

int RunWindowMode(HINSTANCE instance, int show, const RunOptions& options) {
    MainWindow window;
    window.background_brush.reset(CreateSolidBrush(kBackgroundColour));
    window.output_override = options.report_dir;
    window.dpi = ScreenDpi();
    RegisterWindowClass(instance, window.background_brush.get());
    CreateMainWindow(instance, window);
    ShowWindow(window.hwnd, show);
    UpdateWindow(window.hwnd);
    RunMessageLoop(window);
    if (window.failure) std::rethrow_exception(window.failure);
    return 0;
}

}  // namespace fpbench
