#include "ui/ChoiceChips.h"
#include "support/ParameterSet.h"
#include "support/RecordingGestures.h"

#include <gtest/gtest.h>

namespace
{

juce::MouseEvent mouseAt(juce::Component& c, juce::Point<float> position, juce::ModifierKeys mods = {})
{
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), position, mods,
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now,
                            position, now, 1, false);
}

bool isLit(const juce::Image& image, juce::Rectangle<int> chip)
{
    // Sampled above the label: the lit pill carries the saturated brand gradient.
    return image.getPixelAt(chip.getX() + 8, chip.getY() + 6).getSaturation() > 0.4f;
}

class ChipsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::vector<juce::Rectangle<int>> rects;
        for (int i = 0; i < 4; ++i)
            rects.push_back({372 + 55 * i, 382, 51, 22});
        chips.setChipRects(rects);
        gestures.probe = [this] { return params.plain(tq4::ParamIds::character); };
    }

    juce::Image paintChips()
    {
        juce::Image image(juce::Image::ARGB, chips.getWidth(), chips.getHeight(), true);
        juce::Graphics g(image);
        chips.paint(g);
        return image;
    }

    tq4test::ParameterSet params;
    tq4test::RecordingGestures gestures;
    tq4::ChoiceChips chips{
        &gestures, params[tq4::ParamIds::character], {"AUTO", "OPTO", "FET", "VCA"}, 10.5f};
};

} // namespace

TEST_F(ChipsTest, TakesItsBoundsFromTheUnionOfTheChips)
{
    EXPECT_EQ(chips.getBounds(), juce::Rectangle<int>(372, 382, 216, 22));
    ASSERT_EQ(chips.getChipRects().size(), 4u);
    EXPECT_EQ(chips.getChipRects()[1], juce::Rectangle<int>(55, 0, 51, 22));

    // An empty rectangle does not widen the union.
    chips.setChipRects({{10, 10, 0, 0}, {758, 132, 80, 26}, {844, 164, 80, 26}});
    EXPECT_EQ(chips.getBounds(), juce::Rectangle<int>(758, 132, 166, 58));
    EXPECT_EQ(chips.getChipRects()[2], juce::Rectangle<int>(86, 32, 80, 26));
}

TEST_F(ChipsTest, FollowsTheParameter)
{
    EXPECT_EQ(chips.getSelectedIndex(), 0);
    EXPECT_EQ(chips.getTitle(), "Character");
    EXPECT_TRUE(chips.getWantsKeyboardFocus());

    params.set(tq4::ParamIds::character, 2.0f);
    EXPECT_EQ(chips.getSelectedIndex(), 2);
    EXPECT_TRUE(gestures.calls.empty());
}

TEST_F(ChipsTest, SelectingIsOneEditGestureAndOneHostGesture)
{
    tq4test::HostGestures host;
    params[tq4::ParamIds::character].addListener(&host);

    chips.select(3);

    EXPECT_EQ(gestures.calls, "bce");
    ASSERT_EQ(gestures.valuesAtCommit.size(), 1u);
    EXPECT_FLOAT_EQ(gestures.valuesAtCommit[0], 3.0f); // committed after the parameter moved
    EXPECT_FLOAT_EQ(params.plain(tq4::ParamIds::character), 3.0f);
    EXPECT_EQ(chips.getSelectedIndex(), 3);
    EXPECT_EQ(host.begun, 1);
    EXPECT_EQ(host.ended, 1);

    // Picking the chip that is already on still closes its gesture but tells the host nothing.
    chips.select(3);
    EXPECT_EQ(gestures.calls, "bcebce");
    EXPECT_EQ(host.begun, 1);
    params[tq4::ParamIds::character].removeListener(&host);
}

TEST_F(ChipsTest, LeftClickSelectsTheChipUnderTheMouseAndRightClickNothing)
{
    chips.mouseDown(mouseAt(chips, {55.0f + 60.0f, 11.0f}, juce::ModifierKeys::rightButtonModifier));
    EXPECT_EQ(chips.getSelectedIndex(), 0);

    chips.mouseDown(mouseAt(chips, {53.0f, 11.0f}, juce::ModifierKeys::leftButtonModifier)); // the gap
    EXPECT_EQ(chips.getSelectedIndex(), 0);
    EXPECT_TRUE(gestures.calls.empty());

    chips.mouseDown(mouseAt(chips, {55.0f * 2 + 10.0f, 11.0f}, juce::ModifierKeys::leftButtonModifier));
    EXPECT_EQ(chips.getSelectedIndex(), 2);
    EXPECT_FLOAT_EQ(params.plain(tq4::ParamIds::character), 2.0f);
}

TEST_F(ChipsTest, ArrowKeysMoveTheSelectionAndWrap)
{
    struct Case
    {
        int start;
        int key;
        int expected;
    };
    const Case cases[] = {{0, juce::KeyPress::leftKey, 3}, {0, juce::KeyPress::upKey, 3},
                          {2, juce::KeyPress::leftKey, 1}, {3, juce::KeyPress::rightKey, 0},
                          {1, juce::KeyPress::downKey, 2}, {0, juce::KeyPress::rightKey, 1}};

    for (const auto& c : cases)
    {
        params.set(tq4::ParamIds::character, (float)c.start);
        EXPECT_TRUE(chips.keyPressed(juce::KeyPress(c.key)));
        EXPECT_EQ(chips.getSelectedIndex(), c.expected) << "from " << c.start << " key " << c.key;
    }

    params.set(tq4::ParamIds::character, 1.0f);
    EXPECT_FALSE(chips.keyPressed(juce::KeyPress('x')));
    EXPECT_FALSE(chips.keyPressed(juce::KeyPress(juce::KeyPress::returnKey)));
    EXPECT_EQ(chips.getSelectedIndex(), 1);
}

TEST_F(ChipsTest, TooltipIsTheHoveredChips)
{
    chips.setTooltips(
        {{"AUTO", "Follows the source."}, {"OPTO", "Smooth and slow."}, {"FET", "Fast and bright."}});

    EXPECT_EQ(chips.getTooltip(), "");
    chips.mouseMove(mouseAt(chips, {60.0f, 5.0f}));
    EXPECT_EQ(chips.getHoverIndex(), 1);
    EXPECT_EQ(chips.getTooltip(), "OPTO\nSmooth and slow.");

    chips.mouseMove(mouseAt(chips, {55.0f * 3 + 5.0f, 5.0f}));
    EXPECT_EQ(chips.getHoverIndex(), 3);
    EXPECT_EQ(chips.getTooltip(), ""); // the list is shorter

    chips.mouseExit(mouseAt(chips, {-5.0f, -5.0f}));
    EXPECT_EQ(chips.getHoverIndex(), -1);
    EXPECT_EQ(chips.getTooltip(), "");
}

TEST_F(ChipsTest, PickedChoiceIsLitWhileAutoIsSelected)
{
    struct Case
    {
        int selected, picked;
        int lit;
    };
    const Case cases[] = {{0, 2, 2}, {0, -1, 0}, {0, 7, 0}, {1, 2, 1}, {3, 0, 3}};

    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.selected) + " picked " + juce::String(c.picked));
        params.set(tq4::ParamIds::character, (float)c.selected);
        chips.setPickedIndex(c.picked);
        const auto image = paintChips();
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(isLit(image, chips.getChipRects()[(size_t)i]), i == c.lit) << "chip " << i;
    }
}
