// The few operating-system services the simulated libraries need.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fpbench::sim {

// The variable's current value in the process environment; nullopt when
// unset (on Windows also when empty).
std::optional<std::string> GetEnvironment(const char* name);

// Best effort: a file that cannot be written is skipped.
void AppendToFile(const std::string& path, std::string_view text);
void ReplaceFileContents(const std::string& path, std::string_view text);
void PrintWarning(std::string_view text);
// Raises the signal in the calling thread; nothing on Windows.
void RaiseSignal(int signal);
// Windows: sets the named event `event`.reached, then waits until another
// process sets `event`.release (both auto-reset, created when missing).
// Nothing on Linux.
void HoldUntilReleased(const std::string& event);

// The SM clock that the simulated NVML, when the process has it loaded, will
// read next for the device with these UUID bytes; 0 when it is not loaded or
// does not know the device. The simulated driver times its batches by it.
unsigned NextSmClockReading(const unsigned char* uuid);

// One pointer per thread, private to one load of the library.
class ThreadSlot {
public:
    ThreadSlot();
    ~ThreadSlot();
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;
    void* Get() const;
    void Set(void* value);

private:
    unsigned long key_;
};

#if defined(_WIN32)
// Zeroes the export-address-table entries of `names` in the loaded image, so
// that GetProcAddress finds no address for them.
void HideExports(void* module, const std::vector<std::string>& names);
#endif

}  // namespace fpbench::sim
