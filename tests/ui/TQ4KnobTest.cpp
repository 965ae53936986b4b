#include "ui/TQ4Knob.h"
#include "support/OnScreen.h"
#include "support/ParameterSet.h"
#include "support/RecordingGestures.h"
#include "ui/TQ4LookAndFeel.h"

#include <gtest/gtest.h>

namespace
{

juce::MouseEvent doubleClickAt(juce::Component& c, juce::Point<float> position)
{
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), position, {},
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now,
                            position, now, 2, false);
}

juce::Label* valueBox(juce::Component& knob)
{
    for (auto* child : knob.getChildren())
        if (auto* label = dynamic_cast<juce::Label*>(child))
            return label;
    return nullptr;
}

class KnobTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        parent.setLookAndFeel(&lookAndFeel);
        parent.setSize(960, 540);
    }
    void TearDown() override { parent.setLookAndFeel(nullptr); }

    void setUpKnob(const char* id, juce::Point<int> centre, int radius, int decimals = 1)
    {
        tq4::setupKnob(knob, params[id], &history, "CAPTION", "dB", decimals, parent);
        knob.setGeometry(centre, radius);
    }

    tq4test::ParameterSet params;
    tq4test::RecordingGestures history{params.owner};
    tq4::TQ4LookAndFeel lookAndFeel;
    juce::Component parent;
    tq4::TQ4Knob knob;
};

} // namespace

TEST_F(KnobTest, SetupStylesAndBindsTheKnob)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);

    EXPECT_EQ(knob.getParentComponent(), &parent);
    EXPECT_TRUE(knob.isVisible());
    EXPECT_EQ(knob.getSliderStyle(), juce::Slider::RotaryVerticalDrag);
    EXPECT_EQ(knob.getCaption(), "CAPTION");
    EXPECT_EQ(knob.getProperties()["tq4Unit"].toString(), "dB");
    EXPECT_EQ((int)knob.getProperties()["tq4Dec"], 1);
    EXPECT_FLOAT_EQ((float)knob.getValue(), -18.0f);
    EXPECT_DOUBLE_EQ(knob.getDoubleClickReturnValue(), -18.0);

    const auto rotary = knob.getRotaryParameters();
    EXPECT_FLOAT_EQ(rotary.startAngleRadians, 1.25f * juce::MathConstants<float>::pi);
    EXPECT_FLOAT_EQ(rotary.endAngleRadians, 2.75f * juce::MathConstants<float>::pi);
    EXPECT_TRUE(rotary.stopAtEnd);

    // The parameter reaches the knob, and the knob the parameter.
    params.set(tq4::ParamIds::threshold, -30.0f);
    EXPECT_FLOAT_EQ((float)knob.getValue(), -30.0f);
}

TEST_F(KnobTest, GeometryPlacesTheKnobAndItsCaption)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);
    EXPECT_EQ(knob.getBounds(), juce::Rectangle<int>(36, 144, 104, 104));
    EXPECT_EQ((int)knob.getProperties()["tq4R"], 42);
    EXPECT_EQ(knob.getRadius(), 42);
    EXPECT_EQ(knob.getCentre(), juce::Point<int>(88, 196));
    EXPECT_EQ(knob.getCaptionAnchor(), juce::Point<int>(88, 262));
}

TEST_F(KnobTest, EachDragIsOneGestureWithAtMostOneUndoEntry)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);
    tq4test::HostGestures host;
    params[tq4::ParamIds::threshold].addListener(&host);

    struct Case
    {
        std::vector<double> steps;
        size_t entries;
        float finalValue;
    };
    // One step is what a wheel notch, a reset or a typed value does inside its drag notification.
    const Case cases[] = {{{-20.0, -22.0, -24.0}, 1, -24.0f}, {{-12.5}, 1, -12.5f}, {{}, 0, -18.0f}};

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.steps.size());
        params.set(tq4::ParamIds::threshold, -18.0f);
        history.entries.clear();
        const auto before = history.snapshot();
        {
            juce::Slider::ScopedDragNotification drag(knob);
            EXPECT_EQ(history.depth, 1);
            for (auto v : c.steps)
                knob.setValue(v, juce::sendNotificationSync);
        }
        EXPECT_EQ(history.depth, 0);
        ASSERT_EQ(history.entries.size(), c.entries);
        if (c.entries > 0)
        {
            EXPECT_EQ(history.entries[0], before);
        }
        EXPECT_FLOAT_EQ(params.plain(tq4::ParamIds::threshold), c.finalValue);
    }

    EXPECT_EQ(host.begun, 3);
    EXPECT_EQ(host.ended, 3);
    params[tq4::ParamIds::threshold].removeListener(&host);
}

