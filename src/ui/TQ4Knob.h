#pragma once

#include "plugin/GestureSink.h"
#include "plugin/KnobUndoBridge.h"

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

// The editor's rotary knob: a framework slider bound to one parameter, each change of which runs
// inside an edit-history gesture. Drawn by TQ4LookAndFeel from its tq4R, tq4Unit and tq4Dec
// properties.
namespace tq4
{

// Turns a knob's drag notifications into one edit-history gesture. The framework reports a drag
// around wheel moves, double-click resets, typed values and key steps too.
class TQ4Knob : public juce::Slider, private juce::AsyncUpdater
{
public:
    TQ4Knob();
    ~TQ4Knob() override;

    // Binds the knob to a parameter; gestures may be null (edits then leave no history).
    void attach(juce::RangedAudioParameter& parameter, GestureSink* gestures);

    void setCaption(const juce::String& text) { caption = text; }
    const juce::String& getCaption() const noexcept { return caption; }

    // Places the knob on its parent: a square of side 2·radius + 20 around the centre, with the
    // caption anchored radius + 24 below the centre.
    void setGeometry(juce::Point<int> centre, int radius);
    juce::Point<int> getCentre() const noexcept { return centre; }
    int getRadius() const noexcept;
    juce::Point<int> getCaptionAnchor() const noexcept { return captionAnchor; }

    void mouseDown(const juce::MouseEvent&) override;
    void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override;
    void mouseDoubleClick(const juce::MouseEvent&) override;
    bool keyPressed(const juce::KeyPress&) override;
    bool keyStateChanged(bool isKeyDown) override;
    void focusLost(FocusChangeType) override;
    void enablementChanged() override;
    void parentHierarchyChanged() override;

private:
    // Ends the key gesture once the step notifications posted before it have been delivered.
    void handleAsyncUpdate() override;
    void endKeyGesture();

    juce::String caption;
    juce::Point<int> centre;
    int radius = 24;
    juce::Point<int> captionAnchor;

    std::unique_ptr<KnobUndoBridge> gestureBridge;
    std::unique_ptr<juce::SliderParameterAttachment> attachment;

    // Open from the first arrow-key step until the key is released: a held key is one gesture.
    std::unique_ptr<ScopedDragNotification> keyGesture;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TQ4Knob)
};

// Gives a knob its style, caption, unit text, decimals code (n >= 0 decimals; -1 the parameter's
// own text; -2 one decimal below 10, else none), parameter binding and parent.
void setupKnob(TQ4Knob& knob, juce::RangedAudioParameter& parameter, GestureSink* gestures,
               const juce::String& caption, const juce::String& unit, int decimalsCode,
               juce::Component& parent);

} // namespace tq4
