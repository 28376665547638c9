// The driver is taken from the system directory only: an nvcuda.dll planted
// beside the program or in the working directory is never loaded.
#include <gtest/gtest.h>

#include <windows.h>

#include "gpu/devices.h"
#include "test_support.h"

namespace fpbench {
namespace {

std::filesystem::path ProgramDirectory() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

TEST(PlantedDll, IsNeverLoaded) {
    const auto planted = test::BuildDir() / "sim" / "planted" / "nvcuda.dll";
    ASSERT_TRUE(std::filesystem::exists(planted));
    const auto beside = ProgramDirectory() / "nvcuda.dll";
    std::filesystem::copy_file(planted, beside, std::filesystem::copy_options::overwrite_existing);
    const auto previous_directory = std::filesystem::current_path();
    std::filesystem::current_path(ProgramDirectory());

    for (const auto& device : EnumerateDevices()) EXPECT_NE(device.name, "PLANTED nvcuda.dll");
    {
        // With the system copy unavailable the planted one must not stand in.
        test::ScopedEnv no_driver("TESSMOR_SIM_NO_DRIVER", "1");
        try {
            EnumerateDevices();
            ADD_FAILURE() << "a driver was loaded";
        } catch (const std::exception& error) {
            EXPECT_STREQ(error.what(), "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
        }
    }
    std::filesystem::current_path(previous_directory);
    std::filesystem::remove(beside);
}

}  // namespace
}  // namespace fpbench
