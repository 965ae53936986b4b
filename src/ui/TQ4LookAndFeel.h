#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

// The editor's look: glass-disc knobs and icon buttons, brand-gradient chips, a sliding switch,
// the source drop-down, translucent menus and two-colour tooltips. Controls are plain framework
// buttons and sliders, recognised by their tq4 component properties.
namespace tq4
{

// The text a knob shows in its centre: "AUTO" while disabled, otherwise its value formatted by
// the tq4Dec decimals code.
juce::String knobValueText(juce::Slider& slider);

// A tooltip as laid out for drawing: the title line, then the rest in a lighter colour.
juce::TextLayout layoutTooltip(const juce::String& text);

class TQ4LookAndFeel : public juce::LookAndFeel_V4
{
public:
    TQ4LookAndFeel();

    void drawRotarySlider(juce::Graphics&, int x, int y, int width, int height, float sliderPos,
                          float rotaryStartAngle, float rotaryEndAngle, juce::Slider&) override;
    juce::Slider::SliderLayout getSliderLayout(juce::Slider&) override;
    juce::Label* createSliderTextBox(juce::Slider&) override;
    void drawLabel(juce::Graphics&, juce::Label&) override;

    void drawToggleButton(juce::Graphics&, juce::ToggleButton&, bool highlighted, bool down) override;
    void drawButtonBackground(juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                              bool highlighted, bool down) override;
    void drawButtonText(juce::Graphics&, juce::TextButton&, bool highlighted, bool down) override;
    juce::Font getTextButtonFont(juce::TextButton&, int buttonHeight) override;

    juce::Font getPopupMenuFont() override;
    int getPopupMenuBorderSize() override;
    void drawPopupMenuBackground(juce::Graphics&, int width, int height) override;
    void getIdealPopupMenuItemSize(const juce::String& text, bool isSeparator, int standardMenuItemHeight,
                                   int& idealWidth, int& idealHeight) override;
    void drawPopupMenuItem(juce::Graphics&, const juce::Rectangle<int>& area, bool isSeparator, bool isActive,
                           bool isHighlighted, bool isTicked, bool hasSubMenu, const juce::String& text,
                           const juce::String& shortcutKeyText, const juce::Drawable* icon,
                           const juce::Colour* textColour) override;

    juce::Rectangle<int> getTooltipBounds(const juce::String& tipText, juce::Point<int> screenPos,
                                          juce::Rectangle<int> parentArea) override;
    void drawTooltip(juce::Graphics&, const juce::String& text, int width, int height) override;

private:
    void drawSwitch(juce::Graphics&, juce::Button&, bool highlighted);
    void drawUndoRedoArrow(juce::Graphics&, juce::Button&, bool redo, bool highlighted);
    void drawLearnButtonBackground(juce::Graphics&, juce::Button&, bool highlighted);
    void drawLearnButtonText(juce::Graphics&, juce::TextButton&);
    void drawSourceButtonText(juce::Graphics&, juce::TextButton&);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TQ4LookAndFeel)
};

} // namespace tq4
