#include "support/LearnDriver.h"

#include <gtest/gtest.h>

using namespace tq4test;

namespace
{

struct LearnFixture : ::testing::Test
{
    TQ4AudioProcessor processor;
    void SetUp() override { processor.prepareToPlay(48000.0, 1920); }

    SignalFn drums() const
    {
        return [](int c, int64_t i) { return drumHits(c, i, 48000.0); };
    }

    juce::var stateProperty(const juce::Identifier& id)
    {
        const juce::ScopedLock lock(processor.stateLock);
        return processor.apvts.state[id];
    }
};

} // namespace

TEST_F(LearnFixture, ALearnRunsFromRequestToAppliedResult)
{
    setParameter(processor, "source", 2.0f); // Drum
    processor.timerCallback();
    const float thresholdBefore = parameterValue(processor, "threshold");

    const auto run = runLearn(processor, drums(), 20.0);
    ASSERT_TRUE(run.finished);
    EXPECT_NEAR(run.ticks, 200, 5) << "eight counted seconds of 40 ms blocks";

    EXPECT_FALSE(processor.learnRunning);
    EXPECT_EQ(processor.captureState.load(), 0);
    EXPECT_EQ(processor.learnProgress.load(), 0.0f);
    EXPECT_TRUE(static_cast<bool>(stateProperty("tq4LearnValid")));
    EXPECT_NE(static_cast<int>(stateProperty("tq4LearnId")), 0);
    EXPECT_NE(parameterValue(processor, "threshold"), thresholdBefore);
    EXPECT_EQ(parameterValue(processor, "autoMakeup"), 1.0f);
    EXPECT_DOUBLE_EQ(static_cast<double>(stateProperty("tq4BaseThreshold")),
                     parameterValue(processor, "threshold"));
    EXPECT_EQ(processor.history.undoCount(), 1u);

    processor.timerCallback();
    EXPECT_TRUE(processor.targetAvailable.load());
    EXPECT_FLOAT_EQ(processor.targetDb.load(), processor.targetLearnDb.load());
    EXPECT_FALSE(processor.targetModified.load());
}

TEST_F(LearnFixture, QuietAudioIsHeardButNeverCounted)
{
    bool sawSignalLow = false;
    const auto run = runLearn(
        processor, [](int, int64_t i) { return i % 2 == 0 ? 0.0005f : -0.0005f; }, 10.0,
        [&](int) { sawSignalLow = sawSignalLow || processor.learnSignalLow.load(); });
    EXPECT_FALSE(run.finished);
    EXPECT_TRUE(sawSignalLow);
    EXPECT_TRUE(processor.learnRunning);
    EXPECT_EQ(processor.learnProgress.load(), 0.0f);
    EXPECT_GT(processor.learnSecondsHeard.load(), 9.0f);
    EXPECT_FALSE(static_cast<bool>(stateProperty("tq4LearnValid")));
}

TEST_F(LearnFixture, WithoutAudioBlocksTheLearnStaysArmed)
{
    processor.learnRequested = true;
    for (int i = 0; i < 100; ++i)
        processor.timerCallback();
    EXPECT_TRUE(processor.learnRunning);
    EXPECT_EQ(processor.captureState.load(), 1);
    EXPECT_FALSE(processor.learnSignalLow.load());
}

TEST_F(LearnFixture, WithdrawingTheRequestCancelsWithoutTouchingTheState)
{
    const auto before = processor.history.snapshotState();
    runLearn(processor, drums(), 4.0,
             [&](int tick)
             {
                 if (tick == 60)
                     processor.learnRequested = false;
             });
    EXPECT_FALSE(processor.learnRunning);
    EXPECT_EQ(processor.learnProgress.load(), 0.0f);
    EXPECT_TRUE(processor.history.snapshotState().isEquivalentTo(before));
    EXPECT_EQ(processor.history.undoCount(), 0u);
}

TEST_F(LearnFixture, AHostRestoreDuringTheLearnMeansNothingIsWritten)
{
    juce::MemoryBlock saved;
    processor.getStateInformation(saved);
    const auto run =
        runLearn(processor, drums(), 20.0,
                 [&](int tick)
                 {
                     if (tick == 50)
                         processor.setStateInformation(saved.getData(), static_cast<int>(saved.getSize()));
                 });
    EXPECT_TRUE(run.finished);
    EXPECT_FALSE(static_cast<bool>(stateProperty("tq4LearnValid")));
    EXPECT_FALSE(processor.learnedSolution.valid);
    EXPECT_FALSE(processor.history.canUndo());
}

TEST_F(LearnFixture, AHeldControlDelaysTheResultUntilReleased)
{
    processor.history.beginGesture();
    const auto run = runLearn(processor, drums(), 12.0);
    EXPECT_FALSE(run.finished);
    EXPECT_TRUE(processor.analyser.countedEnough());
    EXPECT_FALSE(static_cast<bool>(stateProperty("tq4LearnValid")));

    processor.history.endGesture();
    processor.timerCallback();
    EXPECT_FALSE(processor.learnRequested.load());
    EXPECT_TRUE(static_cast<bool>(stateProperty("tq4LearnValid")));
}

TEST_F(LearnFixture, TwoLearnsGetDifferentIdsAndUndoBringsTheFirstBack)
{
    ASSERT_TRUE(runLearn(processor, drums(), 20.0).finished);
    const int firstId = stateProperty("tq4LearnId");
    const float firstThreshold = parameterValue(processor, "threshold");

    setParameter(processor, "source", 1.0f); // Vocal
    processor.timerCallback();
    ASSERT_TRUE(runLearn(
                    processor, [](int c, int64_t i) { return 0.5f * drumHits(c, i, 48000.0); }, 20.0)
                    .finished);
    const int secondId = stateProperty("tq4LearnId");
    EXPECT_NE(firstId, secondId);

    ASSERT_TRUE(processor.history.undo());
    EXPECT_EQ(static_cast<int>(stateProperty("tq4LearnId")), firstId);
    EXPECT_FLOAT_EQ(parameterValue(processor, "source"), 1.0f)
        << "the source change came after the first learn";
    ASSERT_TRUE(processor.history.redo());
    EXPECT_EQ(static_cast<int>(stateProperty("tq4LearnId")), secondId);
    juce::ignoreUnused(firstThreshold);
}
