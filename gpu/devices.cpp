#include "gpu/devices.h"

#include <cstring>

namespace fpbench {

std::string FormatUuid(const std::array<unsigned char, 16>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "GPU-";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

DeviceInfo QueryDeviceInfo(const CudaDriver& driver, std::int32_t ordinal) {
    CUdevice handle = 0;
    CheckCuda(driver, driver->cuDeviceGet(&handle, ordinal), "cuDeviceGet");
    char name[256] = {};
    CheckCuda(driver, driver->cuDeviceGetName(name, sizeof name, handle), "cuDeviceGetName");
    CUuuid uuid{};
    CheckCuda(driver, driver->cuDeviceGetUuid(&uuid, handle), "cuDeviceGetUuid");

    DeviceInfo info;
    std::array<unsigned char, 16> bytes{};
    std::memcpy(bytes.data(), uuid.bytes, bytes.size());
    info.uuid = FormatUuid(bytes);
    info.ordinal = ordinal;
    for (auto [attribute, field] : {std::pair{cuda::kAttrMultiprocessorCount, &info.sm_count},
                                    std::pair{cuda::kAttrComputeCapabilityMajor, &info.major},
                                    std::pair{cuda::kAttrComputeCapabilityMinor, &info.minor}}) {
        int value = 0;
        CheckCuda(driver, driver->cuDeviceGetAttribute(&value, attribute, handle),
                  "cuDeviceGetAttribute");
        *field = value;
    }
    // Newer drivers may stop answering this deprecated attribute; the bound
    // then falls back to NVML or the run's readings, so it never fails a run.
    if (int khz = 0; driver->cuDeviceGetAttribute(&khz, cuda::kAttrClockRate, handle) == 0 && khz > 0) {
        info.max_sm_clock_mhz = khz / 1000 + (khz % 1000 != 0 ? 1 : 0);  // rounded up: a bound must not come out low
        info.max_sm_clock_source = MaxClockSource::CudaAttribute;
    }
    // The driver NUL-terminates; the last byte stays 0 even if it did not.
    info.name.assign(name, strnlen(name, sizeof name - 1));
    return info;
}

std::vector<DeviceInfo> EnumerateDevices() {
    CudaDriver driver;
    int count = 0;
    CheckCuda(driver, driver->cuDeviceGetCount(&count), "cuDeviceGetCount");
    std::vector<DeviceInfo> devices;
    for (int ordinal = 0; ordinal < count; ++ordinal)
        devices.push_back(QueryDeviceInfo(driver, ordinal));
    return devices;
}

}  // namespace fpbench
