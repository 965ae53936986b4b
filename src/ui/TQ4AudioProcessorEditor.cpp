#include "ui/TQ4AudioProcessorEditor.h"

#include "adapt/SourceCatalogue.h"
#include "plugin/ParameterLayout.h"
#include "ui/DesignCanvas.h"
#include "ui/DialGeometry.h"
#include "ui/Fonts.h"
#include "ui/FramePainter.h"
#include "ui/TQ4FeedbackDialog.h"
#include "ui/Tooltips.h"

#include <limits>

namespace tq4
{

EditorLayout makeEditorLayout()
{
    EditorLayout l;
    l.dialCentre = dialCentre.toInt();
    l.dialArcRadius = juce::roundToInt(dialArcRadius);

    const int brandWidth = juce::roundToInt(textWidth(makeFont(13.0f, true, 5.0f), "VELDRANE"));
    l.helpButton = {32 + brandWidth + 14, 30, 16, 16};
    l.undoButton = {800, 24, 28, 28};
    l.redoButton = {836, 24, 28, 28};

    l.learnButton = {415, 221, 130, 48};
    l.sourceButton = {372, 334, 216, 40};
    const int markerSide = 2 * l.dialArcRadius + 56;
    l.targetMarker = juce::Rectangle<int>(markerSide, markerSide).withCentre(l.dialCentre);

    l.threshold = {{88, 196}, 42};
    l.ratio = {{200, 160}, 28};
    l.attack = {{280, 160}, 28};
    l.release = {{200, 268}, 28};
    l.knee = {{280, 268}, 28};
    l.driveAmount = {{700, 170}, 30};
    l.mix = {{706, 326}, 28};
    l.output = {{800, 326}, 28};

    l.driveSwitch = {870, 84, 46, 24};
    l.autoReleaseChip = juce::Rectangle<int>(64, 24).withCentre(l.release.centre.translated(0, 76));
    l.autoGainChip = juce::Rectangle<int>(84, 24).withCentre({883, l.output.centre.y});
    for (int i = 0; i < 4; ++i)
    {
        l.characterChips[(size_t)i] = {372 + 55 * i, 382, 51, 22};
        l.driveTypeChips[(size_t)i] = {758 + 86 * (i % 2), 132 + 32 * (i / 2), 80, 26};
    }

    const int dialRepaintSide = 2 * juce::roundToInt(dialOuterRadius) + 6;
    l.dialRepaintArea = juce::Rectangle<int>(dialRepaintSide, dialRepaintSide).withCentre(l.dialCentre);
    l.statusArea = statusRect.toNearestInt();
    l.historyStrip = historyStripRect.toNearestInt();
    return l;
}

namespace EditorPreferences
{

namespace
{
const char* const editorWidthKey = "editorWidth";
const char* const historyRangeKey = "historyRangeDb";

juce::File& redirection()
{
    static juce::File file;
    return file;
}

// getIntValue reads "wide" as 0; a stored text that is not a whole number counts as missing.
int storedInt(const juce::PropertiesFile& props, const char* key, int fallback)
{
    const auto text = props.getValue(key).trim();
    const auto digits = text.startsWithChar('-') ? text.substring(1) : text;
    if (digits.isEmpty() || !digits.containsOnly("0123456789"))
        return fallback;
    if (digits.length() > 9) // beyond what an int holds: only its sign matters to the clamp
        return text.startsWithChar('-') ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    return text.getIntValue();
}
} // namespace

juce::PropertiesFile::Options options()
{
    juce::PropertiesFile::Options o;
    o.applicationName = "TQ-4";
    o.filenameSuffix = "ui.settings";
    o.folderName = "VELDRANE";
    o.osxLibrarySubFolder = "Application Support";
    o.commonToAllUsers = false;
    o.millisecondsBeforeSaving = 3000;
    o.storageFormat = juce::PropertiesFile::storeAsXML;
    return o;
}

juce::File file()
{
    return redirection() != juce::File() ? redirection() : options().getDefaultFile();
}

void redirectTo(const juce::File& newFile)
{
    redirection() = newFile;
}

int readEditorWidth()
{
    juce::PropertiesFile props(file(), options());
    return juce::jlimit(minWidth, maxWidth, storedInt(props, editorWidthKey, defaultWidth));
}

void writeEditorWidth(int width)
{
    juce::PropertiesFile props(file(), options());
    props.setValue(editorWidthKey, juce::jlimit(minWidth, maxWidth, width));
    props.saveIfNeeded();
}

int readHistoryRangeDb()
{
    juce::PropertiesFile props(file(), options());
    return validHistoryRange(storedInt(props, historyRangeKey, defaultHistoryRangeDb));
}

void writeHistoryRangeDb(int rangeDb)
{
    juce::PropertiesFile props(file(), options());
    props.setValue(historyRangeKey, validHistoryRange(rangeDb));
    props.saveIfNeeded();
}

} // namespace EditorPreferences

} // namespace tq4

