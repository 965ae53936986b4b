#include "ui/GainReductionView.h"
#include "plugin/PluginProcessor.h"
#include "support/LearnDriver.h"
#include "support/LearnedState.h"
#include "support/Signals.h"
#include "ui/DialGeometry.h"
#include "ui/Palette.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

constexpr double rate = 48000.0;
constexpr int blockSize = 480;

// A processor that has run audio through its engine, as a host would before the editor paints.
struct PlayedProcessor : ::testing::Test
{
    TQ4AudioProcessor processor;
    tq4::GainReductionView view{processor};

    void SetUp() override { processor.prepareToPlay(rate, blockSize); }

    void play(double seconds, float amplitude)
    {
        juce::AudioBuffer<float> block(2, blockSize);
        juce::MidiBuffer midi;
        for (int i = 0; i < static_cast<int>(seconds * rate / blockSize); ++i)
        {
            tq4test::fillSine(block, rate, 220.0, amplitude);
            processor.processBlock(block, midi);
        }
    }

    juce::Image render(bool learnActive, double nowMs)
    {
        juce::Image image(juce::Image::RGB, 960, 540, true);
        juce::Graphics g(image);
        g.fillAll(tq4::colBackground);
        view.paintDialBase(g);
        view.paintDialContents(g, learnActive);
        view.paintHistory(g, nowMs);
        return image;
    }
};

void savePng(const juce::Image& image, const juce::String& name)
{
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile(name);
    file.deleteFile();
    juce::FileOutputStream stream(file);
    juce::PNGImageFormat().writeImageToStream(image, stream);
}

// Pixels in the area noticeably brighter than the ground.
int inkIn(const juce::Image& image, juce::Rectangle<int> area, float brightness = 0.35f)
{
    int count = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            count += image.getPixelAt(x, y).getBrightness() > brightness ? 1 : 0;
    return count;
}

juce::MouseWheelDetails wheel(float deltaY, bool smooth, bool inertial = false)
{
    juce::MouseWheelDetails details{};
    details.deltaY = deltaY;
    details.isSmooth = smooth;
    details.isInertial = inertial;
    return details;
}

const juce::Point<float> overPlot{400.0f, 460.0f};

// The brand colours and the fills, as opposed to white, grey and the dark violet ground.
bool isColourful(juce::Colour c)
{
    return c.getSaturation() > 0.4f && c.getBrightness() > 0.3f;
}

} // namespace

TEST(MeterBallistics, TickLengthIsClampedSoTheFirstTickCountsAsAFifthOfASecond)
{
    EXPECT_DOUBLE_EQ(tq4::meterTickSeconds(123456.0, 0.0), 0.2);
    EXPECT_DOUBLE_EQ(tq4::meterTickSeconds(1000.0, 1000.0), 0.001);
    EXPECT_DOUBLE_EQ(tq4::meterTickSeconds(1033.0, 1000.0), 0.033);
}

TEST(MeterBallistics, PeaksHoldTheMaximumAndFallWithTheirTimeConstants)
{
    struct Case
    {
        float displayed, incoming, dt, expected;
    };
    const float e = std::exp(-1.0f);
    for (const auto& c : {Case{0.5f, 0.8f, 0.033f, 0.8f}, Case{0.8f, 0.0f, 0.35f, 0.8f * e}})
        EXPECT_NEAR(tq4::decayedPeak(c.displayed, c.incoming, c.dt), c.expected, 1e-5f);

    // Gain reduction: rises with 50 ms, falls with 300 ms.
    EXPECT_NEAR(tq4::smoothedGainReduction(0.0f, 10.0f, 0.05), 10.0f * (1.0f - e), 1e-4f);
    EXPECT_NEAR(tq4::smoothedGainReduction(10.0f, 0.0f, 0.3), 10.0f * e, 1e-4f);
}

