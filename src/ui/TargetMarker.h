#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class TQ4AudioProcessor;

namespace tq4
{

// The target a drag to the given dial angle writes: 1..20 dB on the 0.1 dB grid, at most maxDb.
float targetForDialAngle(float angleDegrees, float maxDb);

// A drag starts only once the pointer has left a small dead zone around the click.
bool dragPassedDeadZone(float distanceFromDown);

} // namespace tq4

// The draggable marker of the gain-reduction target on the dial's rim. Visible and clickable only
// while the processor offers a target; a drag or a double-click (back to the Learn value) is one
// undoable edit.
class TargetMarker : public juce::Component, public juce::TooltipClient
{
public:
    explicit TargetMarker(TQ4AudioProcessor& processor);

    // The dial's centre in the parent's coordinates and the radius of its arc.
    void setCentre(int x, int y);
    void setRadius(float r);
    void setTooltipText(const juce::String& text);

    // Copies the processor's target values; repaints when they changed (editor timer step 5).
    void refresh();

    bool hitTest(int x, int y) override;
    void mouseEnter(const juce::MouseEvent&) override;
    void mouseMove(const juce::MouseEvent&) override;
    void mouseExit(const juce::MouseEvent&) override;
    void mouseDown(const juce::MouseEvent&) override;
    void mouseDrag(const juce::MouseEvent&) override;
    void mouseUp(const juce::MouseEvent&) override;
    void mouseDoubleClick(const juce::MouseEvent&) override;
    void paint(juce::Graphics&) override;
    juce::String getTooltip() override;

    bool isTargetAvailable() const { return available; }
    bool isHovered() const { return hover; }
    bool isDragging() const { return dragging; }
    // The knob's tip in local coordinates.
    juce::Point<float> knobPoint() const;

private:
    juce::Point<float> localCentre() const;
    void setHover(bool isOver);

    TQ4AudioProcessor& processor;

    bool available = false, modified = false;
    float targetDb = 0.0f, learnDb = 0.0f, maxDb = 20.0f;

    juce::Point<int> centre;
    float radius = 0.0f;
    juce::String tooltip;

    bool hover = false, dragging = false, moved = false;
    float angleOffset = 0.0f;
    float lastWrittenDb = 0.0f;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TargetMarker)
};
