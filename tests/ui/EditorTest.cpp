#include "plugin/ParameterLayout.h"
#include "support/LearnDriver.h"
#include "support/MessagePump.h"
#include "support/OnScreen.h"
#include "ui/Fonts.h"
#include "ui/Palette.h"
#include "ui/TQ4AudioProcessorEditor.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>

using tq4test::parameterValue;
using tq4test::pumpMessages;
using tq4test::setParameter;

// The editor's insides, for the tests only.
struct EditorProbe
{
    explicit EditorProbe(TQ4AudioProcessorEditor& e) : editor(e) {}

    juce::Component& contentContainer() { return editor.contentContainer; }
    juce::Component& controlsContainer() { return editor.controlsContainer; }
    juce::Component& driveContainer() { return editor.driveContainer; }
    tq4::TQ4Knob& releaseKnob() { return editor.releaseKnob; }
    tq4::TQ4Knob& thresholdKnob() { return editor.thresholdKnob; }
    tq4::TQ4Knob& driveAmountKnob() { return editor.driveAmountKnob; }
    juce::Button& driveSwitch() { return editor.driveSwitch; }
    juce::Button& autoGainChip() { return editor.autoGainChip; }
    juce::Button& autoReleaseChip() { return editor.autoReleaseChip; }
    juce::Button& learnButton() { return editor.learnButton; }
    juce::TextButton& sourceButton() { return editor.sourceButton; }
    juce::TextButton& undoButton() { return editor.undoButton; }
    juce::TextButton& redoButton() { return editor.redoButton; }
    juce::TextButton& helpButton() { return editor.helpButton; }
    TargetMarker& targetMarker() { return editor.targetMarker; }
    tq4::ChoiceChips& characterChips() { return editor.characterChips; }
    tq4::ChoiceChips& driveTypeChips() { return editor.driveTypeChips; }
    tq4::GainReductionView& view() { return editor.gainReductionView; }
    std::function<void(int)> sourceMenuHandler() { return editor.makeSourceMenuHandler(); }

    TQ4AudioProcessorEditor& editor;
};

namespace
{

juce::MouseEvent mouseAt(juce::Component& c, juce::Point<float> position)
{
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), position, {},
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now,
                            position, now, 1, false);
}

// Keeps the user's own preferences out of reach: every editor here reads and writes a scratch file.
struct ScratchPreferences
{
    ScratchPreferences() { tq4::EditorPreferences::redirectTo(file); }
    ~ScratchPreferences()
    {
        tq4::EditorPreferences::redirectTo({});
        file.deleteFile();
    }

    void store(const char* key, const juce::var& value)
    {
        juce::PropertiesFile props(file, tq4::EditorPreferences::options());
        props.setValue(key, value);
        ASSERT_TRUE(props.save());
    }

    std::optional<int> stored(const char* key) const
    {
        if (!file.existsAsFile())
            return std::nullopt;
        juce::PropertiesFile props(file, tq4::EditorPreferences::options());
        if (!props.containsKey(key))
            return std::nullopt;
        return props.getIntValue(key);
    }

    juce::File file = juce::File::getSpecialLocation(juce::File::tempDirectory)
                          .getNonexistentChildFile("tq4-editor-test", ".settings");
};

class EditorTest : public ::testing::Test
{
protected:
    TQ4AudioProcessorEditor& open()
    {
        editor = std::make_unique<TQ4AudioProcessorEditor>(processor);
        probe.emplace(*editor);
        return *editor;
    }

    void close()
    {
        probe.reset();
        editor.reset();
    }

    // One user edit as a control makes it: a history gesture around a host-notifying change.
    void edit(const char* id, float value)
    {
        processor.history.beginGesture();
        setParameter(processor, id, value);
        processor.history.commitPending();
        processor.history.endGesture();
    }

    ScratchPreferences preferences;
    TQ4AudioProcessor processor;
    std::unique_ptr<TQ4AudioProcessorEditor> editor;
    std::optional<EditorProbe> probe;
};

