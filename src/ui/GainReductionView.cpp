#include "ui/GainReductionView.h"

#include "adapt/SourceCatalogue.h"
#include "plugin/ParameterLayout.h"
#include "plugin/PluginProcessor.h"
#include "ui/ControlDrawing.h"
#include "ui/DialGeometry.h"
#include "ui/Drawing.h"
#include "ui/Fonts.h"
#include "ui/Palette.h"

#include <array>
#include <cmath>

namespace tq4
{

namespace
{

constexpr int historyRanges[] = {60, 36, 24};
constexpr int maxPointsShown = 504;
constexpr float silenceDb = -60.0f;

const juce::Colour readoutGlowColour{0xFFEC4899};

juce::ColourGradient horizontalBrandGradient(float x1, float x2, float y)
{
    juce::ColourGradient gradient(colViolet, x1, y, colAmber, x2, y, false);
    gradient.addColour(0.55, colPink);
    return gradient;
}

// Violet at the bottom of the rectangle, amber at its top.
juce::ColourGradient meterGradient(juce::Rectangle<float> r)
{
    juce::ColourGradient gradient(colViolet, r.getX(), r.getBottom(), colAmber, r.getX(), r.getY(), false);
    gradient.addColour(0.8, colPink);
    return gradient;
}

juce::PathStrokeType roundStroke(float thickness)
{
    return {thickness, juce::PathStrokeType::curved, juce::PathStrokeType::rounded};
}

juce::String oneDecimal(float value)
{
    return juce::String(value, 1);
}

// One plotted point; empty points stand for time without audio.
struct PlotPoint
{
    float x = 0.0f;
    bool hasData = false;
    HistoryPoint level;
};

} // namespace

double meterTickSeconds(double nowMs, double lastTickMs)
{
    return juce::jlimit(0.001, 0.2, (nowMs - lastTickMs) * 0.001);
}

float decayedPeak(float displayed, float incoming, double dtSeconds)
{
    const auto f = static_cast<float>(std::exp(-dtSeconds / 0.35));
    return std::max(f * displayed, incoming);
}

float smoothedGainReduction(float displayed, float incoming, double dtSeconds)
{
    // Rises fast so a transient's reduction shows, falls slowly so the eye can follow it.
    const double tau = incoming > displayed ? 0.05 : 0.3;
    return incoming + static_cast<float>(std::exp(-dtSeconds / tau)) * (displayed - incoming);
}

float meterFillFraction(float peak)
{
    const float db = peak > 0.0f ? std::max(20.0f * std::log10(peak), -60.0f) : -60.0f;
    return (db + 60.0f) / 60.0f;
}

float historyLevelY(float db, juce::Rectangle<float> plot, int rangeDb)
{
    const auto range = static_cast<float>(rangeDb);
    return plot.getBottom() - plot.getHeight() * juce::jlimit(0.0f, 1.0f, (db + range) / range);
}

float historyGainReductionY(float gainReductionDb, juce::Rectangle<float> plot, int rangeDb)
{
    const auto range = static_cast<float>(rangeDb);
    return plot.getY() + juce::jlimit(0.0f, range + 12.0f, gainReductionDb) * plot.getHeight() / range;
}

bool isSilentLevel(float db)
{
    return db <= silenceDb;
}

int historyGapPoints(double nowMs, double pendingResetTimeMs)
{
    if (pendingResetTimeMs == -1.0)
        return 0;
    const double points = (nowMs - pendingResetTimeMs) / 10.0;
    return static_cast<int>(juce::jlimit(0.0, static_cast<double>(TQ4AudioProcessor::historySize), points));
}

int historyPointsShown(int writeCount, int gapPoints)
{
    return std::min(maxPointsShown, std::max(0, writeCount) + std::max(0, gapPoints));
}

float historyPointX(int k, int pointCount, juce::Rectangle<float> plot)
{
    const float span = plot.getWidth() - 1.0f;
    return plot.getX() + span - static_cast<float>(k) * span / static_cast<float>(pointCount - 1) + 0.5f;
}

float rangeTagAlpha(double elapsedMs)
{
    if (elapsedMs < 0.0 || elapsedMs >= 1200.0)
        return 0.0f;
    return elapsedMs < 600.0 ? 1.0f : static_cast<float>(1.0 - (elapsedMs - 600.0) / 600.0);
}

int validHistoryRange(int rangeDb)
{
    for (const int r : historyRanges)
        if (r == rangeDb)
            return r;
    return historyRanges[0];
}

int steppedHistoryRange(int rangeDb, float wheelDelta)
{
    int index = 0;
    for (int i = 0; i < 3; ++i)
        if (historyRanges[i] == rangeDb)
            index = i;
    index = juce::jlimit(0, 2, index + (wheelDelta > 0.0f ? 1 : -1));
    return historyRanges[index];
}

float accumulateWheel(float accumulator, float delta, bool smooth)
{
    if (!smooth)
        return delta > 0.0f ? 0.25f : -0.25f;
    // A change of direction starts over, so a reversed swipe acts at once.
    return accumulator * delta > 0.0f ? accumulator + delta : delta;
}

int middleSpaceIndex(const juce::String& text)
{
    const int len = text.length();
    const int middle = len / 2;
    for (int i = 0; i <= len; ++i)
    {
        if (middle - i >= 0 && text[middle - i] == ' ')
            return middle - i;
        if (middle + i < len && text[middle + i] == ' ')
            return middle + i;
    }
    return -1;
}

void drawCentredTwoLines(juce::Graphics& g, juce::Rectangle<float> rect, float baselineY, float lineStep,
                         const juce::String& text, juce::Colour colour)
{
    const auto font = makeFont(11.0f, true, 0.5f);
    const float centreX = rect.getX() + static_cast<float>(static_cast<int>(rect.getWidth()) / 2);

    const int space = textWidth(font, text) <= rect.getWidth() ? -1 : middleSpaceIndex(text);
    if (space < 0)
    {
        drawText(g, text, font, colour, centreX, baselineY, TextAlign::centre);
        return;
    }
    drawText(g, text.substring(0, space), font, colour, centreX, baselineY, TextAlign::centre);
    drawText(g, text.substring(space + 1), font, colour, centreX, baselineY + lineStep, TextAlign::centre);
}

juce::Colour towardsWhite(juce::Colour colour, int keepNumerator, int keepDenominator)
{
    const auto channel = [&](juce::uint8 c)
    { return static_cast<juce::uint8>(255 - (255 - static_cast<int>(c)) * keepNumerator / keepDenominator); };
    return juce::Colour(channel(colour.getRed()), channel(colour.getGreen()), channel(colour.getBlue()),
                        colour.getAlpha());
}

juce::String breadcrumbText(int source, int detail)
{
    const auto sourceName = sourceNames()[juce::jlimit(0, 12, source)];
    return sourceName + "  " + juce::String::charToString(static_cast<juce::juce_wchar>(0x203A)) + "  " +
           detailName(source, clampDetail(source, detail));
}

GainReductionView::GainReductionView(TQ4AudioProcessor& p) : processor(p) {}

void GainReductionView::updateMeters(double nowMs)
{
    const double dt = meterTickSeconds(nowMs, lastTickMs);
    lastTickMs = nowMs;

    inputPeak = decayedPeak(inputPeak, processor.inputPeak.exchange(0.0f), dt);
    outputPeak = decayedPeak(outputPeak, processor.outputPeak.exchange(0.0f), dt);
    gainReductionDb = smoothedGainReduction(gainReductionDb, processor.grPeak.exchange(0.0f), dt);

    inputClip = processor.inputClip.load();
    outputClip = processor.outputClip.load();
}

void GainReductionView::paintDialBase(juce::Graphics& g)
{
    const float r = dialOuterRadius;
    const auto outer = juce::Rectangle<float>(2.0f * r, 2.0f * r).withCentre(dialCentre);

    juce::Path circle;
    circle.addEllipse(outer);
    drawShapeShadows(g, circle, 1.5f, {{3.0f, 1.0f, 0.2f}, {6.0f, 3.0f, 0.12f}, {10.0f, 5.0f, 0.06f}}, false);
    drawBezel(g, outer, r);

    const auto inner = outer.reduced(5.0f);
    juce::ColourGradient disc(juce::Colour(70, 46, 126).withAlpha(0.96f), inner.getCentreX(),
                              inner.getY() + 0.3f * inner.getHeight(),
                              juce::Colour(18, 10, 36).withAlpha(0.98f), inner.getCentreX(),
                              inner.getY() + 0.3f * inner.getHeight() + 0.7f * inner.getHeight(), true);
    disc.addColour(0.74, juce::Colour(18, 10, 36).withAlpha(0.98f));
    g.setGradientFill(disc);
    g.fillEllipse(inner);

    drawGlass(g, inner, 0.5f * inner.getWidth(), 0.12f, 3.0f, 0.6f, 0.12f, 0.6f);
}

void GainReductionView::paintDialContents(juce::Graphics& g, bool learnActive)
{
    g.setColour(whiteAt(0.14f));
    g.strokePath(arcPath(dialCentre, dialArcRadius, dialStartDegrees, dialStartDegrees + dialSweepDegrees),
                 roundStroke(8.0f));

    if (learnActive)
        return;

    const float v = gainReductionDb / dialMaxDb;
    if (v >= 0.0f && std::min(1.0f, v) > 0.005f)
    {
        const auto arc = arcPath(dialCentre, dialArcRadius, dialStartDegrees,
                                 std::min(1.0f, v) * dialSweepDegrees + dialStartDegrees);
        strokeGlow(g, arc, 8.0f, brandGradient(arc.getBounds()));
    }

    const auto tickFont = makeFont(11.0f, true, 0.0f);
    for (int i = 0; i <= 4; ++i)
    {
        const auto at = pointOnDial(dialCentre, dialTickRadius, dialAngleForDb(5.0f * static_cast<float>(i)));
        drawText(g, juce::String(5 * i), tickFont, whiteAt(0.52f), at.x, at.y + 4.0f, TextAlign::centre);
    }

    const auto numberFont = makeFont(46.0f, false, 0.0f);
    const auto unitFont = makeFont(12.0f, true, 2.0f);
    const auto number = oneDecimal(gainReductionDb);
    const juce::String unit("dB GR");
    const float numberWidth = textWidth(numberFont, number);
    const float x0 = dialCentre.x - 0.5f * (numberWidth + 8.0f + textWidth(unitFont, unit));
    const float y0 = dialReadoutBaseline;

    for (const auto& [offset, alpha] : {std::pair{2.4f, 0.10f}, std::pair{1.2f, 0.16f}})
        for (const auto& shift : {juce::Point<float>(-offset, 0.0f), juce::Point<float>(offset, 0.0f),
                                  juce::Point<float>(0.0f, -offset), juce::Point<float>(0.0f, offset)})
            drawText(g, number, numberFont, readoutGlowColour.withAlpha(alpha), x0 + shift.x, y0 + shift.y,
                     TextAlign::left);
    drawText(g, number, numberFont, juce::Colours::white, x0, y0, TextAlign::left);
    drawText(g, unit, unitFont, whiteAt(0.6f), x0 + numberWidth + 8.0f, y0, TextAlign::left);

    if (processor.targetAvailable.load())
    {
        const float k = processor.targetModified.load() ? 0.55f : 1.0f;
        const auto font = makeFont(11.0f, true, 1.2f);
        const juce::String label("TARGET");
        const auto value = oneDecimal(processor.targetDb.load()) + " dB";
        const float w1 = textWidth(font, label);
        const float tx = dialCentre.x - 0.5f * (w1 + 6.0f + textWidth(font, value));
        drawText(g, label, font, whiteAt(0.52f * k), tx, dialTargetBaseline, TextAlign::left);
        drawText(g, value, font, colAmber.withAlpha(0.95f * k), tx + w1 + 6.0f, dialTargetBaseline,
                 TextAlign::left);
    }

    const int source = juce::roundToInt(processor.apvts.getRawParameterValue(ParamIds::source)->load());
    const int detail = juce::roundToInt(processor.apvts.getRawParameterValue(ParamIds::nuance)->load());
    drawCentredTwoLines(g, statusRect, statusBaseline, statusLineStep,
                        breadcrumbText(source, detail).replace("  ", " "), whiteAt(0.52f));
}

void GainReductionView::paintHistory(juce::Graphics& g, double nowMs)
{
    paintPlot(g, nowMs);
    paintThreshold(g);
    paintRangeTag(g, nowMs);
    paintMeter(g, inputMeterRect, inputClipRect, inputMeterLabelAnchor, "IN", inputPeak, inputClip);
    paintMeter(g, outputMeterRect, outputClipRect, outputMeterLabelAnchor, "OUT", outputPeak, outputClip);
}

void GainReductionView::paintPlot(juce::Graphics& g, double nowMs)
{
    const auto plot = historyPlotRect;
    const int count = processor.historyWriteIndexNow();
    const int gap = historyGapPoints(nowMs, processor.pendingResetTimeMsNow());
    const int n = historyPointsShown(count, gap);
    if (n <= 1 || plot.getWidth() <= 1.0f)
        return;

    // Oldest first, so paths run left to right.
    std::array<PlotPoint, maxPointsShown> points;
    for (int k = n - 1, i = 0; k >= 0; --k, ++i)
    {
        auto& point = points[static_cast<size_t>(i)];
        point.x = historyPointX(k, n, plot);
        point.hasData = k >= gap;
        if (point.hasData)
            point.level = processor.historyPoint(count - 1 - (k - gap));
    }
    const auto shown = [&](auto&& visit)
    {
        for (int i = 0; i < n; ++i)
            visit(points[static_cast<size_t>(i)]);
    };

    const int range = historyRangeDb;
    const float bottom = plot.getBottom();
    const auto audible = [](const PlotPoint& p, float HistoryPoint::*series)
    { return p.hasData && !isSilentLevel(p.level.*series); };
    const auto levelY = [&](const PlotPoint& p, float HistoryPoint::*series)
    { return audible(p, series) ? historyLevelY(p.level.*series, plot, range) : bottom; };

    // The output level as closed areas, one per run of sound, half a spacing wider on each side.
    const float s = std::max(0.5f, 0.5f * (plot.getWidth() - 1.0f) / static_cast<float>(n - 1));
    juce::Path outputArea;
    bool inRun = false;
    juce::Point<float> last;
    const auto closeRun = [&]
    {
        outputArea.lineTo(last.x + s, last.y);
        outputArea.lineTo(last.x + s, bottom);
        outputArea.closeSubPath();
        inRun = false;
    };
    shown(
        [&](const PlotPoint& p)
        {
            if (!audible(p, &HistoryPoint::outputDb))
            {
                if (inRun)
                    closeRun();
                return;
            }
            last = {p.x, levelY(p, &HistoryPoint::outputDb)};
            if (!inRun)
            {
                outputArea.startNewSubPath(p.x - s, bottom);
                outputArea.lineTo(p.x - s, last.y);
                inRun = true;
            }
            outputArea.lineTo(last);
        });
    if (inRun)
        closeRun();
    {
        // With few points the half spacing s reaches far past the plot's edges.
        juce::Graphics::ScopedSaveState saved(g);
        g.reduceClipRegion(plot.toNearestInt());
        g.setGradientFill(
            juce::ColourGradient::vertical(whiteAlpha(158), plot.getY(), whiteAlpha(31), bottom));
        g.fillPath(outputArea);
    }

    const auto levelPath = [&](float HistoryPoint::*series, float baseline)
    {
        juce::Path path;
        path.startNewSubPath(points[0].x, baseline);
        shown([&](const PlotPoint& p) { path.lineTo(p.x, levelY(p, series)); });
        path.lineTo(points[static_cast<size_t>(n - 1)].x, baseline);
        path.closeSubPath();
        return path;
    };
    const auto fillBetween = [&](float HistoryPoint::*upper, float HistoryPoint::*lower, juce::Colour colour)
    {
        juce::Graphics::ScopedSaveState saved(g);
        g.reduceClipRegion(levelPath(lower, plot.getY()));
        g.setColour(colour);
        g.fillPath(levelPath(upper, bottom));
    };
    // Input above output is what the compressor took away; output above input is what it gave.
    fillBetween(&HistoryPoint::inputDb, &HistoryPoint::outputDb, colPink.withAlpha((juce::uint8)115));
    fillBetween(&HistoryPoint::outputDb, &HistoryPoint::inputDb, colViolet.withAlpha((juce::uint8)140));

    // The input line breaks at every silence; the reduction line runs on through the audible points.
    juce::Path inputLine, reductionLine;
    bool inputOpen = false, reductionStarted = false;
    shown(
        [&](const PlotPoint& p)
        {
            if (!audible(p, &HistoryPoint::inputDb))
            {
                inputOpen = false;
                return;
            }
            const juce::Point<float> in(p.x, levelY(p, &HistoryPoint::inputDb));
            const juce::Point<float> gr(p.x, historyGainReductionY(p.level.gainReductionDb, plot, range));
            if (inputOpen)
                inputLine.lineTo(in);
            else
                inputLine.startNewSubPath(in);
            if (reductionStarted)
                reductionLine.lineTo(gr);
            else
                reductionLine.startNewSubPath(gr);
            inputOpen = reductionStarted = true;
        });

    {
        juce::Graphics::ScopedSaveState saved(g);
        g.reduceClipRegion(plot.toNearestInt());
        g.setColour(whiteAlpha(82));
        g.strokePath(inputLine, roundStroke(1.0f));
    }
    {
        juce::Graphics::ScopedSaveState saved(g);
        g.reduceClipRegion(plot.withTop(plot.getY() - 6.0f).toNearestInt());
        const auto gradient =
            horizontalBrandGradient(plot.getX() - 0.5f, plot.getRight() + 0.5f, plot.getY());
        auto faint = gradient;
        faint.multiplyOpacity(0.2f);
        g.setGradientFill(faint);
        g.strokePath(reductionLine, roundStroke(6.0f));
        g.setGradientFill(gradient);
        g.strokePath(reductionLine, roundStroke(2.4f));
    }
}

void GainReductionView::paintThreshold(juce::Graphics& g)
{
    const auto plot = historyPlotRect;
    const float threshold = processor.apvts.getRawParameterValue(ParamIds::threshold)->load();
    const float y = historyLevelY(threshold, plot, historyRangeDb);

    const float dashes[] = {4.0f, 6.0f};
    g.setColour(whiteAlpha(102));
    g.drawDashedLine({plot.getX(), y, plot.getRight(), y}, dashes, 2, 1.0f);
    drawText(g, "THRESHOLD " + oneDecimal(threshold) + " dB", makeFont(11.0f, true, 1.5f), whiteAt(0.52f),
             plot.getRight(), y - 6.0f, TextAlign::right);
}

void GainReductionView::paintRangeTag(juce::Graphics& g, double nowMs)
{
    const float a = rangeTagAlpha(nowMs - lastRangeChangeMs);
    if (a <= 0.0f)
        return;

    g.setColour(colPanel.withAlpha(0.9f * a));
    g.fillRoundedRectangle(rangeTagRect, 10.0f);
    g.setColour(whiteAt(0.2f * a));
    g.drawRoundedRectangle(rangeTagRect.reduced(0.5f), 10.0f, 1.0f);
    drawText(g, juce::String(historyRangeDb) + " dB", makeFont(11.0f, true, 0.5f), whiteAt(0.74f * a),
             rangeTagRect.getCentreX(), rangeTagRect.getY() + 14.0f, TextAlign::centre);
}

void GainReductionView::paintMeter(juce::Graphics& g, juce::Rectangle<float> bar, juce::Rectangle<float> cap,
                                   juce::Point<float> labelAnchor, const juce::String& label, float peak,
                                   bool clipped)
{
    g.setGradientFill(
        juce::ColourGradient::vertical(blackAlpha(115), bar.getY(), blackAlpha(51), bar.getBottom()));
    g.fillRoundedRectangle(bar, 5.0f);
    g.setColour(whiteAlpha(31));
    g.drawLine(bar.getX() + 4.0f, bar.getY() + 0.5f, bar.getRight() - 4.0f, bar.getY() + 0.5f, 1.0f);

    const float e = juce::jlimit(0.0f, 1.0f, meterFillFraction(peak)) * bar.getHeight();
    if (e > 0.5f)
    {
        for (const float glow : {3.0f, 1.5f})
        {
            const juce::Rectangle<float> halo(bar.getX() - glow, bar.getBottom() - e - glow,
                                              bar.getWidth() + 2.0f * glow, e + 2.0f * glow);
            auto gradient = meterGradient(halo);
            gradient.multiplyOpacity(0.35f * (glow > 2.0f ? 0.6f : 1.0f));
            g.setGradientFill(gradient);
            g.fillRoundedRectangle(halo, glow + 5.0f);
        }
        const auto level = bar.withTop(bar.getBottom() - e);
        g.setGradientFill(meterGradient(level));
        g.fillRoundedRectangle(level, 5.0f);
    }

    g.setColour(clipped ? colRed : colRed.withAlpha((juce::uint8)41));
    g.fillRoundedRectangle(cap, 2.0f);
    if (clipped)
    {
        g.setColour(towardsWhite(colRed, 2, 3));
        g.drawRoundedRectangle(cap, 2.0f, 1.0f);
    }

    drawText(g, label, makeFont(11.0f, true, 0.0f), whiteAt(0.52f), labelAnchor.x, labelAnchor.y,
             TextAlign::centre);
}

bool GainReductionView::mouseDown(juce::Point<float> canvasPoint)
{
    const auto hits = [&](juce::Rectangle<float> bar, juce::Rectangle<float> cap)
    { return bar.getUnion(cap).expanded(6.0f).contains(canvasPoint); };

    if (!hits(inputMeterRect, inputClipRect) && !hits(outputMeterRect, outputClipRect))
        return false;

    processor.inputClip = false;
    processor.outputClip = false;
    inputClip = outputClip = false;
    return true;
}

bool GainReductionView::isOverHistoryPlot(juce::Point<float> canvasPoint)
{
    return historyPlotRect.contains(canvasPoint);
}

bool GainReductionView::mouseWheel(juce::Point<float> canvasPoint, const juce::MouseWheelDetails& wheel,
                                   double nowMs)
{
    if (!isOverHistoryPlot(canvasPoint) || wheel.isInertial || wheel.deltaY == 0.0f)
        return false;

    wheelAccumulator = accumulateWheel(wheelAccumulator, wheel.deltaY, wheel.isSmooth);
    if (std::abs(wheelAccumulator) < 0.25f)
        return false;

    wheelAccumulator = 0.0f;
    const int range = steppedHistoryRange(historyRangeDb, wheel.deltaY);
    // The tag shows again even when the range is already at its end.
    lastRangeChangeMs = nowMs;
    if (range != historyRangeDb)
    {
        historyRangeDb = range;
        if (onRangeChanged)
            onRangeChanged(range);
    }
    return true;
}

void GainReductionView::setHistoryRangeDb(int rangeDb)
{
    historyRangeDb = validHistoryRange(rangeDb);
}

} // namespace tq4
