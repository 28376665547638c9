// Report root, run folder names and UTC time stamps.
#include <gtest/gtest.h>

#include <regex>

#include "app/report_paths.h"
#include "test_support.h"

namespace fpbench {
namespace {

TEST(RunFolders, AreNamedAfterTheZeroPaddedUtcTime) {
    EXPECT_EQ(FormatUtcTimestamp({2026, 12, 5, 13, 29, 23, 123}), "2026-12-05T13:29:23.123Z");
    EXPECT_EQ(FormatUtcTimestamp({987, 1, 2, 3, 4, 5, 6}), "0987-01-02T03:04:05.006Z");
    EXPECT_TRUE(std::regex_match(UtcTimestamp(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_EQ(RunFolderName("2026-12-05T13:29:23.123Z"), L"2026-12-05T13-29-23-123Z");
    const auto path = RunFolderPath("root");
    EXPECT_EQ(path.parent_path(), std::filesystem::path("root"));
    EXPECT_TRUE(std::regex_match(path.filename().string(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d-\d{3}Z)")));
    EXPECT_FALSE(std::filesystem::exists(path));
}

std::optional<std::filesystem::path> NoAppData() { return std::nullopt; }
std::optional<std::filesystem::path> SomeAppData() { return std::filesystem::path("appdata"); }

TEST(ReportRoot, IsBesideTheProgramElseInTheApplicationDataFolder) {
    test::TempDir dir;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(ReportRootFor(dir.path(), NoAppData), dir.path() / "Reports");  // made, then found
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Reports"));
    EXPECT_EQ(ReportRoot(), ExecutableDirectory() / "Reports");
    EXPECT_TRUE(std::filesystem::exists(ExecutableDirectory() / test::BuildProgram("app_tests").filename()));

    test::TempDir blocked;
    test::WriteFileBytes(blocked.path() / "Reports", "a file where the folder should go");
    EXPECT_EQ(ReportRootFor(blocked.path(), SomeAppData), std::filesystem::path("appdata") / "TessmorBench" / "Reports");
    EXPECT_FALSE(std::filesystem::exists("appdata"));  // not created here
    try {
        ReportRootFor(blocked.path(), NoAppData);
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No writable report directory");
    }
}

}  // namespace
}  // namespace fpbench
