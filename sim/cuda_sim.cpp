// The simulated CUDA driver (libcuda.so.1 / nvcuda.dll): the thirty entry
// points the program binds, over simulated devices, contexts, streams,
// events, memory and modules. Test support only.
#include <algorithm>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gpu/cuda_api.h"
#include "sim/config.h"
#include "sim/device_memory.h"
#include "sim/entry_gate.h"
#include "sim/exports.h"
#include "sim/kernel_images.h"
#include "sim/os.h"
#include "sim/shared_machine.h"

#if defined(_WIN32)
#include <windows.h>
#endif

// The driver's opaque handle types, completed here.
struct CUctx_st {
    int device = 0;
    int retains = 0;
    double null_stream_clock_s = 0;
    std::uint64_t gemm_launches = 0;  // since the device last became busy
};
struct CUstream_st {
    CUctx_st* context = nullptr;
    double clock_s = 0;        // virtual GPU time at the end of the queued work
    double last_record_s = 0;  // when an event was last recorded on it
};
struct CUevent_st {
    CUctx_st* context = nullptr;
    unsigned flags = 0;
    bool recorded = false;
    double time_s = 0;
};
struct CUfunc_st {
    CUmod_st* module = nullptr;
    int max_dynamic_shared = 0;
};
struct CUmod_st {
    CUctx_st* context = nullptr;
    const fpbench::KernelEntry* kernel = nullptr;  // null: an image the catalogue does not hold
    CUfunc_st function;
};

namespace fpbench::sim {
namespace {

#define SIM_CUDA_ENUM(name, params) name,
enum class CudaEntry : std::size_t { FPBENCH_CUDA_ENTRY_POINTS(SIM_CUDA_ENUM) };
#undef SIM_CUDA_ENUM
#define SIM_CUDA_NAME(name, params) #name,
constexpr const char* kCudaEntryNames[] = {FPBENCH_CUDA_ENTRY_POINTS(SIM_CUDA_NAME)};
#undef SIM_CUDA_NAME

constexpr CUresult kSuccess = 0;
constexpr CUresult kInvalidValue = 1;
constexpr CUresult kOutOfMemory = 2;
constexpr CUresult kNotInitialized = 3;
constexpr CUresult kInvalidDevice = 101;
constexpr CUresult kInvalidImage = 200;
constexpr CUresult kInvalidContext = 201;
constexpr CUresult kInvalidPtx = 218;
constexpr CUresult kInvalidHandle = 400;
constexpr CUresult kNotFound = 500;
constexpr CUresult kUnknown = 999;

// The driver's published values, written out here rather than taken from the
// program's headers: the stand-in must disagree with a program that got them
// wrong.
constexpr CUdevice_attribute kAttributeClockRate = 13;         // CU_DEVICE_ATTRIBUTE_CLOCK_RATE, in kHz
constexpr CUdevice_attribute kAttributeMultiprocessors = 16;   // CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT
constexpr CUdevice_attribute kAttributeCapabilityMajor = 75;   // ..._COMPUTE_CAPABILITY_MAJOR
constexpr CUdevice_attribute kAttributeCapabilityMinor = 76;   // ..._COMPUTE_CAPABILITY_MINOR
constexpr CUjit_option kJitErrorLogBuffer = 5;                 // CU_JIT_ERROR_LOG_BUFFER
constexpr CUjit_option kJitErrorLogBufferBytes = 6;            // CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES
constexpr CUfunction_attribute kMaxDynamicSharedAttribute = 8; // CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES
constexpr unsigned kStreamNonBlocking = 1;                      // CU_STREAM_NON_BLOCKING

constexpr const char* kKernelName = "fp16_native_gemm";
constexpr unsigned kKernelThreads = 128;
constexpr unsigned kKernelSharedBytes = 32768;
constexpr int kMaxDynamicSharedBytes = 101376;  // sm_86 opt-in limit
constexpr unsigned kEventDisableTiming = 2;

struct ErrorText {
    CUresult code;
    const char* text;
};
// The driver's own descriptions.
constexpr ErrorText kErrorTexts[] = {
    {0, "no error"},
    {1, "invalid argument"},
    {2, "out of memory"},
    {3, "initialization error"},
    {4, "driver shutting down"},
    {100, "no CUDA-capable device is detected"},
    {101, "invalid device ordinal"},
    {200, "device kernel image is invalid"},
    {201, "invalid device context"},
    {209, "no kernel image is available for execution on the device"},
    {218, "a PTX JIT compilation failed"},
    {222, "the provided PTX was compiled with an unsupported toolchain."},
    {400, "invalid resource handle"},
    {500, "named symbol not found"},
    {600, "device not ready"},
    {700, "an illegal memory access was encountered"},
    {701, "too many resources requested for launch"},
    {702, "the launch timed out and was terminated"},
    {709, "context is destroyed"},
    {719, "unspecified launch failure"},
    {801, "operation not supported"},
    {999, "unknown error"},
};

class CudaSimulator {
public:
    explicit CudaSimulator(SimConfig loaded) : config(std::move(loaded)), gate(kCudaEntryNames, config) {
        for (std::size_t i = 0; i < config.devices.size(); ++i) {
            contexts.push_back(std::make_unique<CUctx_st>());
            contexts.back()->device = static_cast<int>(i);
        }
    }

