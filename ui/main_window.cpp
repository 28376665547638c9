#include "ui/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <stdexcept>

#include "app/report_paths.h"
#include "platform/platform.h"
#include "bench/kernel_catalogue.h"
#include "gpu/devices.h"
#include "ui/window_logic.h"
#include "ui/window_texts.h"

namespace fpbench {
namespace {

constexpr int kStartId = 100;
constexpr int kStopId = 101;
constexpr int kReportsId = 102;
constexpr int kGpuListId = 103;
constexpr int kSizeListId = 104;
constexpr int kTrialsId = 105;
constexpr int kAboutId = 106;

constexpr COLORREF kTextColour = RGB(35, 49, 69);

struct ControlDefinition {
    const wchar_t* class_name;
    const wchar_t* text;
    DWORD style;  // besides WS_CHILD | WS_VISIBLE
    int id;
    DWORD ex_style;
};

// In WindowControl order, which is also the Tab order.
constexpr std::array<ControlDefinition, kControlCount> kControls{{
    {L"STATIC", texts::kTitle, 0, 0, 0},
    {L"STATIC", texts::kSubtitle, 0, 0, 0},
    {L"STATIC", texts::kGpuLabel, 0, 0, 0},
    {L"ComboBox", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kGpuListId, 0},
    {L"STATIC", texts::kSizeLabel, 0, 0, 0},
    {L"ComboBox", L"", CBS_DROPDOWNLIST | WS_TABSTOP, kSizeListId, 0},
    {L"STATIC", texts::kTrialsLabel, 0, 0, 0},
    {L"EDIT", texts::kDefaultTrials, ES_NUMBER | WS_BORDER | WS_TABSTOP, kTrialsId, WS_EX_CLIENTEDGE},
    {L"BUTTON", texts::kStart, BS_DEFPUSHBUTTON | WS_TABSTOP, kStartId, 0},
    {L"BUTTON", texts::kStop, BS_PUSHBUTTON | WS_TABSTOP, kStopId, 0},
    {L"BUTTON", texts::kReports, BS_PUSHBUTTON | WS_TABSTOP, kReportsId, 0},
    {L"BUTTON", texts::kAbout, BS_PUSHBUTTON | WS_TABSTOP, kAboutId, 0},
    {L"STATIC", texts::kDetecting, 0, 0, 0},
    {L"msctls_progress32", L"", PBS_MARQUEE, 0, 0},
    {L"SysListView32", L"", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 0, WS_EX_CLIENTEDGE},
    {L"EDIT", L"", ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL, 0, WS_EX_CLIENTEDGE},
    {L"STATIC", texts::kFootnote, 0, 0, 0},
}};

MainWindow* WindowOf(HWND hwnd) { return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

void Attach(HWND hwnd, LPARAM create_struct) {
    auto* window = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(create_struct)->lpCreateParams);
    window->hwnd = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
}

template <typename T>
std::unique_ptr<T> TakePayload(LPARAM lparam) {
    return std::unique_ptr<T>(reinterpret_cast<T*>(lparam));
}

HFONT MakeFont(int height, int weight, const wchar_t* face, int dpi) {
    return CreateFontW(-MulDivRound(height, dpi, 96), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, face);
}

HWND CreateControl(MainWindow& window, const ControlDefinition& definition) {
    HWND control = CreateWindowExW(definition.ex_style, definition.class_name, definition.text,
                                   definition.style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window.hwnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(definition.id)),
                                   GetModuleHandleW(nullptr), nullptr);
    if (control == nullptr) throw std::runtime_error("Unable to create a window control");
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(window.body_font.get()), TRUE);
    return control;
}

void FillSizeList(HWND combo) {
    for (const texts::SizeChoice& choice : texts::kSizeChoices)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice.label));
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
}

void SetUpResultsList(HWND list, int dpi) {
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    std::vector<ListColumn> columns = ResultListColumns(dpi);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.cx = columns[i].width;
        column.pszText = columns[i].header.data();
        column.iSubItem = i;
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
}

