// The operating-system layer: the only place that talks to Win32 or POSIX.
// One source per OS implements it (platform_win32.cpp, platform_posix.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fpbench::platform {

// --- Dynamic libraries -------------------------------------------------------
enum class GpuLibrary { CudaDriver, Nvml };

// An opaque module handle; null means "not loaded".
using LibraryHandle = void*;

// Loads the GPU library the way the product must: nvcuda.dll / nvml.dll from
// the Windows system directory only; libcuda.so.1 / libnvidia-ml.so.1 through
// the dynamic loader's normal search on Linux. Returns null on failure.
LibraryHandle LoadGpuLibrary(GpuLibrary which);
// GetProcAddress / dlsym; null when the export is missing.
void* LookupSymbol(LibraryHandle library, const char* name);
void FreeGpuLibrary(LibraryHandle library);

// --- Text --------------------------------------------------------------------
// Conversions between UTF-8 and the platform's wide strings (UTF-16 on
// Windows, UTF-32 on Linux). What cannot be converted becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);
// A file-system path from wide text, without going through a locale (on
// Linux, U+DC80..U+DCFF from CommandLineArguments become single bytes).
std::filesystem::path PathFromWide(const std::wstring& text);

// --- Folders and time --------------------------------------------------------
// Full path of the running program; nullopt when it cannot be read in full.
std::optional<std::filesystem::path> ExecutablePath();
// The user's local application-data folder (FOLDERID_LocalAppData on Windows,
// $XDG_DATA_HOME or ~/.local/share on Linux); nullopt when unknown.
std::optional<std::filesystem::path> LocalAppDataFolder();

struct UtcTime {
    unsigned year, month, day, hour, minute, second, milliseconds;
};
UtcTime CurrentUtcTime();

// Whether files can be created in an existing folder.
bool IsWritableDirectory(const std::filesystem::path& folder);

// What a folder or file is, links followed: the same identity is the same
// folder, however many names lead to it. Only regular files may be opened
// for reading: a FIFO or a device would block or never end.
struct FileIdentity {
    std::uint64_t device = 0, index = 0;
    bool regular_file = false, directory = false;
    auto Key() const { return std::pair(device, index); }
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

// A folder's entries from one listing, each with what it is, links followed:
// only a link, or an entry whose type the file system does not tell, costs a
// look of its own. Walking a fleet of run folders is then one listing a
// folder rather than a look at every file. nullopt: not a readable folder.
struct FolderEntry {
    std::filesystem::path::string_type name;
    bool regular_file = false, directory = false;
};
struct FolderListing {
    FileIdentity identity;  // the folder's own
    std::vector<FolderEntry> entries;
};
std::optional<FolderListing> ListFolder(const std::filesystem::path& folder);

// A file's bytes into `bytes` from its start, with at least `padding` bytes of
// room after them (a parser may read past the end); the number read, nullopt
// when it cannot be opened. A buffer kept from file to file is allocated once
// for a fleet of small files, and each costs one open, one read and a close.
std::optional<std::size_t> ReadFileInto(const std::filesystem::path& file, std::string& bytes, std::size_t padding);

// Atomically replaces `target` by `source` (same directory); false on failure.
bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target);
// Truncates `target` and writes `bytes` into it in place, sharing it for
// reading and writing with whoever holds it open; false on failure.
bool RewriteFileInPlace(const std::filesystem::path& target, std::string_view bytes);

// --- Process -------------------------------------------------------------------
// Windows: SetProcessDPIAware, then InitCommonControls. Nothing elsewhere.
void InitializeProcess();
// The process's arguments after the program path (Windows: GetCommandLineW
// split by CommandLineToArgvW); nullopt when the command line cannot be split.
// On Linux each byte that is not part of well-formed UTF-8 becomes U+DC80 +
// its low bits, so that PathFromWide gives back the very bytes of a path.
std::optional<std::vector<std::wstring>> CommandLineArguments();

// Linux: SIGINT, SIGTERM and SIGHUP set the returned flag, which a headless
// run reads as its stop request; a second signal ends the process at once.
// SIGPIPE is ignored: a write to a closed pipe fails instead.
// Windows: the flag is never set.
const std::atomic<bool>& StopOnSignals();

// --- User interaction --------------------------------------------------------
// The process error box (Windows: MessageBoxW, caption "Tessmor Bench",
// MB_ICONERROR); on Linux the message as one line on stderr.
void ShowErrorBox(const std::wstring& message);

}  // namespace fpbench::platform