    bool ValidDevice(CUdevice device) const {
        return device >= 0 && static_cast<std::size_t>(device) < config.devices.size();
    }
    bool KnownContext(CUcontext context) const {
        for (const auto& owned : contexts)
            if (owned.get() == context) return true;
        return false;
    }
    // The calling thread's context, when it is an active primary context.
    CUctx_st* ActiveContext() const {
        auto* context = static_cast<CUctx_st*>(current_context.Get());
        return context != nullptr && context->retains > 0 ? context : nullptr;
    }
    // A standard normal draw of the seeded sequence (Box-Muller).
    double Gaussian() {
        const auto uniform = [this] {
            noise_state ^= noise_state << 13, noise_state ^= noise_state >> 17, noise_state ^= noise_state << 5;
            return (noise_state + 0.5) / 4294967296.0;
        };
        const double u = uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }

    std::uint64_t FreeBytes(int device) const {
        const std::uint64_t configured = config.devices[device].free_bytes;
        const std::uint64_t used = memory.AllocatedBytes(device);
        return configured > used ? configured - used : 0;
    }

    std::string LiveCounts() const {
        long long retains = 0;
        for (const auto& context : contexts) retains += context->retains;
        char line[160];
        std::snprintf(line, sizeof line,
                      "{\"contexts\":%lld,\"streams\":%zu,\"events\":%zu,\"allocations\":%zu,\"modules\":%zu,"
                      "\"ptx_loads\":%llu}\n",
                      retains, streams.size(), events.size(), memory.LiveAllocations(), modules.size(),
                      ptx_loads);
        return line;
    }

