// The GPU context of one run on a bound driver: the retained primary
// context, one non-blocking stream, two timing events, and the allocations
// and modules of the current matrix size. It owns them privately and
// releases them in one pass, whatever failed on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gpu/cuda_driver.h"

namespace fpbench {

class GpuSession {
public:
    explicit GpuSession(const CudaDriver& driver) : driver_(driver) {}
    // Cleanup, its result dropped: a run calls Cleanup itself to record it.
    ~GpuSession() { Cleanup(); }
    GpuSession(const GpuSession&) = delete;
    GpuSession& operator=(const GpuSession&) = delete;

    // The device of `ordinal`, the previously current context, the retained
    // primary context made current, one non-blocking stream and the two
    // events, in this order. Throws the CUDA message of the failing call;
    // what was created stays for Cleanup.
    void Open(std::int32_t ordinal);

    // Device memory kept until the size is released. Throws "cuMemAlloc".
    CUdeviceptr Allocate(std::size_t bytes);
    // A module from an image, kept until the size is released. Throws
    // "Kernel load: " + the driver's log, or the "cuModuleLoadDataEx" message.
    CUmodule LoadModule(const void* image);

    // After one matrix size: synchronises the stream, frees the allocations
    // and unloads the modules. Throws on the first failure; what was not
    // released stays for Cleanup.
    void ReleaseSizeResources();
    // Releases everything and restores the thread's previous context. Never
    // throws; true when no context was open or every release step succeeded.
    // A second call does nothing and returns true.
    bool Cleanup() noexcept;

    const CudaDriver& driver() const { return driver_; }
    CUstream stream() const { return stream_; }
    CUevent start_event() const { return start_event_; }
    CUevent stop_event() const { return stop_event_; }

private:
    const CudaDriver& driver_;
    CUcontext context_ = nullptr;  // non-null: the context is open
    CUcontext previous_context_ = nullptr;
    CUdevice device_ = 0;
    CUstream stream_ = nullptr;
    CUevent start_event_ = nullptr;
    CUevent stop_event_ = nullptr;
    std::vector<CUdeviceptr> allocations_;
    std::vector<CUmodule> modules_;
};

}  // namespace fpbench
