#include "ui/TQ4LookAndFeel.h"
#include "ui/Fonts.h"
#include "ui/Palette.h"

#include <gtest/gtest.h>

namespace
{

juce::Colour white(int alpha)
{
    return juce::Colours::white.withAlpha((juce::uint8)alpha);
}

} // namespace

TEST(TQ4LookAndFeel, SetsTheEditorColours)
{
    struct Case
    {
        int id;
        juce::Colour colour;
        const char* name;
    };
    const auto white52 = juce::Colours::white.withAlpha(0.52f);
    const Case cases[] = {
        {juce::ResizableWindow::backgroundColourId, tq4::colBackground, "window background"},
        {juce::Label::textColourId, white52, "label text"},
        {juce::Slider::textBoxTextColourId, juce::Colours::white, "text box text"},
        {juce::Slider::textBoxBackgroundColourId, tq4::colPanel, "text box background"},
        {juce::Slider::textBoxOutlineColourId, white(64), "text box outline"},
        {juce::Slider::textBoxHighlightColourId, tq4::colViolet.withAlpha((juce::uint8)115),
         "text box highlight"},
        {juce::Label::backgroundWhenEditingColourId, tq4::colPanel, "label editing background"},
        {juce::Label::textWhenEditingColourId, juce::Colours::white, "label editing text"},
        {juce::Label::outlineWhenEditingColourId, tq4::colViolet, "label editing outline"},
        {juce::TextEditor::textColourId, juce::Colours::white, "editor text"},
        {juce::TextEditor::backgroundColourId, tq4::colPanel, "editor background"},
        {juce::TextEditor::highlightColourId, tq4::colViolet.withAlpha((juce::uint8)115), "editor highlight"},
        {juce::TextEditor::focusedOutlineColourId, tq4::colViolet, "editor focus outline"},
        {juce::CaretComponent::caretColourId, tq4::colPink, "caret"},
        {juce::PopupMenu::backgroundColourId, tq4::colPanel.withAlpha((juce::uint8)240), "menu background"},
        {juce::PopupMenu::textColourId, white(189), "menu text"},
        {juce::PopupMenu::headerTextColourId, white52, "menu header"},
        {juce::PopupMenu::highlightedBackgroundColourId, white(36), "menu highlight"},
        {juce::PopupMenu::highlightedTextColourId, juce::Colours::white, "menu highlighted text"},
        {juce::BubbleComponent::backgroundColourId, tq4::colPanel, "bubble background"},
        {juce::BubbleComponent::outlineColourId, white(76), "bubble outline"},
    };

    tq4::TQ4LookAndFeel lookAndFeel;
    for (const auto& c : cases)
        EXPECT_EQ(lookAndFeel.findColour(c.id), c.colour) << c.name;

    EXPECT_EQ(tq4::colBackground, juce::Colour(0xFF0D0A19));
    EXPECT_EQ(white52.getAlpha(), 133); // the framework's float-to-byte rounding
}

TEST(KnobValueText, FormatsByDecimalsCode)
{
    struct Case
    {
        double value;
        int code;
        const char* expected;
    };
    const Case cases[] = {
        {5.5, -2, "5.5"},   {150.0, -2, "150"},  {9.94, -2, "9.9"},  {-0.04, 1, "0.0"},
        {-0.06, 1, "-0.1"}, {-18.0, 1, "-18.0"}, {4.0, 1, "4.0"},    {100.0, 0, "100"},
        {-0.4, 0, "0"},     {37.6, 0, "38"},     {2.345, 2, "2.35"},
    };

    juce::Slider slider;
    slider.setRange(-100.0, 1000.0, 0.0);
    for (const auto& c : cases)
    {
        slider.getProperties().set("tq4Dec", c.code);
        slider.setValue(c.value, juce::dontSendNotification);
        EXPECT_EQ(tq4::knobValueText(slider), c.expected) << c.value << " code " << c.code;
    }
}

TEST(KnobValueText, UsesTheSlidersOwnTextForCodeMinusOneAndAutoWhenDisabled)
{
    juce::Slider slider;
    slider.setRange(0.0, 100.0, 1.0);
    slider.textFromValueFunction = [](double v) { return juce::String(v) + " %"; };
    slider.setValue(25.0, juce::dontSendNotification);
    slider.getProperties().set("tq4Dec", -1);
    EXPECT_EQ(tq4::knobValueText(slider), "25 %");

    slider.setEnabled(false);
    EXPECT_EQ(tq4::knobValueText(slider), "AUTO");
}