using namespace tq4;

namespace
{
void keepFocusOff(juce::Button& button)
{
    button.setWantsKeyboardFocus(false);
    button.setMouseClickGrabsKeyboardFocus(false);
}
} // namespace

TQ4AudioProcessorEditor::TQ4AudioProcessorEditor(TQ4AudioProcessor& p)
    : juce::AudioProcessorEditor(p), tq4Processor(p),
      driveTypeChips(&p.history, parameter(ParamIds::driveType), {"TUBE", "XFMR", "TAPE", "FET"}, 11.0f),
      targetMarker(p), characterChips(&p.history, parameter(ParamIds::character), characterNames(), 10.5f),
      gainReductionView(p), learnControl(p, learnButton)
{
    setLookAndFeel(&lookAndFeel);

    for (auto* container : {&contentContainer, &controlsContainer, &driveContainer})
        container->setInterceptsMouseClicks(false, true);
    addAndMakeVisible(contentContainer);
    contentContainer.addAndMakeVisible(controlsContainer);
    controlsContainer.addAndMakeVisible(driveContainer);

    struct KnobSetup
    {
        TQ4Knob& knob;
        const char* parameterId;
        const char* caption;
        const char* unit;
        int decimalsCode;
        juce::Component& parent;
    };
    const KnobSetup knobs[] = {
        {thresholdKnob, ParamIds::threshold, "THRESHOLD", "dB", 1, controlsContainer},
        {ratioKnob, ParamIds::ratio, "RATIO", ": 1", 1, controlsContainer},
        {attackKnob, ParamIds::attack, "ATTACK", "ms", -2, controlsContainer},
        {releaseKnob, ParamIds::release, "RELEASE", "ms", 0, controlsContainer},
        {kneeKnob, ParamIds::knee, "KNEE", "", -1, controlsContainer},
        {mixKnob, ParamIds::mix, "MIX", "%", 0, controlsContainer},
        {outputKnob, ParamIds::output, "OUTPUT", "dB", 1, controlsContainer},
        {driveAmountKnob, ParamIds::drive, "AMOUNT", "%", 0, driveContainer},
    };
    for (const auto& k : knobs)
        setupKnob(k.knob, parameter(k.parameterId), &tq4Processor.history, k.caption, k.unit, k.decimalsCode,
                  k.parent);

    driveSwitch.getProperties().set("tq4Switch", true);
    autoGainChip.getProperties().set("tq4Chip", 10.0);
    autoReleaseChip.getProperties().set("tq4Chip", 11.0);
    learnButton.getProperties().set("tq4Learn", true);
    sourceButton.getProperties().set("tq4Drop", true);
    undoButton.getProperties().set("tq4Arrow", 1);
    redoButton.getProperties().set("tq4Arrow", 2);
    helpButton.getProperties().set("tq4Help", true);

    controlsContainer.addAndMakeVisible(driveSwitch);
    driveContainer.addAndMakeVisible(driveTypeChips);
    controlsContainer.addAndMakeVisible(autoGainChip);
    controlsContainer.addAndMakeVisible(autoReleaseChip);
    controlsContainer.addAndMakeVisible(learnButton);
    controlsContainer.addAndMakeVisible(targetMarker);
    controlsContainer.addAndMakeVisible(sourceButton);
    controlsContainer.addAndMakeVisible(characterChips);
    contentContainer.addAndMakeVisible(undoButton);
    contentContainer.addAndMakeVisible(redoButton);
    contentContainer.addAndMakeVisible(helpButton);
    tooltipWindow = std::make_unique<juce::TooltipWindow>(this, 600);

    driveOnAttachment = std::make_unique<UserButtonAttachment>(parameter(ParamIds::driveOn), driveSwitch,
                                                               tq4Processor.history);
    autoMakeupAttachment = std::make_unique<UserButtonAttachment>(parameter(ParamIds::autoMakeup),
                                                                  autoGainChip, tq4Processor.history);
    autoReleaseAttachment = std::make_unique<UserButtonAttachment>(parameter(ParamIds::autoRelease),
                                                                   autoReleaseChip, tq4Processor.history);
    driveTypeChips.setTooltips(driveTypeChipTooltips());
    characterChips.setTooltips(characterChipTooltips());

    targetMarker.setTooltipText(targetMarkerTooltip());
    learnControl.updateLearnButton();

    gainReductionView.setHistoryRangeDb(EditorPreferences::readHistoryRangeDb());
    gainReductionView.onRangeChanged = [](int rangeDb) { EditorPreferences::writeHistoryRangeDb(rangeDb); };

    undoButton.setTooltip(undoTooltip());
    undoButton.setTitle("Undo");
    redoButton.setTooltip(redoTooltip());
    redoButton.setTitle("Redo");
    undoButton.onClick = [this]
    {
        tq4Processor.history.undo();
        updateUndoRedoButtons();
    };
    redoButton.onClick = [this]
    {
        tq4Processor.history.redo();
        updateUndoRedoButtons();
    };
    updateUndoRedoButtons();

    helpButton.setTooltip(helpButtonTooltip());
    helpButton.setTitle("Help");
    helpButton.onClick = [this] { helpMenu.show(helpButton); };
    helpMenu.onFeedback = [this] { showFeedbackDialog(); };
    sourceButton.onClick = [this] { showSourceMenu(); };
    for (auto* b : {&undoButton, &redoButton, &helpButton})
        keepFocusOff(*b);

    setWantsKeyboardFocus(true);
    updateBreadcrumb();
    updateEnablement();

    setResizable(true, true);
    setResizeLimits(EditorPreferences::minWidth, 405, EditorPreferences::maxWidth, 720);
    getConstrainer()->setFixedAspectRatio(16.0 / 9.0);

    savedWidth = EditorPreferences::readEditorWidth();
    setSize(savedWidth, (savedWidth * 540 + 480) / 960);

    startTimer(33);
}