TEST_F(PlayedProcessor, MetersAreDrainedFromTheProcessorAndDecayWhileTheTransportStops)
{
    play(1.0, 0.9f);
    const double start = 10000.0;
    view.updateMeters(start);

    EXPECT_NEAR(view.getDisplayedInputPeak(), 0.9f, 0.01f);
    EXPECT_GT(view.getDisplayedOutputPeak(), 0.0f);
    const float reduction = view.getDisplayedGainReductionDb();
    EXPECT_GT(reduction, 1.0f) << "a 0.9 sine over the default threshold is compressed";
    EXPECT_EQ(processor.inputPeak.load(), 0.0f) << "read and reset";
    EXPECT_EQ(processor.grPeak.load(), 0.0f);

    // No more audio: ten ticks of 30 ms are 0.3 s.
    const float input = view.getDisplayedInputPeak();
    for (int i = 1; i <= 10; ++i)
        view.updateMeters(start + 30.0 * i);
    EXPECT_NEAR(view.getDisplayedGainReductionDb(), reduction * std::exp(-1.0f), 1e-3f);
    EXPECT_NEAR(view.getDisplayedInputPeak(), input * std::exp(-0.3f / 0.35f), 1e-4f);
}

TEST_F(PlayedProcessor, ClickOnEitherMeterClearsBothClipIndicators)
{
    play(0.2, 1.5f);
    view.updateMeters(1000.0);
    ASSERT_TRUE(view.getDisplayedInputClip());

    processor.outputClip = true;
    EXPECT_FALSE(view.mouseDown({400.0f, 460.0f}));
    EXPECT_TRUE(processor.inputClip.load());

    // Just inside the 6-unit margin around the input bar and its cap.
    EXPECT_TRUE(view.mouseDown({873.0f, 415.0f}));
    EXPECT_FALSE(processor.inputClip.load());
    EXPECT_FALSE(processor.outputClip.load());
    EXPECT_FALSE(view.getDisplayedInputClip());

    processor.inputClip = true;
    EXPECT_TRUE(view.mouseDown({911.0f, 493.0f}));
    EXPECT_FALSE(view.mouseDown({911.0f, 495.0f}));
    EXPECT_FALSE(processor.inputClip.load());
}

TEST(HistoryPlotMapping, LevelsAndGainReductionMapIntoThePlot)
{
    const auto plot = tq4::historyPlotRect;
    struct Case
    {
        float db;
        int range;
        float y;
    };
    for (const auto& c : {Case{0.0f, 60, 428.0f}, Case{-60.0f, 60, 506.0f}, Case{-30.0f, 60, 467.0f},
                          Case{-12.0f, 24, 467.0f}, Case{6.0f, 24, 428.0f}, Case{-80.0f, 36, 506.0f}})
        EXPECT_FLOAT_EQ(tq4::historyLevelY(c.db, plot, c.range), c.y) << c.db << " dB at " << c.range;

    // 20 dB hangs 65 of the 78 rows down at a 24 dB range, 26 at 60 dB; the line stops 12 dB past the range.
    EXPECT_FLOAT_EQ(tq4::historyGainReductionY(20.0f, plot, 24) - plot.getY(), 65.0f);
    EXPECT_FLOAT_EQ(tq4::historyGainReductionY(20.0f, plot, 60) - plot.getY(), 26.0f);
    EXPECT_FLOAT_EQ(tq4::historyGainReductionY(50.0f, plot, 24) - plot.getY(), 36.0f * 78.0f / 24.0f);
    EXPECT_FLOAT_EQ(tq4::historyGainReductionY(-3.0f, plot, 24), plot.getY());

    EXPECT_TRUE(tq4::isSilentLevel(-60.0f));
    EXPECT_FALSE(tq4::isSilentLevel(-59.9f));
}

TEST(HistoryPlotMapping, PointsSpanThePlotNewestAtTheRight)
{
    const auto plot = tq4::historyPlotRect;
    EXPECT_FLOAT_EQ(tq4::historyPointX(0, 504, plot), 44.0f + 801.0f + 0.5f);
    EXPECT_FLOAT_EQ(tq4::historyPointX(503, 504, plot), 44.5f);

    EXPECT_EQ(tq4::historyPointsShown(10000, 0), 504);
    EXPECT_EQ(tq4::historyPointsShown(100, 200), 300);

    struct Case
    {
        double sinceResetMs;
        int gap;
    };
    for (const auto& c :
         {Case{2000.0, 200}, Case{5040.0, 504}, Case{9000.0, 512}, Case{-50.0, 0}, Case{9.9, 0}})
        EXPECT_EQ(tq4::historyGapPoints(100000.0 + c.sinceResetMs, 100000.0), c.gap) << c.sinceResetMs;
    EXPECT_EQ(tq4::historyGapPoints(100000.0, -1.0), 0);
}

