// Answers the program's error box for a test: waits for the top-level
// message box captioned "Tessmor Bench", prints its message text as UTF-8 on
// stdout followed by one '\n', and presses OK.
//
//   error_box_helper [timeout-seconds]      (default 20)
//
// Exit codes: 0 box answered, and it showed the error icon; 2 no box within
// the timeout; 3 box answered, but it showed no error icon; 4 the box did not
// close after OK was pressed.
//
// Under Wine the icon is recognised by reading the box back from the screen,
// so the box must not be covered by another window (an empty Xvfb display is
// fine).
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"Tessmor Bench";
constexpr wchar_t kDialogClass[] = L"#32770";
// Message boxes give their text control this id (Windows and Wine alike).
constexpr int kMessageTextId = 0xFFFF;
constexpr UINT kMessageTimeoutMs = 5000;

struct BoxControls {
    HWND text = nullptr;
    HWND icon = nullptr;
};

bool IsStatic(HWND control) {
    wchar_t name[32] = {};
    GetClassNameW(control, name, 32);
    return lstrcmpiW(name, L"Static") == 0;
}

BOOL CALLBACK CollectControl(HWND control, LPARAM context) {
    auto* found = reinterpret_cast<BoxControls*>(context);
    if (!IsStatic(control)) {
        return TRUE;
    }
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        if (IsWindowVisible(control)) {
            found->icon = control;
        }
    } else if (found->text == nullptr || GetDlgCtrlID(control) == kMessageTextId) {
        found->text = control;
    }
    return TRUE;
}

// WM_GETTEXT is marshalled across processes; the timeout keeps a hung box
// from hanging the test.
std::wstring ControlText(HWND control) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &length)) {
        return L"";
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
        return L"";
    }
    text.resize(copied);
    return text;
}

// Stock icons in the order they are told apart; the first is the one wanted.
constexpr WORD kStockIcons[] = {32513 /* IDI_ERROR */, 32515 /* IDI_WARNING */,
                                32516 /* IDI_INFORMATION */, 32514 /* IDI_QUESTION */};

// Top-down 32-bit pixels of a memory bitmap, drawn by `draw` into its DC.
template <typename Draw>
std::vector<DWORD> Pixels(int width, int height, Draw draw) {
    std::vector<DWORD> pixels;
    HDC memory = CreateCompatibleDC(nullptr);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (draw(memory, static_cast<DWORD*>(bits))) {
            GdiFlush();
            const DWORD* first = static_cast<const DWORD*>(bits);
            pixels.assign(first, first + static_cast<std::size_t>(width) * height);
        }
        SelectObject(memory, previous);
    }
    if (bitmap != nullptr) {
        DeleteObject(bitmap);
    }
    if (memory != nullptr) {
        DeleteDC(memory);
    }
    return pixels;
}

long Distance(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    long distance = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            distance += std::labs(static_cast<long>((a[i] >> shift) & 0xFF) -
                                  static_cast<long>((b[i] >> shift) & 0xFF));
        }
    }
    return distance;
}

// Whether the control shows IDI_ERROR rather than another stock icon or
// nothing: its pixels, read back from the screen, are compared with each stock
// icon drawn over the same background.
bool ScreenShowsErrorIcon(HWND icon_control) {
    RECT area = {};
    GetWindowRect(icon_control, &area);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    const std::vector<DWORD> shown = Pixels(width, height, [&](HDC memory, DWORD*) {
        HDC screen = GetDC(nullptr);
        const BOOL copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        ReleaseDC(nullptr, screen);
        return copied != FALSE;
    });
    if (shown.empty()) {
        return false;
    }
    const DWORD background = shown.front();  // a corner, outside every stock icon's shape
    long best = Distance(shown, std::vector<DWORD>(shown.size(), background));
    bool error_is_best = false;
    for (WORD id : kStockIcons) {
        const HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
        const std::vector<DWORD> drawn = Pixels(width, height, [&](HDC memory, DWORD* bits) {
            std::fill(bits, bits + static_cast<std::size_t>(width) * height, background);
            return DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL) != FALSE;
        });
        const long distance = drawn.empty() ? LONG_MAX : Distance(shown, drawn);
        if (distance < best) {
            best = distance;
            error_is_best = id == kStockIcons[0];
        }
    }
    return error_is_best;
}

bool ShowsErrorIcon(HWND icon_control) {
    if (icon_control == nullptr) {
        return false;
    }
    DWORD_PTR shown = 0;
    if (!SendMessageTimeoutW(icon_control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &shown) ||
        shown == 0) {
        return false;
    }
    // Where the system shares stock icon handles between processes the
    // handle says it all; elsewhere (Wine) only the pixels do.
    for (WORD id : kStockIcons) {
        if (reinterpret_cast<HICON>(shown) == LoadIconW(nullptr, MAKEINTRESOURCEW(id))) {
            return id == kStockIcons[0];
        }
    }
    // The box may not be painted yet when it first becomes visible.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (ScreenShowsErrorIcon(icon_control)) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

void WriteUtf8Line(const std::wstring& text) {
    std::string utf8;
    if (!text.empty()) {
        const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                               nullptr, 0, nullptr, nullptr);
        utf8.resize(length > 0 ? length : 0);
        if (length > 0) {
            WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                                length, nullptr, nullptr);
        }
    }
    utf8.push_back('\n');
    // WriteFile, not the C runtime, so that no text-mode translation touches
    // the bytes.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
}

HWND WaitForBox(ULONGLONG deadline) {
    for (;;) {
        HWND box = FindWindowW(kDialogClass, kCaption);
        // The box is shown only once its controls are filled in.
        if (box != nullptr && IsWindowVisible(box)) {
            return box;
        }
        if (GetTickCount64() >= deadline) {
            return nullptr;
        }
        Sleep(50);
    }
}

bool WaitUntilGone(HWND box, ULONGLONG deadline) {
    while (IsWindow(box)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long timeout_seconds = 20;
    if (argc > 1) {
        timeout_seconds = std::strtol(argv[1], nullptr, 10);
    }
    HWND box = WaitForBox(GetTickCount64() + static_cast<ULONGLONG>(timeout_seconds) * 1000);
    if (box == nullptr) {
        return 2;
    }

    BoxControls controls;
    EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&controls));
    WriteUtf8Line(controls.text != nullptr ? ControlText(controls.text) : L"");
    const bool error_icon = ShowsErrorIcon(controls.icon);

    // A posted command needs neither focus nor a visible cursor, unlike a
    // simulated click.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    if (!WaitUntilGone(box, GetTickCount64() + kMessageTimeoutMs)) {
        return 4;
    }
    return error_icon ? 0 : 3;
}