TQ4AudioProcessorEditor::~TQ4AudioProcessorEditor()
{
    stopTimer();

    // A drag cut off by closing the window must not leave undo blocked; what it changed already
    // has its history entry.
    tq4Processor.gestureDepth = 0;
    tq4Processor.history.discardPending();

    setLookAndFeel(nullptr);

    if (getWidth() != savedWidth)
        EditorPreferences::writeEditorWidth(getWidth());

    background.release();
}

std::array<TQ4Knob*, 8> TQ4AudioProcessorEditor::knobsInPaintOrder()
{
    return {&thresholdKnob, &ratioKnob, &attackKnob, &releaseKnob,
            &kneeKnob,      &mixKnob,   &outputKnob, &driveAmountKnob};
}

juce::RangedAudioParameter& TQ4AudioProcessorEditor::parameter(const char* parameterId)
{
    auto* p = tq4Processor.apvts.getParameter(parameterId);
    jassert(p != nullptr);
    return *p;
}

float TQ4AudioProcessorEditor::parameterValue(const char* parameterId) const
{
    const auto* raw = tq4Processor.apvts.getRawParameterValue(parameterId);
    return raw != nullptr ? raw->load() : 0.0f;
}

void TQ4AudioProcessorEditor::setParameterPlain(const juce::String& parameterId, double plainValue)
{
    auto* p = tq4Processor.apvts.getParameter(parameterId);
    if (p == nullptr)
        return;

    const auto& range = p->getNormalisableRange();
    const float normalised = range.convertTo0to1(range.snapToLegalValue((float)plainValue));
    if (std::abs(normalised - p->getValue()) <= 1.0e-6f)
        return;

    p->beginChangeGesture();
    p->setValueNotifyingHost(normalised);
    p->endChangeGesture();
}

