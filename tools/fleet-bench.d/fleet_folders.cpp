// fleet_folders ROOT COUNT: COUNT completed runs of the default shape (sizes
// 4096 and 8192, 7 trials, both accumulators, telemetry) on as many GPUs, 8 to
// a node, in ROOT/node0001/gpu0 and on. GPU medians spread by about half a
// percent; a few GPUs are slow at full clock, throttled, noisy, failed their
// check or stopped part-way, so that the screen has something to flag.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>

#include "bench/records.h"
#include "bench/statistics.h"
#include "bench/tensor_peak.h"
#include "report/reports.h"

namespace {

using namespace fpbench;

enum class Kind { Normal, Slow, Throttled, Noisy, CheckFailed, Stopped };

// One GPU in 500 of each odd kind, at fixed places so that every run of the
// benchmark screens the same fleet.
Kind KindOf(int gpu) {
    switch (gpu % 500) {
        case 7: return Kind::Slow;
        case 123: return Kind::Throttled;
        case 250: return Kind::Noisy;
        case 321: return Kind::CheckFailed;
        case 404: return Kind::Stopped;
        default: return Kind::Normal;
    }
}

std::string Stamp(int gpu, int second) {
    char text[32];
    std::snprintf(text, sizeof text, "2026-12-01T%02d:%02d:%02d.000Z", 8 + gpu / 3600 % 12, gpu / 60 % 60,
                  (gpu + second) % 60);
    return text;
}

RunResult MakeRun(int gpu, const std::filesystem::path& folder) {
    std::mt19937 random(static_cast<unsigned>(gpu) * 2654435761u + 1);
    std::normal_distribution<double> normal;
    const Kind kind = KindOf(gpu);
    RunResult run;
    run.device = {0, 84, 8, 6, "NVIDIA RTX A6000", ""};
    char uuid[48];
    std::snprintf(uuid, sizeof uuid, "GPU-%08x-7b2d-4e8f-a6c4-%012x", 0x5f3a9c1eu ^ static_cast<unsigned>(gpu),
                  static_cast<unsigned>(gpu));
    run.device.uuid = uuid;
    run.options.report_dir = folder;
    run.status = run_status::kCompleted;
    run.started_utc = Stamp(gpu, 0);
    run.finished_utc = Stamp(gpu, 40);
    run.backend = "embedded sm_86 cubin";
    run.cleanup_ok = true;

    const double speed = (1 + 0.006 * normal(random)) * (kind == Kind::Slow ? 0.9 : 1.0);
    const int clock = kind == Kind::Throttled ? 1700 : 1800 + static_cast<int>(std::lround(8 * normal(random)));
    const double noise = kind == Kind::Noisy ? 0.03 : 0.003;
    int order = 0;
    for (const int n : {4096, 8192}) {
        if (kind == Kind::Stopped && n == 8192) break;
        for (int repetition = 1; repetition <= run.options.trials_per_mode; ++repetition)
            for (const bool fp16 : {true, false}) {
                TrialRecord trial;
                trial.n = n, trial.repetition = repetition, trial.order = ++order, trial.fp16_accumulate = fp16;
                trial.tflops = (fp16 ? 100.0 : 50.0) * speed * clock / 1800 * (1 + noise * normal(random));
                trial.ms_per_gemm = 2.0 * n * n * n / (trial.tflops * 1e9);
                trial.gemms = static_cast<int>(std::max(1.0, std::round(run.options.sample_ms / trial.ms_per_gemm)));
                trial.batch_ms = trial.gemms * trial.ms_per_gemm;
                trial.sm_clock_mhz = clock;
                trial.power_mw = 280000 + static_cast<int>(4000 * normal(random));
                trial.temperature_c = 62 + order / 6;
                run.trials.push_back(trial);
            }
        for (const bool fp16 : {true, false}) {
            Row& row = run.rows.emplace_back();
            row.n = n, row.fp16_accumulate = fp16, row.checked_elements = 21;
            row.validation_passed = !(kind == Kind::CheckFailed && n == 8192 && !fp16);
            row.guards_intact = true;
            row.max_abs_error = row.validation_passed ? 0.0039 : 2.5;
            row.cubin_sha256 = std::string(64, fp16 ? 'a' : 'b');
            SummarizeMode(row, run.trials);
        }
    }
    if (kind == Kind::Stopped) {
        run.status = run_status::kFailed;
        run.error = "CUDA error 719 (unspecified launch failure) in cuEventSynchronize";
    }
    SetDerivedFigures(run);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: fleet_folders ROOT COUNT\n";
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const int count = std::stoi(argv[2]);
    try {
        for (int gpu = 0; gpu < count; ++gpu) {
            char name[32];
            std::snprintf(name, sizeof name, "node%04d/gpu%d", gpu / 8 + 1, gpu % 8);
            std::filesystem::create_directories(root / name);
            WriteReports(MakeRun(gpu, root / name), true);
        }
    } catch (const std::exception& error) {
        std::cerr << "fleet_folders: " << error.what() << "\n";
        return 1;
    }
}
