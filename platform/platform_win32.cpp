// Windows implementation of the platform layer.
#include "platform/platform.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <commctrl.h>

// <windows.h> maps ReplaceFile to ReplaceFileW; ours is a different function.
#undef ReplaceFile

#include <algorithm>
#include <climits>
#include <vector>

namespace fpbench::platform {

LibraryHandle LoadGpuLibrary(GpuLibrary which) {
    const wchar_t* name = which == GpuLibrary::CudaDriver ? L"nvcuda.dll" : L"nvml.dll";
    // The system directory only: a DLL planted beside the program or in the
    // working directory must never be picked up.
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* LookupSymbol(LibraryHandle library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeGpuLibrary(LibraryHandle library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

std::string Utf8FromWide(std::wstring_view text) {
    // Lengths are ints in this API; longer texts are not converted rather
    // than cut at an arbitrary place.
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    return out;
}

std::filesystem::path PathFromWide(const std::wstring& text) { return std::filesystem::path(text); }

std::optional<std::filesystem::path> ExecutablePath() {
    constexpr DWORD kCapacity = 32768;
    std::vector<wchar_t> buffer(kCapacity);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kCapacity);
    if (length == 0 || length >= kCapacity) return std::nullopt;  // failed, or cut
    return std::filesystem::path(std::wstring(buffer.data(), length));
}

std::optional<std::filesystem::path> LocalAppDataFolder() {
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        CoTaskMemFree(folder);
        return std::nullopt;
    }
    std::filesystem::path result(folder);
    CoTaskMemFree(folder);
    return result;
}

UtcTime CurrentUtcTime() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return UtcTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
    // Opening a folder needs backup semantics; no access is asked for, so
    // nothing is locked or read.
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    const DWORD type = GetFileType(file);
    CloseHandle(file);
    if (!known) return std::nullopt;
    const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                        !directory && type == FILE_TYPE_DISK, directory};
}

std::optional<FolderListing> ListFolder(const std::filesystem::path& folder) {
    std::optional<FileIdentity> identity = IdentityOf(folder);
    if (!identity || !identity->directory) return std::nullopt;
    FolderListing listing{*identity, {}};
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return listing;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        FolderEntry& entry = listing.entries.emplace_back();
        entry.name = name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            // A link or junction: what it leads to.
            const std::optional<FileIdentity> target = IdentityOf(folder / entry.name);
            entry.regular_file = target && target->regular_file, entry.directory = target && target->directory;
        } else {
            entry.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            entry.regular_file = !entry.directory;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return listing;
}

bool IsWritableDirectory(const std::filesystem::path& folder) {
    // Windows has no cheap question for this (ACLs, read-only media): a
    // file that deletes itself on close answers it.
    const std::filesystem::path probe = folder / (L".tessmor-write-" + std::to_wstring(GetCurrentProcessId()));
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::optional<std::size_t> ReadFileInto(const std::filesystem::path& file, std::string& bytes, std::size_t padding) {
    constexpr std::size_t kChunk = 64 * 1024;
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    std::size_t size = 0;
    for (DWORD got = 1; got > 0; size += got) {
        if (bytes.size() < size + kChunk + padding) bytes.resize(size + kChunk + padding);
        if (!ReadFile(handle, bytes.data() + size, static_cast<DWORD>(kChunk), &got, nullptr)) got = 0;
    }
    CloseHandle(handle);
    return size;
}

bool RewriteFileInPlace(const std::filesystem::path& target, std::string_view bytes) {
    // CREATE_ALWAYS truncates an existing file; the sharing admits the
    // reader that keeps the old one from being replaced.
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool written = true;
    for (std::size_t at = 0; written && at < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
        DWORD done = 0;
        written = WriteFile(file, bytes.data() + at, chunk, &done, nullptr) && done == chunk;
        at += done;
    }
    return CloseHandle(file) && written;
}

void InitializeProcess() {
    SetProcessDPIAware();
    InitCommonControls();
}

std::optional<std::vector<std::wstring>> CommandLineArguments() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) return std::nullopt;
    std::vector<std::wstring> result;
    for (int i = 1; i < count; ++i) result.emplace_back(arguments[i]);
    LocalFree(arguments);
    return result;
}

const std::atomic<bool>& StopOnSignals() {
    static const std::atomic<bool> never_set{false};
    return never_set;
}

void ShowErrorBox(const std::wstring& message) {
    MessageBoxW(nullptr, message.c_str(), L"Tessmor Bench", MB_OK | MB_ICONERROR);
}

}  // namespace fpbench::platform