TEST(HistoryRange, StepsThroughTheThreeRangesAndStopsAtTheEnds)
{
    EXPECT_EQ(tq4::steppedHistoryRange(60, 1.0f), 36);
    EXPECT_EQ(tq4::steppedHistoryRange(36, 1.0f), 24);
    EXPECT_EQ(tq4::steppedHistoryRange(24, 1.0f), 24);
    EXPECT_EQ(tq4::steppedHistoryRange(24, -0.1f), 36);
    EXPECT_EQ(tq4::steppedHistoryRange(60, -1.0f), 60);
    EXPECT_EQ(tq4::steppedHistoryRange(48, 1.0f), 36) << "a value outside the list counts as 60";

    for (const int stored : {60, 36, 24})
        EXPECT_EQ(tq4::validHistoryRange(stored), stored);
    for (const int stored : {0, 48, -24, 61})
        EXPECT_EQ(tq4::validHistoryRange(stored), 60);
}

TEST(HistoryRange, WheelAccumulatorAddsSmoothDeltasAndSnapsSteppedOnes)
{
    EXPECT_FLOAT_EQ(tq4::accumulateWheel(0.0f, 0.1f, true), 0.1f);
    EXPECT_FLOAT_EQ(tq4::accumulateWheel(0.1f, 0.1f, true), 0.2f);
    EXPECT_FLOAT_EQ(tq4::accumulateWheel(0.2f, -0.05f, true), -0.05f) << "a reversal starts over";
    EXPECT_FLOAT_EQ(tq4::accumulateWheel(0.0f, 0.01f, false), 0.25f);
    EXPECT_FLOAT_EQ(tq4::accumulateWheel(0.2f, -0.01f, false), -0.25f);
}

TEST(HistoryRange, TagIsOpaqueForSixHundredMillisecondsThenFades)
{
    struct Case
    {
        double elapsedMs;
        float alpha;
    };
    for (const auto& c : {Case{-1.0, 0.0f}, Case{0.0, 1.0f}, Case{599.0, 1.0f}, Case{900.0, 0.5f},
                          Case{1199.0, 1.0f / 600.0f}, Case{1200.0, 0.0f}, Case{1.0e9, 0.0f}})
        EXPECT_NEAR(tq4::rangeTagAlpha(c.elapsedMs), c.alpha, 1e-5f) << c.elapsedMs;
}

TEST_F(PlayedProcessor, WheelOverThePlotChangesTheRangeAndReportsIt)
{
    std::vector<int> reported;
    view.onRangeChanged = [&](int range) { reported.push_back(range); };

    // Three notches up: 60, 36, 24, 24; every notch asks for a repaint, also the one that changed nothing.
    for (int notch = 0; notch < 3; ++notch)
        EXPECT_TRUE(view.mouseWheel(overPlot, wheel(0.1f, false), 1000.0 * notch));
    EXPECT_EQ(view.getHistoryRangeDb(), 24);
    EXPECT_EQ(reported, (std::vector<int>{36, 24}));

    // A trackpad needs a quarter of travel in one direction.
    EXPECT_FALSE(view.mouseWheel(overPlot, wheel(-0.1f, true), 3000.0));
    EXPECT_FALSE(view.mouseWheel(overPlot, wheel(-0.1f, true), 3010.0));
    EXPECT_TRUE(view.mouseWheel(overPlot, wheel(-0.1f, true), 3020.0));
    EXPECT_EQ(view.getHistoryRangeDb(), 36);

    // Inertial, flat and outside events do nothing.
    EXPECT_FALSE(view.mouseWheel(overPlot, wheel(-1.0f, false, true), 4000.0));
    EXPECT_FALSE(view.mouseWheel(overPlot, wheel(0.0f, false), 4000.0));
    EXPECT_FALSE(view.mouseWheel({40.0f, 460.0f}, wheel(-1.0f, false), 4000.0));
    EXPECT_FALSE(tq4::GainReductionView::isOverHistoryPlot({40.0f, 460.0f}));
    EXPECT_EQ(view.getHistoryRangeDb(), 36);

    view.setHistoryRangeDb(48);
    EXPECT_EQ(view.getHistoryRangeDb(), 60);
}

