// Runs every embedded GEMM kernel on a real GPU for tools/gpu-check: loads the
// catalogue's image (the cubin on compute capability 8.6, the PTX elsewhere),
// writes the deterministic inputs and the outputs for an outside comparison,
// checks the guard bytes around C and times batches between two events.
//
//   kernel_probe --list
//   kernel_probe --out DIR [--sizes 256,1024,...] [--acc fp16|fp32|both] [--sanitize]
//
// --sanitize runs each kernel once and writes nothing but the findings, for
// compute-sanitizer. Exit code 0 only when every kernel ran and every guard
// byte held.
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/kernel_catalogue.h"
#include "bench/xorshift.h"
#include "gpu/cuda_api.h"

namespace fpbench {
namespace {

constexpr std::size_t kGuardBytes = 256;
constexpr unsigned char kGuardFill = 0xA5;
constexpr double kBatchMs = 100.0;
constexpr int kBatches = 5;

struct Cuda {
#define FPBENCH_PROBE_MEMBER(name, params) PFN_##name name = nullptr;
    FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_PROBE_MEMBER)
#undef FPBENCH_PROBE_MEMBER
    void* library = nullptr;

    Cuda() {
        library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library) throw std::runtime_error(std::string("cannot load libcuda.so.1: ") + dlerror());
#define FPBENCH_PROBE_RESOLVE(entry, params)                                         \
    entry = reinterpret_cast<PFN_##entry>(dlsym(library, #entry));                   \
    if (!entry) throw std::runtime_error("libcuda.so.1 lacks " #entry);
        FPBENCH_CUDA_ENTRY_POINTS(FPBENCH_PROBE_RESOLVE)
#undef FPBENCH_PROBE_RESOLVE
    }
    ~Cuda() { dlclose(library); }
    Cuda(const Cuda&) = delete;
    Cuda& operator=(const Cuda&) = delete;

