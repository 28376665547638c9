// Start and Stop: one worker thread per run, which reaches the window only
// through posted messages.
#include "ui/main_window.h"

#include <commctrl.h>

#include <chrono>
#include <system_error>

#include "app/report_paths.h"
#include "platform/platform.h"
#include "run/run_benchmark.h"
#include "ui/window_logic.h"
#include "ui/window_texts.h"

namespace fpbench {
namespace {

// The window owns the object once the post succeeds; otherwise it stays
// with the caller (and is freed there).
template <typename T>
bool TryPost(HWND hwnd, UINT message, std::unique_ptr<T>& payload) {
    if (!PostMessageW(hwnd, message, 0, reinterpret_cast<LPARAM>(payload.get()))) return false;
    payload.release();
    return true;
}

// A status text or a row that cannot be posted is dropped: the reports hold
// every row, and the run's end still arrives.
template <typename T>
void PostOrDrop(HWND hwnd, UINT message, std::unique_ptr<T> payload) {
    TryPost(hwnd, message, payload);
}

// The run's end must arrive, or the window would stay "running": a full
// queue is waited out while the window exists. The wait is bounded so that
// a user-interface thread that no longer reads its queue (it is joining this
// thread at shutdown) cannot hang the process.
void PostRunEnd(HWND hwnd, std::unique_ptr<FinishedRun> result) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!TryPost(hwnd, WM_APP_FINISHED, result)) {
        if (!IsWindow(hwnd) || std::chrono::steady_clock::now() > deadline) return;
        Sleep(10);
    }
}

void WorkerMain(HWND hwnd, const std::atomic<bool>* stop_requested, RunOptions options) {
    auto on_status = [hwnd](const std::wstring& text) {
        PostOrDrop(hwnd, WM_APP_STATUS, std::make_unique<std::wstring>(text));
    };
    auto on_row = [hwnd](const Row& row) { PostOrDrop(hwnd, WM_APP_ROW, std::make_unique<Row>(row)); };
    PostRunEnd(hwnd, std::make_unique<FinishedRun>(RunBenchmark(options, *stop_requested, on_status, on_row)));
}

std::wstring WindowText(HWND control, int capacity) {
    std::wstring text(static_cast<std::size_t>(capacity), L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), capacity)));
    return text;
}

std::ptrdiff_t ComboSelection(HWND combo) { return SendMessageW(combo, CB_GETCURSEL, 0, 0); }

}  // namespace

void OnStart(MainWindow& window) {
    if (window.run.Running()) return;
    const std::ptrdiff_t gpu = ComboSelection(window.Control(WindowControl::GpuCombo));
    if (!CanStartOn(window.devices, gpu)) return;
    const auto trials = ParseTrials(WindowText(window.Control(WindowControl::TrialsEdit), 32));
    if (!trials) {
        SetStatus(window, TrialsRangeText().c_str());
        return;
    }

    RunOptions options;
    options.device = window.devices[static_cast<std::size_t>(gpu)].ordinal;
    options.trials_per_mode = *trials;
    options.sizes = SizesForChoice(ComboSelection(window.Control(WindowControl::SizeCombo)));
    try {
        options.report_dir = window.output_override.empty() ? RunFolderPath(ReportRoot()) : window.output_override;
        options.unique_report_dir = window.output_override.empty();
    } catch (const std::exception& error) {
        AppendLog(window, platform::WideFromUtf8(error.what()));
        return;
    }
    window.last_report_dir = options.report_dir;

    SendMessageW(window.Control(WindowControl::ResultsList), LVM_DELETEALLITEMS, 0, 0);
    SetWindowTextW(window.Control(WindowControl::LogEdit), L"");
    AppendLog(window, texts::kReportsLine + window.last_report_dir.wstring());
    window.run.BeginRun();
    SetRunning(window, true);
    SetStatus(window, texts::kStarting);
    if (window.worker.joinable()) window.worker.join();
    try {
        window.worker = std::thread(WorkerMain, window.hwnd, &window.run.StopFlag(), std::move(options));
    } catch (const std::system_error& error) {
        // No thread, so no result will come: back to idle, reason in the log.
        window.run.AbandonRun();
        SetRunning(window, false);
        SetStatus(window, texts::kFailed);
        AppendLog(window, platform::WideFromUtf8(error.what()));
    }
}

void OnStop(MainWindow& window) {
    if (!window.run.RequestStop()) return;
    EnableWindow(window.Control(WindowControl::StopButton), FALSE);
    SetStatus(window, texts::kFinishing);
}

void OnRunFinished(MainWindow& window, const FinishedRun& finished) {
    const RunResult& result = finished.result;
    if (window.worker.joinable()) window.worker.join();
    const bool destroy = window.run.FinishRun();
    // A run folder taken by another run gets a numbered name.
    if (finished.reports.created_folder) window.last_report_dir = result.options.report_dir;
    SetRunning(window, false);
    SetStatus(window, OutcomeStatusText(result.status));
    if (!result.error.empty()) AppendLog(window, platform::WideFromUtf8(result.error));
    for (const std::wstring& line : ReportProblemLines(finished.reports)) AppendLog(window, line);
    for (const std::wstring& line : HealthLogLines(result)) AppendLog(window, line);
    AppendLog(window, texts::kResultFolderLine + result.options.report_dir.wstring());
    if (destroy) DestroyWindow(window.hwnd);
}

}  // namespace fpbench