TEST_F(PlayedProcessor, RangeTagShowsAfterAWheelStepOnly)
{
    const auto tagArea = tq4::rangeTagRect.toNearestInt().reduced(3);
    EXPECT_EQ(inkIn(render(false, 5000.0), tagArea, 0.5f), 0) << "never changed: no tag";

    view.mouseWheel(overPlot, wheel(0.1f, false), 5000.0);
    const auto shown = render(false, 5300.0);
    savePng(shown, "history-range-tag.png");
    EXPECT_GT(inkIn(shown, tagArea, 0.5f), 20) << "the tag's text";
    EXPECT_EQ(inkIn(render(false, 6200.0), tagArea, 0.5f), 0) << "gone after 1.2 s";
}

TEST(CentredTwoLines, SplitsAtTheSpaceNearestTheMiddle)
{
    EXPECT_EQ(tq4::middleSpaceIndex("Vocal > Lead"), 5);
    EXPECT_EQ(tq4::middleSpaceIndex("ab cdef"), 2);
    EXPECT_EQ(tq4::middleSpaceIndex("abcd efgh ij"), 4) << "the left candidate wins a tie";
    EXPECT_EQ(tq4::middleSpaceIndex("Universal"), -1);
    EXPECT_EQ(tq4::middleSpaceIndex(""), -1);

    const auto linesOf = [](const juce::String& text)
    {
        juce::Image image(juce::Image::RGB, 200, 60, true);
        juce::Graphics g(image);
        tq4::drawCentredTwoLines(g, {0.0f, 0.0f, 200.0f, 40.0f}, 20.0f, 14.0f, text, juce::Colours::white);
        return std::pair{inkIn(image, {0, 8, 200, 14}), inkIn(image, {0, 24, 200, 12})};
    };
    const auto shortText = linesOf("Drum > Kick");
    EXPECT_GT(shortText.first, 0);
    EXPECT_EQ(shortText.second, 0);
    const auto longText = linesOf("Signal too low - Learn only counts audio above -60 dBFS");
    EXPECT_GT(longText.first, 0);
    EXPECT_GT(longText.second, 0);
}

TEST(Breadcrumb, NamesSourceAndClampedDetail)
{
    const auto angle = juce::String::charToString(static_cast<juce::juce_wchar>(0x203A));
    EXPECT_EQ(tq4::breadcrumbText(1, 1), "Vocal  " + angle + "  Backing");
    EXPECT_EQ(tq4::breadcrumbText(2, -4), tq4::breadcrumbText(2, 0));
    EXPECT_EQ(tq4::breadcrumbText(2, 99), tq4::breadcrumbText(2, tq4::detailNames(2).size() - 1));
}

TEST(Colours, TowardsWhiteKeepsTheGivenShareOfTheDistance)
{
    const auto lighter = tq4::towardsWhite(tq4::colRed, 2, 3); // 0xFF3B2A
    EXPECT_EQ(lighter.getRed(), 255);
    EXPECT_EQ(lighter.getGreen(), 255 - (255 - 0x3B) * 2 / 3);
    EXPECT_EQ(lighter.getBlue(), 255 - (255 - 0x2A) * 2 / 3);
    EXPECT_EQ(lighter.getAlpha(), 255);
}

