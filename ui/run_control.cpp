#include "ui/run_control.h"

namespace fpbench {

bool RunControl::BeginRun() {
    if (Running()) return false;
    stop_requested_.exchange(false);
    phase_ = RunPhase::Running;
    return true;
}

void RunControl::AbandonRun() { phase_ = RunPhase::Idle; }

bool RunControl::RequestStop() {
    if (!Running()) return false;
    stop_requested_.exchange(true);
    if (phase_ == RunPhase::Running) phase_ = RunPhase::Stopping;
    return true;
}

CloseAction RunControl::RequestClose() {
    if (!Running()) return CloseAction::DestroyNow;
    RequestStop();
    phase_ = RunPhase::Closing;
    return CloseAction::WaitForRun;
}

bool RunControl::FinishRun() {
    const bool destroy = phase_ == RunPhase::Closing;
    phase_ = RunPhase::Idle;
    return destroy;
}

void RunControl::RequestShutdown() { stop_requested_.exchange(true); }

}  // namespace fpbench
