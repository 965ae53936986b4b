#include "ui/TargetMarker.h"
#include "adapt/SourceCatalogue.h"
#include "support/LearnDriver.h"
#include "support/LearnedState.h"
#include "ui/DialGeometry.h"

#include <gtest/gtest.h>

namespace
{

juce::MouseEvent mouseEvent(juce::Component& c, juce::Point<float> position, juce::Point<float> downAt,
                            juce::ModifierKeys mods = juce::ModifierKeys::leftButtonModifier, int clicks = 1)
{
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), position, mods,
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now,
                            downAt, now, clicks, position != downAt);
}

// The marker as the editor places it over the dial, on a processor with a stored learn.
struct Marker : tq4test::LearnedProcessor
{
    TargetMarker marker{processor};

    void SetUp() override
    {
        LearnedProcessor::SetUp();
        if (HasFatalFailure())
            return;

        marker.setBounds(346, 72, 268, 268);
        marker.setCentre(480, 206);
        marker.setRadius(106.0f);
        marker.refresh();
    }

    // Local position of a point on the arc at the given target.
    juce::Point<float> at(float db, float radius = 106.0f) const
    {
        return tq4::pointOnDial({134.0f, 134.0f}, radius, tq4::dialAngleForDb(db));
    }

    void press(juce::Point<float> p) { marker.mouseDown(mouseEvent(marker, p, p)); }
    void drag(juce::Point<float> p, juce::Point<float> from)
    {
        marker.mouseDrag(mouseEvent(marker, p, from));
    }
    void release(juce::Point<float> p, juce::Point<float> from)
    {
        marker.mouseUp(mouseEvent(marker, p, from));
    }

    // The framework's sequence for a double-click.
    void doubleClick(juce::Point<float> p)
    {
        press(p);
        release(p, p);
        press(p);
        marker.mouseDoubleClick(mouseEvent(marker, p, p, juce::ModifierKeys::leftButtonModifier, 2));
        release(p, p);
    }

    juce::Image paintMarker()
    {
        juce::Image image(juce::Image::ARGB, 268, 268, true);
        juce::Graphics g(image);
        marker.paint(g);
        return image;
    }
};

// Strongest alpha in the image; the marker draws nothing else.
int strongestAlpha(const juce::Image& image)
{
    int best = 0;
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            best = std::max(best, static_cast<int>(image.getPixelAt(x, y).getAlpha()));
    return best;
}

} // namespace

TEST(TargetDrag, AnglesMapToTheTenthDbGridInsideTheRange)
{
    struct Case
    {
        float angle, maxDb, expected;
    };
    for (const auto& c :
         {Case{0.0f, 20.0f, 10.0f}, Case{140.0f, 20.0f, 20.0f}, Case{175.0f, 20.0f, 20.0f},
          Case{-140.0f, 20.0f, 1.0f}, Case{-170.0f, 20.0f, 1.0f}, Case{200.0f, 12.0f, 12.0f},
          Case{tq4::dialAngleForDb(7.04f), 20.0f, 7.0f}, Case{tq4::dialAngleForDb(7.06f), 20.0f, 7.1f},
          Case{tq4::dialAngleForDb(11.3f), 11.25f, 11.25f}})
        EXPECT_NEAR(tq4::targetForDialAngle(c.angle, c.maxDb), c.expected, 1e-4f)
            << c.angle << " / " << c.maxDb;
}

TEST(TargetDrag, DeadZoneIsTwoUnitsRounded)
{
    EXPECT_FALSE(tq4::dragPassedDeadZone(2.0f));
    EXPECT_FALSE(tq4::dragPassedDeadZone(2.4f));
    EXPECT_TRUE(tq4::dragPassedDeadZone(2.6f));
    EXPECT_TRUE(tq4::dragPassedDeadZone(10.0f));
}

TEST(TargetDial, AnglesAndDbAreInverse)
{
    EXPECT_FLOAT_EQ(tq4::dialAngleForDb(0.0f), -140.0f);
    EXPECT_FLOAT_EQ(tq4::dialAngleForDb(20.0f), 140.0f);
    EXPECT_FLOAT_EQ(tq4::dialDbForAngle(tq4::dialAngleForDb(13.7f)), 13.7f);

    // Straight up is 10 dB; the pointer angle is measured clockwise from up.
    const auto top = tq4::pointOnDial({0.0f, 0.0f}, 10.0f, 0.0f);
    EXPECT_NEAR(top.x, 0.0f, 1e-5f);
    EXPECT_NEAR(top.y, -10.0f, 1e-5f);
    EXPECT_NEAR(tq4::pointerAngle({0.0f, 0.0f}, {10.0f, 0.0f}), 90.0f, 1e-4f);
    EXPECT_NEAR(tq4::pointerAngle({0.0f, 0.0f}, {-10.0f, 0.0f}), -90.0f, 1e-4f);
}

