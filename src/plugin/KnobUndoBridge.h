#pragma once

#include "plugin/GestureSink.h"

#include <juce_gui_basics/juce_gui_basics.h>

namespace tq4
{

// Makes every knob drag one history gesture; the slider reports wheel moves, double-click resets and
// typed values as drags too, so each of them is one gesture as well. A null sink records nothing.
class KnobUndoBridge : public juce::Slider::Listener
{
public:
    explicit KnobUndoBridge(GestureSink* sink) : gestures(sink) {}
    ~KnobUndoBridge() override;

    void sliderValueChanged(juce::Slider*) override;
    void sliderDragStarted(juce::Slider*) override;
    void sliderDragEnded(juce::Slider*) override;

private:
    GestureSink* gestures;
    bool dragging = false;
};

} // namespace tq4
