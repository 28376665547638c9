// The real TessmorBench.exe on the simulated GPU, driven from another process
// as a person would: find the window and its controls, read them, click,
// type, pick list entries, close. Needs a display of its own
// (isolated_wine.sh, which also turns the screenshots into PNG files).
#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "app/text.h"
#include "test_support.h"
#include "ui/layout.h"

namespace fpbench::test {
namespace {

enum Child {
    kTitle, kSubtitle, kGpuLabel, kGpuCombo, kSizeLabel, kSizeCombo, kTrialsLabel, kTrialsEdit, kStartButton,
    kStopButton, kReportsButton, kAboutButton, kStatusLabel, kProgressBar, kResultsList, kLogEdit, kFootnote,
};

using Seconds = std::chrono::duration<double>;
constexpr wchar_t kFinishing[] = L"正在结束当前批次并清理 / Finishing current batch and cleaning up…";
constexpr wchar_t kReportsLine[] = L"报告 / Reports: ";
constexpr wchar_t kResultLine[] = L"结果目录 / Result folder: ";

bool WaitFor(const std::function<bool()>& done, Seconds limit = Seconds(90)) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !done(); Sleep(5))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// With a timeout, so that a hung window fails the test instead of hanging it.
LRESULT Send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND window) {
    std::wstring text(static_cast<std::size_t>(Send(window, WM_GETTEXTLENGTH)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]))));
    return text;
}

// A visible top-level window of a process (0: any) by class and title.
HWND WaitForTopLevel(DWORD process_id, const wchar_t* class_name, const wchar_t* title) {
    struct Search { DWORD process_id; const wchar_t* class_name; const wchar_t* title; HWND found; };
    Search search{process_id, class_name, title, nullptr};
    WaitFor([&] {
        EnumWindows([](HWND window, LPARAM context) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            wchar_t name[64] = {}, caption[128] = {};
            GetWindowThreadProcessId(window, &owner);
            GetClassNameW(window, name, 64);
            GetWindowTextW(window, caption, 128);
            if ((s.process_id == 0 || owner == s.process_id) && IsWindowVisible(window) &&
                lstrcmpiW(name, s.class_name) == 0 && (s.title == nullptr || lstrcmpW(caption, s.title) == 0))
                s.found = window;
            return s.found == nullptr;
        }, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
    }, Seconds(20));
    return search.found;
}

