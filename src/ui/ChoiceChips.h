#pragma once

#include "plugin/GestureSink.h"

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <utility>
#include <vector>

// A row of pill chips bound to a choice parameter: one chip per choice, the selected one lit.
// Each selection is one edit-history gesture.
namespace tq4
{

class ChoiceChips : public juce::Component, public juce::TooltipClient
{
public:
    // gestures may be null (selections then leave no history).
    ChoiceChips(GestureSink* gestures, juce::RangedAudioParameter& parameter, const juce::StringArray& labels,
                float fontSize);

    // One title/text pair per chip, shown as a two-line tooltip.
    void setTooltips(const std::vector<std::pair<juce::String, juce::String>>& titlesAndTexts);

    // Chip rectangles in the parent's coordinates; the component takes their union as its bounds.
    void setChipRects(const std::vector<juce::Rectangle<int>>& rectsInParent);

    // The choice a learn picked for the first chip ("AUTO"): drawn lit while the first is selected.
    void setPickedIndex(int index);

    // Selects a chip as one edit gesture; the parameter's listeners see one complete host gesture.
    void select(int index);

    int getSelectedIndex() const noexcept { return selected; }
    int getHoverIndex() const noexcept { return hover; }
    int getPickedIndex() const noexcept { return picked; }
    const std::vector<juce::Rectangle<int>>& getChipRects() const noexcept { return rects; }

    juce::String getTooltip() override;

    void paint(juce::Graphics&) override;
    void mouseMove(const juce::MouseEvent&) override;
    void mouseExit(const juce::MouseEvent&) override;
    void mouseDown(const juce::MouseEvent&) override;
    bool keyPressed(const juce::KeyPress&) override;
    void focusGained(FocusChangeType) override { repaint(); }
    void focusLost(FocusChangeType) override { repaint(); }

private:
    int chipCount() const noexcept;
    int chipAt(juce::Point<int> position) const;

    GestureSink* gestures;
    juce::StringArray labels;
    juce::StringArray tooltips;
    float fontSize;
    std::vector<juce::Rectangle<int>> rects;
    int selected = -1;
    int hover = -1;
    int picked = -1;
    juce::ParameterAttachment attachment;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(ChoiceChips)
};

} // namespace tq4
