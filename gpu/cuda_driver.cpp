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
    module_handle = platform::LoadGpuLibrary(platform::GpuLibrary::CudaDriver);
    if (module_handle == nullptr)
        throw std::runtime_error("NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.");
    try {
#define FPBENCH_CUDA_BIND(name, params) \
    name = reinterpret_cast<PFN_##name>(ResolveEntryPoint(module_handle, #name));
        FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_CUDA_BIND)
#undef FPBENCH_CUDA_BIND
        CheckCuda(*this, cuInit(0), "cuInit");
    } catch (...) {
        platform::FreeGpuLibrary(module_handle);
        module_handle = nullptr;
        allocations.clear();
        modules.clear();
        throw;
    }
}

CudaDriver::~CudaDriver() {
    Cleanup();
    platform::FreeGpuLibrary(module_handle);
}

std::string CudaErrorMessage(const CudaDriver& driver, CUresult code, const char* label) {
    const char* text = nullptr;
    driver.cuGetErrorString(code, &text);
    return std::string(label) + ": " + (text != nullptr ? text : "CUDA error") + " (" +
           std::to_string(code) + ")";
}

void CheckCuda(const CudaDriver& driver, CUresult code, const char* label) {
    if (code != 0) throw std::runtime_error(CudaErrorMessage(driver, code, label));
}

void OpenGpuContext(CudaDriver& driver, std::int32_t ordinal) {
    CheckCuda(driver, driver.cuDeviceGet(&driver.device, ordinal), "cuDeviceGet");
    CheckCuda(driver, driver.cuCtxGetCurrent(&driver.previous_context), "cuCtxGetCurrent");
    CheckCuda(driver, driver.cuDevicePrimaryCtxRetain(&driver.context, driver.device),
              "cuDevicePrimaryCtxRetain");
    CheckCuda(driver, driver.cuCtxSetCurrent(driver.context), "cuCtxSetCurrent");
    CheckCuda(driver, driver.cuStreamCreate(&driver.stream, cuda::kStreamNonBlocking), "cuStreamCreate");
    CheckCuda(driver, driver.cuEventCreate(&driver.start_event, cuda::kEventDefault), "cuEventCreate");
    CheckCuda(driver, driver.cuEventCreate(&driver.stop_event, cuda::kEventDefault), "cuEventCreate");
}

bool CudaDriver::Cleanup() noexcept {
    if (context == nullptr) return true;
    bool ok = cuCtxSetCurrent(context) == 0;
    if (stream != nullptr && cuStreamSynchronize(stream) != 0) ok = false;
    for (CUdeviceptr address : allocations)
        if (cuMemFree_v2(address) != 0) ok = false;
    allocations.clear();
    for (CUmodule module : modules)
        if (cuModuleUnload(module) != 0) ok = false;
    modules.clear();
    if (start_event != nullptr && cuEventDestroy_v2(start_event) != 0) ok = false;
    if (stop_event != nullptr && cuEventDestroy_v2(stop_event) != 0) ok = false;
    if (stream != nullptr && cuStreamDestroy_v2(stream) != 0) ok = false;
    const CUresult restored = cuCtxSetCurrent(previous_context);
    const CUresult released = cuDevicePrimaryCtxRelease_v2(device);
    context = nullptr;
    stream = nullptr;
    start_event = nullptr;
    stop_event = nullptr;
    return restored == 0 && released == 0 && ok;
}

namespace {
// Releases list entries in order; at the first failure drops the entries
// already released (freeing them twice would be a fault of its own) and
// throws, leaving the failed and the remaining ones for Cleanup.
template <typename Handle, typename Release>
void ReleaseAll(const CudaDriver& driver, std::vector<Handle>& list, Release release,
                const char* label) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const CUresult code = release(list[i]);
        if (code != 0) {
            list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(i));
            throw std::runtime_error(CudaErrorMessage(driver, code, label));
        }
    }
    list.clear();
}
}  // namespace

void CudaDriver::ReleaseSizeResources() {
    CheckCuda(*this, cuStreamSynchronize(stream), "cuStreamSynchronize");
    ReleaseAll(*this, allocations, cuMemFree_v2, "cuMemFree");
    ReleaseAll(*this, modules, cuModuleUnload, "cuModuleUnload");
}

}  // namespace fpbench