TEST_F(KnobTest, AClickedKnobTakesTheKeyboardFocus)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);
    tq4test::OnScreen screen(parent);
    EXPECT_NE(juce::Component::getCurrentlyFocusedComponent(), &knob);

    screen.click({88.0f, 196.0f});
    EXPECT_EQ(juce::Component::getCurrentlyFocusedComponent(), &knob);
    EXPECT_TRUE(history.entries.empty()) << "a click that turns nothing records nothing";
    EXPECT_EQ(history.depth, 0);
}

TEST_F(KnobTest, ArrowKeysOnTheFocusedKnobStepByTheParameterInterval)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);
    tq4test::OnScreen screen(parent);
    screen.click({88.0f, 196.0f});
    ASSERT_EQ(juce::Component::getCurrentlyFocusedComponent(), &knob);

    struct Case
    {
        juce::KeyPress key;
        bool consumed;
        float expected;
    };
    const auto right = juce::KeyPress::rightKey;
    const Case cases[] = {
        {juce::KeyPress(right), true, -17.9f},
        {juce::KeyPress(juce::KeyPress::upKey), true, -17.9f},
        {juce::KeyPress(juce::KeyPress::leftKey), true, -18.1f},
        {juce::KeyPress(juce::KeyPress::downKey), true, -18.1f},
        {juce::KeyPress(right, juce::ModifierKeys::shiftModifier, 0), false, -18.0f},
        {juce::KeyPress(right, juce::ModifierKeys::ctrlModifier, 0), false, -18.0f},
        {juce::KeyPress(right, juce::ModifierKeys::altModifier, 0), false, -18.0f},
        {juce::KeyPress('a'), false, -18.0f},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.key.getTextDescription());
        params.set(tq4::ParamIds::threshold, -18.0f);
        history.entries.clear();

        EXPECT_EQ(screen.press(c.key), c.consumed);
        screen.releaseKeys();
        EXPECT_NEAR(params.plain(tq4::ParamIds::threshold), c.expected, 1e-4f);
        EXPECT_EQ(history.entries.size(), c.consumed ? 1u : 0u);
        EXPECT_EQ(history.depth, 0);
    }
}

TEST_F(KnobTest, AHeldArrowKeyIsOneGestureAndOneUndoEntry)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);
    tq4test::OnScreen screen(parent);
    screen.click({88.0f, 196.0f});
    ASSERT_EQ(juce::Component::getCurrentlyFocusedComponent(), &knob);
    tq4test::HostGestures host;
    params[tq4::ParamIds::threshold].addListener(&host);
    const auto before = history.snapshot();

    // Auto-repeat: key presses with the message loop running between them, then the release.
    for (int i = 0; i < 6; ++i)
    {
        EXPECT_TRUE(screen.press(juce::KeyPress(juce::KeyPress::upKey)));
        if (i % 2 == 1)
            tq4test::pumpMessages(5);
    }
    EXPECT_EQ(history.depth, 1) << "still held";
    screen.releaseKeys();

    EXPECT_NEAR(params.plain(tq4::ParamIds::threshold), -17.4f, 1e-4f);
    ASSERT_EQ(history.entries.size(), 1u);
    EXPECT_EQ(history.entries[0], before);
    EXPECT_EQ(history.depth, 0);
    EXPECT_EQ(host.begun, 1);
    EXPECT_EQ(host.ended, 1);

    // The next press is a gesture of its own.
    EXPECT_TRUE(screen.press(juce::KeyPress(juce::KeyPress::downKey)));
    screen.releaseKeys();
    EXPECT_EQ(history.entries.size(), 2u);
    EXPECT_EQ(host.begun, 2);
    EXPECT_EQ(host.ended, 2);
    params[tq4::ParamIds::threshold].removeListener(&host);
}

TEST_F(KnobTest, LosingFocusOrAClickEndsTheKeyGesture)
{
    setUpKnob(tq4::ParamIds::threshold, {88, 196}, 42);
    tq4test::OnScreen screen(parent);
    screen.click({88.0f, 196.0f});
    ASSERT_EQ(juce::Component::getCurrentlyFocusedComponent(), &knob);

    // The release never arrives: the focus moves elsewhere while the key is down.
    EXPECT_TRUE(screen.press(juce::KeyPress(juce::KeyPress::upKey)));
    parent.setWantsKeyboardFocus(true);
    parent.grabKeyboardFocus();
    tq4test::pumpMessages(10);
    EXPECT_EQ(history.depth, 0);
    EXPECT_EQ(history.entries.size(), 1u);

    // A click while the key is down: the step joins the click's own gesture, none stays open.
    screen.click({88.0f, 196.0f});
    EXPECT_TRUE(screen.press(juce::KeyPress(juce::KeyPress::upKey)));
    screen.click({88.0f, 196.0f});
    tq4test::pumpMessages(10);
    EXPECT_EQ(history.depth, 0);
    EXPECT_EQ(history.entries.size(), 2u);
    EXPECT_NEAR(params.plain(tq4::ParamIds::threshold), -17.8f, 1e-4f);
}