TEST(TargetMarkerWithoutLearn, IsInvisibleAndInert)
{
    TQ4AudioProcessor processor;
    processor.timerCallback();
    TargetMarker marker(processor);
    marker.setBounds(346, 72, 268, 268);
    marker.setCentre(480, 206);
    marker.setRadius(106.0f);
    marker.setTooltipText("Target");
    marker.refresh();

    const auto knob = marker.knobPoint().toInt();
    EXPECT_FALSE(marker.hitTest(knob.x, knob.y));
    EXPECT_TRUE(marker.getTooltip().isEmpty());
    EXPECT_FALSE(marker.getWantsKeyboardFocus());

    juce::Image image(juce::Image::ARGB, 268, 268, true);
    juce::Graphics g(image);
    marker.paint(g);
    EXPECT_EQ(strongestAlpha(image), 0);

    marker.mouseDown(mouseEvent(marker, knob.toFloat(), knob.toFloat()));
    EXPECT_FALSE(marker.isDragging());
    EXPECT_EQ(processor.gestureDepth, 0);
}

TEST_F(Marker, HitsOnlyNearTheKnobAndOffersItsTooltip)
{
    const auto knob = at(processor.targetDb.load());
    EXPECT_TRUE(marker.hitTest(juce::roundToInt(knob.x), juce::roundToInt(knob.y)));
    EXPECT_TRUE(marker.hitTest(juce::roundToInt(knob.x + 10.0f), juce::roundToInt(knob.y)));
    EXPECT_FALSE(marker.hitTest(juce::roundToInt(knob.x + 17.0f), juce::roundToInt(knob.y)));
    EXPECT_FALSE(marker.hitTest(134, 134)) << "the centre belongs to the learn button";

    marker.setTooltipText("Target gain reduction");
    EXPECT_EQ(marker.getTooltip(), "Target gain reduction");
}

TEST_F(Marker, DragMovesTheTargetAsOneUndoStep)
{
    const float start = processor.targetDb.load();
    const auto undoBefore = processor.history.undoCount();
    const float goal = start > 6.0f ? start - 3.0f : start + 3.0f;

    // Grabbed off-centre: the marker keeps its offset rather than jumping under the pointer.
    const auto down = at(start, 110.0f) + juce::Point<float>(2.0f, 0.0f);
    press(down);
    EXPECT_TRUE(marker.isDragging());
    EXPECT_EQ(processor.gestureDepth, 1);

    // Inside the dead zone nothing is written.
    drag(down + juce::Point<float>(1.5f, 1.0f), down);
    EXPECT_FLOAT_EQ(processor.targetDb.load(), start);

    const float offset = tq4::dialAngleForDb(start) - tq4::pointerAngle({134.0f, 134.0f}, down);
    const auto to = tq4::pointOnDial({134.0f, 134.0f}, 110.0f, tq4::dialAngleForDb(goal) - offset);
    drag(to, down);
    EXPECT_NEAR(processor.targetDb.load(), goal, 0.051f);
    release(to, down);

    EXPECT_FALSE(marker.isDragging());
    EXPECT_EQ(processor.gestureDepth, 0);
    EXPECT_EQ(processor.history.undoCount(), undoBefore + 1);

    ASSERT_TRUE(processor.history.undo());
    processor.refreshTargetState();
    EXPECT_NEAR(processor.targetDb.load(), start, 1e-4f);
}

TEST_F(Marker, DragPastTheEndStopsAtTheReachableMaximum)
{
    const auto down = at(processor.targetDb.load());
    press(down);
    drag(tq4::pointOnDial({134.0f, 134.0f}, 106.0f, 139.9f), down);
    drag(tq4::pointOnDial({134.0f, 134.0f}, 106.0f, 160.0f), down);
    release(down, down);

    const float expected = std::min(20.0f, processor.targetMaxDb.load());
    EXPECT_LE(processor.targetDb.load(), expected + 1e-4f);
    EXPECT_GE(processor.targetDb.load(), expected - 0.05f - 1e-4f);
}