class App {
public:
    // The program runs from a folder of its own, so its report root
    // ("Reports" beside it) is private to the test.
    explicit App(const std::vector<std::string>& env = {}, const std::wstring& arguments = L"") {
        const std::filesystem::path program = folder.path() / "TessmorBench.exe";
        std::filesystem::copy_file(BuildProgram("TessmorBench"), program);
        std::vector<std::unique_ptr<ScopedEnv>> scoped;
        for (const std::string& entry : env)
            scoped.push_back(
                std::make_unique<ScopedEnv>(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1)));
        std::wstring command_line = L"\"" + program.wstring() + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                            folder.path().c_str(), &startup, &process_))
            return;
        main = WaitForTopLevel(process_.dwProcessId, L"TessmorBenchNativeWindow", nullptr);
        // Visible before it is laid out; ready once it waits for input.
        WaitForInputIdle(process_.hProcess, 10000);
        Send(main, WM_NULL);
        for (HWND child = GetWindow(main, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
            controls.push_back(child);
    }
    ~App() {
        if (process_.hProcess == nullptr) return;
        if (!WaitForExit(Seconds(0))) TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }

    std::wstring Text(Child child) const { return TextOf(controls.at(child)); }
    bool Enabled(Child child) const { return IsWindowEnabled(controls.at(child)) != FALSE; }
    bool StatusBecomes(const wchar_t* text) const { return WaitFor([&] { return Text(kStatusLabel) == text; }); }
    int RowCount() const { return static_cast<int>(Send(controls.at(kResultsList), LVM_GETITEMCOUNT)); }
    std::vector<std::wstring> Log() const {
        std::vector<std::wstring> lines;
        const std::wstring text = Text(kLogEdit);
        for (std::size_t at = 0, end; (end = text.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }
    std::filesystem::path RunFolder() const {
        for (const std::wstring& line : Log())
            if (line.rfind(kReportsLine, 0) == 0) return line.substr(std::size(kReportsLine) - 1);
        return {};
    }
    std::vector<std::wstring> GpuItems() const {
        std::vector<std::wstring> items(static_cast<std::size_t>(Send(controls.at(kGpuCombo), CB_GETCOUNT)));
        for (std::size_t i = 0; i < items.size(); ++i) {
            items[i].resize(static_cast<std::size_t>(Send(controls.at(kGpuCombo), CB_GETLBTEXTLEN, i)) + 1);
            items[i].resize(static_cast<std::size_t>(
                Send(controls.at(kGpuCombo), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&items[i][0]))));
        }
        return items;
    }
    // List-view cells travel through memory in the program's process: the
    // system does not copy their pointers between processes.
    std::vector<std::vector<std::wstring>> Rows() const {
        constexpr std::size_t kChars = 256;
        auto* remote = static_cast<char*>(VirtualAllocEx(process_.hProcess, nullptr, sizeof(LVITEMW) + 2 * kChars,
                                                         MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        std::vector<std::vector<std::wstring>> rows(static_cast<std::size_t>(RowCount()));
        for (std::size_t item = 0; item < rows.size(); ++item) {
            for (int sub = 0; sub < 8; ++sub) {
                LVITEMW cell = {};
                cell.iSubItem = sub;
                cell.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
                cell.cchTextMax = kChars;
                WriteProcessMemory(process_.hProcess, remote, &cell, sizeof(cell), nullptr);
                std::wstring text(static_cast<std::size_t>(Send(controls.at(kResultsList), LVM_GETITEMTEXTW, item,
                                                                reinterpret_cast<LPARAM>(remote))), L'\0');
                ReadProcessMemory(process_.hProcess, cell.pszText, &text[0], 2 * text.size(), nullptr);
                rows[item].push_back(text);
            }
        }
        VirtualFreeEx(process_.hProcess, remote, 0, MEM_RELEASE);
        return rows;
    }

    // Returns once the click has been handled.
    void Click(Child button) const { Send(controls.at(button), BM_CLICK); }
    // As the keyboard picks an entry: with the selection-change notice.
    void Choose(Child combo, int index) const {
        Send(controls.at(combo), WM_KEYDOWN, VK_HOME);
        for (int i = 0; i < index; ++i) Send(controls.at(combo), WM_KEYDOWN, VK_DOWN);
    }
    void Type(Child edit, const std::wstring& text) const {
        Send(controls.at(edit), EM_SETSEL, 0, -1);
        Send(controls.at(edit), WM_CHAR, VK_BACK);
        for (wchar_t ch : text) Send(controls.at(edit), WM_CHAR, ch);
    }
    // The box is modal, so the click is posted.
    HWND OpenAbout() const {
        PostMessageW(controls.at(kAboutButton), BM_CLICK, 0, 0);
        return WaitForTopLevel(process_.dwProcessId, L"#32770", L"关于 / About");
    }
    void Close() const { Send(main, WM_SYSCOMMAND, SC_CLOSE); }
    std::optional<DWORD> WaitForExit(Seconds limit = Seconds(90)) const {
        DWORD code = 0;
        if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(limit.count() * 1000)) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_.hProcess, &code))
            return std::nullopt;
        return code;
    }
    void Screenshot(const std::string& name, int dpi, HWND also = nullptr) const;

    TempDir folder;  // first in, last out: it outlives the process
    HWND main = nullptr;
    std::vector<HWND> controls;

private:
    PROCESS_INFORMATION process_ = {};
};

