// The real TessmorBench.exe on the simulated GPU, driven from another process as a person would, on a display and in
// a Wine prefix of its own (isolated_wine.sh). Nothing waits for time to pass: a run stops at chosen driver calls
// until the test lets it go on (TESSMOR_SIM_HOLD). Also the window mode's failures, in this process.
#include <windows.h>
#include <commctrl.h>  // after windows.h

#include <chrono>
#include <list>
#include <regex>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "bench/kernel_catalogue.h"
#include "test_support.h"
#include "ui/layout.h"
#include "ui/window_logic.h"
#include "ui/window_mode.h"

namespace fpbench::test {
namespace {

namespace fs = std::filesystem;
using platform::Utf8FromWide;
using platform::WideFromUtf8;
enum Child { kGpus = 3, kSizes = 5, kTrials = 7, kStart, kStop, kReports, kAbout, kStatus, kList = 14, kLog, kNote };
const std::wstring kReportsLine = L"报告 / Reports: ", kResultLine = L"结果目录 / Result folder: ";
const std::wstring kFinishing = L"正在结束当前批次并清理 / Finishing current batch and cleaning up…";
// A row's cells after N and accumulator, with the simulated clock, power and temperature.
const std::wstring kCells = L"\\|[0-9]+\\.[0-9]{2}\\|[0-9]+\\.[0-9]{2} – [0-9]+\\.[0-9]{2}\\|1800\\|250\\.0\\|65\\|通过 / PASS\\|\n";

template <typename Done> bool WaitFor(Done done) {  // for states the program certainly reaches
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2); !done(); Sleep(5))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}
LRESULT Send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {  // once handled; hung: fails
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, 60000, &result), LRESULT(result);
}
std::wstring TextOf(HWND window) {
    std::wstring text(std::size_t(Send(window, WM_GETTEXTLENGTH)) + 1, L'\0');
    return text.substr(0, std::size_t(Send(window, WM_GETTEXT, text.size(), LPARAM(text.data()))));
}
HWND TopLevel(const wchar_t* class_name, const wchar_t* title) {  // one program runs at a time
    HWND found = nullptr;
    return WaitFor([&] { return (found = FindWindowW(class_name, title)) != nullptr && IsWindowVisible(found); }), found;
}

