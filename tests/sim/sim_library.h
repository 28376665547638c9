// Loads a simulated GPU library the way the product finds it and binds its
// entry points; unloads it on destruction.
#pragma once

#include "gpu/cuda_api.h"
#include "gpu/nvml_api.h"

namespace fpbench::test {

enum class SimKind { Cuda, Nvml };

class SimLibrary {
public:
    explicit SimLibrary(SimKind kind);
    ~SimLibrary();
    SimLibrary(const SimLibrary&) = delete;
    SimLibrary& operator=(const SimLibrary&) = delete;

    bool Loaded() const { return handle_ != nullptr; }
    void* Symbol(const char* name) const;
    // Whether the library is still mapped into the process.
    static bool Resident(SimKind kind);

private:
    void* handle_ = nullptr;
};

struct CudaApi {
    explicit CudaApi(const SimLibrary& library);
#define FPBENCH_SIM_TEST_MEMBER(name, params) PFN_##name name = nullptr;
    FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_SIM_TEST_MEMBER)
};

struct NvmlApi {
    explicit NvmlApi(const SimLibrary& library);
    FPBENCH_NVML_ENTRY_POINTS(FPBENCH_SIM_TEST_MEMBER)
#undef FPBENCH_SIM_TEST_MEMBER
};

}  // namespace fpbench::test