TEST_F(PlayedProcessor, DialShowsTheReductionArcAndReadoutExceptWhileLearning)
{
    play(1.0, 0.9f);
    view.updateMeters(1000.0);
    ASSERT_GT(view.getDisplayedGainReductionDb(), 1.0f);
    const auto dial = render(false, 1000.0);
    const auto learning = render(true, 1000.0);
    savePng(dial, "dial-reduction.png");
    savePng(learning, "dial-learning.png");

    // Just past the start of the arc, on its radius: lit brand colour versus the dim track.
    const auto nearStart = tq4::pointOnDial(tq4::dialCentre, tq4::dialArcRadius, -135.0f).toInt();
    EXPECT_TRUE(isColourful(dial.getPixelAt(nearStart.x, nearStart.y)));
    EXPECT_FALSE(isColourful(learning.getPixelAt(nearStart.x, nearStart.y)));

    const juce::Rectangle<int> readout(400, 160, 160, 50);
    EXPECT_GT(inkIn(dial, readout, 0.8f), 100);
    EXPECT_EQ(inkIn(learning, readout, 0.8f), 0);

    // The breadcrumb sits below the button, only while no learn is shown.
    const juce::Rectangle<int> breadcrumb(420, 280, 120, 14);
    EXPECT_GT(inkIn(dial, breadcrumb), 0);
    EXPECT_EQ(inkIn(learning, breadcrumb), 0);
}

TEST_F(PlayedProcessor, HistoryShowsTheReductionAndTheMeters)
{
    tq4test::setParameter(processor, "threshold", -30.0f);
    play(3.0, 0.9f);
    view.updateMeters(1000.0);
    const auto image = render(false, 1000.0);
    savePng(image, "history-played.png");

    // The reduction line hangs from the top edge in the brand colours, over the input/output fills.
    const int x = static_cast<int>(tq4::historyPlotRect.getRight()) - 20;
    const int yReduction = juce::roundToInt(tq4::historyGainReductionY(
        processor.historyPoint(processor.historyWriteIndexNow() - 1).gainReductionDb, tq4::historyPlotRect,
        60));
    ASSERT_GT(yReduction, 430);
    EXPECT_TRUE(isColourful(image.getPixelAt(x, yReduction)));

    // Both meters are filled near their bottom.
    EXPECT_TRUE(isColourful(image.getPixelAt(883, 480)));
    EXPECT_TRUE(isColourful(image.getPixelAt(911, 480)));
}

TEST_F(PlayedProcessor, SilenceBreaksTheLevelsButTheReductionLineRunsAcrossIt)
{
    play(1.5, 0.9f);
    play(1.5, 0.0f);
    play(1.5, 0.9f);
    view.updateMeters(1000.0);
    const auto image = render(false, 1000.0);
    savePng(image, "history-silence.png");

    const auto plot = tq4::historyPlotRect;
    const int middle = juce::roundToInt(plot.getCentreX());
    const int loud = juce::roundToInt(plot.getRight()) - 40;
    const int yReduction = juce::roundToInt(tq4::historyGainReductionY(
        processor.historyPoint(processor.historyWriteIndexNow() - 1).gainReductionDb, plot, 60));

    // No output area in the silent middle, while the loud end is filled down to the bottom.
    const int lowRow = juce::roundToInt(plot.getBottom()) - 8;
    EXPECT_LT(image.getPixelAt(middle, lowRow).getBrightness(), 0.2f);
    EXPECT_GT(image.getPixelAt(loud, lowRow).getBrightness(), 0.2f);

    // The reduction line bridges the silence at the level on either side of it.
    bool bridged = false;
    for (int y = yReduction - 3; y <= yReduction + 3; ++y)
        bridged = bridged || isColourful(image.getPixelAt(middle, y));
    EXPECT_TRUE(bridged);
}

TEST_F(PlayedProcessor, TheFirstFrameWithTwoPointsPaintsNothingOutsideThePlot)
{
    // Two points right after the editor opens on a playing track: half their spacing is 400 units.
    const auto silentFrame = render(false, 1000.0);
    play(0.02, 0.9f);
    ASSERT_EQ(processor.historyWriteIndexNow(), 2);
    const auto frame = render(false, 1000.0);
    savePng(frame, "history-two-points.png");

    // The reduction line's glow may rise 6 units above the plot; nothing else leaves it.
    const auto plot = tq4::historyPlotRect.toNearestInt().withTop(422);
    int outside = 0, inside = 0;
    for (int y = 0; y < frame.getHeight(); ++y)
        for (int x = 0; x < frame.getWidth(); ++x)
            (plot.contains(x, y) ? inside : outside) +=
                frame.getPixelAt(x, y) != silentFrame.getPixelAt(x, y) ? 1 : 0;
    EXPECT_EQ(outside, 0);
    EXPECT_GT(inside, 1000) << "the output area fills the plot";
}

