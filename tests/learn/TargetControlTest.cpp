#include "support/LearnDriver.h"

#include <gtest/gtest.h>

using namespace tq4test;

namespace
{

struct Target : ::testing::Test
{
    TQ4AudioProcessor p;
    void SetUp() override
    {
        p.prepareToPlay(48000.0, 1920);
        ASSERT_TRUE(runLearn(
                        p, [](int c, int64_t i) { return drumHits(c, i, 48000.0); }, 20.0)
                        .finished);
        ASSERT_TRUE(waitForDriveEq(p, 240.0));
        p.timerCallback();
        ASSERT_TRUE(p.targetAvailable.load());
    }

    double storedTarget()
    {
        const juce::ScopedLock lock(p.stateLock);
        return p.apvts.state["tq4TargetDb"];
    }
};

} // namespace

TEST(TargetQuantize, SnapsToTheGridAndRange)
{
    struct Case
    {
        float in, out;
    };
    for (const auto& c : {Case{7.04f, 7.0f}, Case{7.05f, 7.1f}, Case{0.2f, 1.0f}, Case{25.0f, 20.0f}})
        EXPECT_NEAR(TQ4AudioProcessor::quantizeTarget(c.in), c.out, 1e-5f) << c.in;
}

TEST(TargetControl, UnavailableWithoutALearn)
{
    TQ4AudioProcessor p;
    p.timerCallback();
    EXPECT_FALSE(p.targetAvailable.load());
    EXPECT_EQ(p.targetMaxDb.load(), 20.0f);
    EXPECT_FALSE(p.writeTarget(6.0f));
}

TEST_F(Target, WritingMovesRatioKneeAndThresholdTogether)
{
    const float learnValue = p.targetLearnDb.load();
    const float ratio = parameterValue(p, "ratio");
    const float threshold = parameterValue(p, "threshold");

    const float deeper = juce::jmin(p.targetMaxDb.load(), learnValue + 3.0f);
    ASSERT_TRUE(p.writeTarget(deeper));
    EXPECT_GT(parameterValue(p, "ratio"), ratio);
    EXPECT_LE(parameterValue(p, "threshold"), threshold);
    EXPECT_NEAR(p.targetDb.load(), TQ4AudioProcessor::quantizeTarget(deeper), 1e-4f);
    EXPECT_FALSE(p.targetModified.load());
    EXPECT_EQ(p.history.undoCount(), 1u) << "the learn; the write outside a gesture records nothing new";

    ASSERT_TRUE(p.writeTarget(learnValue + 0.004f));
    EXPECT_DOUBLE_EQ(storedTarget(), std::round(static_cast<double>(learnValue) * 100.0) / 100.0);
    EXPECT_FLOAT_EQ(p.targetDb.load(), learnValue);
}

TEST_F(Target, TargetsBeyondTheMaterialStopAtTheReachableMaximum)
{
    ASSERT_TRUE(p.writeTarget(50.0f));
    EXPECT_LE(p.targetDb.load(), p.targetMaxDb.load() + 1e-4f);
    EXPECT_GE(p.targetMaxDb.load(), juce::jmin(20.0f, p.targetLearnDb.load()));
    ASSERT_TRUE(p.writeTarget(0.0f));
    EXPECT_NEAR(p.targetDb.load(), 1.0f, 1e-4f);
}

TEST_F(Target, AHandTurnedRatioMarksTheTargetModifiedUntilTheNextWrite)
{
    setParameter(p, "ratio", parameterValue(p, "ratio") + 2.0f);
    p.refreshTargetState();
    EXPECT_TRUE(p.targetModified.load());
    ASSERT_TRUE(p.writeTarget(p.targetDb.load() + 1.0f));
    EXPECT_FALSE(p.targetModified.load());
}

TEST_F(Target, ADragInsideAGestureIsOneUndoStep)
{
    const float ratio = parameterValue(p, "ratio");
    p.history.beginGesture();
    for (float t : {6.0f, 7.0f, 8.0f})
        p.writeTarget(t);
    p.history.endGesture();
    EXPECT_EQ(p.history.undoCount(), 2u);
    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "ratio"), ratio);
}

TEST_F(Target, RefusedWhileALearnIsRequested)
{
    p.learnRequested = true;
    EXPECT_FALSE(p.writeTarget(8.0f));
    p.refreshTargetState();
    EXPECT_FALSE(p.targetAvailable.load());
}