class App {
public:
    // The program runs from a folder of its own, with its report root ("Reports") beside it; each of its runs stops
    // at every driver call in `holds` ("NAME:K") until the test lets it go on.
    explicit App(std::vector<std::string> env, const std::wstring& arguments = L"",
                 const std::vector<std::string>& holds = {}) {
        SetProcessDPIAware(), SetCursorPos(1, 1);  // off the window; (0, 0) is the system's start, so no move at all
        const std::string name = folder.path().filename().string();  // unique
        reached_ = CreateEventA(nullptr, FALSE, FALSE, (name + ".reached").c_str());
        release_ = CreateEventA(nullptr, FALSE, FALSE, (name + ".release").c_str());
        opened_ = CreateMailslotA(("\\\\.\\mailslot\\" + name).c_str(), 0, 60000, nullptr);
        std::string held;
        for (const std::string& hold : holds) held += (held.empty() ? "" : ",") + hold + ":" + name;
        env.insert(env.end(), {"TESSMOR_TEST_OPEN_SLOT=\\\\.\\mailslot\\" + name, "TESSMOR_SIM_HOLD=" + held});
        std::list<ScopedEnv> scoped;  // for the program only
        for (const std::string& entry : env) scoped.emplace_back(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
        const fs::path program = folder.path() / "TessmorBench.exe";
        fs::copy_file(BuildProgram("TessmorBench"), program);
        std::wstring command_line = L"\"" + program.wstring() + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.path().c_str(),
                            &startup, &process_)) return;
        main = TopLevel(L"TessmorBenchNativeWindow", nullptr);
        WaitForInputIdle(process_.hProcess, 60000);  // visible before it is laid out; ready once it waits for input
        Send(main, WM_NULL);
        for (HWND child = GetWindow(main, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
            controls.push_back(child);
    }
    ~App() {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
        ExitCode();
        for (HANDLE handle : {process_.hThread, process_.hProcess, reached_, release_, opened_}) CloseHandle(handle);
    }

    // Whether the run stops at its next held call, after Start or after going on from the last one.
    bool Start() const { return Click(kStart), WaitForSingleObject(reached_, 120000) == WAIT_OBJECT_0; }
    void Release() const { SetEvent(release_); }
    bool Continue() const { return Release(), WaitForSingleObject(reached_, 120000) == WAIT_OBJECT_0; }
    fs::path Opened() const {  // what the next "open" hands to the stand-in for the file browser
        wchar_t path[MAX_PATH] = {};
        DWORD bytes = 0;
        return ReadFile(opened_, path, sizeof(path), &bytes, nullptr) ? std::wstring(path, bytes / 2) : L"(none)";
    }
    DWORD ExitCode() const {
        DWORD code = STILL_ACTIVE;
        return WaitForSingleObject(process_.hProcess, 120000), GetExitCodeProcess(process_.hProcess, &code), code;
    }
    std::wstring Text(Child child) const { return TextOf(controls.at(child)); }
    bool Enabled(Child child) const { return IsWindowEnabled(controls.at(child)) != FALSE; }
    bool StatusBecomes(const std::wstring& text) const { return WaitFor([&] { return Text(kStatus) == text; }); }
    int RowCount() const { return int(Send(controls.at(kList), LVM_GETITEMCOUNT)); }
    fs::path RunFolder() const {  // as the log's first line names it
        return Text(kLog).substr(kReportsLine.size(), Text(kLog).find(L"\r\n") - kReportsLine.size());
    }
    // Each cell and "|", each row and a line feed; list-view pointers must point into the program's memory.
    std::wstring Rows() const {
        auto* remote = static_cast<wchar_t*>(VirtualAllocEx(process_.hProcess, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        std::wstring rows;
        for (int item = 0, count = RowCount(); item < count; ++item, rows += L"\n")
            for (int sub = 0; sub < int(ResultListColumns(96).size()); ++sub) {
                LVITEMW cell = {};
                cell.iSubItem = sub, cell.pszText = remote + 256, cell.cchTextMax = 256;
                WriteProcessMemory(process_.hProcess, remote, &cell, sizeof(cell), nullptr);
                std::wstring text(Send(controls.at(kList), LVM_GETITEMTEXTW, item, LPARAM(remote)), L'\0');
                ReadProcessMemory(process_.hProcess, cell.pszText, text.data(), 2 * text.size(), nullptr);
                rows += text + L"|";
            }
        VirtualFreeEx(process_.hProcess, remote, 0, MEM_RELEASE);
        return rows;
    }
    void Click(Child button) const { Send(controls.at(button), BM_CLICK); }
    void Choose(Child combo, int index) const {  // as the keyboard does, with the selection-change notice
        Send(controls.at(combo), WM_KEYDOWN, VK_HOME);
        for (int i = 0; i < index; ++i) Send(controls.at(combo), WM_KEYDOWN, VK_DOWN);
    }
    void Type(const std::wstring& text) const {
        Send(controls.at(kTrials), EM_SETSEL, 0, -1);
        for (wchar_t ch : L"\b" + text) Send(controls.at(kTrials), WM_CHAR, ch);
    }
    void Close() const { Send(main, WM_SYSCOMMAND, SC_CLOSE); }
    // The screen under the window once it has painted what is invalid after `redraw` (done when RedrawWindow returns;
    // it reaches the display on another connection, so until two reads agree), as "window-DPI-NAME.WxH.bgra".
    std::vector<char> Screenshot(const std::string& name, UINT redraw = RDW_INVALIDATE | RDW_ERASE) const {
        RECT area = {}, screen_area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        GetWindowRect(main, &area), IntersectRect(&area, &area, &screen_area);
        RedrawWindow(main, nullptr, nullptr, redraw | RDW_ALLCHILDREN | RDW_UPDATENOW), Send(main, WM_NULL);
        const LONG width = area.right - area.left, height = area.bottom - area.top;
        BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
        std::vector<char> last, pixels(4 * std::size_t(width * height));
        void* bits = nullptr;
        HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        SelectObject(memory, bitmap);
        for (int read = 0; read < 100 && (read < 2 || pixels != last); ++read) {
            last = pixels;
            BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
            GdiFlush();
            pixels.assign(static_cast<char*>(bits), static_cast<char*>(bits) + pixels.size());
        }
        DeleteDC(memory), DeleteObject(bitmap), ReleaseDC(nullptr, screen);
        if (const char* folder = std::getenv("TESSMOR_UI_SCREENSHOTS"); folder != nullptr && !name.empty())
            fs::create_directories(folder), WriteFileBytes(fs::path(folder) / ("window-" + std::to_string(GetDpiForSystem()) +
                "-" + name + "." + std::to_string(width) + "x" + std::to_string(height) + ".bgra"), {pixels.begin(), pixels.end()});
        return pixels;
    }

    TempDir folder;  // first in, last out: it outlives the process
    HWND main = nullptr;
    std::vector<HWND> controls;

private:
    PROCESS_INFORMATION process_ = {};
    HANDLE reached_ = nullptr, release_ = nullptr, opened_ = nullptr;
};

void ExpectResult(const fs::path& run_folder, std::initializer_list<std::string> parts) {  // valid JSON with parts
    const std::string json = ReadFileBytes(run_folder / "result.json");
    EXPECT_TRUE(IsJson(json)) << json;
    for (const std::string& part : parts) EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
}

// At 96 and 144 DPI. Runs stop before their first allocation and the second size's (the first's rows are posted).
TEST(Window, ControlsLayoutRunsResizingAndScreenshots) {
    App app({"TESSMOR_SIM_DEVICES=2", "TESSMOR_SIM_DEVICE0_NAME=NVIDIA GeForce RTX 2080 Ti", "TESSMOR_SIM_DEVICE0_CC=7.5",
             "TESSMOR_SIM_DEVICE1_NAME=NVIDIA GeForce RTX 3080"}, L"", {"cuMemAlloc_v2:1", "cuMemAlloc_v2:4"});
    const struct { const wchar_t* class_name; int id; const wchar_t* text; } controls[] = {
        {L"Static", 0, L"Tessmor Bench"},
        {L"Static", 0, L"整卡稠密矩阵乘法 · 分别测量 FP16 / FP32 累加\r\nWhole-GPU dense GEMM · FP16 inputs, two "
                       L"accumulation precisions"},
        {L"Static", 0, L"显卡 / GPU"}, {L"ComboBox", 103, L"1: NVIDIA GeForce RTX 3080  ·  84 SM"},
        {L"Static", 0, L"矩阵规模 / Matrix size"}, {L"ComboBox", 104, L"4096 + 8192 · 标准 / Standard"},
        {L"Static", 0, L"测量轮次 / Trials"}, {L"Edit", 105, L"7"}, {L"Button", 100, L"开始 / Start"},
        {L"Button", 101, L"停止 / Stop"}, {L"Button", 102, L"打开报告 / Reports"}, {L"Button", 106, L"关于 / About"},
        {L"Static", 0, L"准备就绪 / Ready"}, {L"msctls_progress32", 0, L""}, {L"SysListView32", 0, L""},
        {L"Edit", 0, L"无需安装 Python 或 CUDA Toolkit / No Python or CUDA Toolkit installation required.\r\n"},
        {L"Static", 0, L"按当前频率与负载测量；报告自动保存为 JSON / CSV。\r\nResults reflect current clocks and "
                       L"load. Reports are saved automatically."},
    };
    ASSERT_EQ(app.controls.size(), std::size(controls));
    // The window's start; each control as created, where the layout puts it (a closed drop-down keeps its font's
    // height).
    const int dpi = int(GetDpiForSystem());
    RECT work = {}, frame = {}, client = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(app.main, &frame), GetClientRect(app.main, &client);
    EXPECT_EQ((ControlRect{frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top}),
              InitialWindowRect({work.left, work.top, work.right - work.left, work.bottom - work.top}, dpi));
    const auto layout = PixelLayout(client.right, client.bottom, dpi);
    for (std::size_t i = 0; i < std::size(controls); ++i) {
        RECT at = {}; wchar_t name[64] = {};
        GetWindowRect(app.controls[i], &at), GetClassNameW(app.controls[i], name, 64);
        MapWindowPoints(nullptr, app.main, reinterpret_cast<POINT*>(&at), 2);
        const int height = i == kGpus || i == kSizes ? layout[i].height : at.bottom - at.top;
        EXPECT_EQ((ControlRect{at.left, at.top, at.right - at.left, height}), layout[i]) << i;
        EXPECT_EQ(lstrcmpiW(name, controls[i].class_name), 0) << i;
        EXPECT_EQ(GetDlgCtrlID(app.controls[i]), controls[i].id) << i;
        EXPECT_EQ(TextOf(app.controls[i]), controls[i].text) << i;
    }
    const auto columns = ResultListColumns(dpi);
    for (int i = 0; i < int(columns.size()); ++i) EXPECT_EQ(Send(app.controls[kList], LVM_GETCOLUMNWIDTH, i), columns.at(i).width) << i;

    // Every GPU is listed; the one below 8.6 is marked, not preselected, and cannot run, should a click on the
    // disabled Start get through. A bad trial count changes only the status line; letters are refused.
    wchar_t first[128] = {};
    Send(app.controls[kGpus], CB_GETLBTEXT, 0, LPARAM(first));
    EXPECT_EQ(first + (L"|" + std::to_wstring(Send(app.controls[kGpus], CB_GETCOUNT))),
              L"0: NVIDIA GeForce RTX 2080 Ti  ·  84 SM  (此版本不支持 / Unsupported)|2");
    app.Choose(kGpus, 0), app.Click(kStart);
    EXPECT_FALSE(app.Enabled(kStart));
    EXPECT_EQ(app.Text(kStatus), L"准备就绪 / Ready");
    app.Choose(kGpus, 1);
    EXPECT_TRUE(app.Enabled(kStart));
    for (const std::wstring typed : {L"0", L"51", L""}) {
        app.Type(typed), app.Click(kStart);
        EXPECT_EQ(app.Text(kStatus) + L"|" + app.Text(kTrials), L"轮次请输入 1～50 / Enter 1–50 trials|" + typed);
        EXPECT_TRUE(app.Enabled(kStart));
        EXPECT_EQ(app.Text(kLog), controls[kLog].text);
    }
    app.Type(L"3x");
    EXPECT_EQ(app.Text(kTrials), L"3");

    // A whole run: only Stop is on while it runs; both modes of both sizes arrive in order; the log names the new run
    // folder under the root beside the program, first and last; the reports name the GPU and trial count.
    ASSERT_TRUE(app.Start());
    for (Child child : {kStart, kGpus, kSizes, kTrials, kStop}) EXPECT_EQ(app.Enabled(child), child == kStop) << child;
    ASSERT_TRUE(app.Continue());
    app.Release();
    ASSERT_TRUE(app.StatusBecomes(L"测试完成，校验通过 / Completed, validation passed"));
    EXPECT_TRUE(app.Enabled(kStart));
    EXPECT_FALSE(app.Enabled(kStop));
    EXPECT_TRUE(std::regex_match(app.Rows(), std::wregex(L"4096\\|FP16" + kCells + L"4096\\|FP32" + kCells +
                                                         L"8192\\|FP16" + kCells + L"8192\\|FP32" + kCells)))
        << Utf8FromWide(app.Rows());
    const fs::path finished = app.RunFolder();
    EXPECT_EQ(finished.parent_path(), app.folder.path() / "Reports");
    EXPECT_TRUE(app.Text(kLog).ends_with(L"\r\n" + kResultLine + finished.wstring() + L"\r\n"));
    ExpectResult(finished, {"\"status\":\"completed\"", "\"name\":\"NVIDIA GeForce RTX 3080\"", "\"trials_per_mode\":3,"});
    app.Screenshot("finished");

    // Each Start empties the list and the log and takes a new folder. The modal About box does not hold up the rows.
    // Stop while the second size runs: the first size's rows stay.
    ASSERT_TRUE(app.Start());
    const fs::path stopped = app.RunFolder();
    EXPECT_EQ(app.RowCount(), 0);
    EXPECT_TRUE(app.Text(kLog).starts_with(kReportsLine));
    EXPECT_NE(stopped, finished);
    PostMessageW(app.controls[kAbout], BM_CLICK, 0, 0);  // the box is modal
    HWND box = TopLevel(L"#32770", L"关于 / About");
    EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)), AboutBoxText(KernelLicenceNotice()));
    ASSERT_TRUE(app.Continue());
    EXPECT_TRUE(WaitFor([&] { return app.RowCount() == 2; }));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    app.Click(kStop);
    EXPECT_EQ(app.Text(kStatus), kFinishing);
    EXPECT_FALSE(app.Enabled(kStop));
    EXPECT_FALSE(app.Enabled(kStart));
    app.Release();
    ASSERT_TRUE(app.StatusBecomes(L"已停止，资源已清理 / Stopped, resources cleaned up"));
    EXPECT_TRUE(app.Text(kLog).ends_with(L"\r\nCancelled by user\r\n" + kResultLine + stopped.wstring() + L"\r\n"));
    EXPECT_EQ(app.RowCount(), 2);
    ExpectResult(stopped, {"\"status\":\"cancelled\""});

