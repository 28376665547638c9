#include "ui/layout.h"

#include <algorithm>
#include <cstdint>

namespace fpbench {
namespace {

constexpr int kLogicalDpi = 96;
constexpr WindowSize kMinimumLogical{990, 640};
constexpr WindowSize kInitialLogical{1040, 680};

}  // namespace

int MulDivRound(int value, int numerator, int denominator) {
    if (denominator == 0) return -1;
    std::int64_t product = std::int64_t{value} * numerator;
    std::int64_t divisor = denominator;
    if (divisor < 0) {
        product = -product;
        divisor = -divisor;
    }
    const std::int64_t half = divisor / 2;
    const std::int64_t quotient = product >= 0 ? (product + half) / divisor : (product - half) / divisor;
    if (quotient > INT32_MAX || quotient < -INT32_MAX) return -1;
    return static_cast<int>(quotient);
}

int ToPixels(int logical, int dpi) { return MulDivRound(logical, dpi, kLogicalDpi); }
int ToLogical(int pixels, int dpi) { return MulDivRound(pixels, kLogicalDpi, dpi); }

ControlRect ToPixels(const ControlRect& logical, int dpi) {
    return {ToPixels(logical.x, dpi), ToPixels(logical.y, dpi), ToPixels(logical.width, dpi),
            ToPixels(logical.height, dpi)};
}

std::array<ControlRect, kControlCount> LogicalLayout(int client_width, int client_height, int dpi) {
    const int w = ToLogical(client_width, dpi);
    const int h = ToLogical(client_height, dpi);
    // The results list takes whatever height the fixed rows leave.
    const int list = std::max(h - 490, 100);

    std::array<ControlRect, kControlCount> at{};
    auto place = [&at](WindowControl control, ControlRect rect) { at[static_cast<std::size_t>(control)] = rect; };
    place(WindowControl::Title, {22, 16, w - 44, 36});
    place(WindowControl::Subtitle, {22, 58, w - 44, 48});
    place(WindowControl::GpuLabel, {22, 112, 100, 22});
    place(WindowControl::GpuCombo, {22, 138, w - 44, 250});
    place(WindowControl::SizeLabel, {22, 178, 295, 22});
    place(WindowControl::SizeCombo, {22, 204, 295, 220});
    place(WindowControl::TrialsLabel, {337, 178, 150, 22});
    place(WindowControl::TrialsEdit, {337, 204, 90, 30});
    place(WindowControl::StartButton, {w - 260, 200, 115, 36});
    place(WindowControl::StopButton, {w - 137, 200, 115, 36});
    place(WindowControl::StatusLabel, {22, 248, w - 44, 24});
    place(WindowControl::ProgressBar, {22, 278, w - 44, 7});
    place(WindowControl::ResultsList, {22, 300, w - 44, list});
    place(WindowControl::LogEdit, {22, list + 314, w - 44, 72});
    place(WindowControl::Footnote, {22, h - 76, w - 360, 48});
    place(WindowControl::ReportsButton, {w - 320, h - 68, 180, 34});
    place(WindowControl::AboutButton, {w - 132, h - 68, 110, 34});
    return at;
}

std::array<ControlRect, kControlCount> PixelLayout(int client_width, int client_height, int dpi) {
    std::array<ControlRect, kControlCount> pixels = LogicalLayout(client_width, client_height, dpi);
    for (ControlRect& rect : pixels) rect = ToPixels(rect, dpi);
    return pixels;
}

WindowSize MinimumWindowSize(int dpi) {
    return {ToPixels(kMinimumLogical.width, dpi), ToPixels(kMinimumLogical.height, dpi)};
}

ControlRect InitialWindowRect(const ControlRect& work_area, int dpi) {
    const int width = std::min(work_area.width - 20, ToPixels(kInitialLogical.width, dpi));
    const int height = std::min(work_area.height - 20, ToPixels(kInitialLogical.height, dpi));
    return {work_area.x + (work_area.width - width) / 2, work_area.y + (work_area.height - height) / 2, width,
            height};
}

}  // namespace fpbench
