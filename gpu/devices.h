// Which CUDA devices the machine has, and who one of them is.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu/cuda_driver.h"
#include "gpu/device_info.h"

namespace fpbench {

// Describes one device of a bound driver (no GPU context needed).
DeviceInfo QueryDeviceInfo(const CudaDriver& driver, std::int32_t ordinal);
// Every device, in ordinal order, with a driver of its own; all or nothing.
std::vector<DeviceInfo> EnumerateDevices();

// "GPU-" + the 16 bytes in order as lowercase hex, grouped 8-4-4-4-12.
std::string FormatUuid(const std::array<unsigned char, 16>& bytes);

}  // namespace fpbench
