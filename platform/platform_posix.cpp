// Linux implementation of the platform layer.
#include "platform/platform.h"

#include "platform/utf8.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>

namespace fpbench::platform {

LibraryHandle LoadGpuLibrary(GpuLibrary which) {
    const char* name = which == GpuLibrary::CudaDriver ? "libcuda.so.1" : "libnvidia-ml.so.1";
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* LookupSymbol(LibraryHandle library, const char* name) { return dlsym(library, name); }

void FreeGpuLibrary(LibraryHandle library) {
    if (library != nullptr) dlclose(library);
}

// wchar_t holds whole code points here, so both directions are plain UTF-8
// coding. Like the Windows converter, what cannot be coded becomes U+FFFD.
namespace {
constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string Utf8FromWide(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t ch : text) AppendUtf8(out, static_cast<char32_t>(ch));
    return out;
}

std::wstring WideFromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) out += static_cast<wchar_t>(DecodeUtf8(text, at));
    return out;
}

namespace {
// Bytes of a Linux path or argument that are not UTF-8 travel as the lone
// surrogates U+DC80..U+DCFF, which no well-formed text contains.
constexpr wchar_t kEscapedByte = 0xDC00;

std::wstring WideFromBytes(std::string_view bytes) {
    std::wstring out;
    for (std::size_t at = 0; at < bytes.size();) {
        if (ScanUtf8(bytes, at).valid) {
            out += static_cast<wchar_t>(DecodeUtf8(bytes, at));
            continue;
        }
        const std::size_t end = at + ScanUtf8(bytes, at).length;
        for (; at < end; ++at) out += kEscapedByte + static_cast<unsigned char>(bytes[at]);
    }
    return out;
}
}  // namespace

std::filesystem::path PathFromWide(const std::wstring& text) {
    std::string bytes;
    for (const wchar_t ch : text) {
        if (ch >= kEscapedByte + 0x80 && ch <= kEscapedByte + 0xFF)
            bytes += static_cast<char>(ch - kEscapedByte);
        else
            AppendUtf8(bytes, static_cast<char32_t>(ch));
    }
    return std::filesystem::path(bytes);
}

std::optional<std::filesystem::path> ExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || path.empty()) return std::nullopt;
    return path;
}

std::optional<std::filesystem::path> LocalAppDataFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return std::filesystem::path(data);
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return std::nullopt;
    return std::filesystem::path(home) / ".local" / "share";
}

UtcTime CurrentUtcTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm fields{};
    gmtime_r(&now.tv_sec, &fields);
    return UtcTime{static_cast<unsigned>(fields.tm_year + 1900),
                   static_cast<unsigned>(fields.tm_mon + 1),
                   static_cast<unsigned>(fields.tm_mday),
                   static_cast<unsigned>(fields.tm_hour),
                   static_cast<unsigned>(fields.tm_min),
                   static_cast<unsigned>(fields.tm_sec),
                   static_cast<unsigned>(now.tv_nsec / 1000000)};
}

bool IsWritableDirectory(const std::filesystem::path& folder) {
    // access() consults permissions and read-only mounts without touching
    // the folder; a root user passes the permission part, as writes would.
    return access(folder.c_str(), W_OK | X_OK) == 0 && std::filesystem::is_directory(folder);
}

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                        S_ISREG(info.st_mode), S_ISDIR(info.st_mode)};
}

std::optional<FolderListing> ListFolder(const std::filesystem::path& folder) {
    // O_DIRECTORY refuses anything else before opening it: a FIFO never blocks.
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    struct stat info {};
    if (fstat(descriptor, &info) != 0) {
        close(descriptor);
        return std::nullopt;
    }
    FolderListing folder_listing{{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                                  false, true},
                                 {}};
    // getdents64 straight into a buffer on the stack: a fleet's walk lists
    // tens of thousands of small folders, and a DIR stream costs an allocation
    // and two more system calls for each.
    alignas(dirent64) char entries[16 * 1024];
    folder_listing.entries.reserve(8);  // a run folder's reports, grown once
    for (;;) {
        const ssize_t got = getdents64(descriptor, entries, sizeof entries);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {  // a listing cut short could hide a report: none at all is told as unreadable
            close(descriptor);
            return std::nullopt;
        }
        if (got == 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            FolderEntry& out = folder_listing.entries.emplace_back();
            out.name = name;
            if (entry->d_type == DT_REG || entry->d_type == DT_DIR) {
                out.regular_file = entry->d_type == DT_REG, out.directory = entry->d_type == DT_DIR;
            } else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                struct stat target {};
                if (fstatat(descriptor, entry->d_name, &target, 0) == 0)
                    out.regular_file = S_ISREG(target.st_mode), out.directory = S_ISDIR(target.st_mode);
            }
        }
    }
    close(descriptor);
    return folder_listing;
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}

std::optional<std::size_t> ReadFileInto(const std::filesystem::path& file, std::string& bytes, std::size_t padding) {
    constexpr std::size_t kChunk = 64 * 1024;
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    std::size_t size = 0;
    for (;;) {
        if (bytes.size() < size + kChunk + padding) bytes.resize(size + kChunk + padding);
        const ssize_t got = read(descriptor, bytes.data() + size, kChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {  // a listing cut short could hide a report: none at all is told as unreadable
            close(descriptor);
            return std::nullopt;
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
        // A regular file reads short only at its end: no read just to be told so.
        if (static_cast<std::size_t>(got) < kChunk) break;
    }
    close(descriptor);
    return size;
}

bool RewriteFileInPlace(const std::filesystem::path& target, std::string_view bytes) {
    std::FILE* file = std::fopen(target.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

void InitializeProcess() {}

std::optional<std::vector<std::wstring>> CommandLineArguments() {
    // The kernel's copy of argv: NUL-separated, program path first.
    std::FILE* file = std::fopen("/proc/self/cmdline", "rb");
    if (file == nullptr) return std::nullopt;
    std::string bytes;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
    std::fclose(file);
    std::vector<std::wstring> arguments;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
        arguments.push_back(WideFromBytes(std::string_view(bytes).substr(start, end - start)));
    if (arguments.empty()) return std::nullopt;
    arguments.erase(arguments.begin());
    return arguments;
}

namespace {
// A signal handler can reach only static objects; this flag is the one piece
// of process-wide state, and only signals write it.
std::atomic<bool> g_stop_signalled{false};

void OnStopSignal(int signal) {
    if (!g_stop_signalled.exchange(true)) return;
    // The second signal: the default action, which ends the process.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal, &default_action, nullptr);
    raise(signal);
}
}  // namespace

const std::atomic<bool>& StopOnSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A closed output stream (a pipe whose reader went) must end the
    // printing, not the run: writes then fail with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
    return g_stop_signalled;
}

void ShowErrorBox(const std::wstring& message) {
    std::string line = Utf8FromWide(message);
    for (char& ch : line)
        if (ch == '\n' || ch == '\r') ch = ' ';
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace fpbench::platform