TEST_F(PlayedProcessor, ThresholdIsADashedLineAtItsLevel)
{
    tq4test::setParameter(processor, "threshold", -30.0f);
    const auto image = render(false, 1000.0);

    const int y = juce::roundToInt(tq4::historyLevelY(-30.0f, tq4::historyPlotRect, 60));
    int dashes = 0;
    for (int x = 50; x < 400; ++x)
        dashes += image.getPixelAt(x, y).getBrightness() > 0.2f ? 1 : 0;
    EXPECT_GT(dashes, 100);
    EXPECT_LT(dashes, 250) << "dashed, not solid";
    EXPECT_GT(inkIn(image, {600, y - 16, 246, 12}), 20) << "the label, right-aligned above the line";
}

TEST_F(PlayedProcessor, ResetWithoutAudioScrollsEmptinessIntoThePlot)
{
    play(3.0, 0.9f);
    processor.reset();
    const double resetAt = processor.pendingResetTimeMsNow();
    ASSERT_NE(resetAt, -1.0);

    const auto columnHasColour = [](const juce::Image& image, int x)
    {
        for (int y = 428; y < 506; ++y)
            if (isColourful(image.getPixelAt(x, y)))
                return true;
        return false;
    };

    // Two seconds later: 200 empty points at the right of 500.
    const auto twoSeconds = render(false, resetAt + 2000.0);
    savePng(twoSeconds, "history-after-reset.png");
    const float emptyFrom = tq4::historyPointX(199, 500, tq4::historyPlotRect);
    EXPECT_FALSE(columnHasColour(twoSeconds, static_cast<int>(emptyFrom) + 10));
    EXPECT_TRUE(columnHasColour(twoSeconds, static_cast<int>(emptyFrom) - 30));

    // After 5.04 s nothing of the audio is left.
    const auto gone = render(false, resetAt + 5040.0);
    for (int x = 50; x < 840; x += 40)
        EXPECT_FALSE(columnHasColour(gone, x)) << x;
}

TEST(DialTargetLabel, ShowsTheLearnedTargetInAmberAndDimsItWhenModified)
{
    TQ4AudioProcessor processor;
    processor.prepareToPlay(rate, 1920);
    tq4::GainReductionView view(processor);

    const auto amberInLabel = [&]
    {
        juce::Image image(juce::Image::RGB, 960, 540, true);
        juce::Graphics g(image);
        g.fillAll(tq4::colBackground);
        view.paintDialBase(g);
        view.paintDialContents(g, false);
        savePng(image, "dial-target-label.png");
        float strongest = 0.0f;
        for (int y = 204; y < 218; ++y)
            for (int x = 400; x < 560; ++x)
            {
                const auto c = image.getPixelAt(x, y);
                if (c.getRed() > c.getBlue() + 40)
                    strongest = std::max(strongest, c.getFloatRed() - c.getFloatBlue());
            }
        return strongest;
    };

    EXPECT_EQ(amberInLabel(), 0.0f) << "no learn, no target";

    ASSERT_TRUE(tq4test::loadLearnedState(processor));
    ASSERT_TRUE(processor.targetAvailable.load());
    const float shown = amberInLabel();
    EXPECT_GT(shown, 0.4f);

    tq4test::setParameter(processor, "ratio", tq4test::parameterValue(processor, "ratio") + 2.0f);
    processor.refreshTargetState();
    ASSERT_TRUE(processor.targetModified.load());
    const float dimmed = amberInLabel();
    EXPECT_GT(dimmed, 0.0f);
    EXPECT_LT(dimmed, 0.75f * shown);
}
