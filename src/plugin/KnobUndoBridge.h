#pragma once

#include "plugin/EditHistory.h"

#include <juce_gui_basics/juce_gui_basics.h>

namespace tq4
{

// Makes every knob drag one history gesture; the slider reports wheel moves, double-click resets and
// typed values as drags too, so each of them is one gesture as well.
class KnobUndoBridge : public juce::Slider::Listener
{
public:
    explicit KnobUndoBridge (EditHistory& history) : history (history) {}
    ~KnobUndoBridge() override
    {
        if (dragging)
            history.endGesture();
    }

    void sliderValueChanged (juce::Slider*) override
    {
        if (dragging)
            history.commitPending();
    }

    void sliderDragStarted (juce::Slider*) override
    {
        history.beginGesture();
        dragging = true;
    }

    void sliderDragEnded (juce::Slider*) override
    {
        if (! dragging)
            return;
        dragging = false;
        history.endGesture();
    }

private:
    EditHistory& history;
    bool dragging = false;
};

} // namespace tq4