// The screen under the window (and `also`) as a 24-bit BMP file.
void App::Screenshot(const std::string& name, int dpi, HWND also) const {
    const char* folder_name = std::getenv("TESSMOR_UI_SCREENSHOTS");
    if (folder_name == nullptr) return;
    SetCursorPos(0, 0);  // nothing hovered
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(500);
    RECT area = {}, other = {};
    GetWindowRect(main, &area);
    if (also != nullptr && GetWindowRect(also, &other)) UnionRect(&area, &area, &other);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = area.right - area.left;
    info.biHeight = area.bottom - area.top;
    info.biPlanes = 1;
    info.biBitCount = 24;
    std::vector<char> pixels(static_cast<std::size_t>((info.biWidth * 3 + 3) & ~3) * info.biHeight);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, info.biWidth, info.biHeight);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, info.biWidth, info.biHeight, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);
    GetDIBits(memory, bitmap, 0, info.biHeight, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    std::filesystem::create_directories(folder_name);
    const std::string file_name = "window-" + std::to_string(dpi) + "-" + name + ".bmp";
    std::ofstream out(std::filesystem::path(folder_name) / file_name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&info), sizeof(info));
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
}

std::string ResultStatus(const std::filesystem::path& run_folder) {
    std::smatch match;
    const std::string json = ReadFileBytes(run_folder / "result.json");
    return std::regex_search(json, match, std::regex("\"status\":\"([a-z]+)\"")) ? match[1].str() : "";
}

// The system's file browser showing a folder of that name, closed again.
bool CloseFolderWindow(const std::wstring& folder_name) {
    HWND browser = WaitForTopLevel(0, L"ExplorerWClass", folder_name.c_str());
    return browser != nullptr && PostMessageW(browser, WM_CLOSE, 0, 0);
}

TEST(Window, ControlsTheSupportRuleAndTheTrialsBox) {
    App app({"TESSMOR_SIM_DEVICES=2", "TESSMOR_SIM_DEVICE0_NAME=NVIDIA GeForce RTX 2080 Ti",
             "TESSMOR_SIM_DEVICE0_CC=7.5", "TESSMOR_SIM_DEVICE1_NAME=NVIDIA GeForce RTX 3080"});
    ASSERT_EQ(app.controls.size(), 17u);
    const struct { const wchar_t* class_name; int id; const wchar_t* text; } expected[17] = {
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
    for (int i = 0; i < 17; ++i) {
        wchar_t name[64] = {};
        GetClassNameW(app.controls[i], name, 64);
        EXPECT_EQ(lstrcmpiW(name, expected[i].class_name), 0) << i;
        EXPECT_EQ(GetDlgCtrlID(app.controls[i]), expected[i].id) << i;
        EXPECT_EQ(TextOf(app.controls[i]), expected[i].text) << i;
    }

    // The GPU below 8.6 is listed and marked, not preselected, and cannot run.
    EXPECT_EQ(app.GpuItems()[0], L"0: NVIDIA GeForce RTX 2080 Ti  ·  84 SM  (此版本不支持 / Unsupported)");
    EXPECT_TRUE(app.Enabled(kStartButton));
    EXPECT_FALSE(app.Enabled(kStopButton));
    app.Choose(kGpuCombo, 0);
    EXPECT_FALSE(app.Enabled(kStartButton));
    app.Click(kStartButton);  // refused, should the click get through
    EXPECT_EQ(app.Text(kStatusLabel), L"准备就绪 / Ready");
    app.Choose(kGpuCombo, 1);
    EXPECT_TRUE(app.Enabled(kStartButton));

    // Bad trial counts change only the status line; typed letters are refused.
    for (const wchar_t* typed : {L"0", L"51", L""}) {
        app.Type(kTrialsEdit, typed);
        app.Click(kStartButton);
        EXPECT_EQ(app.Text(kStatusLabel), L"轮次请输入 1～50 / Enter 1–50 trials") << Utf8FromWide(typed);
        EXPECT_TRUE(app.Enabled(kStartButton));
        EXPECT_EQ(app.Log().size(), 1u);
    }
    app.Type(kTrialsEdit, L"3x");
    EXPECT_EQ(app.Text(kTrialsEdit), L"3");

    // The small size, three trials, on the supported GPU.
    app.Choose(kSizeCombo, 3);
    app.Click(kStartButton);
    ASSERT_TRUE(app.StatusBecomes(L"测试完成，校验通过 / Completed, validation passed"));
    const auto rows = app.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0] + rows[1][0], L"10241024");
    const std::string json = ReadFileBytes(app.RunFolder() / "result.json");
    EXPECT_NE(json.find("\"name\":\"NVIDIA GeForce RTX 3080\""), std::string::npos);
    EXPECT_NE(json.find("\"trials_per_mode\":3,"), std::string::npos);
    app.Close();
    EXPECT_EQ(app.WaitForExit(), 0u);
}

