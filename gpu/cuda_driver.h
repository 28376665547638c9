// The CUDA driver bound at run time: the loaded library and its thirty entry
// points, a read-only table once bound. The GPU context of a run is a
// GpuSession (gpu_session.h) built on it.
#pragma once

#include <string>

#include "gpu/cuda_api.h"
#include "platform/platform.h"

namespace fpbench {

// The bound entry points, each named and typed as the driver function it holds.
struct CudaApi {
#define FPBENCH_CUDA_MEMBER(name, params) PFN_##name name = nullptr;
    FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_CUDA_MEMBER)
#undef FPBENCH_CUDA_MEMBER
};

class CudaDriver {
public:
    // Loads the driver library, binds every entry point and runs cuInit(0).
    // Throws std::runtime_error with the user-facing message; on failure
    // nothing stays loaded.
    CudaDriver();
    ~CudaDriver();
    CudaDriver(const CudaDriver&) = delete;
    CudaDriver& operator=(const CudaDriver&) = delete;

    // driver->cuDeviceGet(...): the entry points.
    const CudaApi* operator->() const { return &api_; }

private:
    platform::LibraryHandle library_ = nullptr;
    CudaApi api_;
};

// GetProcAddress/dlsym; throws "Driver entry point unavailable: " + name.
void* ResolveEntryPoint(platform::LibraryHandle module, const char* name);

// "<label>: <driver text or 'CUDA error'> (<code>)".
std::string CudaErrorMessage(const CudaDriver& driver, CUresult code, const char* label);
// Returns on 0, otherwise throws std::runtime_error(CudaErrorMessage(...)).
void CheckCuda(const CudaDriver& driver, CUresult code, const char* label);

}  // namespace fpbench
