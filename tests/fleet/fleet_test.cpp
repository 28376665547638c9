// Run folders read back strictly and found once each, fleets screened: the verdict rules at their boundaries, what
// a run's status makes of its GPU, reruns, nodes and their drains, the files byte for byte, and the command over runs
// of the simulated GPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include <sys/stat.h>

#include "bench/kernel_catalogue.h"
#include "bench/tensor_peak.h"
#include "commands_fixture.h"
#include "fleet/run_folder.h"
#include "fleet/screen.h"
#include "report/reports.h"
#include "report/sample_results.h"
#include "test_support.h"

namespace fpbench {
namespace {

namespace fs = std::filesystem;
using test::Commands;

// A GPU of a cohort, made as a result read back would be: one row, three trials at the row's clock but the last.
RunFolder MakeGpu(const std::string& uuid, double median, std::int32_t clock = 1800, double noise = 0.5,
                  const std::string& name = "GPU A", std::int32_t last_trial_clock = -1, std::int32_t sm_count = 84) {
    RunFolder folder;
    folder.folder = "screen/" + uuid;
    RunResult run;
    run.status = "completed";
    run.started_utc = "2026-12-01T00:00:00.000Z";
    run.finished_utc = "2026-12-01T00:01:00.000Z";
    run.device = {0, sm_count, 8, 6, name, uuid};
    Row row;
    row.n = 4096, row.median_tflops = median, row.sm_clock_mhz = clock, row.noise_pct = noise;
    row.validation_passed = row.guards_intact = true;
    run.rows = {row};
    for (const std::int32_t trial_clock : {clock, clock, last_trial_clock < 0 ? clock : last_trial_clock})
        run.trials.push_back(TrialRecord{.n = 4096, .tflops = median, .sm_clock_mhz = trial_clock});
    SetDerivedFigures(run);
    folder.run = run;
    return folder;
}

const Gpu& Find(const FleetScreen& screen, const std::string& uuid) {
    const auto found = std::find_if(screen.gpus.begin(), screen.gpus.end(),
                                    [&](const Gpu& gpu) { return gpu.folder.run && gpu.folder.run->device.uuid == uuid; });
    if (found == screen.gpus.end()) throw std::runtime_error("no GPU " + uuid);
    return *found;
}

// The rules at their boundaries: the screened GPU "x" beside a cohort of the given medians.
TEST(FleetVerdicts, RulesHoldAtTheirBoundaries) {
    const std::vector<double> ten(10, 100.0), spread{100, 100.2, 100.4, 100.6};
    const struct {
        const char* what;
        std::vector<double> cohort;
        RunFolder x;
        const char* verdict;
        const char* cause;
    } cases[] = {
        {"3.5 % below", ten, MakeGpu("x", 96.5), "warn", "full clock"},
        {"just above 3.5 % below", ten, MakeGpu("x", 96.51), "ok", ""},
        {"7 % below", ten, MakeGpu("x", 93.0), "fail", "full clock"},
        {"just above 7 % below", ten, MakeGpu("x", 93.01), "warn", "full clock"},
        {"z -7.8 and 2.3 % below in a cohort of 5", spread, MakeGpu("x", 97.9), "warn", "full clock"},
        {"z -3.37 (scaled by 0.6745) and 2.5 % below", {99.5, 99.5, 100, 100, 100.5, 100.5}, MakeGpu("x", 97.5), "ok", ""},
        {"z but a cohort of 4", {100.2, 100.4, 100.6}, MakeGpu("x", 97.9), "ok", ""},
        {"z but no spread", {100, 100, 100, 100}, MakeGpu("x", 97.9), "ok", ""},
        {"z -7.8 but 1.9 % below", {100, 99.9, 99.8, 99.7}, MakeGpu("x", 97.9), "ok", ""},
        {"noise 2 %", ten, MakeGpu("x", 100, 1800, 2.0), "ok", ""},
        {"noise above 2 %", ten, MakeGpu("x", 100, 1800, 2.01), "unstable", "noise 2.0 %"},
        {"clock 3 % below, per clock normal", ten, MakeGpu("x", 96, 1746), "warn", "clock"},
        {"clock 5 % and per clock 10 % below", ten, MakeGpu("x", 85.5, 1710), "fail", "clock and full clock"},
        {"one trial at a low clock", ten, MakeGpu("x", 90, 1800, 0.5, "GPU A", 1200), "fail", "full clock"},
        {"no clock reading", ten, MakeGpu("x", 90, -1), "fail", "no clock reading"},
        {"a cohort of three: its fastest is the reference", {100, 90}, MakeGpu("x", 95), "warn", "full clock"},
        {"another model, alone", ten, MakeGpu("x", 50, 1800, 0.5, "GPU B"), "alone", "no other GPU of this model to compare with"},
        {"the same name but fewer SMs, alone", ten, MakeGpu("x", 50, 1800, 0.5, "GPU A", -1, 80), "alone",
         "no other GPU of this model to compare with"},
        {"the same name with a trailing space", ten, MakeGpu("x", 50, 1800, 0.5, "GPU A "), "fail", "full clock"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<RunFolder> folders{c.x};
        for (std::size_t i = 0; i < c.cohort.size(); ++i) folders.push_back(MakeGpu("c" + std::to_string(i), c.cohort[i]));
        const FleetScreen screen = ScreenFleet(folders);
        const Gpu& x = Find(screen, "x");
        EXPECT_STREQ(Info(x.verdict).word, c.verdict);
        EXPECT_EQ(x.cause, c.cause);
        EXPECT_EQ(screen.Flagged(), std::string(c.verdict) != "ok");
    }
    // The thresholds are the user's to set.
    const FleetScreen lenient = ScreenFleet({MakeGpu("x", 93.0), MakeGpu("a", 100), MakeGpu("b", 100)}, {5, 10});
    EXPECT_STREQ(Info(lenient.gpus.front().verdict).word, "warn");
}

// What a run that did not complete makes of its GPU, what two runs of one GPU make of each other, and what each
// node's worst GPU makes of the node: only evidence against a GPU drains its node, and only a name Slurm can take.
TEST(FleetVerdicts, StatusesRerunsAndNodes) {
    const auto run = [](const std::string& node, const std::string& uuid, const std::string& status, const std::string& error,
                        const std::string& started = "2026-12-01T00:00:00.000Z",
                        const std::string& finished = "2026-12-01T00:01:00.000Z") {
        RunFolder folder = MakeGpu(uuid, 100);
        folder.folder = "screen/" + node + "/gpu0";
        folder.run->status = status, folder.run->error = error;
        folder.run->started_utc = started, folder.run->finished_utc = finished;
        return folder;
    };
    RunFolder unreadable, missing;
    unreadable.folder = "screen/u1/gpu0", unreadable.problem = "no result.json in screen/u1/gpu0";
    missing.folder = "screen/m1/gpu0", missing.missing = true, missing.problem = "expected";
    const std::vector<RunFolder> folders{
        run("ok1", "a", "completed", ""), run("ok2", "b", "completed", ""), run("ok3", "c", "completed", ""),
        run("cancelled", "d", "cancelled", "Cancelled by user"),
        run("killed", "e", "running", "", "2026-12-01T00:00:00.000Z", ""),
        run("full", "f", "failed", "Report write failed: No space left on device"),
        run("old", "g", "failed", "This build requires NVIDIA SM 8.6 or newer (RTX 30-series or newer)"),
        run("cuda", "h", "failed", "cuLaunchKernel: an illegal memory access was encountered (700)"),
        run("nodriver", "i", "failed", "NVIDIA CUDA driver not found. Install a compatible NVIDIA driver."),
        run("gone", "j", "failed", "No CUDA device found"),
        run("n[1-3]", "k", "failed", "Impossible throughput: ..."),
        run("twice", "l", "completed", "", "2026-12-01T00:00:00.000Z", "2026-12-01T00:01:00.000Z"),
        run("twice2", "l", "completed", "", "2026-12-01T00:00:30.000Z", "2026-12-01T00:01:30.000Z"),
        run("rerun", "a", "failed", "Cancelled by user", "2026-11-30T00:00:00.000Z", "2026-11-30T00:01:00.000Z"),
        unreadable, missing,
    };
    const FleetScreen screen = ScreenFleet(folders);
    std::map<std::string, std::string> verdicts, nodes;
    for (const Gpu& gpu : screen.gpus) verdicts[gpu.folder.folder.parent_path().filename().string()] = Info(gpu.verdict).word;
    for (const Node& node : screen.nodes) nodes[node.name] = std::string(Info(node.worst).word) + " " + node.action;
    const std::map<std::string, std::string> expected_verdicts{
        {"ok1", "ok"}, {"ok2", "ok"}, {"ok3", "ok"}, {"cancelled", "incomplete"}, {"killed", "incomplete"},
        {"full", "incomplete"}, {"old", "incomplete"}, {"cuda", "fail"}, {"nodriver", "fail"}, {"gone", "fail"},
        {"n[1-3]", "fail"}, {"twice", "duplicate"}, {"twice2", "duplicate"}, {"rerun", "superseded"},
        {"u1", "unreadable"}, {"m1", "missing"}};
    EXPECT_EQ(verdicts, expected_verdicts);
    const std::map<std::string, std::string> expected_nodes{
        {"ok1", "ok none"}, {"ok2", "ok none"}, {"ok3", "ok none"}, {"cancelled", "incomplete list"},
        {"killed", "incomplete list"}, {"full", "incomplete list"}, {"old", "incomplete list"}, {"cuda", "fail drain"},
        {"nodriver", "fail drain"}, {"gone", "fail drain"}, {"n[1-3]", "fail list"}, {"twice", "duplicate list"},
        {"twice2", "duplicate list"}, {"rerun", "superseded none"}, {"u1", "unreadable list"}, {"m1", "missing list"}};
    EXPECT_EQ(nodes, expected_nodes);
    // A fleet whose only problem is an unreadable folder is flagged.
    EXPECT_TRUE(ScreenFleet({run("ok1", "a", "completed", ""), run("ok2", "b", "completed", ""), unreadable}).Flagged());
    EXPECT_FALSE(ScreenFleet({run("ok1", "a", "completed", ""), run("ok2", "b", "completed", "")}).Flagged());
}

// What the GPU's own health says: the reason NVML gave for a low clock names the cause; failing memory fails the GPU;
// a pending remap, a slow link or a lowered power limit is worth a warning on a GPU fast enough.
TEST(FleetVerdicts, HealthNamesTheCause) {
    const auto x = [](double median, std::int32_t clock, std::int64_t reasons, const std::function<void(RunResult&)>& change) {
        RunFolder folder = MakeGpu("x", median, clock);
        for (TrialRecord& trial : folder.run->trials) trial.clock_reasons = reasons;
        change(*folder.run);
        return folder;
    };
    const auto none = [](RunResult&) {};
    const auto limit = [](RunResult& run) { run.health.board.power_limit_mw = 250000, run.health.board.default_power_limit_mw = 300000; };
    const struct {
        RunFolder x;
        const char* verdict;
        const char* cause;
    } cases[] = {
        {x(95, 1710, 0x4, none), "warn", "power cap"},
        {x(95, 1710, 0x20 | 0x1, none), "warn", "thermal"},
        {x(95, 1710, 0x80, none), "warn", "power brake"},
        {x(85, 1710, 0x8, none), "fail", "hardware slowdown and full clock"},
        {x(95, 1710, 0, limit), "warn", "power limit lowered"},
        {x(95, 1710, -1, none), "warn", "clock"},
        {x(100, 1800, 0, limit), "warn", "power limit lowered: 250 W of 300 W"},
        {x(100, 1800, 0, [](RunResult& run) { run.health.board.pcie_generation = 3, run.health.board.pcie_width = 16,
                                               run.health.board.pcie_max_generation = 4, run.health.board.pcie_max_width = 16; }),
         "warn", "PCIe link gen 3 x16, can be gen 4 x16"},
        {x(100, 1800, 0, [](RunResult& run) { run.health.board.remap_pending = 1; }), "warn", "row remapping pending: reset the GPU"},
        {x(100, 1800, 0, [](RunResult& run) { run.health.board.remap_failure = 1; }), "fail", "memory: row remapping failed"},
        {x(100, 1800, 0, [](RunResult& run) { run.status = "failed", run.error = "Uncorrected ECC errors during the run: 3"; }),
         "fail", "memory: Uncorrected ECC errors during the run: 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        const FleetScreen screen = ScreenFleet({c.x, MakeGpu("a", 100), MakeGpu("b", 100), MakeGpu("c", 100), MakeGpu("d", 100)});
        const Gpu& gpu = Find(screen, "x");
        EXPECT_EQ(std::string(Info(gpu.verdict).word) + " " + gpu.cause, std::string(c.verdict) + " " + c.cause);
        EXPECT_EQ(gpu.rows.front().verdict, gpu.verdict);
    }
}

// fleet.csv and nodes.csv of a small screen, written out by hand: a name that a spreadsheet would run as a formula,
// with a comma and quotes in it, and a node whose worst GPU drains it.
TEST(FleetFiles, CsvFilesByteForByte) {
    std::vector<RunFolder> folders{MakeGpu("c0", 100), MakeGpu("c1", 100), MakeGpu("c2", 100),
                                   MakeGpu("x", 90, 1800, 0.5, "=HYPERLINK(\"a,b\")")};
    folders[3].run->device.name = "GPU A";
    folders[3].folder = "screen/n2/gpu1";
    folders[0].folder = "screen/n1/gpu0";
    folders[3].run->device.uuid = "=HYPERLINK(\"a,b\")";
    const FleetScreen screen = ScreenFleet(folders);
    EXPECT_EQ(FleetCsv(screen),
              "verdict,cause,folder,uuid,name,N,accumulator,median_TFLOPS,reference_TFLOPS,deviation_pct,z,noise_pct,"
              "SM_clock_MHz,per_clock_deviation_pct\n"
              "fail,full clock,screen/n2/gpu1,\"'=HYPERLINK(\"\"a,b\"\")\",GPU A,4096,fp16_acc,90,100,-10,,0.5,1800,-10\n"
              "ok,,screen/n1/gpu0,c0,GPU A,4096,fp16_acc,100,100,0,,0.5,1800,0\n"
              "ok,,screen/c1,c1,GPU A,4096,fp16_acc,100,100,0,,0.5,1800,0\n"
              "ok,,screen/c2,c2,GPU A,4096,fp16_acc,100,100,0,,0.5,1800,0\n");
    EXPECT_EQ(NodesCsv(screen),
              "node,verdict,action,reason\n"
              "n1,ok,none,\n"
              "n2,fail,drain,\"tessmor-bench: fail full clock =HYPERLINK(\"\"a,b\"\")\"\n");
}

// The page names every GPU as text inside an isolated span, in the flagged list and in the tooltips alike.
TEST(FleetFiles, PageShowsNamesAsIsolatedText) {
    std::vector<RunFolder> folders{MakeGpu("c0", 100), MakeGpu("c1", 100), MakeGpu("c2", 100), MakeGpu("x", 90)};
    for (RunFolder& folder : folders) folder.run->device.name = "<b>GPU</b> \u202E";
    const std::string page = FleetHtml(ScreenFleet(folders));
    EXPECT_EQ(page.find("<b>GPU"), std::string::npos);
    const std::string shown = "&lt;b&gt;GPU&lt;/b&gt; \u202E";
    EXPECT_NE(page.find("<table id=\"flagged\""), std::string::npos);
    const std::string flagged = page.substr(page.find("<table id=\"flagged\""));
    EXPECT_NE(flagged.find("<bdi>" + shown + "</bdi>"), std::string::npos);
    EXPECT_NE(page.find("<title>\u2068" + shown + "\u2069"), std::string::npos);
}

// A large fleet's page lists every flagged GPU and sums up the ok ones per cohort, pointing to fleet.csv.
TEST(FleetFiles, LargeFleetPageListsEveryFlaggedGpuAndSumsUpTheRest) {
    std::vector<RunFolder> folders;
    for (int i = 0; i < 400; ++i) folders.push_back(MakeGpu("g" + std::to_string(i), i % 100 == 0 ? 90 : 100));
    const std::string page = FleetHtml(ScreenFleet(folders));
    const std::size_t flagged = page.find("<table id=\"flagged\""), ok = page.find("<table id=\"ok\"");
    ASSERT_NE(flagged, std::string::npos);
    ASSERT_NE(ok, std::string::npos);
    const std::string listed = page.substr(flagged, page.find("</table>", flagged) - flagged);
    std::size_t rows = 0;
    for (std::size_t at = listed.find("screen/g"); at != std::string::npos; at = listed.find("screen/g", at + 1)) ++rows;
    EXPECT_EQ(rows, 4u);
    EXPECT_NE(page.find("<td class=\"n\">396</td>", ok), std::string::npos);
    EXPECT_EQ(page.find("<table id=\"gpus\""), std::string::npos);
    EXPECT_NE(page.find("fleet.csv in the same folder as this page has every GPU and row"), std::string::npos);
}

// Reading is strict: the member that breaks the format is named, and a folder without a document says why.
TEST(ReadRunFolder, NamesWhatIsMissingMistypedOrImpossible) {
    test::TempDir temp;
    RunResult run = report_samples::FailedRunWithoutTelemetry();  // quotes and control characters in its texts
    run.options.report_dir = temp.path() / "run";
    fs::create_directories(run.options.report_dir);
    WriteReports(run);
    const std::string document = test::ReadFileBytes(run.options.report_dir / "result.json");
    const RunFolder read = ReadRunFolder(run.options.report_dir);
    ASSERT_TRUE(read.run) << read.problem;
    EXPECT_EQ(std::tuple(read.run->device.name, read.run->error, read.run->rows.at(0).median_tflops, read.run->trials.at(1).gemms,
                         read.kernel_source_sha256),
              std::tuple(run.device.name, run.error, 400.5, 43, std::string(KernelSourceSha256)));
    const struct {
        std::string from, to, problem;
    } cases[] = {
        {"\"median_tflops\":400.5,", "", "member \"rows[0].median_tflops\" is missing"},
        {"\"gemms\":44", "\"gemms\":\"44\"", "member \"trials[0].gemms\" is not an integer"},
        {"\"mode\":\"fp16_acc\"", "\"mode\":\"fp64_acc\"", "member \"rows[0].mode\" is not fp16_acc or fp32_acc"},
        {"\"sm_count\":128", "\"sm_count\":12.8", "member \"device.sm_count\" is not an integer"},
        {"\"rows\":[", "\"rows\":{", "not valid JSON"},
        {"\"rows\":[", "\"rows\":[[],", "member \"rows[0]\" is not an object"},
        {"\"schema_version\":1", "\"schema_version\":2", "member \"schema_version\" is not 1"},
        {"\"tflops\":399.8", "\"tflops\":null", "member \"trials[0].tflops\" is null, not a positive number"},
        {"\"tflops\":399.8", "\"tflops\":-399.8", "member \"trials[0].tflops\" is -399.8, not a positive number"},
        {"\"tflops\":399.8", "\"tflops\":0", "member \"trials[0].tflops\" is 0, not a positive number"},
        {"\"median_tflops\":400.5", "\"median_tflops\":1e300", "member \"rows[0].median_tflops\" is 1e+300 TFLOPS, above"},
        {"\"started_utc\":\"", "\"started_utc\":\"zzzz", "member \"started_utc\" is not a UTC time stamp"},
    };
    for (const auto& c : cases) {
        std::string broken = document;
        ASSERT_NE(broken.find(c.from), std::string::npos) << c.from;
        broken.replace(broken.find(c.from), c.from.size(), c.to);
        test::WriteFileBytes(temp.path() / "result.json", broken);
        const RunFolder folder = ReadRunFolder(temp.path() / "result.json");
        EXPECT_FALSE(folder.run);
        EXPECT_NE(folder.problem.find(c.problem), std::string::npos) << folder.problem;
    }
    // A held result.json kept the running state; the final one went beside it, and counts.
    std::string finished = document;
    finished.replace(finished.find("\"status\":\"failed\""), 17, "\"status\":\"completed\"");
    std::string running = document;
    running.replace(running.find("\"status\":\"failed\""), 17, "\"status\":\"running\"");
    test::WriteFileBytes(run.options.report_dir / "result.json", running);
    test::WriteFileBytes(run.options.report_dir / "result-2.json", finished);
    EXPECT_EQ(ReadRunFolder(run.options.report_dir).run->status, "completed");
}

// Folders are found at any depth, each once however many links lead to it; a FIFO is never opened; an expected
// folder that is not there is missing; the program's own output is passed over, but not a node folder holding it.
TEST(ReadRunFolder, FindsEveryFolderOnce) {
    test::TempDir temp;
    const fs::path root = temp.path() / "screen";
    RunResult run = report_samples::FailedRunWithoutTelemetry();
    for (const char* folder : {"a/b/c/d/e/f/gpu0", "n1/gpu0"}) {
        run.options.report_dir = root / folder;
        fs::create_directories(run.options.report_dir);
        WriteReports(run);
    }
    fs::create_directory_symlink(root, root / "n1" / "loop");
    fs::create_directories(root / "fifo");
    ASSERT_EQ(mkfifo((root / "fifo" / "result.json").c_str(), 0600), 0);
    test::WriteFileBytes(root / "n1" / "fleet.csv", "an output put where it should not be");
    fs::create_directories(root / "out");
    test::WriteFileBytes(root / "out" / "fleet.csv", "");
    test::WriteFileBytes(root / "expected.txt", "# screen\nn1/gpu0\nn1/gpu1\n\nn2/gpu0\n");
    std::vector<std::string> found;
    for (const RunFolder& folder : FindRunFolders({root}))
        found.push_back(fs::path(folder.folder).lexically_relative(root).string() + (folder.run ? " run" : folder.missing ? " missing" : " unreadable"));
    EXPECT_EQ(found, (std::vector<std::string>{"a/b/c/d/e/f/gpu0 run", "fifo unreadable", "n1/gpu0 run",
                                               "n1/gpu1 missing", "n2/gpu0 missing"}));
    test::WriteFileBytes(root / "expected.txt", "../elsewhere/gpu0\n");
    EXPECT_EQ(test::ErrorOf([&] { FindRunFolders({root}); }),
              (root / "expected.txt").string() + ", line 1: not a run folder below this folder");
}

// A CSV line's fields (RFC 4180 quoting).
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (quoted && line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
        else if (line[i] == '"') quoted = !quoted;
        else if (line[i] == ',' && !quoted) fields.emplace_back();
        else fields.back() += line[i];
    }
    return fields;
}

// A fleet of simulated GPUs: one 10 % slow at its normal clock, one throttled to 1700 MHz, one that cannot be
// measured here, one folder that never got its reports, one GPU run twice, and a model of its own; then the
// command's refusals.
TEST_F(Commands, FleetFlagsTheSlowGpusWithTheirCauses) {
    const auto uuid = [](int i) { return "TESSMOR_SIM_DEVICE0_UUID=0000000000000000000000000000" + std::to_string(1000 + i); };
    Run("fleet/node3/gpu0", {uuid(5), "TESSMOR_SIM_TFLOPS=50"});  // an older run of node1/gpu5's GPU
    for (int i = 0; i < 6; ++i) Run("fleet/node1/gpu" + std::to_string(i), {uuid(i)});
    Run("fleet/node2/gpu0", {uuid(10), "TESSMOR_SIM_TFLOPS=90", "TESSMOR_SIM_TFLOPS_FP32=45"});
    Run("fleet/node2/gpu1", {uuid(11), "TESSMOR_SIM_NVML_CLOCK_DROP=1:1700"});
    Run("fleet/node2/gpu2", {uuid(12), "TESSMOR_SIM_DEVICE0_CC=8.0"});
    fs::create_directories(temp.path() / "fleet" / "node2" / "gpu3");
    Run("fleet/node3/gpu1", {uuid(20), "TESSMOR_SIM_DEVICE0_NAME=Other GPU", "TESSMOR_SIM_TFLOPS=50"});
    const fs::path fleet_dir = temp.path() / "fleet", out = temp.path() / "out";
    const test::ProcessResult fleet = Command({"fleet", fleet_dir.string(), "--output", out.string()});
    EXPECT_EQ(fleet.exit_code, 2) << fleet.err;
    std::map<std::string, std::string> verdicts;  // folder → "verdict,cause" of its first (worst) line
    std::vector<std::string> order;
    std::istringstream csv(test::ReadFileBytes(out / "fleet.csv"));
    std::string line;
    std::getline(csv, line);
    while (std::getline(csv, line)) {
        const std::vector<std::string> fields = CsvFields(line);
        const std::string folder = fs::path(fields.at(2)).lexically_relative(fleet_dir).string();
        if (verdicts.emplace(folder, fields.at(0) + "," + fields.at(1)).second) order.push_back(folder);
    }
    EXPECT_EQ(verdicts["node2/gpu0"], "fail,full clock");
    EXPECT_EQ(verdicts["node2/gpu1"], "warn,clock");
    EXPECT_TRUE(verdicts["node2/gpu2"].starts_with("incomplete,run failed: This build requires")) << verdicts["node2/gpu2"];
    EXPECT_TRUE(verdicts["node2/gpu3"].starts_with("unreadable,no result.json")) << verdicts["node2/gpu3"];
    EXPECT_TRUE(verdicts["node3/gpu0"].starts_with("superseded,")) << verdicts["node3/gpu0"];
    EXPECT_EQ(verdicts["node3/gpu1"], "alone,no other GPU of this model to compare with");
    for (const char* ok : {"node1/gpu0", "node1/gpu5"}) EXPECT_EQ(verdicts[ok], "ok,") << ok;
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4),
              (std::vector<std::string>{"node2/gpu0", "node2/gpu2", "node2/gpu3", "node2/gpu1"}));  // worst first
    EXPECT_NE(fleet.out.find("fail: 1  duplicate: 0  incomplete: 1  missing: 0  unreadable: 1  warn: 1  alone: 1  "
                             "unstable: 0  ok: 6  superseded: 1"), std::string::npos) << fleet.out;
    EXPECT_NE(fleet.out.find("page: " + (out / "fleet.html").string()), std::string::npos);
    EXPECT_EQ(test::ReadFileBytes(out / "nodes.csv"),
              "node,verdict,action,reason\nnode1,ok,none,\n"
              "node2,fail,drain,tessmor-bench: fail full clock GPU-00000000-0000-0000-0000-000000001010\n"
              "node3,alone,list,alone no other GPU of this model to compare with GPU-00000000-0000-0000-0000-000000001020\n");
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } refusals[] = {
        {{"fleet", fleet_dir.string(), "--output", out.string()}, out.string() + " exists already"},
        {{"fleet", fleet_dir.string(), "--output", (fleet_dir / "x").string()}, (fleet_dir / "x").string() + " is inside the input"},
        {{"fleet"}, "fleet takes one or more folders of runs"},
        {{"fleet", fleet_dir.string(), "--warn-below", "8"}, "--warn-below must be less than --fail-below"},
        {{"fleet", fleet_dir.string(), "--fail-below", "100"}, "--fail-below takes a percentage above 0 and below 100"},
        {{"fleet", fleet_dir.string(), "--bogus"}, "Unknown argument: --bogus"},
        {{"fleet", (temp.path() / "nowhere").string()}, (temp.path() / "nowhere").string() + ": no such folder"},
    };
    for (const auto& c : refusals) {
        const test::ProcessResult refused = Command(c.arguments);
        EXPECT_EQ(refused.exit_code, 1) << c.error;
        EXPECT_TRUE(refused.err.starts_with(c.error)) << refused.err;
    }
}

}  // namespace
}  // namespace fpbench
