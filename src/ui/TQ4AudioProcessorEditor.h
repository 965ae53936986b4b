#pragma once

#include "plugin/PluginProcessor.h"
#include "plugin/UserButtonAttachment.h"
#include "ui/BackgroundImage.h"
#include "ui/ChoiceChips.h"
#include "ui/FocusPassthroughContainer.h"
#include "ui/GainReductionView.h"
#include "ui/HelpMenu.h"
#include "ui/LearnControl.h"
#include "ui/TQ4Knob.h"
#include "ui/TQ4LookAndFeel.h"
#include "ui/TargetMarker.h"

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <array>
#include <functional>
#include <memory>

namespace tq4
{

// Where the controls sit on the 960 × 540 design canvas. Fixed: a resize only changes the transform.
// The dial's, plot's and meters' own geometry is in DialGeometry.h.
struct EditorLayout
{
    struct Knob
    {
        juce::Point<int> centre;
        int radius = 0;
    };

    juce::Point<int> dialCentre;
    int dialArcRadius = 0;

    juce::Rectangle<int> helpButton, undoButton, redoButton;
    juce::Rectangle<int> learnButton, sourceButton, targetMarker;
    juce::Rectangle<int> driveSwitch, autoReleaseChip, autoGainChip;
    std::array<juce::Rectangle<int>, 4> characterChips, driveTypeChips;
    Knob threshold, ratio, attack, release, knee, mix, output, driveAmount;

    // Painted rather than placed: the areas the timer and the breadcrumb repaint.
    juce::Rectangle<int> dialRepaintArea, statusArea, historyStrip;
};

EditorLayout makeEditorLayout();

// The editor's two preferences in a small per-user file, opened afresh for every read or write.
namespace EditorPreferences
{
inline constexpr int minWidth = 720;
inline constexpr int maxWidth = 1280;
inline constexpr int defaultWidth = 960;
inline constexpr int defaultHistoryRangeDb = 60;

juce::PropertiesFile::Options options();

// The file the options name, unless redirected (tests keep the user's own file out of reach);
// an empty file restores the default.
juce::File file();
void redirectTo(const juce::File& file);

int readEditorWidth();
void writeEditorWidth(int width);
int readHistoryRangeDb();
void writeHistoryRangeDb(int rangeDb);
} // namespace EditorPreferences

} // namespace tq4

// The plug-in window: a fixed design canvas scaled into whatever 16:9 size the host gives it, the
// controls bound to the parameters, and a 33 ms timer that keeps meters and states in step.
class TQ4AudioProcessorEditor : public juce::AudioProcessorEditor, public juce::Timer
{
public:
    explicit TQ4AudioProcessorEditor(TQ4AudioProcessor& processor);
    ~TQ4AudioProcessorEditor() override;

    void paint(juce::Graphics&) override;
    void paintOverChildren(juce::Graphics&) override;
    void resized() override;
    void timerCallback() override;
    bool keyPressed(const juce::KeyPress&) override;
    void mouseDown(const juce::MouseEvent&) override;
    void mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) override;

    // Moves a parameter to a plain value as one host gesture, when it really changes; an unknown id
    // does nothing. The caller owns the edit-history gesture around it.
    void setParameterPlain(const juce::String& parameterId, double plainValue);

    void updateBreadcrumb();
    void updateEnablement();
    void updateUndoRedoButtons();

    void showSourceMenu();
    void handleSourceMenuResult(int result);

    // The feedback dialog covers the whole canvas while it exists; at most one at a time.
    void showFeedbackDialog();
    void hostFeedbackDialog(std::unique_ptr<juce::Component> dialog);
    void closeFeedbackDialog();
    bool isFeedbackDialogOpen() const noexcept { return feedbackDialog != nullptr; }

    float getContentScale() const noexcept { return contentScale; }
    const juce::AffineTransform& getContentTransform() const noexcept { return contentTransform; }
    const tq4::EditorLayout& getLayout() const noexcept { return layout; }

private:
    friend struct EditorProbe; // tests look inside

    // The menu's close callback: a result that arrives after the window has closed is ignored.
    std::function<void(int)> makeSourceMenuHandler();
    std::array<tq4::TQ4Knob*, 8> knobsInPaintOrder();
    float parameterValue(const char* parameterId) const;
    juce::RangedAudioParameter& parameter(const char* parameterId);
    void repaintCanvasArea(juce::Rectangle<int> canvasArea);
    juce::Point<float> toCanvas(const juce::MouseEvent&) const;

    TQ4AudioProcessor& tq4Processor; // typed view of the base class's processor

    // Declared in construction order; destroyed in reverse, so bindings go before their controls
    // and the look-and-feel outlives everything drawn with it.
    tq4::TQ4LookAndFeel lookAndFeel;
    tq4::FocusPassthroughContainer contentContainer, controlsContainer, driveContainer;

    tq4::TQ4Knob thresholdKnob, ratioKnob, attackKnob, releaseKnob, kneeKnob, mixKnob, outputKnob;
    tq4::TQ4Knob driveAmountKnob;

    juce::ToggleButton driveSwitch{"DRIVE"};
    tq4::ChoiceChips driveTypeChips;
    juce::ToggleButton autoGainChip{"AUTO GAIN"};
    juce::ToggleButton autoReleaseChip{"AUTO"};
    juce::TextButton learnButton{"LEARN"};
    TargetMarker targetMarker;
    juce::TextButton sourceButton;
    tq4::ChoiceChips characterChips;
    juce::TextButton undoButton, redoButton, helpButton;

    std::unique_ptr<tq4::UserButtonAttachment> driveOnAttachment, autoMakeupAttachment, autoReleaseAttachment;

    std::unique_ptr<juce::TooltipWindow> tooltipWindow;

    tq4::GainReductionView gainReductionView;
    tq4::LearnControl learnControl;
    tq4::HelpMenu helpMenu{*this};
    std::unique_ptr<juce::Component> feedbackDialog;

    tq4::EditorLayout layout;
    bool layoutReady = false;
    float contentScale = 1.0f;
    juce::AffineTransform contentTransform;
    int savedWidth = tq4::EditorPreferences::defaultWidth;

    int shownSource = -1, shownDetail = -1;
    bool bypassed = false, driveOn = false;
    int pickedCharacter = -1;
    bool menuOpen = false;

    tq4::BackgroundImage background;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TQ4AudioProcessorEditor)
};