void TQ4AudioProcessorEditor::resized()
{
    const auto width = (float)getWidth();
    const auto height = (float)getHeight();
    contentScale = std::min(height / canvasHeight, width / canvasWidth);
    contentTransform = juce::AffineTransform::scale(contentScale)
                           .translated((width - canvasWidth * contentScale) * 0.5f,
                                       (height - canvasHeight * contentScale) * 0.5f);

    const juce::Rectangle<int> canvas(0, 0, (int)canvasWidth, (int)canvasHeight);
    contentContainer.setBounds(canvas);
    contentContainer.setTransform(contentTransform);
    controlsContainer.setBounds(canvas);
    driveContainer.setBounds(canvas);

    layout = makeEditorLayout();
    sourceButton.setBounds(layout.sourceButton);
    characterChips.setChipRects({layout.characterChips.begin(), layout.characterChips.end()});
    driveTypeChips.setChipRects({layout.driveTypeChips.begin(), layout.driveTypeChips.end()});
    autoReleaseChip.setBounds(layout.autoReleaseChip);
    driveSwitch.setBounds(layout.driveSwitch);
    autoGainChip.setBounds(layout.autoGainChip);
    learnButton.setBounds(layout.learnButton);
    targetMarker.setCentre(layout.dialCentre.x, layout.dialCentre.y);
    targetMarker.setRadius((float)layout.dialArcRadius);
    targetMarker.setBounds(layout.targetMarker);
    undoButton.setBounds(layout.undoButton);
    redoButton.setBounds(layout.redoButton);
    helpButton.setBounds(layout.helpButton);
    if (feedbackDialog != nullptr)
        feedbackDialog->setBounds(contentContainer.getLocalBounds());

    const std::array<EditorLayout::Knob, 8> places = {layout.threshold, layout.ratio,      layout.attack,
                                                      layout.release,   layout.knee,       layout.mix,
                                                      layout.output,    layout.driveAmount};
    const auto knobs = knobsInPaintOrder();
    for (size_t i = 0; i < knobs.size(); ++i)
        knobs[i]->setGeometry(places[i].centre, places[i].radius);

    layoutReady = true;
}

void TQ4AudioProcessorEditor::paint(juce::Graphics& g)
{
    const double nowMs = juce::Time::getMillisecondCounterHiRes();

    paintGround(g, getLocalBounds());
    paintBackdrop(g, background, getLocalBounds(), contentScale, contentTransform, bypassed);
    g.addTransform(contentTransform);
    paintHeader(g);
    beginBypassDim(g, bypassed);
    paintDriveOutline(g, driveOn);
    paintPanels(g);
    gainReductionView.paintDialBase(g);
    paintSectionTitles(g);
    for (auto* knob : knobsInPaintOrder())
    {
        const bool dimmed =
            (knob == &driveAmountKnob && !driveOn) || (knob == &releaseKnob && !releaseKnob.isEnabled());
        paintKnobCaption(g, *knob, dimmed);
    }
    gainReductionView.paintDialContents(g, learnControl.isActive());
    paintHistoryStripPanel(g);
    gainReductionView.paintHistory(g, nowMs);
    endBypassDim(g, bypassed);
}

