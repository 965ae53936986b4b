#include "plugin/KnobUndoBridge.h"
#include "plugin/UserButtonAttachment.h"
#include "support/LearnDriver.h"

#include <gtest/gtest.h>

using namespace tq4test;

namespace
{

// One user edit of a parameter as the editor makes it: a gesture around a host-notifying change.
void edit(TQ4AudioProcessor& p, const char* id, float value)
{
    p.history.beginGesture();
    setParameter(p, id, value);
    p.history.commitPending();
    p.history.endGesture();
}

} // namespace

TEST(EditHistory, UndoAndRedoWalkThroughEdits)
{
    TQ4AudioProcessor p;
    edit(p, "threshold", -30.0f);
    edit(p, "ratio", 8.0f);
    EXPECT_EQ(p.history.undoCount(), 2u);

    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "ratio"), 4.0f);
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -30.0f);
    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -18.0f);
    EXPECT_FALSE(p.history.undo());

    ASSERT_TRUE(p.history.redo());
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -30.0f);
    EXPECT_EQ(p.history.redoCount(), 1u) << "a redo keeps the rest of the redo stack";

    edit(p, "knee", 80.0f);
    EXPECT_FALSE(p.history.canRedo()) << "a new edit clears the redo stack";
}

TEST(EditHistory, AGestureThatChangesNothingLeavesNoEntry)
{
    TQ4AudioProcessor p;
    p.history.beginGesture();
    p.history.commitPending();
    p.history.endGesture();
    EXPECT_EQ(p.history.undoCount(), 0u);
    EXPECT_FALSE(p.history.hasPending());

    // A drag that returns to where it began: its entry equals the present and is skipped.
    edit(p, "threshold", -30.0f);
    p.history.beginGesture();
    setParameter(p, "ratio", 6.0f);
    p.history.commitPending();
    setParameter(p, "ratio", 4.0f);
    p.history.endGesture();
    EXPECT_EQ(p.history.undoCount(), 2u);
    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -18.0f);
}

TEST(EditHistory, KeepsOnlyTheLastHundredEntries)
{
    TQ4AudioProcessor p;
    for (int i = 0; i < 150; ++i)
        edit(p, "threshold", -1.0f - 0.1f * static_cast<float>(i));
    EXPECT_EQ(p.history.undoCount(), 100u);
    int undone = 0;
    while (p.history.undo())
        ++undone;
    EXPECT_EQ(undone, 100);
    EXPECT_NEAR(parameterValue(p, "threshold"), -1.0f - 0.1f * 49.0f, 1e-4f);
}

TEST(EditHistory, BypassIsNeverPartOfAnEdit)
{
    TQ4AudioProcessor p;
    edit(p, "bypass", 1.0f);
    EXPECT_EQ(p.history.undoCount(), 0u);

    edit(p, "threshold", -30.0f);
    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "bypass"), 1.0f);
}

TEST(EditHistory, RefusesWhileAControlIsHeldOrALearnIsActive)
{
    TQ4AudioProcessor p;
    edit(p, "threshold", -30.0f);

    p.history.beginGesture();
    EXPECT_FALSE(p.history.canUndo());
    EXPECT_FALSE(p.history.undo());
    p.history.endGesture();

    p.learnRequested = true;
    EXPECT_FALSE(p.history.undo());
    p.learnRequested = false;

    p.driveEqJobActive = true;
    EXPECT_FALSE(p.history.canUndo());
    p.driveEqJobActive = false;

    EXPECT_TRUE(p.history.undo());
}

TEST(EditHistory, AHostRestoreClearsTheHistory)
{
    TQ4AudioProcessor p;
    edit(p, "threshold", -30.0f);
    juce::MemoryBlock block;
    p.getStateInformation(block);
    for (int i = 0; i < 2; ++i)
    {
        edit(p, "ratio", 6.0f + static_cast<float>(i));
        p.setStateInformation(block.getData(), static_cast<int>(block.getSize()));
        EXPECT_FALSE(p.history.canUndo());
        EXPECT_EQ(p.history.undoCount(), 0u);
    }
}

