// The calling convention of the GPU libraries' entry points, shared by the
// CUDA driver and NVML bindings (and the simulated libraries that export them).
#pragma once

#if defined(_WIN32)
#define FPBENCH_GPUAPI __stdcall
#else
#define FPBENCH_GPUAPI
#endif