juce::KeyPress command(juce::juce_wchar key, int extraModifiers = 0)
{
    return juce::KeyPress((int)key, juce::ModifierKeys(juce::ModifierKeys::commandModifier | extraModifiers),
                          0);
}

} // namespace

TEST_F(EditorTest, OpensAtTheStoredWidthClampedAndAt16By9)
{
    struct Case
    {
        std::optional<juce::var> storedWidth;
        int width, height;
    };
    // A text that is not a number is no width at all, not 0 clamped up to the smallest.
    const Case cases[] = {{2000, 1280, 720},         {500, 720, 405},       {std::nullopt, 960, 540},
                          {1100, 1100, 619},         {"wide", 960, 540},    {"", 960, 540},
                          {"900px", 960, 540},       {" 1000 ", 1000, 563}, {"99999999999", 1280, 720},
                          {"-99999999999", 720, 405}};

    for (const auto& c : cases)
    {
        preferences.file.deleteFile();
        if (c.storedWidth)
            preferences.store("editorWidth", *c.storedWidth);

        const auto& e = open();
        const auto stored = c.storedWidth.value_or("none").toString();
        EXPECT_EQ(e.getWidth(), c.width) << stored;
        EXPECT_EQ(e.getHeight(), c.height) << stored;
        EXPECT_TRUE(e.isResizable());
        close();
    }
}

TEST_F(EditorTest, ScalesTheCanvasToFitAndCentresItInTheMargins)
{
    struct Case
    {
        int width, height;
        float scale;
        juce::Point<float> canvasOrigin, canvasEnd;
    };
    const Case cases[] = {
        {1200, 540, 1.0f, {120.0f, 0.0f}, {1080.0f, 540.0f}}, // a host forcing a wider window
        {960, 700, 1.0f, {0.0f, 80.0f}, {960.0f, 620.0f}},
        {1280, 720, 4.0f / 3.0f, {0.0f, 0.0f}, {1280.0f, 720.0f}},
        {720, 405, 0.75f, {0.0f, 0.0f}, {720.0f, 405.0f}},
    };

    auto& e = open();
    for (const auto& c : cases)
    {
        e.setSize(c.width, c.height);
        EXPECT_FLOAT_EQ(e.getContentScale(), c.scale) << c.width << "x" << c.height;

        const auto origin = juce::Point<float>().transformedBy(e.getContentTransform());
        const auto end = juce::Point<float>(960.0f, 540.0f).transformedBy(e.getContentTransform());
        EXPECT_NEAR(origin.x, c.canvasOrigin.x, 1e-3f);
        EXPECT_NEAR(origin.y, c.canvasOrigin.y, 1e-3f);
        EXPECT_NEAR(end.x, c.canvasEnd.x, 1e-3f);
        EXPECT_NEAR(end.y, c.canvasEnd.y, 1e-3f);

        // The controls ride on the same transform the frame is painted with.
        const auto learnCentre =
            e.getLocalArea(&probe->controlsContainer(), juce::Rectangle<int>(415, 221, 130, 48))
                .toFloat()
                .getCentre();
        const auto expected = juce::Point<float>(480.0f, 245.0f).transformedBy(e.getContentTransform());
        EXPECT_NEAR(learnCentre.x, expected.x, 1.0f);
        EXPECT_NEAR(learnCentre.y, expected.y, 1.0f);
    }
}

