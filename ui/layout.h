// Where the window's controls go: one fixed layout in logical units of a
// 96-DPI screen, converted to pixels with the window's DPI. Pure arithmetic,
// so that it can be checked without a window system.
#pragma once

#include <array>
#include <cstddef>

namespace fpbench {

// The seventeen child controls, in creation (and Tab) order.
enum class WindowControl : std::size_t {
    Title,
    Subtitle,
    GpuLabel,
    GpuCombo,
    SizeLabel,
    SizeCombo,
    TrialsLabel,
    TrialsEdit,
    StartButton,
    StopButton,
    ReportsButton,
    AboutButton,
    StatusLabel,
    ProgressBar,
    ResultsList,
    LogEdit,
    Footnote,
};
inline constexpr std::size_t kControlCount = 17;

struct ControlRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const ControlRect&, const ControlRect&) = default;
};

struct WindowSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const WindowSize&, const WindowSize&) = default;
};

// value · numerator / denominator in 64 bits, rounded to nearest with halves
// away from zero; -1 for a zero denominator or a result beyond 32 bits, as
// the system's MulDiv does.
int MulDivRound(int value, int numerator, int denominator);

int ToPixels(int logical, int dpi);
int ToLogical(int pixels, int dpi);
ControlRect ToPixels(const ControlRect& logical, int dpi);

// The logical rectangle of every control for a client area given in pixels.
std::array<ControlRect, kControlCount> LogicalLayout(int client_width, int client_height, int dpi);
// The same, in client pixels, as handed to the window system.
std::array<ControlRect, kControlCount> PixelLayout(int client_width, int client_height, int dpi);

// Smallest window size (frame included) the user may drag to, in pixels.
WindowSize MinimumWindowSize(int dpi);

// The start-up window rectangle: 1040 × 680 logical, at most the work area
// less 20 pixels each way, centred in the work area.
ControlRect InitialWindowRect(const ControlRect& work_area, int dpi);

}  // namespace fpbench