TEST(TQ4LookAndFeel, RotaryValueBoxSitsOverTheKnobCentre)
{
    struct Case
    {
        int radius;
        juce::Rectangle<int> box;
    };
    // Knob components are squares of side 2r + 20.
    const Case cases[] = {{28, {16, 27, 44, 22}}, {30, {10, 29, 60, 22}}, {42, {22, 41, 60, 22}}};

    tq4::TQ4LookAndFeel lookAndFeel;
    for (const auto& c : cases)
    {
        juce::Slider knob(juce::Slider::RotaryVerticalDrag, juce::Slider::TextBoxBelow);
        knob.getProperties().set("tq4R", c.radius);
        knob.setSize(2 * c.radius + 20, 2 * c.radius + 20);
        const auto layout = lookAndFeel.getSliderLayout(knob);
        EXPECT_EQ(layout.sliderBounds, knob.getLocalBounds());
        EXPECT_EQ(layout.textBoxBounds, c.box) << "radius " << c.radius;
    }
}

TEST(TQ4LookAndFeel, MenuItemSizes)
{
    tq4::TQ4LookAndFeel lookAndFeel;
    int w = 0, h = 0;
    lookAndFeel.getIdealPopupMenuItemSize({}, true, 0, w, h);
    EXPECT_EQ(w, 50);
    EXPECT_EQ(h, 8);

    lookAndFeel.getIdealPopupMenuItemSize("Kick", false, 0, w, h);
    EXPECT_EQ(h, 24);
    EXPECT_EQ(w, 96);

    const juce::String longText("A rather long detail name");
    lookAndFeel.getIdealPopupMenuItemSize(longText, false, 0, w, h);
    EXPECT_GT(w, 96);
    // Room for the text in its bold, highlighted weight, the tick on the left and the arrow on the right.
    EXPECT_GE((float)w, tq4::textWidth(tq4::makeFont(13.0f, true, 0.0f), longText) + 63.5f);
}

TEST(TQ4LookAndFeel, TooltipOpensAwayFromTheNearerEdges)
{
    tq4::TQ4LookAndFeel lookAndFeel;
    const juce::Rectangle<int> window(0, 0, 960, 540);
    const juce::String tip("Ratio\nHow strongly levels above the threshold are reduced.");

    const auto layout = tq4::layoutTooltip(tip);
    const int w = (int)std::ceil(layout.getWidth()) + 18;
    const int textH = (int)std::ceil(layout.getHeight());
    EXPECT_LE(layout.getWidth(), 260.0f);

    const auto topLeft = lookAndFeel.getTooltipBounds(tip, {100, 100}, window);
    EXPECT_EQ(topLeft.getPosition(), juce::Point<int>(116, 118));
    EXPECT_EQ(topLeft.getWidth(), w);
    EXPECT_EQ(topLeft.getHeight(), textH + 18);

    const auto bottomRight = lookAndFeel.getTooltipBounds(tip, {900, 500}, window);
    EXPECT_EQ(bottomRight.getX(), 900 - w - 12);
    EXPECT_EQ(bottomRight.getY(), 500 - textH - 26);
    EXPECT_LT(bottomRight.getBottom(), 500);

    // Near a corner the tip is pushed back inside the window.
    const auto clamped = lookAndFeel.getTooltipBounds(tip, {470, 530}, window);
    EXPECT_GE(clamped.getX(), 0);
    EXPECT_LE(clamped.getBottom(), 540);
}

TEST(TQ4LookAndFeel, TooltipTitleAndTextTakeTheirOwnColours)
{
    const auto layout = tq4::layoutTooltip("Title\nBody text");
    ASSERT_GE(layout.getNumLines(), 2);
    const auto& titleRun = *layout.getLine(0).runs.getFirst();
    const auto& bodyRun = *layout.getLine(layout.getNumLines() - 1).runs.getLast();
    EXPECT_EQ(titleRun.colour, juce::Colour(0xFFC9A8FF));
    EXPECT_EQ(bodyRun.colour, juce::Colour(0xFFE4DFF2));
    EXPECT_TRUE(titleRun.font.isBold() || titleRun.font.getTypefaceStyle() == "Bold");
}