TEST_F(EditorTest, ControlsSitWhereTheLayoutPutsThem)
{
    open().setSize(1280, 720);
    const int brandWidth = juce::roundToInt(tq4::textWidth(tq4::makeFont(13.0f, true, 5.0f), "VELDRANE"));

    struct Case
    {
        juce::Component& component;
        juce::Rectangle<int> canvasBounds;
    };
    const Case cases[] = {
        {probe->helpButton(), {32 + brandWidth + 14, 30, 16, 16}},
        {probe->undoButton(), {800, 24, 28, 28}},
        {probe->redoButton(), {836, 24, 28, 28}},
        {probe->learnButton(), {415, 221, 130, 48}},
        {probe->sourceButton(), {372, 334, 216, 40}},
        {probe->targetMarker(), {346, 72, 268, 268}},
        {probe->driveSwitch(), {870, 84, 46, 24}},
        {probe->autoReleaseChip(), {168, 332, 64, 24}},
        {probe->autoGainChip(), {841, 314, 84, 24}},
        {probe->characterChips(), {372, 382, 51 + 3 * 55, 22}},
        {probe->driveTypeChips(), {758, 132, 86 + 80, 32 + 26}},
        {probe->thresholdKnob(), {88 - 52, 196 - 52, 104, 104}},
        {probe->driveAmountKnob(), {700 - 40, 170 - 40, 80, 80}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            probe->contentContainer().getLocalArea(c.component.getParentComponent(), c.component.getBounds()),
            c.canvasBounds)
            << c.component.getName();

    EXPECT_EQ(probe->driveAmountKnob().getParentComponent(), &probe->driveContainer());
    EXPECT_EQ(probe->driveTypeChips().getParentComponent(), &probe->driveContainer());
    EXPECT_EQ(probe->releaseKnob().getCaptionAnchor(), juce::Point<int>(200, 268 + 28 + 24));
}

TEST_F(EditorTest, ClosingStoresTheWidthOnlyWhenItChanged)
{
    open();
    close();
    EXPECT_FALSE(preferences.file.existsAsFile()) << "closing at the opened width writes nothing";

    open().setSize(1100, 619);
    close();
    EXPECT_EQ(preferences.stored("editorWidth"), 1100);

    open();
    EXPECT_EQ(editor->getWidth(), 1100);
    const auto written = preferences.file.getLastModificationTime();
    close();
    EXPECT_EQ(preferences.file.getLastModificationTime(), written);
}

TEST_F(EditorTest, HistoryRangeComesFromThePreferencesAndTheWheelStoresIt)
{
    struct Case
    {
        std::optional<int> stored;
        int expected;
    };
    for (const auto& c : {Case{36, 36}, Case{24, 24}, Case{50, 60}, Case{std::nullopt, 60}})
    {
        preferences.file.deleteFile();
        if (c.stored)
            preferences.store("historyRangeDb", *c.stored);
        open();
        EXPECT_EQ(probe->view().getHistoryRangeDb(), c.expected);
        close();
    }

    preferences.file.deleteFile();
    auto& e = open();
    e.setSize(1280, 720);
    juce::MouseWheelDetails notch{};
    notch.deltaY = 1.0f;

    // A wheel outside the plot leaves the range alone.
    const auto overDial = juce::Point<float>(480.0f, 206.0f).transformedBy(e.getContentTransform());
    e.mouseWheelMove(mouseAt(e, overDial), notch);
    EXPECT_EQ(probe->view().getHistoryRangeDb(), 60);

    const auto overPlot = juce::Point<float>(400.0f, 460.0f).transformedBy(e.getContentTransform());
    e.mouseWheelMove(mouseAt(e, overPlot), notch);
    EXPECT_EQ(probe->view().getHistoryRangeDb(), 36);
    EXPECT_EQ(preferences.stored("historyRangeDb"), 36);
}

TEST_F(EditorTest, UndoAndRedoShortcuts)
{
    auto& e = open();
    edit(tq4::ParamIds::threshold, -30.0f);

    struct Step
    {
        juce::KeyPress key;
        bool consumed;
        float thresholdAfter;
    };
    const Step steps[] = {
        {command('z'), true, -18.0f},
        {command('z', juce::ModifierKeys::shiftModifier), true, -30.0f},
        {command('Z'), true, -18.0f},
        {command('y'), true, -30.0f},
        {command('z'), true, -18.0f},
        {command('z', juce::ModifierKeys::altModifier), false, -18.0f},
        {command('y', juce::ModifierKeys::shiftModifier), false, -18.0f},
        {juce::KeyPress('z'), false, -18.0f},
        {command('x'), false, -18.0f},
        {command('Y'), true, -30.0f},
        {command('y'), false, -30.0f}, // nothing left to redo
    };
    for (const auto& s : steps)
    {
        EXPECT_EQ(e.keyPressed(s.key), s.consumed) << s.key.getTextDescription();
        EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::threshold), s.thresholdAfter)
            << s.key.getTextDescription();
    }
    EXPECT_TRUE(probe->undoButton().isEnabled());
    EXPECT_FALSE(probe->redoButton().isEnabled());
}

