#include "gpu/cuda_driver.h"

#include <stdexcept>

namespace fpbench {

void* ResolveEntryPoint(platform::LibraryHandle module, const char* name) {
    void* address = platform::LookupSymbol(module, name);
    if (address == nullptr)
        throw std::runtime_error(std::string("Driver entry point unavailable: ") + name);
    return address;
}

CudaDriver::CudaDriver() {
    library_ = platform::LoadGpuLibrary(platform::GpuLibrary::CudaDriver);
    if (library_ == nullptr)
        throw std::runtime_error("NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
    try {
#define FPBENCH_CUDA_BIND(name, params) \
    api_.name = reinterpret_cast<PFN_##name>(ResolveEntryPoint(library_, #name));
        FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_CUDA_BIND)
#undef FPBENCH_CUDA_BIND
        CheckCuda(*this, api_.cuInit(0), "cuInit");
    } catch (...) {
        platform::FreeGpuLibrary(library_);
        throw;
    }
}

CudaDriver::~CudaDriver() { platform::FreeGpuLibrary(library_); }

std::string CudaErrorMessage(const CudaDriver& driver, CUresult code, const char* label) {
    const char* text = nullptr;
    driver->cuGetErrorString(code, &text);
    return std::string(label) + ": " + (text != nullptr ? text : "CUDA error") + " (" + std::to_string(code) + ")";
}

void CheckCuda(const CudaDriver& driver, CUresult code, const char* label) {
    if (code != 0) throw std::runtime_error(CudaErrorMessage(driver, code, label));
}

}  // namespace fpbench
