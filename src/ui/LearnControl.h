#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class TQ4AudioProcessor;

// The LEARN button's behaviour and the learn progress shown in the dial: a click starts or cancels
// a run through the processor's request flag; while a run is shown the dial carries a progress
// arc, a percentage and a status line. Message thread only.
namespace tq4
{

struct LearnStatus
{
    juce::String text;
    bool warning = false;
};

// The status line of a shown run from the processor's published values.
LearnStatus learnStatusFor(float secondsHeard, bool signalLow, float progress);

// The percentage the dial shows: progress clamped to 0..1, times 100, halves to the even neighbour.
int learnPercent(float progress);

double roundHalfToEven(double value);

class LearnControl
{
public:
    // Takes over the button's click action; clicking never toggles it by itself.
    LearnControl(TQ4AudioProcessor& processor, juce::TextButton& learnButton);

    // Lights the button while a learn is requested or running (editor timer step 2, and after a click).
    void updateLearnButton();
    // Button text and status line from the processor's progress (editor timer step 8).
    void updateLearnStatus();

    // The button shows a run: the dial shows its progress instead of the gain reduction.
    bool isActive() const;

    // Progress arc, percentage and status in design units, over the editor's children.
    void paintOverChildren(juce::Graphics& g);

    const juce::String& getStatusText() const { return status.text; }
    bool isStatusWarning() const { return status.warning; }
    float getShownProgress() const { return progress; }

private:
    void clicked();

    TQ4AudioProcessor& processor;
    juce::TextButton& button;

    float progress = 0.0f, secondsHeard = 0.0f;
    bool signalLow = false;
    LearnStatus status;
};

} // namespace tq4
