// The window's run state: idle, running, stopping, or closing (the user
// closed the window during a run). It owns the stop flag that the worker's
// run driver reads; the window's handlers ask it what to do and then touch
// the controls themselves.
#pragma once

#include <atomic>

namespace fpbench {

enum class RunPhase { Idle, Running, Stopping, Closing };

enum class CloseAction {
    DestroyNow,     // no run: the window may go at once
    WaitForRun,     // a stop was requested; the window goes when the run ends
};

class RunControl {
public:
    RunPhase Phase() const { return phase_; }
    bool Running() const { return phase_ != RunPhase::Idle; }
    // Worker status texts replace the status line only until a stop is asked.
    bool StatusLineFollowsWorker() const { return !stop_requested_.load(); }
    // The flag handed to the run driver; it is only ever read there.
    const std::atomic<bool>& StopFlag() const { return stop_requested_; }

    // Start pressed with valid choices: Idle → Running, stop flag cleared.
    // False (and nothing changes) when a run is already under way.
    bool BeginRun();
    // The worker could not be started: back to Idle.
    void AbandonRun();
    // Stop pressed: true when a run is under way, which is now asked to stop.
    bool RequestStop();
    // The user closes the window.
    CloseAction RequestClose();
    // The run's result arrived: back to Idle. True when the window was closed
    // during the run and must now be destroyed.
    bool FinishRun();
    // The message loop has ended: whatever still runs must stop.
    void RequestShutdown();

private:
    RunPhase phase_ = RunPhase::Idle;
    std::atomic<bool> stop_requested_{false};
};

}  // namespace fpbench