// Device discovery never ends the program: a failure only leaves Start off.
void FillGpuList(MainWindow& window) {
    try {
        window.devices = EnumerateDevices();
        const GpuChoices choices = ListGpuChoices(window.devices);
        HWND combo = window.Control(WindowControl::GpuCombo);
        for (const std::wstring& entry : choices.entries)
            SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        if (choices.selection) {
            SendMessageW(combo, CB_SETCURSEL, *choices.selection, 0);
            EnableWindow(window.Control(WindowControl::StartButton), TRUE);
            SetStatus(window, texts::kReady);
        } else {
            SetStatus(window, texts::kNeedsSm86);
        }
        AppendLog(window, texts::kNothingToInstall);
    } catch (const std::exception& error) {
        SetStatus(window, texts::kDetectionFailed);
        AppendLog(window, platform::WideFromUtf8(error.what()));
    }
}

void CreateControls(MainWindow& window) {
    HDC dc = GetDC(window.hwnd);
    window.dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(window.hwnd, dc);
    window.body_font.reset(MakeFont(14, FW_NORMAL, texts::kBodyFace, window.dpi));
    window.title_font.reset(MakeFont(27, FW_SEMIBOLD, texts::kTitleFace, window.dpi));

    for (std::size_t i = 0; i < kControlCount; ++i) {
        HWND control = window.controls[i] = CreateControl(window, kControls[i]);
        switch (static_cast<WindowControl>(i)) {
            case WindowControl::Title:
                SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(window.title_font.get()), TRUE);
                break;
            case WindowControl::SizeCombo: FillSizeList(control); break;
            case WindowControl::ResultsList: SetUpResultsList(control, window.dpi); break;
            default: break;
        }
    }

    EnableWindow(window.Control(WindowControl::StartButton), FALSE);
    EnableWindow(window.Control(WindowControl::StopButton), FALSE);
    FillGpuList(window);
}