TEST(EditHistory, KnobDragIsOneGestureWithAtMostOneEntry)
{
    TQ4AudioProcessor p;
    juce::Slider slider;
    slider.setRange(-60.0, 0.0);
    tq4::KnobUndoBridge bridge(&p.history);
    slider.addListener(&bridge);

    bridge.sliderDragStarted(&slider);
    EXPECT_EQ(p.gestureDepth, 1);
    for (float v : {-20.0f, -22.0f, -25.0f})
    {
        setParameter(p, "threshold", v);
        bridge.sliderValueChanged(&slider);
    }
    bridge.sliderDragEnded(&slider);
    slider.removeListener(&bridge);

    EXPECT_EQ(p.gestureDepth, 0);
    EXPECT_EQ(p.history.undoCount(), 1u);
    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -18.0f);
}

TEST(EditHistory, EachToggleClickIsOneEntry)
{
    TQ4AudioProcessor p;
    juce::ToggleButton button;
    tq4::UserButtonAttachment attachment(*p.apvts.getParameter("autoMakeup"), button, p.history);

    // What a click does: flip the toggle and notify.
    const auto click = [&] { button.setToggleState(!button.getToggleState(), juce::sendNotificationSync); };
    click();
    EXPECT_FLOAT_EQ(parameterValue(p, "autoMakeup"), 1.0f);
    click();
    EXPECT_FLOAT_EQ(parameterValue(p, "autoMakeup"), 0.0f);
    EXPECT_EQ(p.history.undoCount(), 2u);

    ASSERT_TRUE(p.history.undo());
    ASSERT_TRUE(p.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(p, "autoMakeup"), 0.0f);
    EXPECT_FALSE(p.history.canUndo());

    setParameter(p, "autoMakeup", 1.0f); // from the host: the button follows, no entry
    EXPECT_TRUE(button.getToggleState());
    EXPECT_EQ(p.history.undoCount(), 0u);
}

TEST(EditHistory, AHostRestoreAtAnyPointOfALearnLeavesUndoConsistent)
{
    enum class RestoreAt
    {
        beforeArming, // after the LEARN click, before the tick that arms the capture
        duringCapture,
        afterFinish
    };
    for (const auto when : {RestoreAt::beforeArming, RestoreAt::duringCapture, RestoreAt::afterFinish})
    {
        SCOPED_TRACE(static_cast<int>(when));
        TQ4AudioProcessor p;
        p.prepareToPlay(22050.0, 882);
        edit(p, "threshold", -30.0f);
        juce::MemoryBlock saved;
        p.getStateInformation(saved);
        edit(p, "ratio", 8.0f);
        const auto restore = [&]
        { p.setStateInformation(saved.getData(), static_cast<int>(saved.getSize())); };
        const auto learnValid = [&]
        {
            const juce::ScopedLock lock(p.stateLock);
            return static_cast<bool>(p.apvts.state["tq4LearnValid"]);
        };

        if (when == RestoreAt::beforeArming)
        {
            p.learnRequested = true;
            restore();
        }
        const auto run = runLearn(
            p, [](int c, int64_t i) { return drumHits(c, i, 22050.0); }, 20.0,
            [&](int tick)
            {
                if (when == RestoreAt::duringCapture && tick == 50)
                    restore();
            });
        ASSERT_TRUE(run.finished);
        if (when == RestoreAt::afterFinish)
            restore();
        ASSERT_TRUE(waitForDriveEq(p, 240.0));

        if (when == RestoreAt::beforeArming)
        {
            // The learn began on the restored state, so it is written and is the one step back.
            EXPECT_TRUE(learnValid());
            ASSERT_TRUE(p.history.canUndo());
            ASSERT_TRUE(p.history.undo());
            EXPECT_FALSE(learnValid());
        }
        else
        {
            EXPECT_FALSE(p.history.canUndo());
            EXPECT_FALSE(p.history.undo());
        }
        EXPECT_FALSE(learnValid());
        EXPECT_FLOAT_EQ(parameterValue(p, "threshold"), -30.0f);
        EXPECT_FLOAT_EQ(parameterValue(p, "ratio"), 4.0f);
        EXPECT_FALSE(p.history.canUndo()) << "nothing from before the restore survives";
    }
}
