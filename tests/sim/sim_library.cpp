#include "sim_library.h"

#include <string>

#include "support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fpbench::test {
namespace {

#if defined(_WIN32)
const wchar_t* FileName(SimKind kind) { return kind == SimKind::Cuda ? L"nvcuda.dll" : L"nvml.dll"; }
#else
std::string FilePath(SimKind kind) {
    return (BuildDir() / (kind == SimKind::Cuda ? "sim/cuda/libcuda.so.1" : "sim/nvml/libnvidia-ml.so.1")).string();
}
#endif

}  // namespace

#if defined(_WIN32)
// From the system directory, where tools/with-sim --wine puts the DLLs.
SimLibrary::SimLibrary(SimKind kind) : handle_(LoadLibraryExW(FileName(kind), nullptr, 0x800)) {}
SimLibrary::~SimLibrary() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}
void* SimLibrary::Symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}
bool SimLibrary::Resident(SimKind kind) { return GetModuleHandleW(FileName(kind)) != nullptr; }
#else
SimLibrary::SimLibrary(SimKind kind) : handle_(dlopen(FilePath(kind).c_str(), RTLD_NOW | RTLD_LOCAL)) {}
SimLibrary::~SimLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}
void* SimLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }
bool SimLibrary::Resident(SimKind kind) {
    void* handle = dlopen(FilePath(kind).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}
#endif

#define FPBENCH_SIM_TEST_BIND(name, params) name = reinterpret_cast<PFN_##name>(library.Symbol(#name));
CudaApi::CudaApi(const SimLibrary& library) { FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_SIM_TEST_BIND) }
NvmlApi::NvmlApi(const SimLibrary& library) { FPBENCH_NVML_ENTRY_POINTS(FPBENCH_SIM_TEST_BIND) }
#undef FPBENCH_SIM_TEST_BIND

}  // namespace fpbench::test
