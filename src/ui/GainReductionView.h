#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

class TQ4AudioProcessor;

// The editor's gain-reduction display: the dial with its read-out, the scrolling history of input,
// output and gain reduction, and the peak meters with their clip caps. Holds the displayed meter
// values and the history range; paints in design units (the editor applies its content transform).
// Times are juce::Time::getMillisecondCounterHiRes(), the clock the processor stamps resets with.
namespace tq4
{

// Meter ballistics, one editor tick at a time.
double meterTickSeconds(double nowMs, double lastTickMs);
float decayedPeak(float displayed, float incoming, double dtSeconds);
float smoothedGainReduction(float displayed, float incoming, double dtSeconds);

// A linear peak as the filled fraction of a meter bar: -60..0 dBFS over 0..1.
float meterFillFraction(float peak);

// History plot mapping for a range of rangeDb below 0 dBFS.
float historyLevelY(float db, juce::Rectangle<float> plot, int rangeDb);
float historyGainReductionY(float gainReductionDb, juce::Rectangle<float> plot, int rangeDb);
bool isSilentLevel(float db);

// Points of emptiness the plot shows for a reset the audio thread has not yet filled in.
int historyGapPoints(double nowMs, double pendingResetTimeMs);
int historyPointsShown(int writeCount, int gapPoints);
float historyPointX(int k, int pointCount, juce::Rectangle<float> plot);

// Alpha of the range tag elapsedMs after the range last changed; 0 when hidden.
float rangeTagAlpha(double elapsedMs);

// The history range: one of 60, 36 or 24 dB.
int validHistoryRange(int rangeDb);
int steppedHistoryRange(int rangeDb, float wheelDelta);

// A wheel's vertical delta folded into the accumulator; a step is due at |result| >= 0.25.
float accumulateWheel(float accumulator, float delta, bool smooth);

// Index of the space nearest the middle of the text, -1 when it has none.
int middleSpaceIndex(const juce::String& text);

// Text centred in the rectangle on one line, or split at its middle space onto two when too wide.
void drawCentredTwoLines(juce::Graphics& g, juce::Rectangle<float> rect, float baselineY, float lineStep,
                         const juce::String& text, juce::Colour colour);

// Each channel c becomes 255 - (255 - c) * keep, keep = keepNumerator / keepDenominator.
juce::Colour towardsWhite(juce::Colour colour, int keepNumerator, int keepDenominator);

// The source button's text: source name, two spaces, U+203A, two spaces, detail name.
juce::String breadcrumbText(int source, int detail);

class GainReductionView
{
public:
    explicit GainReductionView(TQ4AudioProcessor& processor);

    // Reads and resets the processor's meters (editor timer step 7).
    void updateMeters(double nowMs);

    void paintDialBase(juce::Graphics& g);
    // Track, fill arc, ticks, read-out, target label and breadcrumb; only the track while learning.
    void paintDialContents(juce::Graphics& g, bool learnActive);
    // Plot, threshold, range tag, meters and clip caps.
    void paintHistory(juce::Graphics& g, double nowMs);

    // A click on either meter clears both clip indicators; true when handled.
    bool mouseDown(juce::Point<float> canvasPoint);
    // Over the plot the wheel steps the range; true when the history strip needs a repaint.
    bool mouseWheel(juce::Point<float> canvasPoint, const juce::MouseWheelDetails& wheel, double nowMs);
    // Wheel events elsewhere belong to the framework's default handling.
    static bool isOverHistoryPlot(juce::Point<float> canvasPoint);

    int getHistoryRangeDb() const { return historyRangeDb; }
    void setHistoryRangeDb(int rangeDb);

    // Called when the wheel changed the range, so the editor can store the preference.
    std::function<void(int rangeDb)> onRangeChanged;

    float getDisplayedInputPeak() const { return inputPeak; }
    float getDisplayedOutputPeak() const { return outputPeak; }
    float getDisplayedGainReductionDb() const { return gainReductionDb; }
    bool getDisplayedInputClip() const { return inputClip; }
    bool getDisplayedOutputClip() const { return outputClip; }

private:
    void paintPlot(juce::Graphics& g, double nowMs);
    void paintThreshold(juce::Graphics& g);
    void paintRangeTag(juce::Graphics& g, double nowMs);
    void paintMeter(juce::Graphics& g, juce::Rectangle<float> bar, juce::Rectangle<float> cap,
                    juce::Point<float> labelAnchor, const juce::String& label, float peak, bool clipped);

    TQ4AudioProcessor& processor;

    float inputPeak = 0.0f, outputPeak = 0.0f, gainReductionDb = 0.0f;
    bool inputClip = false, outputClip = false;
    double lastTickMs = 0.0;

    int historyRangeDb = 60;
    float wheelAccumulator = 0.0f;
    double lastRangeChangeMs = -1.0e9;
};

} // namespace tq4