void TQ4AudioProcessorEditor::paintOverChildren(juce::Graphics& g)
{
    if (!layoutReady)
        return;

    g.addTransform(contentTransform);
    learnControl.paintOverChildren(g);
}

void TQ4AudioProcessorEditor::timerCallback()
{
    updateBreadcrumb();
    learnControl.updateLearnButton();
    updateEnablement();
    updateUndoRedoButtons();
    targetMarker.refresh();

    const int resolved = tq4Processor.resolvedCharacter.load();
    if (resolved != pickedCharacter)
    {
        pickedCharacter = resolved;
        characterChips.setPickedIndex(resolved);
        characterChips.repaint();
    }

    gainReductionView.updateMeters(juce::Time::getMillisecondCounterHiRes());
    learnControl.updateLearnStatus();

    repaintCanvasArea(layout.dialRepaintArea);
    repaintCanvasArea(layout.historyStrip);
}

void TQ4AudioProcessorEditor::repaintCanvasArea(juce::Rectangle<int> canvasArea)
{
    const auto area = canvasArea.toFloat()
                          .transformedBy(contentTransform)
                          .getSmallestIntegerContainer()
                          .expanded(2)
                          .getIntersection(getLocalBounds());
    if (!area.isEmpty())
        repaint(area);
}

juce::Point<float> TQ4AudioProcessorEditor::toCanvas(const juce::MouseEvent& event) const
{
    return getLocalPoint(event.eventComponent, event.position).transformedBy(contentTransform.inverted());
}

void TQ4AudioProcessorEditor::updateEnablement()
{
    const bool nowBypassed = parameterValue(ParamIds::bypass) > 0.5f;
    const bool nowDriveOn = parameterValue(ParamIds::driveOn) > 0.5f;

    controlsContainer.setAlpha(nowBypassed ? 0.4f : 1.0f);
    driveContainer.setAlpha(nowDriveOn ? 1.0f : 0.5f);

    bool needsRepaint = false;
    const bool releaseEnabled = parameterValue(ParamIds::autoRelease) <= 0.5f;
    if (releaseKnob.isEnabled() != releaseEnabled)
    {
        releaseKnob.setEnabled(releaseEnabled);
        needsRepaint = true; // its caption dims with it
    }

    if (nowBypassed != bypassed || nowDriveOn != driveOn)
    {
        bypassed = nowBypassed;
        driveOn = nowDriveOn;
        needsRepaint = true;
    }

    if (needsRepaint)
        repaint();
}

void TQ4AudioProcessorEditor::updateBreadcrumb()
{
    const int source = juce::roundToInt(parameterValue(ParamIds::source));
    const int detail = clampDetail(source, juce::roundToInt(parameterValue(ParamIds::nuance)));
    if (source == shownSource && detail == shownDetail)
        return;

    shownSource = source;
    shownDetail = detail;
    sourceButton.setButtonText(breadcrumbText(source, detail));
    repaintCanvasArea(layout.statusArea);
}

void TQ4AudioProcessorEditor::updateUndoRedoButtons()
{
    undoButton.setEnabled(tq4Processor.history.canUndo());
    redoButton.setEnabled(tq4Processor.history.canRedo());
}

void TQ4AudioProcessorEditor::showSourceMenu()
{
    const int source = juce::jlimit(0, 12, juce::roundToInt(parameterValue(ParamIds::source)));
    const int detail = clampDetail(source, juce::roundToInt(parameterValue(ParamIds::nuance)));
    const auto names = sourceNames();

    juce::PopupMenu menu;
    for (int i = 0; i < names.size(); ++i)
    {
        juce::PopupMenu details;
        const auto detailList = detailNames(i);
        for (int j = 0; j < detailList.size(); ++j)
            details.addItem(i * 16 + j + 1, detailList[j], true, i == source && j == detail);

        menu.addSubMenu(names[i], details, true, nullptr, i == source);
        if (i == 0)
            menu.addSeparator();
    }
    menu.setLookAndFeel(&lookAndFeel);

    menuOpen = true;
    sourceButton.getProperties().set("tq4Open", true);
    sourceButton.repaint();

    menu.showMenuAsync(juce::PopupMenu::Options()
                           .withTargetComponent(&sourceButton)
                           .withPreferredPopupDirection(juce::PopupMenu::Options::PopupDirection::upwards),
                       makeSourceMenuHandler());
}

