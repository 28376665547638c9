// The CUDA driver bound at run time: the loaded library, its thirty entry
// points and, during a run, the GPU context built on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/cuda_api.h"
#include "platform/platform.h"

namespace fpbench {

class CudaDriver {
public:
    // Loads the driver library, binds every entry point and runs cuInit(0).
    // Throws std::runtime_error with the user-facing message; on failure
    // nothing stays loaded.
    CudaDriver();
    ~CudaDriver();
    CudaDriver(const CudaDriver&) = delete;
    CudaDriver& operator=(const CudaDriver&) = delete;

    // Releases the GPU context and everything created in it. Never throws;
    // true when no context was open or every release step succeeded.
    bool Cleanup() noexcept;
    // After one matrix size: synchronises the stream, frees the allocations
    // and unloads the modules. Throws on the first failure; what was not
    // released stays listed for Cleanup.
    void ReleaseSizeResources();

    platform::LibraryHandle module_handle = nullptr;
#define FPBENCH_CUDA_MEMBER(name, params) PFN_##name name = nullptr;
    FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_CUDA_MEMBER)
#undef FPBENCH_CUDA_MEMBER
    CUcontext context = nullptr;
    CUcontext previous_context = nullptr;
    CUdevice device = 0;
    CUstream stream = nullptr;
    CUevent start_event = nullptr;
    CUevent stop_event = nullptr;
    std::vector<CUdeviceptr> allocations;
    std::vector<CUmodule> modules;
};

// Opens the GPU context of a run on `ordinal`: the device, the previously
// current context, the retained primary context made current, one
// non-blocking stream and the two timing events. Throws the CUDA message of
// the failing call; what was created stays recorded for Cleanup.
void OpenGpuContext(CudaDriver& driver, std::int32_t ordinal);

// GetProcAddress/dlsym; throws "Driver entry point unavailable: " + name.
void* ResolveEntryPoint(platform::LibraryHandle module, const char* name);

// "<label>: <driver text or 'CUDA error'> (<code>)".
std::string CudaErrorMessage(const CudaDriver& driver, CUresult code, const char* label);
// Returns on 0, otherwise throws std::runtime_error(CudaErrorMessage(...)).
void CheckCuda(const CudaDriver& driver, CUresult code, const char* label);

}  // namespace fpbench