TEST_F(EditorTest, AClickedKnobStepsWithTheArrowKeysAndTheShortcutsStillUndo)
{
    auto& e = open();
    e.setSize(1280, 720);
    tq4test::OnScreen screen(e);
    const auto knob = juce::Point<float>(88.0f, 196.0f).transformedBy(e.getContentTransform());
    screen.click(knob);
    ASSERT_EQ(juce::Component::getCurrentlyFocusedComponent(), &probe->thresholdKnob());

    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(screen.press(juce::KeyPress(juce::KeyPress::upKey)));
    screen.releaseKeys();
    EXPECT_NEAR(parameterValue(processor, tq4::ParamIds::threshold), -17.7f, 1e-4f);
    EXPECT_EQ(processor.history.undoCount(), 1u);

    // The knob leaves the shortcut to the editor.
    EXPECT_TRUE(screen.press(command('z')));
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::threshold), -18.0f);
}

TEST_F(EditorTest, UndoIsBlockedWhileALearnRuns)
{
    auto& e = open();
    edit(tq4::ParamIds::ratio, 8.0f);
    e.timerCallback();
    EXPECT_TRUE(probe->undoButton().isEnabled());

    processor.learnRequested = true;
    e.timerCallback();
    EXPECT_FALSE(probe->undoButton().isEnabled());
    EXPECT_FALSE(e.keyPressed(command('z')));
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::ratio), 8.0f);

    processor.learnRequested = false;
    e.timerCallback();
    EXPECT_TRUE(probe->undoButton().isEnabled());
}

TEST_F(EditorTest, UndoAndRedoButtonsStepThroughTheHistory)
{
    auto& e = open();
    EXPECT_FALSE(probe->undoButton().isEnabled());
    EXPECT_FALSE(probe->redoButton().isEnabled());

    edit(tq4::ParamIds::mix, 50.0f);
    e.timerCallback();
    ASSERT_TRUE(probe->undoButton().isEnabled());

    probe->undoButton().triggerClick();
    pumpMessages(20);
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::mix), 100.0f);
    EXPECT_FALSE(probe->undoButton().isEnabled()) << "refreshed right after the click";
    EXPECT_TRUE(probe->redoButton().isEnabled());

    probe->redoButton().triggerClick();
    pumpMessages(20);
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::mix), 50.0f);
}

TEST_F(EditorTest, SourceMenuChoiceSetsSourceAndDetailInOneUndoStep)
{
    auto& e = open();
    EXPECT_EQ(probe->sourceButton().getButtonText(), juce::String::fromUTF8("Universal  \u203A  Gentle"));

    // Vocal is the second source, Backing its second detail.
    e.handleSourceMenuResult(1 * 16 + 1 + 1);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::source), 1.0f);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::nuance), 1.0f);
    EXPECT_EQ(processor.history.undoCount(), 1u);
    EXPECT_EQ(probe->sourceButton().getButtonText(), juce::String::fromUTF8("Vocal  \u203A  Backing"));

    ASSERT_TRUE(processor.history.undo());
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::source), 0.0f);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::nuance), 0.0f);

    // A dismissed menu changes nothing; an id past a source's list lands on its last detail.
    e.handleSourceMenuResult(0);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::source), 0.0f);
    e.handleSourceMenuResult(1 * 16 + 9 + 1);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::source), 1.0f);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::nuance), 1.0f);
}