TEST_F(KnobTest, KeyStepIsOnePercentOfTheRangeWithoutAnInterval)
{
    tq4::TQ4Knob plain;
    plain.setRange(0.0, 200.0, 0.0);
    plain.setValue(50.0);
    EXPECT_TRUE(plain.keyPressed(juce::KeyPress(juce::KeyPress::rightKey)));
    EXPECT_DOUBLE_EQ(plain.getValue(), 52.0);
}

TEST_F(KnobTest, DoubleClickOnTheRingResetsToTheDefault)
{
    setUpKnob(tq4::ParamIds::ratio, {200, 160}, 28);
    params.set(tq4::ParamIds::ratio, 10.0f);
    history.entries.clear();

    // The component is 76 square: its centre is (38, 38), the ring 27 from it.
    knob.mouseDoubleClick(doubleClickAt(knob, {38.0f + 27.0f, 38.0f}));

    EXPECT_NEAR(params.plain(tq4::ParamIds::ratio), 4.0f, 1e-4f);
    EXPECT_EQ(history.entries.size(), 1u);
    ASSERT_NE(valueBox(knob), nullptr);
    EXPECT_FALSE(valueBox(knob)->isBeingEdited());
}

TEST_F(KnobTest, DoubleClickOnTheBodyOpensTheValueBox)
{
    setUpKnob(tq4::ParamIds::ratio, {200, 160}, 28);
    params.set(tq4::ParamIds::ratio, 10.0f);

    knob.mouseDoubleClick(doubleClickAt(knob, {40.0f, 36.0f}));

    auto* box = valueBox(knob);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isBeingEdited());
    EXPECT_EQ(box->getBounds(), juce::Rectangle<int>(16, 27, 44, 22));
    EXPECT_NEAR(params.plain(tq4::ParamIds::ratio), 10.0f, 1e-4f);

    // Clicks on the box reach the knob; only the open text editor takes its own.
    bool self = true, children = false;
    box->getInterceptsMouseClicks(self, children);
    EXPECT_FALSE(self);
    EXPECT_TRUE(children);
}

TEST_F(KnobTest, DisablingDiscardsAnOpenEditAndBlocksInput)
{
    setUpKnob(tq4::ParamIds::release, {200, 268}, 28, 0);
    knob.mouseDoubleClick(doubleClickAt(knob, {38.0f, 38.0f}));
    auto* box = valueBox(knob);
    ASSERT_NE(box, nullptr);
    ASSERT_NE(box->getCurrentTextEditor(), nullptr);
    box->getCurrentTextEditor()->setText("900");

    knob.setEnabled(false);
    EXPECT_FALSE(box->isBeingEdited());
    EXPECT_FLOAT_EQ(params.plain(tq4::ParamIds::release), 200.0f);

    EXPECT_FALSE(knob.keyPressed(juce::KeyPress(juce::KeyPress::rightKey)));
    knob.mouseDoubleClick(doubleClickAt(knob, {38.0f + 27.0f, 38.0f}));
    params.set(tq4::ParamIds::release, 500.0f);
    knob.mouseDoubleClick(doubleClickAt(knob, {38.0f + 27.0f, 38.0f}));
    EXPECT_FLOAT_EQ(params.plain(tq4::ParamIds::release), 500.0f);
    EXPECT_TRUE(history.entries.empty());
    EXPECT_EQ(tq4::knobValueText(knob), "AUTO");
}

TEST_F(KnobTest, BridgeDestroyedMidDragClosesItsGesture)
{
    juce::Slider slider;
    {
        tq4::KnobUndoBridge bridge(&history);
        bridge.sliderDragStarted(&slider);
        EXPECT_EQ(history.depth, 1);
    }
    EXPECT_EQ(history.depth, 0);

    // A drag end without a start (a listener added mid-drag) closes nothing.
    tq4::KnobUndoBridge late(&history);
    late.sliderDragEnded(&slider);
    EXPECT_EQ(history.depth, 0);
}
