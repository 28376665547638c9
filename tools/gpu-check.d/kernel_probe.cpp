// Runs every embedded GEMM kernel on a real GPU for tools/gpu-check, through
// the program's own libraries (the driver binding, the GPU session, the
// launch and the timed batch that ship): loads the catalogue's image (the
// cubin on compute capability 8.6, the PTX elsewhere), writes the inputs and
// the outputs for an outside comparison, checks the guard bytes around C and
// times batches between two events.
//
//   kernel_probe --list
//   kernel_probe --out DIR [--sizes 256,1024,...] [--acc fp16|fp32|both] [--sanitize]
//
// --sanitize runs each kernel once and writes nothing but the findings, for
// compute-sanitizer. Exit code 0 only when every kernel ran and every guard
// byte held.
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
#include "bench/run_steps.h"
#include "bench/timed_batch.h"
#include "bench/validation.h"
#include "bench/xorshift.h"
#include "gpu/devices.h"
#include "gpu/gpu_session.h"

namespace fpbench {
namespace {

constexpr double kBatchMs = 100.0;
constexpr int kBatches = 5;

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

bool GuardsIntact(const CudaDriver& driver, CUdeviceptr allocation, std::size_t c_bytes) {
    std::vector<unsigned char> zone(kGuardBytes);
    for (CUdeviceptr at : {allocation, allocation + kGuardBytes + c_bytes}) {
        CheckCuda(driver, driver->cuMemcpyDtoH_v2(zone.data(), at, zone.size()), "guard copy");
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
    CudaDriver driver;
    const DeviceInfo device = QueryDeviceInfo(driver, 0);
    GpuSession session(driver);
    session.Open(0);
    const bool use_cubin = UsesCompiledImage(device);
    std::printf("device: %s, compute capability %d.%d, loading the %s\n", device.name.c_str(), device.major, device.minor,
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
        const CUdeviceptr da = session.Allocate(bytes), db = session.Allocate(bytes);
        const CUdeviceptr dc = session.Allocate(bytes + 2 * kGuardBytes);
        CheckCuda(driver, driver->cuMemcpyHtoD_v2(da, a.data(), bytes), "upload A");
        CheckCuda(driver, driver->cuMemcpyHtoD_v2(db, b.data(), bytes), "upload B");
        const CUdeviceptr c = dc + kGuardBytes;

        for (bool fp16 : options.accumulators) {
            const KernelEntry& entry = FindKernel(n, fp16);
            const char* acc = fp16 ? "fp16" : "fp32";
            CheckCuda(driver, driver->cuMemsetD8_v2(dc, kGuardFill, bytes + 2 * kGuardBytes), "fill C");
            const CUfunction function = LoadKernel(session, entry, use_cubin);
            TimeGemmBatch(session, function, entry, da, db, c, 1);
            int gemms = 1;
            double ms_per_gemm = 0;
            if (!options.sanitize) {
                std::vector<std::uint16_t> out(elements);
                CheckCuda(driver, driver->cuMemcpyDtoH_v2(out.data(), c, bytes), "download C");
                WriteFile(options.out / ("C_" + std::to_string(n) + "_" + acc + ".f16"), out.data(), bytes);
                // Warm the clocks up, then size the batch from a three-launch sample.
                TimeGemmBatch(session, function, entry, da, db, c, 3);
                gemms = LaunchesPerBatch(kBatchMs, TimeGemmBatch(session, function, entry, da, db, c, 3).ms_per_gemm);
                std::vector<double> per_gemm;
                for (int i = 0; i < kBatches; ++i)
                    per_gemm.push_back(TimeGemmBatch(session, function, entry, da, db, c, gemms).ms_per_gemm);
                std::sort(per_gemm.begin(), per_gemm.end());
                ms_per_gemm = per_gemm[per_gemm.size() / 2];
            }
            const bool guards = GuardsIntact(driver, dc, bytes);
            all_ok = all_ok && guards;
            const double tflops = ms_per_gemm > 0 ? 2.0 * n * n * static_cast<double>(n) / (ms_per_gemm * 1e9) : 0;
            results << n << '\t' << acc << '\t' << (use_cubin ? "cubin" : "ptx") << '\t' << gemms << '\t'
                    << ms_per_gemm << '\t' << tflops << '\t' << (guards ? "ok" : "MODIFIED") << '\n';
            std::printf("N=%d %s: %s, %d launches/batch, %.4f ms/gemm, %.1f TFLOPS, guards %s\n", n, acc,
                        use_cubin ? "cubin" : "ptx", gemms, ms_per_gemm, tflops, guards ? "intact" : "MODIFIED");
            std::fflush(stdout);
        }
        session.ReleaseSizeResources();
    }
    all_ok = session.Cleanup() && all_ok;
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
