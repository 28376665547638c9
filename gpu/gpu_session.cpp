#include "gpu/gpu_session.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace fpbench {
namespace {

constexpr std::size_t kLoadLogBytes = 4096;

// Releases list entries in order; at the first failure drops the entries
// already released (freeing them twice would be a fault of its own) and
// throws, leaving the failed and the remaining ones for Cleanup.
template <typename Handle, typename Release>
void ReleaseAll(const CudaDriver& driver, std::vector<Handle>& list, Release release, const char* label) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const CUresult code = release(list[i]);
        if (code != 0) {
            list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(i));
            throw std::runtime_error(CudaErrorMessage(driver, code, label));
        }
    }
    list.clear();
}

}  // namespace

void GpuSession::Open(std::int32_t ordinal) {
    const CudaDriver& d = driver_;
    CheckCuda(d, d->cuDeviceGet(&device_, ordinal), "cuDeviceGet");
    CheckCuda(d, d->cuCtxGetCurrent(&previous_context_), "cuCtxGetCurrent");
    CheckCuda(d, d->cuDevicePrimaryCtxRetain(&context_, device_), "cuDevicePrimaryCtxRetain");
    CheckCuda(d, d->cuCtxSetCurrent(context_), "cuCtxSetCurrent");
    CheckCuda(d, d->cuStreamCreate(&stream_, cuda::kStreamNonBlocking), "cuStreamCreate");
    CheckCuda(d, d->cuEventCreate(&start_event_, cuda::kEventDefault), "cuEventCreate");
    CheckCuda(d, d->cuEventCreate(&stop_event_, cuda::kEventDefault), "cuEventCreate");
}

CUdeviceptr GpuSession::Allocate(std::size_t bytes) {
    CUdeviceptr address = 0;
    CheckCuda(driver_, driver_->cuMemAlloc_v2(&address, bytes), "cuMemAlloc");
    allocations_.push_back(address);
    return address;
}

CUmodule GpuSession::LoadModule(const void* image) {
    std::array<char, kLoadLogBytes> log{};
    std::array<CUjit_option, 2> keys{cuda::kJitErrorLogBuffer, cuda::kJitErrorLogBufferSizeBytes};
    std::array<void*, 2> values{log.data(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(log.size()))};
    CUmodule module = nullptr;
    const CUresult code = driver_->cuModuleLoadDataEx(&module, image, 2, keys.data(), values.data());
    if (code != 0 && log[0] != '\0')
        throw std::runtime_error("Kernel load: " + std::string(log.begin(), std::find(log.begin(), log.end(), '\0')));
    CheckCuda(driver_, code, "cuModuleLoadDataEx");
    modules_.push_back(module);
    return module;
}

void GpuSession::ReleaseSizeResources() {
    CheckCuda(driver_, driver_->cuStreamSynchronize(stream_), "cuStreamSynchronize");
    ReleaseAll(driver_, allocations_, driver_->cuMemFree_v2, "cuMemFree");
    ReleaseAll(driver_, modules_, driver_->cuModuleUnload, "cuModuleUnload");
}

bool GpuSession::Cleanup() noexcept {
    if (context_ == nullptr) return true;
    const CudaDriver& d = driver_;
    // Current on this thread, which may not be the one that opened it.
    bool ok = d->cuCtxSetCurrent(context_) == 0;
    if (stream_ != nullptr && d->cuStreamSynchronize(stream_) != 0) ok = false;
    for (const CUdeviceptr address : allocations_)
        if (d->cuMemFree_v2(address) != 0) ok = false;
    allocations_.clear();
    for (const CUmodule module : modules_)
        if (d->cuModuleUnload(module) != 0) ok = false;
    modules_.clear();
    if (start_event_ != nullptr && d->cuEventDestroy_v2(start_event_) != 0) ok = false;
    if (stop_event_ != nullptr && d->cuEventDestroy_v2(stop_event_) != 0) ok = false;
    if (stream_ != nullptr && d->cuStreamDestroy_v2(stream_) != 0) ok = false;
    const CUresult restored = d->cuCtxSetCurrent(previous_context_);
    const CUresult released = d->cuDevicePrimaryCtxRelease_v2(device_);
    context_ = nullptr;
    stream_ = nullptr;
    start_event_ = nullptr;
    stop_event_ = nullptr;
    return restored == 0 && released == 0 && ok;
}

}  // namespace fpbench