std::function<void(int)> TQ4AudioProcessorEditor::makeSourceMenuHandler()
{
    return [safe = SafePointer<TQ4AudioProcessorEditor>(this)](int result)
    {
        if (safe != nullptr)
            safe->handleSourceMenuResult(result);
    };
}

void TQ4AudioProcessorEditor::handleSourceMenuResult(int result)
{
    menuOpen = false;
    sourceButton.getProperties().set("tq4Open", false);
    sourceButton.repaint();

    if (result <= 0)
        return;

    const int source = std::min((result - 1) / 16, 12);
    const int detail = clampDetail(source, (result - 1) % 16);

    // Source and detail change together, so they are one undo step.
    tq4Processor.history.beginGesture();
    setParameterPlain(ParamIds::source, source);
    setParameterPlain(ParamIds::nuance, detail);
    tq4Processor.history.commitPending();
    tq4Processor.history.endGesture();
    updateBreadcrumb();
}

void TQ4AudioProcessorEditor::showFeedbackDialog()
{
    if (feedbackDialog != nullptr)
        return;

    auto dialog = std::make_unique<tq4::TQ4FeedbackDialog>();
    dialog->onSend = tq4::feedbackServiceSend(*dialog);
    dialog->onClose = [this] { closeFeedbackDialog(); };
    hostFeedbackDialog(std::move(dialog));
}

void TQ4AudioProcessorEditor::hostFeedbackDialog(std::unique_ptr<juce::Component> dialog)
{
    if (feedbackDialog != nullptr || dialog == nullptr)
        return;

    feedbackDialog = std::move(dialog);
    contentContainer.addAndMakeVisible(*feedbackDialog);
    feedbackDialog->setBounds(contentContainer.getLocalBounds());
    feedbackDialog->toFront(true);
}

void TQ4AudioProcessorEditor::closeFeedbackDialog()
{
    // Called from inside the dialog's own handlers, so it goes on a later turn of the message loop.
    juce::MessageManager::callAsync(
        [safe = SafePointer<TQ4AudioProcessorEditor>(this)]
        {
            if (safe != nullptr)
                safe->feedbackDialog.reset();
        });
}

bool TQ4AudioProcessorEditor::keyPressed(const juce::KeyPress& key)
{
    if (feedbackDialog != nullptr)
        return false;

    const auto mods = key.getModifiers();
    if (!mods.isCommandDown() || mods.isAltDown())
        return false;

    const auto character = juce::CharacterFunctions::toUpperCase((juce::juce_wchar)key.getKeyCode());
    bool done = false;
    if (character == 'Z' && !mods.isShiftDown())
        done = tq4Processor.history.undo();
    else if ((character == 'Z' && mods.isShiftDown()) || (character == 'Y' && !mods.isShiftDown()))
        done = tq4Processor.history.redo();
    else
        return false;

    updateUndoRedoButtons();
    return done;
}

void TQ4AudioProcessorEditor::mouseDown(const juce::MouseEvent& event)
{
    if (gainReductionView.mouseDown(toCanvas(event)))
        repaint();
}

void TQ4AudioProcessorEditor::mouseWheelMove(const juce::MouseEvent& event,
                                             const juce::MouseWheelDetails& wheel)
{
    const auto point = toCanvas(event);
    if (!GainReductionView::isOverHistoryPlot(point))
    {
        juce::AudioProcessorEditor::mouseWheelMove(event, wheel);
        return;
    }

    if (gainReductionView.mouseWheel(point, wheel, juce::Time::getMillisecondCounterHiRes()))
        repaintCanvasArea(layout.historyStrip);
}
