// Simulated devices of several processes on one machine (Linux): which of
// them are busy, from a device's first kernel launch until its context is
// released, kept in a small file that every process of the machine opens
// under a lock; the power supply they share; and a barrier that makes
// processes that would take milliseconds each really overlap in time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/config.h"

namespace fpbench::sim {

class SharedMachine {
public:
    // Inert unless the configuration asks for a shared supply or a barrier.
    explicit SharedMachine(const SimConfig& config);

    // `slot` is the device's index among all simulated devices, before
    // CUDA_VISIBLE_DEVICES, so that every process names it alike.
    // Marks the device busy; with the barrier, holds until enough are. False
    // when the barrier's safety timeout ran out (said on stderr).
    bool Busy(std::size_t slot) const;
    // Marks the device idle; with the barrier, first holds until no other
    // device still measures, so that they overlap to the end.
    void Idle(std::size_t slot) const;
    // What the device's SM clock is multiplied by: below 1 while the busy
    // devices together draw more than the supply and this one more than its
    // fair share.
    double ClockFactor(std::size_t slot) const;

private:
    std::string path_;
    unsigned supply_w_ = 0;
    unsigned barrier_ = 0;
    int barrier_signal_ = 0;
    std::vector<unsigned> draw_mw_;
};

}  // namespace fpbench::sim