TEST_F(EditorTest, BreadcrumbFollowsTheParametersOnTheNextTick)
{
    auto& e = open();
    setParameter(processor, tq4::ParamIds::source, 2.0f);
    setParameter(processor, tq4::ParamIds::nuance, 7.0f); // beyond Drum's list
    e.timerCallback();
    const auto drumDetails = tq4::detailNames(2);
    EXPECT_EQ(probe->sourceButton().getButtonText(),
              "Drum  " + juce::String::charToString(0x203A) + "  " + drumDetails[drumDetails.size() - 1]);
}

TEST_F(EditorTest, ASourceMenuResultAfterClosingTheWindowIsIgnored)
{
    open();
    auto handler = probe->sourceMenuHandler();
    handler(2 * 16 + 1);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::source), 2.0f);

    handler = probe->sourceMenuHandler();
    close();
    handler(1 * 16 + 1);
    EXPECT_EQ(parameterValue(processor, tq4::ParamIds::source), 2.0f);
    EXPECT_EQ(processor.history.undoCount(), 1u);
}

TEST_F(EditorTest, BypassDimsTheControlsButNotTheHeaderButtons)
{
    auto& e = open();
    EXPECT_FLOAT_EQ(probe->controlsContainer().getAlpha(), 1.0f);

    setParameter(processor, tq4::ParamIds::bypass, 1.0f);
    e.timerCallback();
    EXPECT_FLOAT_EQ(probe->controlsContainer().getAlpha(), 0.4f);

    // Everything between a header button and the editor stays opaque.
    for (juce::Component* button : {&probe->undoButton(), &probe->redoButton(), &probe->helpButton()})
        for (auto* c = button; c != &e; c = c->getParentComponent())
            EXPECT_FLOAT_EQ(c->getAlpha(), 1.0f) << c->getName();

    setParameter(processor, tq4::ParamIds::bypass, 0.0f);
    e.timerCallback();
    EXPECT_FLOAT_EQ(probe->controlsContainer().getAlpha(), 1.0f);
}

TEST_F(EditorTest, DriveOffHalvesTheDriveSection)
{
    auto& e = open();
    EXPECT_NEAR(probe->driveContainer().getAlpha(), 0.5f, 1.0f / 255.0f) << "stored as a byte";
    setParameter(processor, tq4::ParamIds::driveOn, 1.0f);
    e.timerCallback();
    EXPECT_FLOAT_EQ(probe->driveContainer().getAlpha(), 1.0f);
}

TEST_F(EditorTest, AutoReleaseDisablesTheReleaseKnobWithinOneTick)
{
    auto& e = open();
    EXPECT_TRUE(probe->releaseKnob().isEnabled());

    setParameter(processor, tq4::ParamIds::autoRelease, 1.0f);
    e.timerCallback();
    EXPECT_FALSE(probe->releaseKnob().isEnabled());

    setParameter(processor, tq4::ParamIds::autoRelease, 0.0f);
    e.timerCallback();
    EXPECT_TRUE(probe->releaseKnob().isEnabled());
}

TEST_F(EditorTest, TheLearnPickedCharacterReachesTheChips)
{
    auto& e = open();
    processor.resolvedCharacter = 2;
    e.timerCallback();
    EXPECT_EQ(probe->characterChips().getPickedIndex(), 2);
}