    // Grown to the work area less 10 pixels each way, then maximised, the window shows what a repaint from scratch
    // draws: the controls that the layout moved (Start, Stop, Reports, About, the footnote) are drawn anew.
    SetWindowPos(app.main, nullptr, work.left + 10, work.top + 10, work.right - work.left - 20, work.bottom - work.top - 20,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    const std::vector<char> enlarged = app.Screenshot("enlarged", 0);
    EXPECT_TRUE(enlarged == app.Screenshot("", RDW_INVALIDATE | RDW_ERASE));
    Send(app.main, WM_SYSCOMMAND, SC_MAXIMIZE);
    const std::vector<char> maximised = app.Screenshot("maximised", 0);
    EXPECT_TRUE(maximised == app.Screenshot("", RDW_INVALIDATE | RDW_ERASE));

    // After a stop the next run starts (it reaches its first allocation); the small size's starts with 1024. Closing
    // during the run waits for it: the worker is joined and the run's reports end "cancelled".
    app.Choose(kSizes, 3);
    ASSERT_TRUE(app.Start());
    EXPECT_TRUE(WaitFor([&] { return app.Text(kLog).ends_with(L" 1024\r\n"); }));
    const fs::path closed = app.RunFolder();
    app.Close();
    EXPECT_TRUE(IsWindow(app.main));
    EXPECT_EQ(app.Text(kStatus), kFinishing);
    app.Release();
    EXPECT_EQ(app.ExitCode(), 0u);
    ExpectResult(closed, {"\"status\":\"cancelled\""});
}

// Before any run Reports opens the report root (created), not the --output directory; after one, that run's. A run
// that fails at once leaves the window ready for the next. Without a driver, Start stays off.
TEST(Window, ReportsAFailedRunAndNoDriver) {
    TempDir existing;
    App app({}, L"--output \"" + existing.path().wstring() + L"\"");
    app.Click(kReports);
    EXPECT_EQ(app.Opened(), app.folder.path() / "Reports");
    EXPECT_TRUE(fs::is_directory(app.folder.path() / "Reports"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        app.Click(kStart);
        ASSERT_TRUE(app.StatusBecomes(L"测试失败，请查看日志 / Test failed; see log"));
        EXPECT_EQ(app.Text(kLog), kReportsLine + existing.path().wstring() + L"\r\nReport directory already exists; "
                                  L"choose a fresh directory\r\n" + kResultLine + existing.path().wstring() + L"\r\n");
        EXPECT_TRUE(app.Enabled(kStart));
        EXPECT_TRUE(fs::is_empty(existing.path()));
    }
    app.Click(kReports);
    EXPECT_EQ(app.Opened(), existing.path());
    app.Close();
    EXPECT_EQ(app.ExitCode(), 0u);
    App without({"TESSMOR_SIM_NO_DRIVER=1"});
    EXPECT_EQ(without.Text(kStatus) + L"|" + without.Text(kLog),
              L"无法检测显卡 / GPU detection failed|NVIDIA CUDA driver not found. Install a compatible NVIDIA driver.\r\n");
    EXPECT_EQ(Send(without.controls[kGpus], CB_GETCOUNT), 0);
    EXPECT_FALSE(without.Enabled(kStart));
    without.Close();
    EXPECT_FALSE(IsWindow(without.main));
    EXPECT_EQ(without.ExitCode(), 0u);
}

// Window creation vetoed part-way by a computer-based-training hook, or a class already taken (the window mode leaves
// it registered, so the third case finds the second's): the error leaves the window mode with its own message after
// the shutdown, and no quit message that would close the entry's error box at once.
const wchar_t* refused_class = nullptr;

TEST(WindowModeFailure, ReportsWhatCouldNotBeCreated) {
    constexpr wchar_t kWindowClass[] = L"TessmorBenchNativeWindow";
    for (auto [refused, expected] : {std::pair{L"SysListView32", "Unable to create a window control"},
                                     {kWindowClass, "Unable to create application window"},
                                     {L"", "Unable to register window class"}}) {
        refused_class = refused;
        HHOOK hook = SetWindowsHookExW(WH_CBT, [](int code, WPARAM wparam, LPARAM lparam) -> LRESULT {
            wchar_t name[64] = {};
            const bool refuse = code == HCBT_CREATEWND && GetClassNameW(HWND(wparam), name, 64) && !lstrcmpiW(name, refused_class);
            return refuse ? 1 : CallNextHookEx(nullptr, code, wparam, lparam);
        }, nullptr, GetCurrentThreadId());
        const std::string message = ErrorOf([] { RunWindowMode(GetModuleHandleW(nullptr), SW_HIDE, RunOptions{}); });
        UnhookWindowsHookEx(hook);
        MSG quit = {};
        EXPECT_EQ(message + (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) ? " (quit left behind)" : ""),
                  expected);
        if (refused != kWindowClass) UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    }
}

}  // namespace
}  // namespace fpbench::test