    SimConfig config;
    EntryGate gate;
    unsigned long long ptx_loads = 0;  // images the "JIT" compiled, for tests of the image choice
    ThreadSlot current_context;
    std::vector<std::unique_ptr<CUctx_st>> contexts;  // the primary context of each device
    DeviceMemory memory;
    std::unordered_map<CUstream, std::unique_ptr<CUstream_st>> streams;
    std::unordered_map<CUevent, std::unique_ptr<CUevent_st>> events;
    std::unordered_map<CUmodule, std::unique_ptr<CUmod_st>> modules;
    std::unordered_map<CUfunction, CUmodule> functions;
    bool initialized = false;
    std::uint64_t gemm_launches = 0;
    std::uint32_t noise_state = config.noise_seed;
    SharedMachine machine{config};
};

// The instance of the current load of this library.
CudaSimulator* g_simulator = nullptr;

enum class Needs { Nothing, Init, Context };

template <typename Body>
CUresult Enter(CudaEntry entry, Needs needs, Body&& body) {
    CudaSimulator* simulator = g_simulator;
    if (simulator == nullptr) return kNotInitialized;
    return RunEntry(simulator->gate, static_cast<std::size_t>(entry), kUnknown, [&]() -> CUresult {
        if (needs != Needs::Nothing && !simulator->initialized) return kNotInitialized;
        CUctx_st* context = nullptr;
        if (needs == Needs::Context && (context = simulator->ActiveContext()) == nullptr) return kInvalidContext;
        return body(*simulator, context);
    });
}

#if !defined(_WIN32)
// Consulted by the export resolvers.
bool ExportPresent(CudaEntry entry) {
    return g_simulator == nullptr || !g_simulator->gate.Missing(static_cast<std::size_t>(entry));
}
#endif

bool LoadSimulator(bool honour_no_driver) {
    SimConfig config = ReadSimConfig(GetEnvironment);
    for (const auto& warning : config.warnings) PrintWarning("simulated CUDA driver: " + warning);
#if defined(TESSMOR_SIM_PLANTED)
    // The planted copy always loads, so a test that makes the system copy
    // absent proves that the product does not fall back to it.
    honour_no_driver = false;
    for (auto& device : config.devices) device.name = "PLANTED nvcuda.dll";
#endif
    if (honour_no_driver && config.no_driver) return false;
    // The driver shows only what CUDA_VISIBLE_DEVICES leaves, renumbered.
    std::vector<SimDevice> visible;
    for (const std::size_t index : config.visible) visible.push_back(config.devices[index]);
    config.devices = std::move(visible);
    g_simulator = new CudaSimulator(std::move(config));
    return true;
}

// At process exit other threads may be gone while holding the lock, so the
// counts are then read without it and nothing is freed.
void UnloadSimulator(bool process_exit) {
    CudaSimulator* simulator = g_simulator;
    if (simulator == nullptr) return;
    if (process_exit) {
        ReplaceFileContents(simulator->config.live_path, simulator->LiveCounts());
    } else {
        {
            std::lock_guard lock(simulator->gate.Mutex());
            ReplaceFileContents(simulator->config.live_path, simulator->LiveCounts());
        }
        delete simulator;
    }
    g_simulator = nullptr;
}

}  // namespace
}  // namespace fpbench::sim

using fpbench::sim::CudaEntry;
using fpbench::sim::CudaSimulator;
using fpbench::sim::Enter;
using fpbench::sim::Needs;
namespace sim = fpbench::sim;

