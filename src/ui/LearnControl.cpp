#include "ui/LearnControl.h"

#include "plugin/PluginProcessor.h"
#include "ui/DialGeometry.h"
#include "ui/Drawing.h"
#include "ui/Fonts.h"
#include "ui/GainReductionView.h"
#include "ui/Palette.h"

#include <cmath>

namespace tq4
{

namespace
{

constexpr float learnSeconds = 8.0f;

} // namespace

LearnStatus learnStatusFor(float secondsHeard, bool signalLow, float progress)
{
    if (secondsHeard < 0.2f)
        return {"Waiting for audio - start playback", true};
    if (signalLow)
        return {"Signal too low - Learn only counts audio above -60 dBFS", true};
    const float left = (1.0f - juce::jlimit(0.0f, 1.0f, progress)) * learnSeconds;
    return {"Listening... " + juce::String(left, 1) + " s left", false};
}

double roundHalfToEven(double value)
{
    const double down = std::floor(value);
    const double fraction = value - down;
    if (fraction != 0.5)
        return std::round(value);
    return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

int learnPercent(float progress)
{
    const double p = juce::jlimit(0.0, 1.0, static_cast<double>(progress));
    return static_cast<int>(roundHalfToEven(p * 100.0));
}

LearnControl::LearnControl(TQ4AudioProcessor& p, juce::TextButton& learnButton)
    : processor(p), button(learnButton)
{
    button.setClickingTogglesState(false);
    button.onClick = [this] { clicked(); };
    updateLearnButton();
}

void LearnControl::clicked()
{
    // A second click cancels, also while the processor has not yet acted on the first.
    const bool shown = processor.learnRequested.load() || processor.learnRunning;
    processor.learnRequested.exchange(!shown);
    updateLearnButton();
}

void LearnControl::updateLearnButton()
{
    const bool on = processor.learnRequested.load() || processor.learnRunning;
    if (button.getToggleState() != on)
        button.setToggleState(on, juce::dontSendNotification);
}

void LearnControl::updateLearnStatus()
{
    progress = processor.learnProgress.load();
    signalLow = processor.learnSignalLow.load();
    secondsHeard = processor.learnSecondsHeard.load();
    status = {};

    const bool on = button.getToggleState();
    const juce::String text(on ? "LEARNING" : "LEARN");
    if (button.getButtonText() != text)
        button.setButtonText(text);
    if (on)
        status = learnStatusFor(secondsHeard, signalLow, progress);
}

bool LearnControl::isActive() const
{
    return button.getToggleState();
}

void LearnControl::paintOverChildren(juce::Graphics& g)
{
    // Before the first layout the button has no size and the dial is not placed yet.
    if (!button.getToggleState() || button.getWidth() <= 0 || button.getHeight() <= 0)
        return;

    const float p = juce::jlimit(0.0f, 1.0f, progress);
    if (p > 0.005f)
    {
        const auto arc =
            arcPath(dialCentre, dialArcRadius, dialStartDegrees, p * dialSweepDegrees + dialStartDegrees);
        strokeGlow(g, arc, 8.0f, brandGradient(arc.getBounds()));
    }

    const auto numberFont = makeFont(46.0f, false, 0.0f);
    const auto signFont = makeFont(16.0f, false, 0.0f);
    const juce::String number(learnPercent(progress));
    const juce::String sign("%");
    const float w1 = textWidth(numberFont, number);
    const float x0 = dialCentre.x - 0.5f * (w1 + 4.0f + textWidth(signFont, sign));
    drawText(g, number, numberFont, juce::Colours::white, x0, 204.0f, TextAlign::left);
    drawText(g, sign, signFont, whiteAlpha(153), x0 + w1 + 4.0f, 204.0f, TextAlign::left);

    if (status.text.isNotEmpty())
        drawCentredTwoLines(g, statusRect, statusBaseline, statusLineStep, status.text,
                            status.warning ? colAmber : whiteAlpha(189));
}

} // namespace tq4
