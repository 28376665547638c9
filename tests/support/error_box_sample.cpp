// Shows one box the way the program's error handler does, so that
// error_box_helper can be tested on its own.
//
//   error_box_sample [--no-icon | --warning-icon] [text]
//
// Exit code 0 when the box was closed with OK, 1 otherwise.
#include <windows.h>
#include <shellapi.h>

#include <string>

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    UINT icon = MB_ICONERROR;
    std::wstring text = L"Missing argument";
    for (int i = 1; arguments != nullptr && i < count; ++i) {
        const std::wstring argument = arguments[i];
        if (argument == L"--no-icon") {
            icon = 0;
        } else if (argument == L"--warning-icon") {
            icon = MB_ICONWARNING;
        } else {
            text = argument;
        }
    }
    LocalFree(arguments);
    const int answer =
        MessageBoxW(nullptr, text.c_str(), L"Tessmor Bench", MB_OK | icon);
    return answer == IDOK ? 0 : 1;
}
