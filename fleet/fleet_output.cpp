#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <ostream>
#include <thread>

#include "bench/number_format.h"
#include "fleet/fleet_figures.h"
#include "report/text_format.h"

namespace fpbench {
namespace {

using figures::Cell;
using figures::Kind;
using Figure = figures::Figure<FleetLine>;
constexpr unsigned kCsv = figures::kCsv, kTerminal = figures::kTerminal, kPage = figures::kPage;

const FleetRun* RunOf(const FleetLine& line) { return line.gpu->folder.run ? &*line.gpu->folder.run : nullptr; }

Cell Number(const FleetLine& line, double GpuRow::*field) {
    return {line.row ? line.row->*field : figures::kUnknown, {}, nullptr};
}

// A line's verdict and cause: its row's (a run judged as a whole gives every
// row its own), the GPU's when it has no rows.
Verdict VerdictOf(const FleetLine& line) { return line.row ? line.row->verdict : line.gpu->verdict; }
const std::string& CauseOf(const FleetLine& line) { return line.row ? line.row->cause : line.gpu->cause; }

constexpr Figure kFigures[] = {
    {"verdict", "判定 / Verdict", Kind::Word, 0, 0, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Cell{figures::kUnknown, Info(VerdictOf(l)).word, Info(VerdictOf(l)).tone}; }},
    {"cause", "原因 / Cause", Kind::Text, 0, 0, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Cell{figures::kUnknown, CauseOf(l), nullptr}; }},
    {"folder", "文件夹 / Folder", Kind::Text, 0, 0, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Cell{figures::kUnknown, l.gpu->folder.folder.string(), nullptr}; }},
    {"uuid", "UUID", Kind::Text, 0, 0, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Cell{figures::kUnknown, RunOf(l) ? RunOf(l)->device.uuid : "", nullptr}; }},
    {"name", "名称 / Name", Kind::Text, 0, 0, kCsv | kPage,
     [](const FleetLine& l) { return Cell{figures::kUnknown, RunOf(l) ? RunOf(l)->device.name : "", nullptr}; }},
    {"N", "规模 / N", Kind::Integer, 0, 0, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Cell{l.row ? static_cast<double>(l.row->n) : -1.0, {}, nullptr}; }},
    {"accumulator", "累加 / Accum.", Kind::Word, 0, 0, kCsv | kTerminal | kPage, [](const FleetLine& l) {
         return Cell{figures::kUnknown, l.row ? Accumulator(l.row->fp16_accumulate).mode : "", nullptr};
     }},
    {"median_TFLOPS", "中位 / Median TFLOPS", Kind::Number, 2, 10, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Number(l, &GpuRow::median); }},
    {"reference_TFLOPS", "参照 / Reference TFLOPS", Kind::Number, 2, 10, kCsv | kPage,
     [](const FleetLine& l) { return Number(l, &GpuRow::reference); }},
    {"deviation_pct", "偏差 / Deviation", Kind::Change, 1, 6, kCsv | kTerminal | kPage,
     [](const FleetLine& l) { return Number(l, &GpuRow::deviation_pct); }},
    {"z", "z", Kind::Number, 1, 6, kCsv | kPage, [](const FleetLine& l) { return Number(l, &GpuRow::z); }},
    {"noise_pct", "噪声 / Noise %", Kind::Number, 1, 6, kCsv | kPage, [](const FleetLine& l) {
         return Cell{l.row && l.row->noise_pct >= 0 ? l.row->noise_pct : figures::kUnknown, {}, nullptr};
     }},
    {"SM_clock_MHz", "时钟 / SM MHz", Kind::Integer, 0, 0, kCsv | kPage,
     [](const FleetLine& l) { return Cell{l.row ? static_cast<double>(l.row->clock_mhz) : -1.0, {}, nullptr}; }},
    {"per_clock_deviation_pct", "每时钟偏差 / Per-clock deviation", Kind::Change, 1, 6, kCsv | kPage,
     [](const FleetLine& l) { return Number(l, &GpuRow::per_clock_deviation_pct); }},
};

}  // namespace

std::span<const figures::Figure<FleetLine>> FleetFigures() { return kFigures; }

std::vector<FleetLine> FleetLines(const std::vector<Gpu>& gpus, bool every_row) {
    std::vector<FleetLine> lines;
    for (const Gpu& gpu : gpus) {
        if (gpu.rows.empty()) lines.push_back({&gpu, nullptr});
        for (const GpuRow& row : gpu.rows) {
            lines.push_back({&gpu, &row});
            if (!every_row) break;
        }
    }
    return lines;
}

