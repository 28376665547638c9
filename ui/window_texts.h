// Every text the window shows: Chinese, " / ", English in one string.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>

#include "bench/limits.h"

namespace fpbench::texts {

inline constexpr wchar_t kWindowClass[] = L"TessmorBenchNativeWindow";
inline constexpr wchar_t kWindowTitle[] = L"Tessmor Bench — 显卡算力测试";
inline constexpr wchar_t kBodyFace[] = L"Microsoft YaHei UI";
inline constexpr wchar_t kTitleFace[] = L"Segoe UI";

// Initial texts of the child controls.
inline constexpr wchar_t kTitle[] = L"Tessmor Bench";
inline constexpr wchar_t kSubtitle[] =
    L"整卡稠密矩阵乘法 · 分别测量 FP16 / FP32 累加\r\n"
    L"Whole-GPU dense GEMM · FP16 inputs, two accumulation precisions";
inline constexpr wchar_t kGpuLabel[] = L"显卡 / GPU";
inline constexpr wchar_t kSizeLabel[] = L"矩阵规模 / Matrix size";
inline constexpr wchar_t kTrialsLabel[] = L"测量轮次 / Trials";
// The trials box's first text: the run's default, in decimal.
inline constexpr auto kDefaultTrialsText = [] {
    std::array<wchar_t, 12> text{};
    std::int32_t value = limits::kDefaultTrials;
    std::size_t length = 0;
    do text[length++] = static_cast<wchar_t>(L'0' + value % 10); while ((value /= 10) > 0);
    for (std::size_t i = 0; i < length / 2; ++i) std::swap(text[i], text[length - 1 - i]);
    return text;
}();
inline constexpr const wchar_t* kDefaultTrials = kDefaultTrialsText.data();
inline constexpr wchar_t kStart[] = L"开始 / Start";
inline constexpr wchar_t kStop[] = L"停止 / Stop";
inline constexpr wchar_t kReports[] = L"打开报告 / Reports";
inline constexpr wchar_t kAbout[] = L"关于 / About";
inline constexpr wchar_t kDetecting[] = L"正在检测显卡 / Detecting GPU…";
inline constexpr wchar_t kFootnote[] =
    L"按当前频率与负载测量；报告自动保存为 JSON / CSV。\r\n"
    L"Results reflect current clocks and load. Reports are saved automatically.";

// The matrix-size list: each item and the sizes it runs. The first is the
// default, also when nothing is selected.
struct SizeChoice {
    const wchar_t* label;
    std::span<const std::int32_t> sizes;
};
inline constexpr std::int32_t kQuickSizes[] = {4096};
inline constexpr std::int32_t kLargeSizes[] = {8192};
inline constexpr std::int32_t kSmallSizes[] = {1024};
inline constexpr SizeChoice kSizeChoices[] = {
    {L"4096 + 8192 · 标准 / Standard", limits::kDefaultSizes},
    {L"4096 · 快速 / Quick", kQuickSizes},
    {L"8192 · 大矩阵 / Large", kLargeSizes},
    {L"1024 · 小矩阵 / Small", kSmallSizes},
};

// The GPU list and the status line.
inline constexpr wchar_t kUnsupportedSuffix[] = L"  (此版本不支持 / Unsupported)";
inline constexpr wchar_t kReady[] = L"准备就绪 / Ready";
inline constexpr wchar_t kNeedsSm86[] = L"此版本需要 NVIDIA SM 8.6 或更新 GPU / NVIDIA SM 8.6+ required";
inline constexpr wchar_t kDetectionFailed[] = L"无法检测显卡 / GPU detection failed";
inline constexpr wchar_t kNothingToInstall[] =
    L"无需安装 Python 或 CUDA Toolkit / No Python or CUDA Toolkit installation required.";
inline constexpr wchar_t kStarting[] = L"启动测试 / Starting benchmark…";
inline constexpr wchar_t kFinishing[] = L"正在结束当前批次并清理 / Finishing current batch and cleaning up…";
inline constexpr wchar_t kCompleted[] = L"测试完成，校验通过 / Completed, validation passed";
inline constexpr wchar_t kStopped[] = L"已停止，资源已清理 / Stopped, resources cleaned up";
inline constexpr wchar_t kFailed[] = L"测试失败，请查看日志 / Test failed; see log";

// Log lines when the reports could not all be brought up to date.
inline constexpr wchar_t kOnlyDocument[] = L"报告不完整，仅写入 result.json / Reports incomplete: only result.json could be written";
inline constexpr wchar_t kNothingWritten[] = L"报告未能写入 / No report could be written";
inline constexpr wchar_t kHeldReport[] = L"文件被其他程序占用 / Held by another program: ";
inline constexpr wchar_t kWrittenBeside[] = L"; 最终内容见 / final content in ";

// Log line prefix, followed by what NVML told of the GPU's health.
inline constexpr wchar_t kHealthLine[] = L"GPU 状态 / GPU health: ";

// Log line prefixes, followed by a directory.
inline constexpr wchar_t kReportsLine[] = L"报告 / Reports: ";
inline constexpr wchar_t kResultFolderLine[] = L"结果目录 / Result folder: ";

// Results list cells.
inline constexpr wchar_t kDash[] = L"—";
inline constexpr wchar_t kRangeSeparator[] = L" – ";
inline constexpr wchar_t kPass[] = L"通过 / PASS";
inline constexpr wchar_t kFail[] = L"失败 / FAIL";

// The About box: the program and its version, this text, then the kernel
// licence notice after the empty last line.
inline constexpr wchar_t kAboutCaption[] = L"关于 / About";
inline constexpr wchar_t kAboutText[] =
    L"\r\n"
    L"\r\n"
    L"Windows + NVIDIA 驱动即可运行。\r\n"
    L"Only Windows and the NVIDIA driver are required.\r\n"
    L"\r\n"
    L"运行时不需要 Python、CUDA Toolkit 或 cuBLAS。\r\n"
    L"No Python, CUDA Toolkit or cuBLAS runtime is required.\r\n"
    L"\r\n"
    L"当前版本：SM 8.6 原生内核；更新 GPU 通过驱动 JIT，尚未实测。\r\n"
    L"Native SM 8.6 kernels; newer GPUs use driver JIT and remain unvalidated.\r\n"
    L"\r\n"
    L"Embedded GEMM kernels derive from Triton's MIT-licensed tutorial.\r\n"
    L"\r\n";

}  // namespace fpbench::texts