// Run at 96 and 144 DPI.
TEST(Window, LayoutRunAndScreenshots) {
    SetProcessDPIAware();
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    App app;
    ASSERT_EQ(app.controls.size(), 17u);
    RECT work = {}, frame = {}, client = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(app.main, &frame);
    EXPECT_EQ((ControlRect{frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top}),
              InitialWindowRect({work.left, work.top, work.right - work.left, work.bottom - work.top}, dpi));
    // Every control where the layout puts it (a closed drop-down list keeps
    // the height of its font).
    GetClientRect(app.main, &client);
    const auto layout = PixelLayout(client.right, client.bottom, dpi);
    for (std::size_t i = 0; i < kControlCount; ++i) {
        RECT at = {};
        GetWindowRect(app.controls[i], &at);
        MapWindowPoints(nullptr, app.main, reinterpret_cast<POINT*>(&at), 2);
        const int height = i == kGpuCombo || i == kSizeCombo ? layout[i].height : at.bottom - at.top;
        EXPECT_EQ((ControlRect{at.left, at.top, at.right - at.left, height}), layout[i]) << i;
    }
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Send(app.controls[kResultsList], LVM_GETCOLUMNWIDTH, i), ColumnWidths(dpi)[i]) << i;
    app.Screenshot("idle", dpi);

    app.Click(kStartButton);
    for (Child off : {kStartButton, kGpuCombo, kSizeCombo, kTrialsEdit}) EXPECT_FALSE(app.Enabled(off)) << off;
    EXPECT_TRUE(app.Enabled(kStopButton));
    ASSERT_TRUE(app.StatusBecomes(L"测试完成，校验通过 / Completed, validation passed"));
    EXPECT_TRUE(app.Enabled(kStartButton));
    EXPECT_FALSE(app.Enabled(kStopButton));
    // Both rows of both sizes in the order they finished, with the simulated
    // clock, power and temperature.
    const auto rows = app.Rows();
    ASSERT_EQ(rows.size(), 4u);
    const std::wregex numbers(L"[0-9]+\\.[0-9]{2} [0-9]+\\.[0-9]{2} – [0-9]+\\.[0-9]{2}");
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i][0] + rows[i][1], std::wstring(i < 2 ? L"4096" : L"8192") + (i % 2 ? L"FP32" : L"FP16"));
        EXPECT_TRUE(std::regex_match(rows[i][2] + L" " + rows[i][3], numbers)) << Utf8FromWide(rows[i][3]);
        EXPECT_EQ(rows[i][4] + L"|" + rows[i][5] + L"|" + rows[i][6] + L"|" + rows[i][7], L"1800|250.0|65|通过 / PASS");
    }
    // The log names the new run folder under the root beside the program,
    // first and last; the reports there are complete.
    const std::filesystem::path run_folder = app.RunFolder();
    EXPECT_EQ(run_folder.parent_path(), app.folder.path() / "Reports");
    EXPECT_EQ(app.Log().back(), kResultLine + run_folder.wstring());
    EXPECT_EQ(ResultStatus(run_folder), "completed");
    app.Screenshot("finished", dpi);

    HWND box = app.OpenAbout();
    ASSERT_NE(box, nullptr);
    const std::wstring about = TextOf(GetDlgItem(box, 0xFFFF));
    EXPECT_EQ(about.rfind(L"Tessmor Bench 1.0\r\n\r\nWindows + NVIDIA 驱动即可运行。\r\n", 0), 0u);
    EXPECT_NE(about.find(L"tutorial.\r\n\r\n/*\n"), std::wstring::npos);
    app.Screenshot("about", dpi, box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    app.Close();
    EXPECT_EQ(app.WaitForExit(), 0u);
}

