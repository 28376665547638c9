// Types and entry points of the CUDA driver API that the program binds at run
// time, declared from NVIDIA's published interface (no toolkit header needed).
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/api_call.h"

extern "C" {
using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUcontext = struct CUctx_st*;
using CUstream = struct CUstream_st*;
using CUevent = struct CUevent_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUjit_option = int;
using CUdevice_attribute = int;
using CUfunction_attribute = int;
struct CUuuid {
    char bytes[16];
};
}

// The thirty entry points, in binding order: X(name, parameter list).
// Every one returns CUresult. The list drives the member declarations, the
// names looked up and the loader loop, and the simulated driver's exports.
#define FPBENCH_CUDA_ENTRY_POINTS(X)                                                              \
    X(cuInit, (unsigned int flags))                                                               \
    X(cuDeviceGetCount, (int* count))                                                             \
    X(cuDeviceGet, (CUdevice * device, int ordinal))                                              \
    X(cuDeviceGetName, (char* name, int len, CUdevice dev))                                       \
    X(cuDeviceGetAttribute, (int* pi, CUdevice_attribute attrib, CUdevice dev))                   \
    X(cuDeviceGetUuid, (CUuuid * uuid, CUdevice dev))                                             \
    X(cuGetErrorString, (CUresult error, const char** pStr))                                      \
    X(cuCtxGetCurrent, (CUcontext * pctx))                                                        \
    X(cuCtxSetCurrent, (CUcontext ctx))                                                           \
    X(cuDevicePrimaryCtxRetain, (CUcontext * pctx, CUdevice dev))                                 \
    X(cuDevicePrimaryCtxRelease_v2, (CUdevice dev))                                               \
    X(cuStreamCreate, (CUstream * phStream, unsigned int Flags))                                  \
    X(cuStreamDestroy_v2, (CUstream hStream))                                                     \
    X(cuStreamSynchronize, (CUstream hStream))                                                    \
    X(cuMemAlloc_v2, (CUdeviceptr * dptr, std::size_t bytesize))                                  \
    X(cuMemFree_v2, (CUdeviceptr dptr))                                                           \
    X(cuMemGetInfo_v2, (std::size_t * free, std::size_t * total))                                 \
    X(cuMemcpyHtoD_v2, (CUdeviceptr dstDevice, const void* srcHost, std::size_t ByteCount))       \
    X(cuMemcpyDtoH_v2, (void* dstHost, CUdeviceptr srcDevice, std::size_t ByteCount))             \
    X(cuMemsetD8_v2, (CUdeviceptr dstDevice, unsigned char uc, std::size_t N))                    \
    X(cuModuleLoadDataEx, (CUmodule * module, const void* image, unsigned int numOptions,         \
                           CUjit_option* options, void** optionValues))                           \
    X(cuModuleUnload, (CUmodule hmod))                                                            \
    X(cuModuleGetFunction, (CUfunction * hfunc, CUmodule hmod, const char* name))                 \
    X(cuFuncSetAttribute, (CUfunction hfunc, CUfunction_attribute attrib, int value))             \
    X(cuLaunchKernel, (CUfunction f, unsigned int gridDimX, unsigned int gridDimY,                \
                       unsigned int gridDimZ, unsigned int blockDimX, unsigned int blockDimY,     \
                       unsigned int blockDimZ, unsigned int sharedMemBytes, CUstream hStream,     \
                       void** kernelParams, void** extra))                                        \
    X(cuEventCreate, (CUevent * phEvent, unsigned int Flags))                                     \
    X(cuEventRecord, (CUevent hEvent, CUstream hStream))                                          \
    X(cuEventSynchronize, (CUevent hEvent))                                                       \
    X(cuEventElapsedTime, (float* pMilliseconds, CUevent hStart, CUevent hEnd))                   \
    X(cuEventDestroy_v2, (CUevent hEvent))

// Pointer types PFN_<name> for every entry point.
#define FPBENCH_CUDA_DECLARE_PFN(name, params) using PFN_##name = CUresult(FPBENCH_GPUAPI*) params;
FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_CUDA_DECLARE_PFN)
#undef FPBENCH_CUDA_DECLARE_PFN

// Numeric arguments by their published names.
namespace fpbench::cuda {
inline constexpr CUdevice_attribute kAttrClockRate = 13;  // kHz, the highest SM clock
inline constexpr CUdevice_attribute kAttrMultiprocessorCount = 16;
inline constexpr CUdevice_attribute kAttrComputeCapabilityMajor = 75;
inline constexpr CUdevice_attribute kAttrComputeCapabilityMinor = 76;
inline constexpr CUjit_option kJitErrorLogBuffer = 5;
inline constexpr CUjit_option kJitErrorLogBufferSizeBytes = 6;
inline constexpr CUfunction_attribute kFuncMaxDynamicSharedSizeBytes = 8;
inline constexpr unsigned int kStreamNonBlocking = 1;
inline constexpr unsigned int kEventDefault = 0;
}  // namespace fpbench::cuda
