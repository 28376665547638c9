// Defines one exported entry point of a simulated library under its
// published name with C linkage; its body is the function SimImpl_<name>,
// defined earlier in the same source.
//
// Linux: the export is a GNU IFUNC. glibc's dlsym returns whatever the
// resolver returns, so an export listed as missing resolves to null while the
// symbol stays in the table. Windows: the export is an alias of the body; a
// missing one is hidden at load by zeroing its export-table entry.
#pragma once

#include "gpu/api_call.h"

// A helper one simulated library offers the other, beside the published names.
#if defined(_WIN32)
#define SIM_HELPER_EXPORT __declspec(dllexport)
#else
#define SIM_HELPER_EXPORT __attribute__((visibility("default")))
#endif

#if defined(_WIN32)
#define SIM_DEFINE_EXPORT(result_type, name, params, present)                            \
    extern "C" __declspec(dllexport) result_type FPBENCH_GPUAPI name params \
        __attribute__((alias("SimImpl_" #name)));
#else
#define SIM_DEFINE_EXPORT(result_type, name, params, present)                              \
    extern "C" PFN_##name SimResolve_##name() { return (present) ? &SimImpl_##name : nullptr; } \
    extern "C" __attribute__((visibility("default"))) result_type name params                  \
        __attribute__((ifunc("SimResolve_" #name)));
#endif

// The library's load and unload hooks. Each library defines its own
// sim::LoadSimulator(bool honour_absent) / sim::UnloadSimulator(bool at_exit)
// and its g_simulator. On Windows an "absent" library refuses to attach; on
// Linux absence is arranged by leaving the library off the search path.
#if defined(_WIN32)
#define SIM_DEFINE_LIBRARY_LIFETIME()                                                  \
    extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) { \
        if (reason == DLL_PROCESS_ATTACH) {                                            \
            if (!sim::LoadSimulator(true)) return FALSE;                               \
            sim::HideExports(instance, sim::g_simulator->config.missing_exports);     \
        } else if (reason == DLL_PROCESS_DETACH) {                                     \
            sim::UnloadSimulator(reserved != nullptr);                                 \
        }                                                                              \
        return TRUE;                                                                   \
    }
#else
#define SIM_DEFINE_LIBRARY_LIFETIME()                                                  \
    __attribute__((constructor)) static void SimulatorLoaded() { sim::LoadSimulator(false); } \
    __attribute__((destructor)) static void SimulatorUnloaded() { sim::UnloadSimulator(false); }
#endif
