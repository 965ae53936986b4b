#include "plugin/KnobUndoBridge.h"

namespace tq4
{

KnobUndoBridge::~KnobUndoBridge()
{
    // A knob destroyed mid-drag must not leave its gesture open.
    if (dragging && gestures != nullptr)
        gestures->endGesture();
}

void KnobUndoBridge::sliderValueChanged(juce::Slider*)
{
    if (dragging && gestures != nullptr)
        gestures->commitPending();
}

void KnobUndoBridge::sliderDragStarted(juce::Slider*)
{
    if (gestures != nullptr)
        gestures->beginGesture();
    dragging = true;
}

void KnobUndoBridge::sliderDragEnded(juce::Slider*)
{
    if (!dragging)
        return;
    dragging = false;
    if (gestures != nullptr)
    {
        // A one-step change (wheel notch, reset, typed value) may reach this listener before the
        // parameter moved; committing here still records it.
        gestures->commitPending();
        gestures->endGesture();
    }
}

} // namespace tq4