    void Check(CUresult result, const char* what) const {
        if (result == 0) return;
        const char* text = nullptr;
        if (cuGetErrorString(result, &text) != 0 || !text) text = "CUDA error";
        throw std::runtime_error(std::string(what) + ": " + text + " (" + std::to_string(result) + ")");
    }
};

// Elements k/16 with k in [-8, 8]: every product is a multiple of 1/256 and
// every FP32 sum is exact, so an FP32-accumulating kernel must match the
// reference bit for bit, while the rounding to half still matters.
std::vector<std::uint16_t> MakeMatrix(int n, std::uint32_t seed) {
    std::vector<std::uint16_t> m(static_cast<std::size_t>(n) * n);
    std::uint32_t x = seed;
    for (auto& element : m) {
        x = fpbench::XorShift32(x);
        const int k = static_cast<int>(x % 17) - 8;
        if (k == 0) {
            element = 0;
            continue;
        }
        const int magnitude = k < 0 ? -k : k;  // 1..8, value magnitude/16
        int power = 0;
        while ((2 << power) <= magnitude) ++power;
        const auto exponent = static_cast<std::uint16_t>(power - 4 + 15);
        const auto fraction = static_cast<std::uint16_t>((magnitude << (10 - power)) & 0x3FF);
        element = static_cast<std::uint16_t>((k < 0 ? 0x8000 : 0) | exponent << 10 | fraction);
    }
    return m;
}

void WriteFile(const std::filesystem::path& path, const void* data, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

struct DeviceBuffer {
    const Cuda& cuda;
    CUdeviceptr address = 0;
    DeviceBuffer(const Cuda& c, std::size_t bytes) : cuda(c) { cuda.Check(cuda.cuMemAlloc_v2(&address, bytes), "cuMemAlloc"); }
    ~DeviceBuffer() { cuda.cuMemFree_v2(address); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
};

struct Module {
    const Cuda& cuda;
    CUmodule module = nullptr;
    CUfunction function = nullptr;
    Module(const Cuda& c, const KernelEntry& entry, bool use_cubin) : cuda(c) {
        char log[4096] = {};
        CUjit_option options[] = {cuda::kJitErrorLogBuffer, cuda::kJitErrorLogBufferSizeBytes};
        void* values[] = {log, reinterpret_cast<void*>(static_cast<std::uintptr_t>(sizeof log))};
        const void* image = use_cubin ? static_cast<const void*>(entry.cubin) : entry.ptx;
        const CUresult loaded = cuda.cuModuleLoadDataEx(&module, image, 2, options, values);
        if (loaded != 0 && log[0]) throw std::runtime_error(std::string("Kernel load: ") + log);
        cuda.Check(loaded, "cuModuleLoadDataEx");
        cuda.Check(cuda.cuModuleGetFunction(&function, module, entry.name), "cuModuleGetFunction");
        cuda.Check(cuda.cuFuncSetAttribute(function, cuda::kFuncMaxDynamicSharedSizeBytes,
                                           static_cast<int>(entry.shared_bytes)),
                   "cuFuncSetAttribute");
    }
    ~Module() { cuda.cuModuleUnload(module); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
};

struct Options {
    std::filesystem::path out;
    std::vector<int> sizes{256, 1024, 4096, 8192};
    std::vector<bool> accumulators{true, false};
    bool sanitize = false;
    bool list = false;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--list") {
            options.list = true;
        } else if (arg == "--sanitize") {
            options.sanitize = true;
        } else if (arg == "--out") {
            options.out = value();
        } else if (arg == "--sizes") {
            options.sizes.clear();
            std::stringstream list(value());
            for (std::string item; std::getline(list, item, ',');) options.sizes.push_back(std::stoi(item));
        } else if (arg == "--acc") {
            const std::string acc = value();
            if (acc == "fp16") options.accumulators = {true};
            else if (acc == "fp32") options.accumulators = {false};
            else if (acc == "both") options.accumulators = {true, false};
            else throw std::runtime_error("--acc takes fp16, fp32 or both");
        } else {
            throw std::runtime_error("unknown argument " + arg);
        }
    }
    if (!options.list && options.out.empty()) throw std::runtime_error("--out DIR is required");
    return options;
}

struct Gpu {
    const Cuda& cuda;
    CUdevice device = 0;
    CUcontext context = nullptr;
    CUstream stream = nullptr;
    CUevent start = nullptr, stop = nullptr;
    int major = 0, minor = 0;
    std::string name;

    explicit Gpu(const Cuda& c) : cuda(c) {
        cuda.Check(cuda.cuInit(0), "cuInit");
        cuda.Check(cuda.cuDeviceGet(&device, 0), "cuDeviceGet");
        char text[256] = {};
        cuda.Check(cuda.cuDeviceGetName(text, sizeof text, device), "cuDeviceGetName");
        name = text;
        cuda.Check(cuda.cuDeviceGetAttribute(&major, cuda::kAttrComputeCapabilityMajor, device), "attribute");
        cuda.Check(cuda.cuDeviceGetAttribute(&minor, cuda::kAttrComputeCapabilityMinor, device), "attribute");
        cuda.Check(cuda.cuDevicePrimaryCtxRetain(&context, device), "cuDevicePrimaryCtxRetain");
        cuda.Check(cuda.cuCtxSetCurrent(context), "cuCtxSetCurrent");
        cuda.Check(cuda.cuStreamCreate(&stream, cuda::kStreamNonBlocking), "cuStreamCreate");
        cuda.Check(cuda.cuEventCreate(&start, cuda::kEventDefault), "cuEventCreate");
        cuda.Check(cuda.cuEventCreate(&stop, cuda::kEventDefault), "cuEventCreate");
    }
    ~Gpu() {
        cuda.cuEventDestroy_v2(stop);
        cuda.cuEventDestroy_v2(start);
        cuda.cuStreamDestroy_v2(stream);
        cuda.cuDevicePrimaryCtxRelease_v2(device);
    }
    Gpu(const Gpu&) = delete;
    Gpu& operator=(const Gpu&) = delete;

    // Milliseconds of GPU time for `gemms` back-to-back launches.
    double Batch(CUfunction function, const KernelEntry& entry, CUdeviceptr a, CUdeviceptr b, CUdeviceptr c,
                 int gemms) const {
        CUdeviceptr values[5] = {a, b, c, 0, 0};
        void* params[5] = {&values[0], &values[1], &values[2], &values[3], &values[4]};
        const unsigned tiles = entry.n / 128;
        cuda.Check(cuda.cuEventRecord(start, stream), "event start");
        for (int i = 0; i < gemms; ++i) {
            cuda.Check(cuda.cuLaunchKernel(function, tiles * tiles, 1, 1, entry.threads, 1, 1, entry.shared_bytes,
                                           stream, params, nullptr),
                       "cuLaunchKernel");
        }
        cuda.Check(cuda.cuEventRecord(stop, stream), "event end");
        cuda.Check(cuda.cuEventSynchronize(stop), "event synchronize");
        float ms = 0;
        cuda.Check(cuda.cuEventElapsedTime(&ms, start, stop), "event elapsed");
        return ms;
    }
};

bool GuardsIntact(const Cuda& cuda, CUdeviceptr allocation, std::size_t c_bytes) {
    std::vector<unsigned char> zone(kGuardBytes);
    for (CUdeviceptr at : {allocation, allocation + kGuardBytes + c_bytes}) {
        cuda.Check(cuda.cuMemcpyDtoH_v2(zone.data(), at, zone.size()), "guard copy");
        if (std::any_of(zone.begin(), zone.end(), [](unsigned char b) { return b != kGuardFill; })) return false;
    }
    return true;
}

int Run(const Options& options) {
    if (options.list) {
        for (const KernelEntry& entry : KernelCatalogue()) {
            std::printf("%u\t%s\t%s\tcubin %llu B\tPTX %zu B\n", entry.n, entry.fp16_accumulate ? "fp16" : "fp32",
                        entry.sha256, static_cast<unsigned long long>(entry.cubin_size), std::strlen(entry.ptx));
        }
        std::printf("kernel source %s\n", KernelSourceSha256);
        return 0;
    }
    Cuda cuda;
    Gpu gpu(cuda);
    const bool use_cubin = gpu.major == 8 && gpu.minor == 6;
    std::printf("device: %s, compute capability %d.%d, loading the %s\n", gpu.name.c_str(), gpu.major, gpu.minor,
                use_cubin ? "sm_86 cubin" : "PTX through the driver's JIT");
    std::filesystem::create_directories(options.out);
    std::ofstream results(options.out / (options.sanitize ? "probe-sanitize.tsv" : "probe.tsv"), std::ios::app);
    bool all_ok = true;

    for (int n : options.sizes) {
        const std::size_t elements = static_cast<std::size_t>(n) * n;
        const std::size_t bytes = elements * 2;
        const auto a = MakeMatrix(n, 0x1234567u + static_cast<std::uint32_t>(n));
        const auto b = MakeMatrix(n, 0x89abcdeu + static_cast<std::uint32_t>(n));
        if (!options.sanitize) {
            WriteFile(options.out / ("A_" + std::to_string(n) + ".f16"), a.data(), bytes);
            WriteFile(options.out / ("B_" + std::to_string(n) + ".f16"), b.data(), bytes);
        }
        DeviceBuffer da(cuda, bytes), db(cuda, bytes), dc(cuda, bytes + 2 * kGuardBytes);
        cuda.Check(cuda.cuMemcpyHtoD_v2(da.address, a.data(), bytes), "upload A");
        cuda.Check(cuda.cuMemcpyHtoD_v2(db.address, b.data(), bytes), "upload B");
        const CUdeviceptr c = dc.address + kGuardBytes;

        for (bool fp16 : options.accumulators) {
            const KernelEntry& entry = FindKernel(n, fp16);
            const char* acc = fp16 ? "fp16" : "fp32";
            cuda.Check(cuda.cuMemsetD8_v2(dc.address, kGuardFill, bytes + 2 * kGuardBytes), "fill C");
            Module module(cuda, entry, use_cubin);
            gpu.Batch(module.function, entry, da.address, db.address, c, 1);
            int gemms = 1;
            double ms_per_gemm = 0;
            if (!options.sanitize) {
                std::vector<std::uint16_t> out(elements);
                cuda.Check(cuda.cuMemcpyDtoH_v2(out.data(), c, bytes), "download C");
                WriteFile(options.out / ("C_" + std::to_string(n) + "_" + acc + ".f16"), out.data(), bytes);
                // Warm the clocks up, then size the batch from a three-launch sample.
                gpu.Batch(module.function, entry, da.address, db.address, c, 3);
                const double sample = gpu.Batch(module.function, entry, da.address, db.address, c, 3) / 3;
                gemms = std::clamp(static_cast<int>(kBatchMs / std::max(sample, 1e-4)), 1, 2000);
                std::vector<double> per_gemm;
                for (int i = 0; i < kBatches; ++i) {
                    per_gemm.push_back(gpu.Batch(module.function, entry, da.address, db.address, c, gemms) / gemms);
                }
                std::sort(per_gemm.begin(), per_gemm.end());
                ms_per_gemm = per_gemm[per_gemm.size() / 2];
            }
            const bool guards = GuardsIntact(cuda, dc.address, bytes);
            all_ok = all_ok && guards;
            const double tflops = ms_per_gemm > 0 ? 2.0 * n * n * static_cast<double>(n) / (ms_per_gemm * 1e9) : 0;
            results << n << '\t' << acc << '\t' << (use_cubin ? "cubin" : "ptx") << '\t' << gemms << '\t'
                    << ms_per_gemm << '\t' << tflops << '\t' << (guards ? "ok" : "MODIFIED") << '\n';
            std::printf("N=%d %s: %s, %d launches/batch, %.4f ms/gemm, %.1f TFLOPS, guards %s\n", n, acc,
                        use_cubin ? "cubin" : "ptx", gemms, ms_per_gemm, tflops, guards ? "intact" : "MODIFIED");
            std::fflush(stdout);
        }
    }
    return all_ok ? 0 : 1;
}

}  // namespace
}  // namespace fpbench

int main(int argc, char** argv) {
    try {
        return fpbench::Run(fpbench::ParseOptions(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kernel_probe: %s\n", error.what());
        return 2;
    }
}
