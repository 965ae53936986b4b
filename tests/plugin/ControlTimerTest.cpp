#include "support/LearnDriver.h"

#include <gtest/gtest.h>

using namespace tq4test;

namespace
{

juce::var property(TQ4AudioProcessor& p, const juce::Identifier& id)
{
    const juce::ScopedLock lock(p.stateLock);
    return p.apvts.state[id];
}

} // namespace

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
    ASSERT_TRUE(waitForDriveEq(processor, 240.0));
    const auto firstDriveEq = stateProperty("tq4LearnDriveEq").toString();
    EXPECT_TRUE(firstDriveEq.isNotEmpty());

    setParameter(processor, "source", 1.0f); // Vocal
    processor.timerCallback();
    ASSERT_TRUE(runLearn(
                    processor, [](int c, int64_t i) { return 0.5f * drumHits(c, i, 48000.0); }, 20.0)
                    .finished);
    const int secondId = stateProperty("tq4LearnId");
    EXPECT_NE(firstId, secondId);
    EXPECT_FALSE(stateProperty("tq4LearnDriveEq").toString().isNotEmpty())
        << "a new learn re-learns the drive";
    ASSERT_TRUE(waitForDriveEq(processor, 240.0));

    ASSERT_TRUE(processor.history.undo());
    EXPECT_EQ(static_cast<int>(stateProperty("tq4LearnId")), firstId);
    EXPECT_EQ(stateProperty("tq4LearnDriveEq").toString(), firstDriveEq);
    EXPECT_FLOAT_EQ(parameterValue(processor, "source"), 1.0f)
        << "the source change came after the first learn";
    ASSERT_TRUE(processor.history.redo());
    EXPECT_EQ(static_cast<int>(stateProperty("tq4LearnId")), secondId);
}

TEST(LearnCompletion, StoresTheDetailTheSourceOffersSoTheNextTickLeavesTheLearnAlone)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(22050.0, 882);
    // The host moves source and detail while the learn captures: Vocal has only two details.
    ASSERT_TRUE(runLearn(
                    p, [](int c, int64_t i) { return drumHits(c, i, 22050.0); }, 20.0,
                    [&](int tick)
                    {
                        if (tick == 10)
                        {
                            setParameter(p, "source", 1.0f);
                            setParameter(p, "nuance", 7.0f);
                        }
                    })
                    .finished);
    EXPECT_EQ(static_cast<int>(property(p, "tq4AppliedSource")), 1);
    EXPECT_EQ(static_cast<int>(property(p, "tq4AppliedNuance")), 1);

    const auto learned = p.history.snapshotState();
    p.timerCallback();
    EXPECT_FLOAT_EQ(parameterValue(p, "nuance"), 1.0f);
    for (const auto* id : {"threshold", "ratio", "knee", "attack", "release"})
        EXPECT_FLOAT_EQ(parameterValue(p, id),
                        static_cast<float>(learned.getChildWithProperty("id", id)["value"]))
            << id;
    EXPECT_EQ(property(p, "tq4BaseThreshold").toString(), learned["tq4BaseThreshold"].toString());
}

TEST(LearnCompletion, StoresMakeupTextsThenTheDriveCompensationAlsoInItsUndoSnapshots)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(22050.0, 882);
    ASSERT_TRUE(runLearn(
                    p, [](int c, int64_t i) { return drumHits(c, i, 22050.0); }, 20.0)
                    .finished);

    EXPECT_TRUE(property(p, "tq4LearnMkHist").toString().isNotEmpty());
    EXPECT_EQ(juce::StringArray::fromTokens(property(p, "tq4LearnMkCurve").toString(), "|", "").size(), 3);
    EXPECT_TRUE(tq4::deriveLearnedProfile(p.apvts.state).present);
    EXPECT_TRUE(p.driveEqJobActive.load());
    EXPECT_FALSE(p.history.canUndo()) << "undo waits for the drive analysis";

    ASSERT_TRUE(waitForDriveEq(p, 240.0));
    const auto driveEq = property(p, "tq4LearnDriveEq").toString();
    EXPECT_TRUE(tq4::readDriveEqText(driveEq).valid) << driveEq;
    EXPECT_TRUE(tq4::deriveLearnedProfile(p.apvts.state).driveComp.valid);

    // An edit after the learn, undone, lands on the learn's own state with its compensation.
    p.history.beginGesture();
    setParameter(p, "threshold", -40.0f);
    p.history.commitPending();
    p.history.endGesture();
    ASSERT_TRUE(p.history.undo());
    EXPECT_EQ(property(p, "tq4LearnDriveEq").toString(), driveEq);
}

TEST(LearnCompletion, DestroyingTheProcessorWhileTheDriveAnalysisRunsIsSafe)
{
    for (int round = 0; round < 3; ++round)
    {
        auto p = std::make_unique<TQ4AudioProcessor>();
        p->prepareToPlay(22050.0, 882);
        ASSERT_TRUE(runLearn(
                        *p, [](int c, int64_t i) { return drumHits(c, i, 22050.0); }, 20.0)
                        .finished);
        ASSERT_TRUE(p->driveEqJobActive.load());
        juce::Thread::sleep(round * 50);
        const auto started = juce::Time::getMillisecondCounterHiRes();
        p.reset();
        EXPECT_LT(juce::Time::getMillisecondCounterHiRes() - started, 5000.0)
            << "the destructor waits only briefly";
    }
}
