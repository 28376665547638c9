#include "run/run_benchmark.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

#include "bench/kernel_catalogue.h"
#include "bench/run_steps.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "bench/timed_batch.h"
#include "bench/validation.h"
#include "bench/xorshift.h"
#include "gpu/cuda_driver.h"
#include "gpu/devices.h"
#include "gpu/gpu_session.h"
#include "gpu/telemetry.h"
#include "platform/utc_timestamp.h"
#include "report/reports.h"

namespace fpbench {
namespace {

// A stop request, raised only at the run's check points and always caught by
// RunBenchmark.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("Cancelled by user") {}
};

// An ordinal that names no device of this machine.
class DeviceRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr std::uint32_t kSeedA = 20261028;
constexpr std::uint32_t kSeedB = 20261029;

void StopCheck(const std::atomic<bool>& stop_requested) {
    if (stop_requested.load()) throw Cancelled();
}

double SteadyNanoseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

// What one run shares between its sizes.
struct RunContext {
    RunResult& result;
    GpuSession& session;
    const NvmlLibrary& nvml;
    const std::atomic<bool>& stop_requested;
    const std::function<void(const std::wstring&)>& on_status;
    const std::function<void(const Row&)>& on_row;

    void Status(const std::wstring& text) const {
        if (on_status) on_status(text);
    }
};

// The loaded kernel of one accumulator mode of the current size.
struct ModeKernel {
    const KernelEntry* entry = nullptr;
    CUfunction function = nullptr;
    std::int32_t launches = 0;
};


// Rounds of three launches until warmup_seconds have passed; at least one.
void WarmUp(const RunContext& run, const ModeKernel& kernel, CUdeviceptr a, CUdeviceptr b, CUdeviceptr c) {
    const double deadline = SteadyNanoseconds() + run.result.options.warmup_seconds * 1e9;
    double now = 0.0;
    do {
        StopCheck(run.stop_requested);
        LaunchGemms(run.session, kernel.function, *kernel.entry, a, b, c, limits::kWarmUpLaunches);
        const CudaDriver& driver = run.session.driver();
        CheckCuda(driver, driver->cuStreamSynchronize(run.session.stream()), "cuStreamSynchronize");
        now = SteadyNanoseconds();
    } while (deadline > now);
}

// Creates the run's folder, which must not exist yet. One that the program
// named after the time (no --output) may exist already, because another run
// started in the same millisecond: the run then takes the next free name.
std::filesystem::path CreateReportDirectory(const RunOptions& options) {
    if (std::filesystem::create_directories(options.report_dir)) return options.report_dir;
    for (int k = 2; options.unique_report_dir && k <= 1000; ++k) {
        std::string suffix = std::to_string(k);
        suffix.insert(suffix.begin(), '-');
        std::filesystem::path numbered = options.report_dir;
        numbered += suffix;
        if (std::filesystem::create_directory(numbered)) return numbered;
    }
    throw std::runtime_error("Report directory already exists; choose a fresh directory");
}

// Refuses an ordinal that names no device, before the run creates anything.
// A machine without any device fails the run instead: its GPU may have fallen
// off the bus, and a batch job must leave a record of that.
void CheckDeviceOrdinal(int count, std::int32_t ordinal) {
    if (count <= 0) throw std::runtime_error("No CUDA device found");
    if (ordinal < 0 || ordinal >= count)
        throw DeviceRefused("CUDA device " + std::to_string(ordinal) + " does not exist: this machine has " +
                                 std::to_string(count) + (count == 1 ? " CUDA device (0)" : " CUDA devices (0 to " +
                                 std::to_string(count - 1) + ")"));
}

// Appends a later failure to an earlier one, so that both stay readable. A
// failure that repeats a part already there (a report write that fails again
// at the end) is told once.
void AddError(std::string& error, const std::string& text, const char* separator) {
    for (std::size_t at = error.find(text); at != std::string::npos; at = error.find(text, at + 1)) {
        const std::size_t end = at + text.size();
        const bool part_starts = at == 0 || error[at - 1] == ' ';
        const bool part_ends = end == error.size() || error[end] == ' ' || error.compare(end, 2, "; ") == 0;
        if (part_starts && part_ends) return;
    }
    error += (error.empty() ? "" : separator) + text;
}

// The last write of the reports. A held file's final content goes beside it;
// when the disk is full, result.json alone keeps the final state where the
// space allows, and a folder the run could write nothing into goes away.
void FinishReports(RunResult& result, RunReports& reports) {
    try {
        reports.held = WriteReports(result, true);
        reports.files = ReportFiles::Complete;
        return;
    } catch (const std::exception& error) {
        result.status = run_status::kFailed;
        AddError(result.error, error.what(), "; ");
    }
    if (WriteDocumentOnly(result)) {
        reports.files = ReportFiles::DocumentOnly;
        return;
    }
    std::error_code ignored;
    if (std::filesystem::is_empty(result.options.report_dir, ignored)) std::filesystem::remove(result.options.report_dir, ignored);
}

void RunSize(const RunContext& run, std::int32_t n) {
    GpuSession& session = run.session;
    const CudaDriver& driver = session.driver();
    RunResult& result = run.result;
    StopCheck(run.stop_requested);
    FindKernel(n, true);
    run.Status(PreparingStatus(n));

    const std::size_t bytes = 2 * static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    std::size_t free_bytes = 0;
    std::size_t total_bytes = 0;
    CheckCuda(driver, driver->cuMemGetInfo_v2(&free_bytes, &total_bytes), "cuMemGetInfo");
    if (!FitsInFreeMemory(free_bytes, n)) throw std::runtime_error(FreeMemoryMessage());

    const std::vector<std::uint16_t> host_a = MakeHostMatrix(n, kSeedA, run.stop_requested);
    const std::vector<std::uint16_t> host_b = MakeHostMatrix(n, kSeedB, run.stop_requested);

    const CUdeviceptr a = session.Allocate(bytes);
    const CUdeviceptr b = session.Allocate(bytes);
    const CUdeviceptr output = session.Allocate(bytes + 2 * kGuardBytes);
    const CUdeviceptr c = output + kGuardBytes;
    CheckCuda(driver, driver->cuMemcpyHtoD_v2(a, host_a.data(), bytes), "input copy A");
    CheckCuda(driver, driver->cuMemcpyHtoD_v2(b, host_b.data(), bytes), "input copy B");
    CheckCuda(driver, driver->cuMemsetD8_v2(output, kGuardFill, bytes + 2 * kGuardBytes), "output initialization");

    std::array<Row, 2> rows{};
    std::array<ModeKernel, 2> kernels{};
    const bool compiled_image = UsesCompiledImage(result.device);
    for (int m = 0; m < 2; ++m) {
        StopCheck(run.stop_requested);
        ModeKernel& kernel = kernels[m];
        kernel.entry = &FindKernel(n, m == 0);
        kernel.function = LoadKernel(session, *kernel.entry, compiled_image);
        rows[m].n = n;
        rows[m].fp16_accumulate = m == 0;
        rows[m].cubin_sha256 = kernel.entry->sha256;
        run.Status(WarmingUpStatus(n, m == 0));
        WarmUp(run, kernel, a, b, c);
        const TrialRecord calibration =
            TimeGemmBatch(session, kernel.function, *kernel.entry, a, b, c, limits::kCalibrationLaunches);
        kernel.launches = LaunchesPerBatch(result.options.sample_ms, calibration.ms_per_gemm);
    }

    // A size listed twice is summarised per occurrence.
    const std::size_t first_trial = result.trials.size();
    const std::int32_t trials = result.options.trials_per_mode;
    for (std::int32_t r = 0; r < trials; ++r) {
        run.Status(TestingStatus(n, r, trials));
        for (int s = 0; s < 2; ++s) {
            StopCheck(run.stop_requested);
            const int m = TrialMode(r, s);
            const KernelEntry& entry = FindKernel(n, m == 0);
            // A checked batch starts from a filled C, so that a kernel that
            // writes nothing cannot pass on an earlier batch's result.
            const bool validates = ValidatesRepetition(r, trials);
            if (validates) CheckCuda(driver, driver->cuMemsetD8_v2(c, kGuardFill, bytes), "output initialization");
            TrialRecord record = TimeGemmBatch(session, kernels[m].function, entry, a, b, c, kernels[m].launches);
            record.repetition = r;
            record.order = s;
            TelemetrySample sample{record.sm_clock_mhz, record.power_mw, record.temperature_c, record.clock_reasons};
            SampleTelemetry(run.nvml, sample);
            record.sm_clock_mhz = sample.sm_clock_mhz;
            record.power_mw = sample.power_mw;
            record.temperature_c = sample.temperature_c;
            record.clock_reasons = sample.clock_reasons;
            // Launches that did no work, or a broken timer, look just like
            // this; such a figure never reaches the reports.
            CheckPhysicalBound(record, result.device,
                               std::max(FindClockDrop(result.trials).peak_mhz, record.sm_clock_mhz));
            result.trials.push_back(record);
            if (validates) ValidateOutput(driver, rows[m], c, host_a, host_b);
        }
    }

    const std::span<const TrialRecord> occurrence = std::span<const TrialRecord>(result.trials).subspan(first_trial);
    for (Row& row : rows) {
        SummarizeMode(row, occurrence);
        result.rows.push_back(row);
        SetDerivedFigures(result);
        WriteReports(result);
        if (run.on_row) run.on_row(result.rows.back());
    }
    session.ReleaseSizeResources();
}

}  // namespace