TEST(Window, StopThenAboutAndCloseDuringRuns) {
    App app;
    // Stop while the second size runs: the first size's rows stay.
    app.Click(kStartButton);
    ASSERT_TRUE(WaitFor([&] { return app.RowCount() >= 2; }));
    app.Click(kStopButton);
    EXPECT_EQ(app.Text(kStatusLabel), kFinishing);
    EXPECT_FALSE(app.Enabled(kStopButton));
    EXPECT_FALSE(app.Enabled(kStartButton));
    ASSERT_TRUE(app.StatusBecomes(L"已停止，资源已清理 / Stopped, resources cleaned up"));
    EXPECT_EQ(app.RowCount(), 2);
    const std::filesystem::path stopped = app.RunFolder();
    const auto log = app.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 2] + L"|" + log.back(), L"Cancelled by user|" + (kResultLine + stopped.wstring()));
    EXPECT_EQ(ResultStatus(stopped), "cancelled");

    // A second run starts from an empty list and log, in a new folder; the
    // modal About box does not hold up its rows.
    app.Click(kStartButton);
    EXPECT_EQ(app.RowCount(), 0);
    EXPECT_EQ(app.Log().front().rfind(kReportsLine, 0), 0u);
    const std::filesystem::path second = app.RunFolder();
    EXPECT_NE(second, stopped);
    HWND box = app.OpenAbout();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(WaitFor([&] { return app.RowCount() >= 2; }));
    EXPECT_TRUE(IsWindow(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));

    // Closing during the run waits for it: the worker is joined and the
    // run's reports end "cancelled".
    app.Close();
    EXPECT_TRUE(IsWindow(app.main));
    EXPECT_EQ(app.Text(kStatusLabel), kFinishing);
    EXPECT_EQ(app.WaitForExit(), 0u);
    EXPECT_EQ(ResultStatus(second), "cancelled");
}

TEST(Window, ARunThatFailsAtOnceLeavesTheWindowUsable) {
    TempDir existing;
    App app({}, L"--output \"" + existing.path().wstring() + L"\"");
    // Before any run, Reports opens (creating it) the report root, not the
    // directory the command line named; after one, that run's directory.
    app.Click(kReportsButton);
    EXPECT_TRUE(std::filesystem::is_directory(app.folder.path() / "Reports"));
    EXPECT_TRUE(CloseFolderWindow(L"Reports"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        app.Click(kStartButton);
        ASSERT_TRUE(app.StatusBecomes(L"测试失败，请查看日志 / Test failed; see log"));
        EXPECT_EQ(app.Log(), (std::vector<std::wstring>{kReportsLine + existing.path().wstring(),
                                                        L"Report directory already exists; choose a fresh directory",
                                                        kResultLine + existing.path().wstring()}));
        EXPECT_TRUE(app.Enabled(kStartButton));
    }
    EXPECT_TRUE(std::filesystem::is_empty(existing.path()));
    app.Click(kReportsButton);
    EXPECT_TRUE(CloseFolderWindow(existing.path().filename().wstring()));
    app.Close();
    EXPECT_EQ(app.WaitForExit(), 0u);
}

TEST(Window, WithoutADriverDetectionFailsAndStartStaysOff) {
    App app({"TESSMOR_SIM_NO_DRIVER=1"});
    EXPECT_EQ(app.Text(kStatusLabel), L"无法检测显卡 / GPU detection failed");
    EXPECT_EQ(app.Log(),
              std::vector<std::wstring>{L"NVIDIA CUDA driver not found. Install a compatible NVIDIA driver."});
    EXPECT_TRUE(app.GpuItems().empty());
    EXPECT_FALSE(app.Enabled(kStartButton));
    app.Close();
    EXPECT_FALSE(IsWindow(app.main));
    EXPECT_EQ(app.WaitForExit(), 0u);
}

}  // namespace
}  // namespace fpbench::test
