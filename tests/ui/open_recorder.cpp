// Stands in for the file browser in the window tests' Wine prefix, where "open" of a folder runs it: it hands the
// folder to the test through the mailslot that TESSMOR_TEST_OPEN_SLOT names, and shows nothing.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    wchar_t slot[MAX_PATH] = {};
    DWORD written = 0;
    HANDLE out = GetEnvironmentVariableW(L"TESSMOR_TEST_OPEN_SLOT", slot, MAX_PATH) == 0 ? INVALID_HANDLE_VALUE
        : CreateFileW(slot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return argc == 2 && WriteFile(out, argv[1], DWORD(2 * lstrlenW(argv[1])), &written, nullptr) ? 0 : 1;
}
