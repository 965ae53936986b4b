#include "support/LearnDriver.h"
#include "support/LearnedState.h"

#include <gtest/gtest.h>

using namespace tq4test;

namespace
{

double base(TQ4AudioProcessor& p, const char* property)
{
    const juce::ScopedLock lock(p.stateLock);
    return p.apvts.state[property];
}

using Learned = LearnedProcessor;

} // namespace

TEST(Adaptation, WritingWithBaseRecordsTheWrittenValue)
{
    TQ4AudioProcessor p;
    p.writeParameterWithBase("threshold", -24.04f, false);
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -24.0f);
    EXPECT_NEAR(base(p, "tq4BaseThreshold"), -24.0, 1e-5);

    // The user's offset rides on top of the next adaptive value.
    setParameter(p, "threshold", -21.0f);
    p.writeParameterWithBase("threshold", -30.0f, true);
    EXPECT_NEAR(parameterValue(p, "threshold"), -27.0f, 0.051f);
    EXPECT_NEAR(base(p, "tq4BaseThreshold"), -30.0, 1e-5);

    // Without preserving, the offset is discarded.
    p.writeParameterWithBase("threshold", -40.0f, false);
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -40.0f);

    // A discrete parameter the user moved away from its base stays; its base still moves.
    p.writeParameterWithBase("autoRelease", 1.0f, false);
    setParameter(p, "autoRelease", 0.0f);
    p.writeParameterWithBase("autoRelease", 1.0f, true);
    EXPECT_FLOAT_EQ(parameterValue(p, "autoRelease"), 0.0f);
    EXPECT_DOUBLE_EQ(base(p, "tq4BaseAutoRelease"), 1.0);

    // Parameters without a base row are never written.
    p.writeParameterWithBase("output", 6.0f, false);
    EXPECT_FLOAT_EQ(parameterValue(p, "output"), 0.0f);
}

TEST(Adaptation, ASourceChangeWithoutALearnOnlyUpdatesTheAppliedPair)
{
    TQ4AudioProcessor p;
    const auto before = p.history.snapshotState();
    setParameter(p, "source", 4.0f);
    setParameter(p, "nuance", 1.0f);
    p.timerCallback();
    EXPECT_EQ(static_cast<int>(base(p, "tq4AppliedSource")), 4);
    EXPECT_EQ(static_cast<int>(base(p, "tq4AppliedNuance")), 1);
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -18.0f);
    EXPECT_DOUBLE_EQ(base(p, "tq4BaseThreshold"), static_cast<double>(before["tq4BaseThreshold"]));
}

TEST(Adaptation, ADetailOutsideTheSourceIsPulledBackOnTheNextTick)
{
    TQ4AudioProcessor p;
    setParameter(p, "source", 1.0f); // Vocal: two details
    setParameter(p, "nuance", 7.0f);
    p.timerCallback();
    EXPECT_FLOAT_EQ(parameterValue(p, "nuance"), 1.0f);
    EXPECT_EQ(static_cast<int>(base(p, "tq4AppliedNuance")), 1);
}

TEST_F(Learned, ANewDetailResolvesAndKeepsTheUsersOffset)
{
    const float learned = parameterValue(processor, "threshold");
    setParameter(processor, "threshold", learned + 3.0f);
    const auto& range = processor.apvts.getParameter("threshold")->getNormalisableRange();
    const float offset = range.convertTo0to1(learned + 3.0f) - range.convertTo0to1(learned);

    setParameter(processor, "source", 2.0f);
    setParameter(processor, "nuance", 0.0f); // Drum › Kick
    processor.timerCallback();

    const double newBase = base(processor, "tq4BaseThreshold");
    EXPECT_EQ(static_cast<int>(base(processor, "tq4AppliedSource")), 2);
    EXPECT_NEAR(range.convertTo0to1(parameterValue(processor, "threshold")) -
                    range.convertTo0to1(static_cast<float>(newBase)),
                offset, 0.002f);
    EXPECT_NEAR(processor.targetDb.load(), tq4::sourceProfile(2, 0).defaultTargetDb, 0.006f);
}

TEST_F(Learned, SwitchingCharacterAloneTriggersNoReconcile)
{
    const double baseCharacter = base(processor, "tq4BaseCharacter");
    const float threshold = parameterValue(processor, "threshold");
    setParameter(processor, "character", 2.0f);
    processor.timerCallback();
    setParameter(processor, "character", 0.0f);
    processor.timerCallback();
    EXPECT_DOUBLE_EQ(base(processor, "tq4BaseCharacter"), baseCharacter);
    EXPECT_FLOAT_EQ(parameterValue(processor, "threshold"), threshold);
    EXPECT_EQ(processor.resolvedCharacter.load(), juce::roundToInt(baseCharacter));
}