TEST_F(EditorTest, EveryTooltipAndNoOther)
{
    open();
    EXPECT_EQ(probe->helpButton().getTooltip(),
              "HELP\nSend feedback, open the manual, contact support, or see the version.");
    EXPECT_EQ(probe->undoButton().getTooltip(), "Undo");
    EXPECT_EQ(probe->redoButton().getTooltip(), "Redo");
    EXPECT_EQ(probe->undoButton().getTitle(), "Undo");
    EXPECT_EQ(probe->redoButton().getTitle(), "Redo");
    EXPECT_EQ(probe->helpButton().getTitle(), "Help");

    processor.targetAvailable = true;
    probe->targetMarker().refresh();
    EXPECT_EQ(probe->targetMarker().getTooltip(),
              "TARGET\nHow much gain reduction you aim for (1-20 dB). Drag to make it gentler or deeper - "
              "RATIO, KNEE and THRESHOLD follow. Double-click to return to the Learn value.");

    struct ChipTip
    {
        tq4::ChoiceChips& chips;
        int index;
        const char* tip;
    };
    const ChipTip chipTips[] = {
        {probe->characterChips(), 0,
         "AUTO\nLet Learn choose. The type it picked lights up and AUTO keeps a thin ring; it picks again "
         "when "
         "SOURCE changes. Acts as VCA until Learn finishes."},
        {probe->characterChips(), 1,
         "OPTO\nSlow and smooth, recovery adapts to the material - flatters vocals, bass and strings."},
        {probe->characterChips(), 2, "FET\nFast and punchy, catches every peak - drums and rock guitar."},
        {probe->characterChips(), 3, "VCA\nClean and neutral, no coloring of its own - buses and mixes."},
        {probe->driveTypeChips(), 0, "TUBE\nWarm and thick, mostly even harmonics - vocals and bass."},
        {probe->driveTypeChips(), 1,
         "TRANSFORMER\nLows saturate a little harder and the top is rounded slightly - bass, kick and "
         "mixes."},
        {probe->driveTypeChips(), 2,
         "TAPE\nSoft peaks and gently rounded highs - drum buses and harsh sources."},
        {probe->driveTypeChips(), 3, "FET\nBright and hard, odd harmonics - drums and rock guitar."},
    };
    for (const auto& c : chipTips)
    {
        const auto chip = c.chips.getChipRects()[(size_t)c.index].toFloat().getCentre();
        c.chips.mouseMove(mouseAt(c.chips, chip));
        EXPECT_EQ(c.chips.getTooltip(), c.tip);
        c.chips.mouseExit(mouseAt(c.chips, chip));
    }

    // No other component carries a tooltip: knobs, switch, chips, LEARN and the source button have none.
    const std::set<juce::Component*> withTips = {&probe->helpButton(), &probe->undoButton(),
                                                 &probe->redoButton(), &probe->targetMarker()};
    std::function<void(juce::Component&)> visit = [&](juce::Component& c)
    {
        if (auto* client = dynamic_cast<juce::TooltipClient*>(&c);
            client != nullptr && withTips.count(&c) == 0)
        {
            EXPECT_TRUE(client->getTooltip().isEmpty()) << c.getName() << ": " << client->getTooltip();
        }
        for (auto* child : c.getChildren())
            visit(*child);
    };
    visit(*editor);
}

TEST_F(EditorTest, SetParameterPlainMovesOnlyRealChangesAsOneHostGesture)
{
    struct GestureCount : juce::AudioProcessorParameter::Listener
    {
        void parameterValueChanged(int, float) override {}
        void parameterGestureChanged(int, bool starting) override { (starting ? begun : ended) += 1; }
        int begun = 0, ended = 0;
    } gestures;

    auto& e = open();
    auto* threshold = processor.apvts.getParameter(tq4::ParamIds::threshold);
    threshold->addListener(&gestures);

    e.setParameterPlain("threshold", -24.04); // snaps to the 0.1 dB grid
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::threshold), -24.0f);
    EXPECT_EQ(gestures.begun, 1);
    EXPECT_EQ(gestures.ended, 1);

    e.setParameterPlain("threshold", -24.0);
    EXPECT_EQ(gestures.begun, 1) << "no change, no host gesture";

    e.setParameterPlain("noSuchParameter", 1.0);
    threshold->removeListener(&gestures);
}