namespace {

// The figures that are the GPU's own, the same on each of its lines: their
// fields are made once per GPU.
constexpr std::string_view kGpuFigures[] = {"folder", "uuid", "name"};

// The lines of GPUs [first, last) of fleet.csv, in order, as CsvLine makes them.
std::string CsvLines(const std::vector<Gpu>& gpus, std::size_t first, std::size_t last) {
    std::array<bool, std::size(kFigures)> of_gpu{};
    for (std::size_t i = 0; i < std::size(kFigures); ++i)
        of_gpu[i] = std::find(std::begin(kGpuFigures), std::end(kGpuFigures), kFigures[i].csv) != std::end(kGpuFigures);
    std::array<std::string, std::size(kFigures)> fields;
    std::string out;
    const auto add = [&](const FleetLine& line) {
        bool first_field = true;
        for (std::size_t i = 0; i < std::size(kFigures); ++i) {
            const Figure& figure = kFigures[i];
            if (!figure.In(figures::kCsv)) continue;
            if (!first_field) out += ',';
            first_field = false;
            out += of_gpu[i] ? fields[i] : figures::CsvCell(figure.kind, figure.significant, figure.read(line));
        }
        out += '\n';
    };
    for (std::size_t g = first; g < last; ++g) {
        const Gpu& gpu = gpus[g];
        const FleetLine line{&gpu, nullptr};
        for (std::size_t i = 0; i < std::size(kFigures); ++i)
            if (of_gpu[i])
                fields[i] = figures::CsvCell(kFigures[i].kind, kFigures[i].significant, kFigures[i].read(line));
        if (gpu.rows.empty()) add(line);
        for (const GpuRow& row : gpu.rows) add({&gpu, &row});
    }
    return out;
}

// fleet.csv a block of GPUs at a time, each block handed on in order: while
// this thread makes one block another makes the next, so that a large
// fleet's tens of megabytes take half the time and no more than two blocks
// are held at once.
template <typename Sink>
void EachCsvBlock(const FleetScreen& screen, Sink&& sink) {
    constexpr std::size_t kBlock = 1024;
    const std::vector<Gpu>& gpus = screen.gpus;
    const auto block = [&](std::size_t first) { return CsvLines(gpus, first, std::min(first + kBlock, gpus.size())); };
    sink(figures::CsvLine<FleetLine>(kFigures, nullptr));
    const bool two = std::thread::hardware_concurrency() > 1;
    for (std::size_t first = 0; first < gpus.size(); first += 2 * kBlock) {
        const bool next = first + kBlock < gpus.size();
        std::future<std::string> later;
        if (next) later = std::async(two ? std::launch::async : std::launch::deferred, block, first + kBlock);
        sink(block(first));
        if (next) sink(later.get());
    }
}

}  // namespace

std::string FleetCsv(const FleetScreen& screen) {
    std::string out;
    EachCsvBlock(screen, [&](const std::string& lines) { out += lines; });
    return out;
}

void WriteFleetCsv(const FleetScreen& screen, std::ostream& out) {
    EachCsvBlock(screen, [&](const std::string& lines) {
        out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
    });
}

std::string NodesCsv(const FleetScreen& screen) {
    std::string out = "node,verdict,action,reason\n";
    for (const Node& node : screen.nodes)
        out += CsvText(node.name) + "," + Info(node.worst).word + "," + node.action + "," + CsvText(node.reason) + "\n";
    return out;
}

std::string FleetSummary(const FleetScreen& screen, const std::filesystem::path& page) {
    std::size_t counts[kVerdicts] = {};
    for (const Gpu& gpu : screen.gpus) ++counts[static_cast<std::size_t>(gpu.verdict)];
    const auto count = [&](Verdict verdict) { return counts[static_cast<std::size_t>(verdict)]; };
    const std::size_t runs = screen.gpus.size() - count(Verdict::Unreadable) - count(Verdict::Missing);
    std::string out = std::to_string(runs) + " runs of " + std::to_string(runs - count(Verdict::Superseded)) +
                      " GPUs in " + std::to_string(screen.cohorts.size()) +
                      (screen.cohorts.size() == 1 ? " cohort" : " cohorts") + ", " +
                      std::to_string(count(Verdict::Unreadable)) + " unreadable folders, " +
                      std::to_string(count(Verdict::Missing)) + " missing\n";
    bool first = true;
    for (const Verdict verdict : AllVerdicts()) {
        out += std::string(first ? "" : "  ") + Info(verdict).word + ": " + std::to_string(count(verdict));
        first = false;
    }
    out += "\n";
    std::vector<FleetLine> lines;
    for (const FleetLine& line : FleetLines(screen.gpus, false))
        if (Flagged(line.gpu->verdict)) lines.push_back(line);
    if (!lines.empty()) out += "flagged, worst first:\n" + figures::Terminal<FleetLine>(kFigures, lines);
    int drains = 0;
    for (const Node& node : screen.nodes) drains += std::string_view(node.action) == "drain";
    if (!screen.nodes.empty())
        out += std::to_string(screen.nodes.size()) + " nodes, " + std::to_string(drains) + " to drain with --drain\n";
    return out + "page: " + page.string() + "\n";
}

}  // namespace fpbench