extern "C" {

CUresult FPBENCH_GPUAPI SimImpl_cuInit(unsigned int flags) {
    return Enter(CudaEntry::cuInit, Needs::Nothing, [&](CudaSimulator& s, CUctx_st*) {
        if (flags != 0) return sim::kInvalidValue;
        s.initialized = true;
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDeviceGetCount(int* count) {
    return Enter(CudaEntry::cuDeviceGetCount, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (count == nullptr) return sim::kInvalidValue;
        *count = static_cast<int>(s.config.devices.size());
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDeviceGet(CUdevice* device, int ordinal) {
    return Enter(CudaEntry::cuDeviceGet, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (device == nullptr) return sim::kInvalidValue;
        if (!s.ValidDevice(ordinal)) return sim::kInvalidDevice;
        *device = ordinal;
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDeviceGetName(char* name, int len, CUdevice dev) {
    return Enter(CudaEntry::cuDeviceGetName, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (name == nullptr || len <= 0) return sim::kInvalidValue;
        if (!s.ValidDevice(dev)) return sim::kInvalidDevice;
        const std::string& text = s.config.devices[dev].name;
        const std::size_t length = std::min(text.size(), static_cast<std::size_t>(len) - 1);
        std::memcpy(name, text.data(), length);
        name[length] = '\0';
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDeviceGetAttribute(int* pi, CUdevice_attribute attrib, CUdevice dev) {
    return Enter(CudaEntry::cuDeviceGetAttribute, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (pi == nullptr) return sim::kInvalidValue;
        if (!s.ValidDevice(dev)) return sim::kInvalidDevice;
        const sim::SimDevice& device = s.config.devices[dev];
        switch (attrib) {
        case sim::kAttributeClockRate: *pi = static_cast<int>(device.MaxClock() * 1000); return sim::kSuccess;
        case sim::kAttributeMultiprocessors: *pi = device.sm_count; return sim::kSuccess;
        case sim::kAttributeCapabilityMajor: *pi = device.cc_major; return sim::kSuccess;
        case sim::kAttributeCapabilityMinor: *pi = device.cc_minor; return sim::kSuccess;
        default: return sim::kInvalidValue;
        }
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDeviceGetUuid(CUuuid* uuid, CUdevice dev) {
    return Enter(CudaEntry::cuDeviceGetUuid, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (uuid == nullptr) return sim::kInvalidValue;
        if (!s.ValidDevice(dev)) return sim::kInvalidDevice;
        std::memcpy(uuid->bytes, s.config.devices[dev].uuid.data(), sizeof uuid->bytes);
        return sim::kSuccess;
    });
}

// Works before cuInit, as the driver's does.
CUresult FPBENCH_GPUAPI SimImpl_cuGetErrorString(CUresult error, const char** pStr) {
    return Enter(CudaEntry::cuGetErrorString, Needs::Nothing, [&](CudaSimulator& s, CUctx_st*) {
        if (pStr == nullptr) return sim::kInvalidValue;
        *pStr = nullptr;
        if (s.config.error_string_null) return sim::kInvalidValue;
        for (const auto& entry : sim::kErrorTexts) {
            if (entry.code == error) {
                *pStr = entry.text;
                return sim::kSuccess;
            }
        }
        return sim::kInvalidValue;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuCtxGetCurrent(CUcontext* pctx) {
    return Enter(CudaEntry::cuCtxGetCurrent, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (pctx == nullptr) return sim::kInvalidValue;
        *pctx = static_cast<CUcontext>(s.current_context.Get());
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuCtxSetCurrent(CUcontext ctx) {
    return Enter(CudaEntry::cuCtxSetCurrent, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (ctx != nullptr && !s.KnownContext(ctx)) return sim::kInvalidContext;
        s.current_context.Set(ctx);
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDevicePrimaryCtxRetain(CUcontext* pctx, CUdevice dev) {
    return Enter(CudaEntry::cuDevicePrimaryCtxRetain, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (pctx == nullptr) return sim::kInvalidValue;
        if (!s.ValidDevice(dev)) return sim::kInvalidDevice;
        CUctx_st* context = s.contexts[dev].get();
        ++context->retains;
        *pctx = context;
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuDevicePrimaryCtxRelease_v2(CUdevice dev) {
    return Enter(CudaEntry::cuDevicePrimaryCtxRelease_v2, Needs::Init, [&](CudaSimulator& s, CUctx_st*) {
        if (!s.ValidDevice(dev)) return sim::kInvalidDevice;
        CUctx_st* context = s.contexts[dev].get();
        if (context->retains == 0) return sim::kInvalidContext;
        if (--context->retains == 0 && context->gemm_launches > 0) {
            s.machine.Idle(s.config.visible[dev]);
            context->gemm_launches = 0;
        }
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuStreamCreate(CUstream* phStream, unsigned int Flags) {
    return Enter(CudaEntry::cuStreamCreate, Needs::Context, [&](CudaSimulator& s, CUctx_st* context) {
        if (phStream == nullptr || Flags > sim::kStreamNonBlocking) return sim::kInvalidValue;
        auto stream = std::make_unique<CUstream_st>();
        stream->context = context;
        *phStream = stream.get();
        s.streams.emplace(stream.get(), std::move(stream));
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuStreamDestroy_v2(CUstream hStream) {
    return Enter(CudaEntry::cuStreamDestroy_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        return s.streams.erase(hStream) == 1 ? sim::kSuccess : sim::kInvalidHandle;
    });
}

// Work "completes" when it is queued; only the virtual clocks tell time.
CUresult FPBENCH_GPUAPI SimImpl_cuStreamSynchronize(CUstream hStream) {
    return Enter(CudaEntry::cuStreamSynchronize, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        return hStream == nullptr || s.streams.count(hStream) == 1 ? sim::kSuccess : sim::kInvalidHandle;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuMemAlloc_v2(CUdeviceptr* dptr, std::size_t bytesize) {
    return Enter(CudaEntry::cuMemAlloc_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st* context) {
        if (dptr == nullptr || bytesize == 0) return sim::kInvalidValue;
        if (bytesize > s.FreeBytes(context->device)) return sim::kOutOfMemory;
        const std::uint64_t address = s.memory.Allocate(bytesize, context->device);
        if (address == 0) return sim::kOutOfMemory;
        *dptr = address;
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuMemFree_v2(CUdeviceptr dptr) {
    return Enter(CudaEntry::cuMemFree_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        return s.memory.Free(dptr) ? sim::kSuccess : sim::kInvalidValue;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuMemGetInfo_v2(std::size_t* free, std::size_t* total) {
    return Enter(CudaEntry::cuMemGetInfo_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st* context) {
        if (free == nullptr || total == nullptr) return sim::kInvalidValue;
        *free = static_cast<std::size_t>(s.FreeBytes(context->device));
        *total = static_cast<std::size_t>(s.config.devices[context->device].total_bytes);
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuMemcpyHtoD_v2(CUdeviceptr dstDevice, const void* srcHost, std::size_t ByteCount) {
    return Enter(CudaEntry::cuMemcpyHtoD_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        if (srcHost == nullptr && ByteCount != 0) return sim::kInvalidValue;
        return s.memory.Write(dstDevice, srcHost, ByteCount) ? sim::kSuccess : sim::kInvalidValue;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuMemcpyDtoH_v2(void* dstHost, CUdeviceptr srcDevice, std::size_t ByteCount) {
    return Enter(CudaEntry::cuMemcpyDtoH_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        if (dstHost == nullptr && ByteCount != 0) return sim::kInvalidValue;
        return s.memory.Read(dstHost, srcDevice, ByteCount) ? sim::kSuccess : sim::kInvalidValue;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuMemsetD8_v2(CUdeviceptr dstDevice, unsigned char uc, std::size_t N) {
    return Enter(CudaEntry::cuMemsetD8_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        return s.memory.Fill(dstDevice, uc, N) ? sim::kSuccess : sim::kInvalidValue;
    });
}

constexpr CUresult kNoBinaryForGpu = 209;

CUresult FPBENCH_GPUAPI SimImpl_cuModuleLoadDataEx(CUmodule* module, const void* image, unsigned int numOptions,
                                                    CUjit_option* options, void** optionValues) {
    return Enter(CudaEntry::cuModuleLoadDataEx, Needs::Context, [&](CudaSimulator& s, CUctx_st* context) {
        if (module == nullptr || (numOptions > 0 && (options == nullptr || optionValues == nullptr)))
            return sim::kInvalidValue;
        char* log = nullptr;
        std::size_t log_size = 0;
        unsigned log_size_slot = numOptions;
        for (unsigned i = 0; i < numOptions; ++i) {
            if (options[i] == sim::kJitErrorLogBuffer) log = static_cast<char*>(optionValues[i]);
            if (options[i] == sim::kJitErrorLogBufferBytes) {
                log_size = reinterpret_cast<std::uintptr_t>(optionValues[i]);
                log_size_slot = i;
            }
        }
        if (s.config.load_log) {
            // Like the JIT: the text, cut to the buffer, NUL-terminated; the
            // size option comes back as the bytes written.
            if (log != nullptr && log_size > 0) {
                const std::size_t length = std::min(s.config.load_log->size(), log_size - 1);
                std::memcpy(log, s.config.load_log->data(), length);
                log[length] = '\0';
                optionValues[log_size_slot] = reinterpret_cast<void*>(static_cast<std::uintptr_t>(length + 1));
            }
            return sim::kInvalidPtx;
        }
        if (image == nullptr || *static_cast<const unsigned char*>(image) == 0) return sim::kInvalidImage;
        // An sm_86 compiled image runs only on 8.x devices from 8.6 up, as on
        // real hardware; PTX text is compiled for any device.
        if (std::memcmp(image, "\x7f" "ELF", 4) == 0) {
            const auto& device = s.config.devices[context->device];
            if (device.cc_major != 8 || device.cc_minor < 6) return kNoBinaryForGpu;
        } else {
            ++s.ptx_loads;
        }
        auto loaded = std::make_unique<CUmod_st>();
        loaded->context = context;
        loaded->kernel = sim::FindCatalogueImage(image);
        loaded->function.module = loaded.get();
        s.functions.emplace(&loaded->function, loaded.get());
        *module = loaded.get();
        s.modules.emplace(loaded.get(), std::move(loaded));
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuModuleUnload(CUmodule hmod) {
    return Enter(CudaEntry::cuModuleUnload, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        const auto found = s.modules.find(hmod);
        if (found == s.modules.end()) return sim::kInvalidHandle;
        s.functions.erase(&found->second->function);
        s.modules.erase(found);
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuModuleGetFunction(CUfunction* hfunc, CUmodule hmod, const char* name) {
    return Enter(CudaEntry::cuModuleGetFunction, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        if (hfunc == nullptr || name == nullptr) return sim::kInvalidValue;
        const auto found = s.modules.find(hmod);
        if (found == s.modules.end()) return sim::kInvalidHandle;
        if (std::strcmp(name, sim::kKernelName) != 0) return sim::kNotFound;
        *hfunc = &found->second->function;
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuFuncSetAttribute(CUfunction hfunc, CUfunction_attribute attrib, int value) {
    return Enter(CudaEntry::cuFuncSetAttribute, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        if (s.functions.count(hfunc) == 0) return sim::kInvalidHandle;
        if (attrib != sim::kMaxDynamicSharedAttribute || value < 0 || value > sim::kMaxDynamicSharedBytes)
            return sim::kInvalidValue;
        hfunc->max_dynamic_shared = value;
        return sim::kSuccess;
    });
}

// Checks the kernel's calling contract; a launch that breaks it fails with
// "invalid argument", so that a caller's mistake cannot pass unnoticed.
CUresult FPBENCH_GPUAPI SimImpl_cuLaunchKernel(CUfunction f, unsigned int gridDimX, unsigned int gridDimY,
                                                unsigned int gridDimZ, unsigned int blockDimX, unsigned int blockDimY,
                                                unsigned int blockDimZ, unsigned int sharedMemBytes, CUstream hStream,
                                                void** kernelParams, void** extra) {
    return Enter(CudaEntry::cuLaunchKernel, Needs::Context, [&](CudaSimulator& s, CUctx_st* context) {
        if (s.functions.count(f) == 0 || f->module->context != context) return sim::kInvalidHandle;
        if (hStream != nullptr && s.streams.count(hStream) == 0) return sim::kInvalidHandle;
        if (hStream == nullptr || hStream->context != context) return sim::kInvalidValue;
        if (blockDimX != sim::kKernelThreads || blockDimY != 1 || blockDimZ != 1 ||
            sharedMemBytes != sim::kKernelSharedBytes || extra != nullptr || kernelParams == nullptr)
            return sim::kInvalidValue;
        CUdeviceptr arguments[5];
        for (int i = 0; i < 5; ++i) {
            if (kernelParams[i] == nullptr) return sim::kInvalidValue;
            std::memcpy(&arguments[i], kernelParams[i], sizeof arguments[i]);
        }
        if (arguments[3] != 0 || arguments[4] != 0) return sim::kInvalidValue;

        const fpbench::KernelEntry* kernel = f->module->kernel;
        if (kernel == nullptr) return sim::kSuccess;  // an unknown image runs nothing
        const std::uint32_t n = kernel->n;
        const std::size_t bytes = 2 * std::size_t{n} * n;
        const unsigned tiles = (n / 128) * (n / 128);
        if (gridDimX != tiles || gridDimY != 1 || gridDimZ != 1) return sim::kInvalidValue;
        for (int i = 0; i < 3; ++i)
            if (!s.memory.Contains(arguments[i], bytes)) return sim::kInvalidValue;

        ++s.gemm_launches;
        const sim::SimDevice& device = s.config.devices[context->device];
        if (++context->gemm_launches == 1 && !s.machine.Busy(s.config.visible[context->device])) return sim::kUnknown;
        if (context->gemm_launches == device.signal_launch) sim::RaiseSignal(device.launch_signal);
        sim::GemmLaunch launch{arguments[0], arguments[1], arguments[2], n, kernel->fp16_accumulate};
        if (s.gemm_launches >= s.config.gemm_fault_first_launch) launch.fault = s.config.gemm_fault;
        s.memory.Gemm(launch);
        const double tflops = kernel->fp16_accumulate ? device.tflops_fp16 : device.tflops_fp32;
        hStream->clock_s += 2.0 * n * n * n / (tflops * 1e12);
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuEventCreate(CUevent* phEvent, unsigned int Flags) {
    return Enter(CudaEntry::cuEventCreate, Needs::Context, [&](CudaSimulator& s, CUctx_st* context) {
        if (phEvent == nullptr || (Flags & ~7u) != 0) return sim::kInvalidValue;
        auto event = std::make_unique<CUevent_st>();
        event->context = context;
        event->flags = Flags;
        *phEvent = event.get();
        s.events.emplace(event.get(), std::move(event));
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuEventRecord(CUevent hEvent, CUstream hStream) {
    return Enter(CudaEntry::cuEventRecord, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        if (s.events.count(hEvent) == 0) return sim::kInvalidHandle;
        if (hStream != nullptr && s.streams.count(hStream) == 0) return sim::kInvalidHandle;
        if (hStream != nullptr && hStream->context != hEvent->context) return sim::kInvalidHandle;
        if (hStream != nullptr) {
            // The work since the last event ran at the SM clock that NVML
            // reads next (a throttled GPU is slower), with the knob's spread.
            const sim::SimDevice& device = s.config.devices[hStream->context->device];
            double factor = 1.0;
            if (const unsigned clock = sim::NextSmClockReading(device.uuid.data()); clock > 0 && device.clock_mhz > 0)
                factor = static_cast<double>(device.clock_mhz) / clock;
            if (s.config.noise_pct > 0) factor *= std::max(0.05, 1.0 + s.config.noise_pct / 100.0 * s.Gaussian());
            hStream->clock_s = hStream->last_record_s + (hStream->clock_s - hStream->last_record_s) * factor;
            hStream->last_record_s = hStream->clock_s;
        }
        hEvent->time_s = hStream != nullptr ? hStream->clock_s : hEvent->context->null_stream_clock_s;
        hEvent->recorded = true;
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuEventSynchronize(CUevent hEvent) {
    double delay_ms = 0.0;
    const CUresult result = Enter(CudaEntry::cuEventSynchronize, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        delay_ms = s.config.batch_delay_ms;
        return s.events.count(hEvent) == 1 ? sim::kSuccess : sim::kInvalidHandle;
    });
    // The host waits for the batch outside the lock, as other threads would.
    if (result == sim::kSuccess && delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(delay_ms));
    return result;
}

CUresult FPBENCH_GPUAPI SimImpl_cuEventElapsedTime(float* pMilliseconds, CUevent hStart, CUevent hEnd) {
    return Enter(CudaEntry::cuEventElapsedTime, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        if (pMilliseconds == nullptr) return sim::kInvalidValue;
        if (s.events.count(hStart) == 0 || s.events.count(hEnd) == 0) return sim::kInvalidHandle;
        if (!hStart->recorded || !hEnd->recorded || ((hStart->flags | hEnd->flags) & sim::kEventDisableTiming) != 0)
            return sim::kInvalidHandle;
        const float elapsed = static_cast<float>((hEnd->time_s - hStart->time_s) * 1000.0);
        switch (s.config.elapsed) {
        case sim::ElapsedOverride::None: *pMilliseconds = elapsed; break;
        case sim::ElapsedOverride::Zero: *pMilliseconds = 0.0f; break;
        case sim::ElapsedOverride::Nan: *pMilliseconds = std::numeric_limits<float>::quiet_NaN(); break;
        case sim::ElapsedOverride::Negative: *pMilliseconds = elapsed > 0 ? -elapsed : -1.0f; break;
        }
        return sim::kSuccess;
    });
}

CUresult FPBENCH_GPUAPI SimImpl_cuEventDestroy_v2(CUevent hEvent) {
    return Enter(CudaEntry::cuEventDestroy_v2, Needs::Context, [&](CudaSimulator& s, CUctx_st*) {
        return s.events.erase(hEvent) == 1 ? sim::kSuccess : sim::kInvalidHandle;
    });
}

}  // extern "C"

#define SIM_CUDA_EXPORT(name, params) \
    SIM_DEFINE_EXPORT(CUresult, name, params, fpbench::sim::ExportPresent(CudaEntry::name))
FPBENCH_CUDA_ENTRY_POINTS(SIM_CUDA_EXPORT)
#undef SIM_CUDA_EXPORT

SIM_DEFINE_LIBRARY_LIFETIME()
