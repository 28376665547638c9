// Report root, run folder names and UTC time stamps.
#include <gtest/gtest.h>

#include <regex>

#include "app/report_paths.h"
#include "test_support.h"

namespace fpbench {
namespace {

TEST(UtcTimestamps, AreZeroPaddedToTheMillisecond) {
    EXPECT_EQ(FormatUtcTimestamp({2026, 12, 5, 13, 29, 23, 123}), "2026-12-05T13:29:23.123Z");
    EXPECT_EQ(FormatUtcTimestamp({987, 1, 2, 3, 4, 5, 6}), "0987-01-02T03:04:05.006Z");
    const std::string now = UtcTimestamp();
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"))) << now;
}

TEST(RunFolders, AreNamedAfterTheTimeWithoutColonsOrDots) {
    EXPECT_EQ(RunFolderName("2026-12-05T13:29:23.123Z"), L"2026-12-05T13-29-23-123Z");
    const auto path = RunFolderPath("root");
    EXPECT_EQ(path.parent_path(), std::filesystem::path("root"));
    const auto name = path.filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d-\d{3}Z)"))) << name;
    EXPECT_FALSE(std::filesystem::exists(path));
}

std::optional<std::filesystem::path> NoAppData() { return std::nullopt; }
std::optional<std::filesystem::path> SomeAppData() { return std::filesystem::path("appdata"); }

TEST(ReportRoot, IsBesideTheProgramWhenItCanBeCreated) {
    test::TempDir dir;
    EXPECT_EQ(ReportRootFor(dir.path(), NoAppData), dir.path() / "Reports");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Reports"));
    // An existing root is fine too.
    EXPECT_EQ(ReportRootFor(dir.path(), NoAppData), dir.path() / "Reports");
}

TEST(ReportRoot, FallsBackToTheApplicationDataFolder) {
    test::TempDir dir;
    test::WriteFileBytes(dir.path() / "Reports", "a file where the folder should go");
    EXPECT_EQ(ReportRootFor(dir.path(), SomeAppData),
              std::filesystem::path("appdata") / "TessmorBench" / "Reports");
    EXPECT_FALSE(std::filesystem::exists("appdata"));  // not created here
    try {
        ReportRootFor(dir.path(), NoAppData);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No writable report directory");
    }
}

TEST(ReportRoot, OfTheRunningProgramIsBesideIt) {
    const auto directory = ExecutableDirectory();
    EXPECT_TRUE(std::filesystem::exists(directory / test::BuildProgram("app_tests").filename()));
    EXPECT_EQ(ReportRoot(), directory / "Reports");
}

}  // namespace
}  // namespace fpbench
