#include "sim/os.h"

#include <csignal>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <pthread.h>
#include <cstdlib>
#endif

namespace fpbench::sim {
namespace {

void WriteFile(const std::string& path, std::string_view text, const char* mode) {
    if (path.empty()) return;
    if (std::FILE* file = std::fopen(path.c_str(), mode)) {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
}

}  // namespace

void AppendToFile(const std::string& path, std::string_view text) { WriteFile(path, text, "ab"); }
void ReplaceFileContents(const std::string& path, std::string_view text) { WriteFile(path, text, "wb"); }

void PrintWarning(std::string_view text) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
}

#if defined(_WIN32)

// The process block, not the C runtime's copy, which a test may not update;
// read as UTF-16 and handed on as UTF-8, so that any text passes unchanged.
std::optional<std::string> GetEnvironment(const char* name) {
    std::wstring wide_name(name, name + std::char_traits<char>::length(name));
    std::wstring value(256, L'\0');
    DWORD length = 0;
    while ((length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()))) >=
           value.size())
        value.resize(length);
    if (length == 0) return std::nullopt;
    const int size = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(length), text.data(), size, nullptr, nullptr);
    return text;
}

void RaiseSignal(int) {}

unsigned NextSmClockReading(const unsigned char* uuid) {
    HMODULE nvml = GetModuleHandleW(L"nvml.dll");
    const auto next = nvml ? reinterpret_cast<unsigned (*)(const unsigned char*)>(
                                 reinterpret_cast<void*>(GetProcAddress(nvml, "tessmor_sim_next_sm_clock")))
                           : nullptr;
    return next ? next(uuid) : 0;
}

void HoldUntilReleased(const std::string& event) {
    const int bytes = static_cast<int>(event.size());
    std::wstring name(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, event.data(), bytes, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, event.data(), bytes, name.data(), static_cast<int>(name.size()));
    HANDLE reached = CreateEventW(nullptr, FALSE, FALSE, (name + L".reached").c_str());
    HANDLE release = CreateEventW(nullptr, FALSE, FALSE, (name + L".release").c_str());
    if (reached != nullptr && release != nullptr && SetEvent(reached)) WaitForSingleObject(release, INFINITE);
    if (reached != nullptr) CloseHandle(reached);
    if (release != nullptr) CloseHandle(release);
}

// Native TLS: the compiler's emulated TLS would leave a destructor behind in
// a DLL that is unloaded while threads live on.
ThreadSlot::ThreadSlot() : key_(TlsAlloc()) {}
ThreadSlot::~ThreadSlot() {
    if (key_ != TLS_OUT_OF_INDEXES) TlsFree(key_);
}
void* ThreadSlot::Get() const { return key_ == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(key_); }
void ThreadSlot::Set(void* value) {
    if (key_ != TLS_OUT_OF_INDEXES) TlsSetValue(key_, value);
}

void HideExports(void* module, const std::vector<std::string>& names) {
    if (names.empty()) return;
    auto* base = static_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0) return;
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const auto* name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    auto* functions = reinterpret_cast<DWORD*>(base + exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const std::string_view exported(reinterpret_cast<const char*>(base + name_rvas[i]));
        bool listed = false;
        for (const auto& name : names) listed = listed || exported == name;
        if (!listed) continue;
        DWORD* slot = functions + ordinals[i];
        DWORD protection = 0;
        if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) {
            *slot = 0;
            VirtualProtect(slot, sizeof *slot, protection, &protection);
        }
    }
}

#else

std::optional<std::string> GetEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void RaiseSignal(int signal) { std::raise(signal); }

unsigned NextSmClockReading(const unsigned char* uuid) {
    // Held open while it is asked, so that it cannot go away meanwhile.
    void* nvml = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (nvml == nullptr) return 0;
    const auto next = reinterpret_cast<unsigned (*)(const unsigned char*)>(dlsym(nvml, "tessmor_sim_next_sm_clock"));
    const unsigned clock = next ? next(uuid) : 0;
    dlclose(nvml);
    return clock;
}

void HoldUntilReleased(const std::string&) {}

// A pthread key rather than thread_local: it is deleted with the library, so
// a reload never sees a previous load's value.
ThreadSlot::ThreadSlot() {
    pthread_key_t key;
    pthread_key_create(&key, nullptr);
    key_ = key;
}
ThreadSlot::~ThreadSlot() { pthread_key_delete(static_cast<pthread_key_t>(key_)); }
void* ThreadSlot::Get() const { return pthread_getspecific(static_cast<pthread_key_t>(key_)); }
void ThreadSlot::Set(void* value) { pthread_setspecific(static_cast<pthread_key_t>(key_), value); }

#endif

}  // namespace fpbench::sim
