// The window's run state under Start, Stop, closing and early failures.
#include <gtest/gtest.h>

#include "ui/run_control.h"

namespace fpbench {
namespace {

TEST(RunControl, OneRunAtATimeAndStopOnlyWhileRunning) {
    RunControl run;
    EXPECT_FALSE(run.RequestStop());
    EXPECT_FALSE(run.StopFlag());
    EXPECT_TRUE(run.BeginRun());
    EXPECT_FALSE(run.BeginRun());
    EXPECT_TRUE(run.StatusLineFollowsWorker());
    EXPECT_TRUE(run.RequestStop());
    EXPECT_EQ(run.Phase(), RunPhase::Stopping);
    EXPECT_TRUE(run.StopFlag());
    EXPECT_FALSE(run.StatusLineFollowsWorker());
    EXPECT_FALSE(run.BeginRun());   // Start stays off until the result arrives
    EXPECT_FALSE(run.FinishRun());  // and the window stays
    EXPECT_EQ(run.Phase(), RunPhase::Idle);
    EXPECT_TRUE(run.BeginRun());    // the next run starts with the flag cleared
    EXPECT_FALSE(run.StopFlag());
}

TEST(RunControl, ClosingWaitsForARunningRun) {
    RunControl idle;
    EXPECT_EQ(idle.RequestClose(), CloseAction::DestroyNow);
    EXPECT_FALSE(idle.StopFlag());
    idle.RequestShutdown();  // the end of the message loop stops even an idle window
    EXPECT_TRUE(idle.StopFlag());

    for (bool stopped_first : {false, true}) {
        RunControl run;
        run.BeginRun();
        if (stopped_first) run.RequestStop();
        EXPECT_EQ(run.RequestClose(), CloseAction::WaitForRun);
        EXPECT_TRUE(run.StopFlag());
        run.RequestStop();  // changes nothing
        EXPECT_EQ(run.Phase(), RunPhase::Closing);
        EXPECT_TRUE(run.FinishRun());
    }
}

TEST(RunControl, RunsThatEndAtOnceLeaveTheWindowReady) {
    RunControl failed;  // the run driver returned a failure straight away
    failed.BeginRun();
    EXPECT_FALSE(failed.FinishRun());
    EXPECT_TRUE(failed.BeginRun());

    RunControl no_worker;  // the thread could not start
    no_worker.BeginRun();
    no_worker.AbandonRun();
    EXPECT_EQ(no_worker.RequestClose(), CloseAction::DestroyNow);
    EXPECT_TRUE(no_worker.BeginRun());
}

}  // namespace
}  // namespace fpbench
