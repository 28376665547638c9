// Window layout and DPI scaling, computed without a window system.
#include <gtest/gtest.h>

#include "ui/layout.h"

namespace fpbench {
namespace {

using W = WindowControl;

ControlRect At(int width, int height, int dpi, W control) {
    return PixelLayout(width, height, dpi)[static_cast<std::size_t>(control)];
}

TEST(MulDivRound, RoundsHalvesAwayFromZeroLikeTheSystem) {
    EXPECT_EQ(MulDivRound(5, 1, 2), 3);
    EXPECT_EQ(MulDivRound(-5, 1, 2), -3);
    EXPECT_EQ(MulDivRound(5, 1, -2), -3);
    EXPECT_EQ(MulDivRound(-7, 1, 3), -2);
    EXPECT_EQ(MulDivRound(2000000000, 3, 4), 1500000000);  // 64-bit product
    EXPECT_EQ(MulDivRound(2000000000, 3, 2), -1);          // result beyond 32 bits
    EXPECT_EQ(MulDivRound(12, 96, 0), -1);
}

TEST(Layout, MatchesTheWorkedExampleAt120Dpi) {
    EXPECT_EQ(At(1232, 780, 120, W::ResultsList), (ControlRect{28, 375, 1178, 168}));
    EXPECT_EQ(At(1232, 780, 120, W::LogEdit), (ControlRect{28, 560, 1178, 90}));
    EXPECT_EQ(At(1232, 780, 120, W::StartButton), (ControlRect{908, 250, 144, 45}));
    EXPECT_EQ(At(1232, 780, 120, W::ReportsButton), (ControlRect{833, 695, 225, 43}));
    EXPECT_EQ(MinimumWindowSize(120), (WindowSize{1238, 800}));
}

TEST(Layout, ScalesWithTheDpi) {
    // 96: pixels are logical units; buttons end 22 from the right, 8 apart.
    EXPECT_EQ(PixelLayout(1024, 641, 96), LogicalLayout(1024, 641, 96));
    EXPECT_EQ(At(1024, 641, 96, W::StopButton), (ControlRect{887, 200, 115, 36}));
    EXPECT_EQ(At(1024, 641, 96, W::StartButton), (ControlRect{764, 200, 115, 36}));
    EXPECT_EQ(At(1024, 641, 96, W::AboutButton), (ControlRect{892, 573, 110, 34}));
    EXPECT_EQ(At(1024, 641, 96, W::Footnote), (ControlRect{22, 565, 664, 48}));
    EXPECT_EQ(MinimumWindowSize(96), (WindowSize{990, 640}));
    // 144: half as large again, halves rounded up.
    EXPECT_EQ(At(1536, 960, 144, W::Title), (ControlRect{33, 24, 1470, 54}));
    EXPECT_EQ(At(1536, 960, 144, W::StartButton), (ControlRect{1146, 300, 173, 54}));
    EXPECT_EQ(At(1536, 960, 144, W::ProgressBar), (ControlRect{33, 417, 1470, 11}));
    EXPECT_EQ(At(1536, 960, 144, W::LogEdit), (ControlRect{33, 696, 1470, 108}));
    EXPECT_EQ(ColumnWidths(144), (std::array<int, 8>{150, 225, 150, 233, 105, 128, 128, 158}));
    EXPECT_EQ(MinimumWindowSize(144), (WindowSize{1485, 960}));
    // 192: twice.
    EXPECT_EQ(At(2048, 1300, 192, W::ResultsList), (ControlRect{44, 600, 1960, 320}));
    EXPECT_EQ(ColumnWidths(192), (std::array<int, 8>{200, 300, 200, 310, 140, 170, 170, 210}));
    EXPECT_EQ(MinimumWindowSize(192), (WindowSize{1980, 1280}));
}

TEST(Layout, ShortClientsKeepTheListMinimumAndLetTheFootnoteOverlap) {
    EXPECT_EQ(At(1000, 590, 96, W::ResultsList).height, 100);
    EXPECT_EQ(At(1000, 591, 96, W::ResultsList).height, 101);
    EXPECT_EQ(At(1000, 561, 96, W::Footnote).y, 485);  // the log ends at 486
    EXPECT_EQ(At(1000, 561, 96, W::LogEdit).y + 72, 486);
}

TEST(Layout, MinimisedWindowGetsNegativeSizesUnchanged) {
    EXPECT_EQ(LogicalLayout(0, 0, 120)[static_cast<std::size_t>(W::Footnote)], (ControlRect{22, -76, -360, 48}));
    EXPECT_EQ(At(0, 0, 120, W::AboutButton), (ControlRect{-165, -85, 138, 43}));
    EXPECT_EQ(At(0, 0, 96, W::LogEdit), (ControlRect{22, 414, -44, 72}));
}

TEST(InitialWindow, IsScaledCentredAndKeptInsideTheWorkArea) {
    EXPECT_EQ(InitialWindowRect({0, 0, 1920, 1160}, 96), (ControlRect{440, 240, 1040, 680}));
    EXPECT_EQ(InitialWindowRect({0, 0, 2560, 1400}, 144), (ControlRect{500, 190, 1560, 1020}));
    EXPECT_EQ(InitialWindowRect({0, 40, 800, 560}, 96), (ControlRect{10, 50, 780, 540}));
    EXPECT_EQ(InitialWindowRect({0, 0, 1065, 701}, 96), (ControlRect{12, 10, 1040, 680}));  // truncated
}

}  // namespace
}  // namespace fpbench
