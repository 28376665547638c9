#include "sim/shared_machine.h"

#include <array>
#include <cstdint>
#include <cstdio>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#endif

#include "sim/os.h"

namespace fpbench::sim {

SharedMachine::SharedMachine(const SimConfig& config)
    : supply_w_(config.shared_power_w), barrier_(config.busy_barrier), barrier_signal_(config.barrier_signal) {
    for (const SimDevice& device : config.devices) draw_mw_.push_back(device.power_mw);
#if !defined(_WIN32)
    if (supply_w_ == 0 && barrier_ == 0) return;
    // Keyed by the session so that a machine's processes meet without a knob;
    // parallel tests give each case a file of its own.
    path_ = !config.shared_state_path.empty()
                ? config.shared_state_path
                : "/tmp/tessmor-sim-shared-" + std::to_string(getuid()) + "-" + std::to_string(getsid(0));
#endif
}

#if defined(_WIN32)

bool SharedMachine::Busy(std::size_t) const { return true; }
void SharedMachine::Idle(std::size_t) const {}
double SharedMachine::ClockFactor(std::size_t) const { return 1.0; }

#else

namespace {

enum State : std::int32_t { kIdle = 0, kMeasuring = 1, kFinishing = 2 };
struct Slot {
    std::int32_t pid = 0;
    std::int32_t state = kIdle;
};
constexpr std::size_t kSlots = 64;
// A barrier that is never met fails the launch rather than hang a suite.
constexpr auto kBarrierTimeout = std::chrono::seconds(120);

// The machine's table, read under the file's lock, which it holds until it
// goes. A process that died without releasing its device does not count.
class LockedTable {
public:
    LockedTable(const std::string& path, bool exclusive) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ < 0) return;
        while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
        }
        if (pread(fd_, slots.data(), sizeof slots, 0) != static_cast<ssize_t>(sizeof slots)) slots = {};
        for (Slot& slot : slots)
            if (slot.pid != 0 && kill(slot.pid, 0) != 0 && errno == ESRCH) slot = {};
    }
    ~LockedTable() {
        if (fd_ >= 0) close(fd_);
    }
    LockedTable(const LockedTable&) = delete;
    LockedTable& operator=(const LockedTable&) = delete;
    void Store() {
        if (fd_ >= 0 && pwrite(fd_, slots.data(), sizeof slots, 0) != static_cast<ssize_t>(sizeof slots))
            PrintWarning("simulated machine: cannot write its state");
    }
    std::size_t Count(State state) const {
        std::size_t count = 0;
        for (const Slot& slot : slots) count += slot.state == state;
        return count;
    }

    std::array<Slot, kSlots> slots{};

private:
    int fd_;
};

// Polls the table until `done` holds or the safety timeout runs out.
template <typename Done>
bool WaitFor(const std::string& path, Done&& done) {
    const auto deadline = std::chrono::steady_clock::now() + kBarrierTimeout;
    for (;;) {
        if (done(LockedTable(path, false))) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Fail(const std::string& what) {
    PrintWarning("simulated machine: TESSMOR_SIM_BUSY_BARRIER " + what + " within " +
                 std::to_string(kBarrierTimeout.count()) + " s; the launch fails");
}

}  // namespace

bool SharedMachine::Busy(std::size_t slot) const {
    if (path_.empty() || slot >= kSlots) return true;
    // The stop signals wait until the barrier's last wait lets them in, so
    // that none reaches this process unnoticed before it.
    sigset_t stops, previous;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    if (barrier_signal_ != 0) pthread_sigmask(SIG_BLOCK, &stops, &previous);
    {
        LockedTable table(path_, true);
        table.slots[slot] = {static_cast<std::int32_t>(getpid()), kMeasuring};
        table.Store();
        if (barrier_signal_ != 0 && table.Count(kMeasuring) + table.Count(kFinishing) == barrier_)
            kill(getppid(), barrier_signal_);
    }
    if (barrier_ == 0) return true;
    bool met = WaitFor(path_, [&](const LockedTable& table) {
        return table.Count(kMeasuring) + table.Count(kFinishing) >= barrier_;
    });
    if (barrier_signal_ != 0) {
        // Held until the signal its parent forwards reaches this process.
        sigset_t waiting = previous;
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waiting, signal);
        const timespec limit{static_cast<time_t>(kBarrierTimeout.count()), 0};
        met = met && ppoll(nullptr, 0, &limit, &waiting) < 0 && errno == EINTR;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (!met) Fail(barrier_signal_ != 0 ? "got no signal" : "was not met");
    return met;
}

void SharedMachine::Idle(std::size_t slot) const {
    if (path_.empty() || slot >= kSlots) return;
    if (barrier_ != 0) {
        {
            LockedTable table(path_, true);
            table.slots[slot].state = kFinishing;
            table.Store();
        }
        if (!WaitFor(path_, [](const LockedTable& table) { return table.Count(kMeasuring) == 0; }))
            Fail("found devices still measuring at the end");
    }
    LockedTable table(path_, true);
    table.slots[slot] = {};
    table.Store();
}

double SharedMachine::ClockFactor(std::size_t slot) const {
    if (path_.empty() || supply_w_ == 0 || slot >= draw_mw_.size() || slot >= kSlots) return 1.0;
    const LockedTable table(path_, false);
    if (table.slots[slot].state == kIdle) return 1.0;
    double busy = 0, total_mw = 0;
    for (std::size_t i = 0; i < draw_mw_.size() && i < kSlots; ++i) {
        if (table.slots[i].state == kIdle) continue;
        ++busy;
        total_mw += draw_mw_[i];
    }
    const double supply_mw = supply_w_ * 1000.0, fair_mw = supply_mw / busy;
    return total_mw > supply_mw && draw_mw_[slot] > fair_mw ? fair_mw / draw_mw_[slot] : 1.0;
}

#endif

}  // namespace fpbench::sim
