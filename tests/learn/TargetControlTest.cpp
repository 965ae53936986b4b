#include "support/LearnDriver.h"
#include "support/LearnedState.h"

#include <gtest/gtest.h>

using namespace tq4test;

namespace
{

struct Target : LearnedProcessor
{
    double storedTarget() { return stateProperty("tq4TargetDb"); }
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
    const float learnValue = processor.targetLearnDb.load();
    const float ratio = parameterValue(processor, "ratio");
    const float threshold = parameterValue(processor, "threshold");

    const float deeper = juce::jmin(processor.targetMaxDb.load(), learnValue + 3.0f);
    ASSERT_TRUE(processor.writeTarget(deeper));
    EXPECT_GT(parameterValue(processor, "ratio"), ratio);
    EXPECT_LE(parameterValue(processor, "threshold"), threshold);
    EXPECT_NEAR(processor.targetDb.load(), TQ4AudioProcessor::quantizeTarget(deeper), 1e-4f);
    EXPECT_FALSE(processor.targetModified.load());
    EXPECT_EQ(processor.history.undoCount(), 0u) << "a write outside a gesture records nothing";

    ASSERT_TRUE(processor.writeTarget(learnValue + 0.004f));
    EXPECT_DOUBLE_EQ(storedTarget(), std::round(static_cast<double>(learnValue) * 100.0) / 100.0);
    EXPECT_FLOAT_EQ(processor.targetDb.load(), learnValue);
}

TEST_F(Target, TargetsBeyondTheMaterialStopAtTheReachableMaximum)
{
    ASSERT_TRUE(processor.writeTarget(50.0f));
    EXPECT_LE(processor.targetDb.load(), processor.targetMaxDb.load() + 1e-4f);
    EXPECT_GE(processor.targetMaxDb.load(), juce::jmin(20.0f, processor.targetLearnDb.load()));
    ASSERT_TRUE(processor.writeTarget(0.0f));
    EXPECT_NEAR(processor.targetDb.load(), 1.0f, 1e-4f);
}

TEST_F(Target, AHandTurnedRatioMarksTheTargetModifiedUntilTheNextWrite)
{
    setParameter(processor, "ratio", parameterValue(processor, "ratio") + 2.0f);
    processor.refreshTargetState();
    EXPECT_TRUE(processor.targetModified.load());
    ASSERT_TRUE(processor.writeTarget(processor.targetDb.load() + 1.0f));
    EXPECT_FALSE(processor.targetModified.load());
}

TEST_F(Target, ADragInsideAGestureIsOneUndoStep)
{
    const float ratio = parameterValue(processor, "ratio");
    processor.history.beginGesture();
    for (float t : {6.0f, 7.0f, 8.0f})
        processor.writeTarget(t);
    processor.history.endGesture();
    EXPECT_EQ(processor.history.undoCount(), 1u);
    ASSERT_TRUE(processor.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(processor, "ratio"), ratio);
}

TEST_F(Target, RefusedWhileALearnIsRequested)
{
    processor.learnRequested = true;
    EXPECT_FALSE(processor.writeTarget(8.0f));
    processor.refreshTargetState();
    EXPECT_FALSE(processor.targetAvailable.load());
}