void LayoutControls(MainWindow& window, int width, int height) {
    const auto rects = PixelLayout(width, height, window.dpi);
    for (std::size_t i = 0; i < kControlCount; ++i)
        MoveWindow(window.controls[i], rects[i].x, rects[i].y, rects[i].width, rects[i].height, TRUE);
    // A moved control may keep pixels copied from where it stood, and the
    // window system (Wine among others) may consider them valid; only a
    // repaint of everything leaves nothing stale after the window grows.
    RedrawWindow(window.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void AddResultRow(MainWindow& window, const Row& row) {
    HWND list = window.Control(WindowControl::ResultsList);
    const int k = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::wstring> cells = ResultRowTexts(row);
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = k;
    item.pszText = cells[0].data();
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    for (int sub = 1; sub < static_cast<int>(cells.size()); ++sub) {
        item.iSubItem = sub;
        item.pszText = cells[sub].data();
        SendMessageW(list, LVM_SETITEMTEXTW, k, reinterpret_cast<LPARAM>(&item));
    }
}

void OnWorkerStatus(MainWindow& window, const std::wstring& text) {
    if (window.run.StatusLineFollowsWorker()) SetStatus(window, text.c_str());
    AppendLog(window, text);
}

void OnClose(MainWindow& window) {
    if (window.run.RequestClose() == CloseAction::DestroyNow) {
        DestroyWindow(window.hwnd);
        return;
    }
    OnStop(window);
}

void OnGpuSelection(MainWindow& window) {
    if (window.run.Running()) return;
    const auto index = SendMessageW(window.Control(WindowControl::GpuCombo), CB_GETCURSEL, 0, 0);
    EnableWindow(window.Control(WindowControl::StartButton), CanStartOn(window.devices, index));
}

void ShowAbout(MainWindow& window) {
    const std::wstring text = AboutBoxText(KernelLicenceNotice());
    MessageBoxW(window.hwnd, text.c_str(), texts::kAboutCaption, MB_OK | MB_ICONINFORMATION);
}

// Without a root the error leaves the handler and ends the program with the
// error box: there is nowhere to open. The root is made here, so that there
// is a folder to open before the first run.
void OpenReportFolder(MainWindow& window) {
    std::filesystem::path folder = window.last_report_dir;
    if (folder.empty()) {
        folder = ReportRoot();
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
    }
    ShellExecuteW(window.hwnd, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool OnCommand(MainWindow& window, int id, int code) {
    switch (id) {
        case kStartId: OnStart(window); return true;
        case kStopId: OnStop(window); return true;
        case kReportsId: OpenReportFolder(window); return true;
        case kGpuListId:
            if (code == CBN_SELCHANGE) OnGpuSelection(window);
            return true;
        case kAboutId: ShowAbout(window); return true;
        default: return false;
    }
}

void EraseBackground(MainWindow& window, HDC dc) {
    RECT client = {};
    GetClientRect(window.hwnd, &client);
    FillRect(dc, &client, window.background_brush.get());
}

LRESULT ColourStatic(MainWindow& window, HDC dc) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kTextColour);
    return reinterpret_cast<LRESULT>(window.background_brush.get());
}

void SetMinimumTrackSize(MainWindow& window, MINMAXINFO* info) {
    const WindowSize minimum = MinimumWindowSize(window.dpi);
    info->ptMinTrackSize.x = minimum.width;
    info->ptMinTrackSize.y = minimum.height;
}

// The error is kept for the window mode, which rethrows it after the
// shutdown; a quit message also ends a modal loop (the About box) at once.
// The shutdown discards whatever is left in the queue, the quit included.
LRESULT RecordFailure(MainWindow& window, UINT message) {
    window.failure = std::current_exception();
    PostQuitMessage(0);
    return message == WM_CREATE ? -1 : 0;
}

}  // namespace

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) Attach(hwnd, lparam);
    MainWindow* window = WindowOf(hwnd);
    if (window == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
    if (window->failure) {
        DiscardPayload(message, lparam);
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    try {
        switch (message) {
            case WM_CREATE: CreateControls(*window); return 0;
            case WM_DESTROY: PostQuitMessage(0); return 0;
            case WM_SIZE: LayoutControls(*window, LOWORD(lparam), HIWORD(lparam)); return 0;
            case WM_CLOSE: OnClose(*window); return 0;
            case WM_ERASEBKGND: EraseBackground(*window, reinterpret_cast<HDC>(wparam)); return 1;
            case WM_GETMINMAXINFO: SetMinimumTrackSize(*window, reinterpret_cast<MINMAXINFO*>(lparam)); return 0;
            case WM_COMMAND:
                if (OnCommand(*window, LOWORD(wparam), HIWORD(wparam))) return 0;
                break;
            case WM_CTLCOLORSTATIC: return ColourStatic(*window, reinterpret_cast<HDC>(wparam));
            case WM_APP_STATUS: OnWorkerStatus(*window, *TakePayload<std::wstring>(lparam)); return 0;
            case WM_APP_ROW: AddResultRow(*window, *TakePayload<Row>(lparam)); return 0;
            case WM_APP_FINISHED: OnRunFinished(*window, *TakePayload<FinishedRun>(lparam)); return 0;
            case WM_NCDESTROY: SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0); break;
            default: break;
        }
    } catch (...) {
        return RecordFailure(*window, message);
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

void DiscardPayload(UINT message, LPARAM lparam) {
    switch (message) {
        case WM_APP_STATUS: TakePayload<std::wstring>(lparam); break;
        case WM_APP_ROW: TakePayload<Row>(lparam); break;
        case WM_APP_FINISHED: TakePayload<FinishedRun>(lparam); break;
        default: break;
    }
}

void AppendLog(MainWindow& window, const std::wstring& line) {
    HWND log = window.Control(WindowControl::LogEdit);
    const std::wstring text = line + L"\r\n";
    SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

void SetRunning(MainWindow& window, bool on) {
    for (WindowControl control : {WindowControl::StartButton, WindowControl::GpuCombo, WindowControl::SizeCombo,
                                  WindowControl::TrialsEdit})
        EnableWindow(window.Control(control), !on);
    EnableWindow(window.Control(WindowControl::StopButton), on);
    SendMessageW(window.Control(WindowControl::ProgressBar), PBM_SETMARQUEE, on, 30);
}

void SetStatus(MainWindow& window, const wchar_t* text) {
    SetWindowTextW(window.Control(WindowControl::StatusLabel), text);
}

}  // namespace fpbench