std::vector<std::uint16_t> MakeHostMatrix(std::int32_t n, std::uint32_t seed, const std::atomic<bool>& stop_requested) {
    const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    std::vector<std::uint16_t> matrix(count, 0);
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % (std::size_t{1} << 20) == 0) StopCheck(stop_requested);
        x = XorShift32(x);
        matrix[i] = static_cast<std::uint16_t>(0x2C00u | ((x & 1u) << 15));
    }
    return matrix;
}

FinishedRun RunBenchmark(const RunOptions& options, const std::atomic<bool>& stop_requested,
                         std::function<void(const std::wstring&)> on_status, std::function<void(const Row&)> on_row) {
    FinishedRun finished;
    RunResult& result = finished.result;
    result.options = options;
    result.started_utc = UtcTimestamp();
    std::unique_ptr<CudaDriver> driver;
    std::optional<GpuSession> session;  // released before the driver that it uses
    std::optional<NvmlLibrary> nvml;     // read once more after a failure: the GPU's health explains it

    try {
        CheckRunOptions(result.options);
        // A missing or failing driver, or none of its devices left, is the
        // machine's state, worth a failed run's reports; an ordinal beyond
        // the devices there are is a typing mistake, refused before anything
        // is created.
        std::string unusable;
        try {
            driver = std::make_unique<CudaDriver>();
            int count = 0;
            CheckCuda(*driver, (*driver)->cuDeviceGetCount(&count), "cuDeviceGetCount");
            CheckDeviceOrdinal(count, result.options.device);
        } catch (const DeviceRefused&) {
            throw;
        } catch (const std::exception& error) {
            unusable = error.what();
        }
        result.options.report_dir = CreateReportDirectory(result.options);
        finished.reports.created_folder = true;
        // A folder that cannot take files fails the run now, not minutes later.
        WriteReports(result);
        if (!unusable.empty()) throw std::runtime_error(unusable);

        result.device = QueryDeviceInfo(*driver, result.options.device);
        if (!IsSupportedDevice(result.device))
            throw std::runtime_error("This build requires NVIDIA SM 8.6 or newer (RTX 30-series or newer)");
        result.backend = BackendText(result.device);
        session.emplace(*driver);
        session->Open(result.options.device);
        nvml.emplace(result.device.uuid);
        ReadCounters(*nvml, result.health.before);
        if (const std::int32_t max_clock = MaxSmClockMhz(*nvml); max_clock > 0) {
            result.device.max_sm_clock_mhz = max_clock;
            result.device.max_sm_clock_source = MaxClockSource::Nvml;
        }

        const RunContext run{result, *session, *nvml, stop_requested, on_status, on_row};
        for (const std::int32_t n : result.options.sizes) RunSize(run, n);

        StopCheck(stop_requested);
        result.status = run_status::kCompleted;
    } catch (const Cancelled& stop) {
        result.status = run_status::kCancelled;
        result.error = stop.what();
    } catch (const std::exception& error) {
        result.status = run_status::kFailed;
        result.error = error.what();
    }

    if (nvml) {
        ReadCounters(*nvml, result.health.after);
        ReadBoard(*nvml, result.health.board);
        nvml.reset();
    }
    // Memory that lost data may have handed the kernels wrong inputs: no figure of the run can be trusted.
    if (const std::int64_t ecc = result.health.UncorrectedDuringRun(); ecc > 0) {
        result.status = run_status::kFailed;
        AddError(result.error, "Uncorrected ECC errors during the run: " + std::to_string(ecc), "; ");
    }
    result.cleanup_ok = !session || session->Cleanup();
    if (!result.cleanup_ok) {
        result.status = run_status::kFailed;
        AddError(result.error, "CUDA cleanup failed.", " ");
    }
    result.finished_utc = UtcTimestamp();
    // Whoever reads the finished run (the window's log, the terminal) reads the derived figures too.
    SetDerivedFigures(result);
    if (finished.reports.created_folder) FinishReports(result, finished.reports);
    session.reset();
    driver.reset();
    on_status = nullptr;
    on_row = nullptr;
    return finished;
}

}  // namespace fpbench