TEST_F(EditorTest, ClosingMidGestureLeavesUndoUsable)
{
    open();
    processor.history.beginGesture(); // a knob held while the window closes
    setParameter(processor, tq4::ParamIds::knee, 60.0f);
    processor.history.commitPending();
    processor.history.beginGesture();
    ASSERT_GT(processor.gestureDepth, 0);

    close();
    EXPECT_EQ(processor.gestureDepth, 0);
    EXPECT_FALSE(processor.history.hasPending());
    ASSERT_TRUE(processor.history.canUndo());
    EXPECT_TRUE(processor.history.undo());
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::knee), 25.0f);
}

TEST_F(EditorTest, FeedbackDialogCoversTheCanvasAndHoldsTheKeys)
{
    auto& e = open();
    e.setSize(1280, 720);
    edit(tq4::ParamIds::ratio, 6.0f);

    auto dialog = std::make_unique<juce::Component>();
    auto* shown = dialog.get();
    e.hostFeedbackDialog(std::move(dialog));
    ASSERT_TRUE(e.isFeedbackDialogOpen());
    EXPECT_EQ(shown->getParentComponent(), &probe->contentContainer());
    EXPECT_EQ(shown->getBounds(), juce::Rectangle<int>(0, 0, 960, 540));
    EXPECT_TRUE(shown->isVisible());

    auto second = std::make_unique<juce::Component>();
    e.hostFeedbackDialog(std::move(second));
    EXPECT_EQ(probe->contentContainer().getChildren().getLast(), shown) << "only one dialog at a time";

    EXPECT_FALSE(e.keyPressed(command('z'))) << "the dialog owns the keyboard";
    EXPECT_FLOAT_EQ(parameterValue(processor, tq4::ParamIds::ratio), 6.0f);

    e.closeFeedbackDialog();
    EXPECT_TRUE(e.isFeedbackDialogOpen()) << "deleted on a later turn of the message loop";
    pumpMessages(20);
    EXPECT_FALSE(e.isFeedbackDialogOpen());
    EXPECT_TRUE(e.keyPressed(command('z')));
}

TEST_F(EditorTest, RendersTheWholeEditorToPng)
{
    setParameter(processor, tq4::ParamIds::driveOn, 1.0f);
    setParameter(processor, tq4::ParamIds::drive, 40.0f);
    setParameter(processor, tq4::ParamIds::source, 1.0f);
    auto& e = open();

    for (const auto& [width, height] : {std::pair{960, 540}, std::pair{1280, 720}, std::pair{1200, 540}})
    {
        e.setSize(width, height);
        processor.grPeak = 6.5f;
        processor.inputPeak = 0.5f;
        processor.outputPeak = 0.25f;
        e.timerCallback();

        const auto image = e.createComponentSnapshot(e.getLocalBounds(), true, 1.0f);
        ASSERT_EQ(image.getWidth(), width);
        ASSERT_EQ(image.getHeight(), height);

        const auto file =
            juce::File::getSpecialLocation(juce::File::currentExecutableFile)
                .getSiblingFile("tq4-editor-" + juce::String(width) + "x" + juce::String(height) + ".png");
        file.deleteFile();
        {
            juce::FileOutputStream out(file);
            ASSERT_TRUE(out.openedOk());
            ASSERT_TRUE(juce::PNGImageFormat().writeImageToStream(image, out));
        }

        // The LEARN pill's gradient sits in the middle of the canvas, wherever the canvas lands.
        const auto learn = juce::Point<float>(440.0f, 252.0f).transformedBy(e.getContentTransform()).toInt();
        EXPECT_GT(image.getPixelAt(learn.x, learn.y).getSaturation(), 0.4f);
        // The letterbox margin is the plain ground colour.
        if (width == 1200)
        {
            EXPECT_EQ(image.getPixelAt(40, 270).getARGB(), tq4::colBackground.getARGB());
        }
    }
}