TEST_F(Marker, RightButtonDoesNotGrab)
{
    const auto knob = at(processor.targetDb.load());
    marker.mouseDown(mouseEvent(marker, knob, knob, juce::ModifierKeys::rightButtonModifier));
    EXPECT_FALSE(marker.isDragging());
    EXPECT_EQ(processor.gestureDepth, 0);
}

TEST_F(Marker, DoubleClickReturnsToTheLearnValueInOneUndoStep)
{
    const float learnValue = processor.targetLearnDb.load();
    const float moved = learnValue > 6.0f ? learnValue - 4.0f : learnValue + 4.0f;
    ASSERT_TRUE(processor.writeTarget(moved));
    marker.refresh();
    const auto undoBefore = processor.history.undoCount();

    doubleClick(at(processor.targetDb.load()));
    EXPECT_FLOAT_EQ(processor.targetDb.load(), learnValue);
    EXPECT_EQ(processor.gestureDepth, 0);
    EXPECT_EQ(processor.history.undoCount(), undoBefore + 1);

    ASSERT_TRUE(processor.history.undo());
    processor.refreshTargetState();
    EXPECT_NEAR(processor.targetDb.load(), moved, 0.051f);
}

TEST_F(Marker, DoubleClickUsesTheProfileOfTheClampedDetail)
{
    tq4test::setParameter(processor, "source", 2.0f);
    tq4test::setParameter(processor, "nuance", 7.0f);
    processor.timerCallback();
    processor.refreshTargetState();
    marker.refresh();
    ASSERT_TRUE(marker.isTargetAvailable());

    const int lastDrum = tq4::detailNames(2).size() - 1;
    ASSERT_LT(lastDrum, 7) << "the stored detail must lie past Drum's list";
    const float drumTarget = tq4::sourceProfile(2, lastDrum).defaultTargetDb;

    ASSERT_TRUE(processor.writeTarget(drumTarget > 6.0f ? drumTarget - 3.0f : drumTarget + 3.0f));
    marker.refresh();
    doubleClick(at(processor.targetDb.load()));
    EXPECT_FLOAT_EQ(processor.targetDb.load(), drumTarget);
}

TEST_F(Marker, ModifiedTargetDrawsAtAThirdOfItsStrengthAndHoverLightensIt)
{
    const auto normal = paintMarker();
    const int full = strongestAlpha(normal);
    EXPECT_GE(full, 250);

    tq4test::setParameter(processor, "ratio", tq4test::parameterValue(processor, "ratio") + 2.0f);
    processor.refreshTargetState();
    marker.refresh();
    ASSERT_TRUE(processor.targetModified.load());
    const auto modified = paintMarker();
    EXPECT_NEAR(strongestAlpha(modified), 0.35 * full, 6.0);

    const auto knob = at(processor.targetDb.load());
    marker.mouseEnter(mouseEvent(marker, knob, knob, {}));
    EXPECT_TRUE(marker.isHovered());
    const auto hovered = paintMarker();
    marker.mouseExit(mouseEvent(marker, knob, knob, {}));
    EXPECT_FALSE(marker.isHovered());

    // Normal, modified and hovered side by side over the ground, twice the size, for a look.
    juce::Image sheet(juce::Image::RGB, 3 * 536, 536, true);
    {
        juce::Graphics g(sheet);
        g.fillAll(juce::Colour(0xFF0D0A19));
        g.addTransform(juce::AffineTransform::scale(2.0f));
        g.drawImageAt(normal, 0, 0);
        g.drawImageAt(modified, 268, 0);
        g.drawImageAt(hovered, 536, 0);
    }
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile("target-markers.png");
    file.deleteFile();
    juce::FileOutputStream stream(file);
    juce::PNGImageFormat().writeImageToStream(sheet, stream);

    // Hovered: a lighter amber on a wider line and a bigger triangle, with a glow around them.
    const auto tip = knob.toInt();
    EXPECT_GT(hovered.getPixelAt(tip.x, tip.y).getBlue(), modified.getPixelAt(tip.x, tip.y).getBlue());
    const auto covered = [](const juce::Image& image)
    {
        int count = 0;
        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
                count += image.getPixelAt(x, y).getAlpha() > 20 ? 1 : 0;
        return count;
    };
    EXPECT_GT(covered(hovered), covered(modified) + 50);
}
