#include "Plot.h"

#include "ui/Fonts.h"
#include "ui/Palette.h"

#include <algorithm>
#include <cmath>

namespace tq4render
{

namespace
{

using tq4::TextAlign;

constexpr int width = 1200, height = 500;

// Largest reduction per column from the 10 ms history points.
std::vector<float> reductionColumns(const std::vector<float>& points, int samplesPerPoint, int length,
                                    int columns)
{
    std::vector<float> gr(static_cast<size_t>(columns), 0.0f);
    if (points.empty())
        return gr;
    for (int x = 0; x < columns; ++x)
    {
        const auto from = static_cast<int64_t>(length) * x / columns / samplesPerPoint;
        const auto to =
            juce::jmax(from + 1, static_cast<int64_t>(length) * (x + 1) / columns / samplesPerPoint);
        for (auto i = from; i < to && i < static_cast<int64_t>(points.size()); ++i)
            gr[static_cast<size_t>(x)] =
                juce::jmax(gr[static_cast<size_t>(x)], points[static_cast<size_t>(i)]);
    }
    return gr;
}

// RMS per column over at least 50 ms around the column's centre, channels averaged by power, in dBFS.
std::vector<float> rmsColumns(const juce::AudioBuffer<float>& audio, double sampleRate, int columns)
{
    std::vector<float> db(static_cast<size_t>(columns), -100.0f);
    const int n = audio.getNumSamples();
    const int span = juce::jmax(static_cast<int>(sampleRate * 0.05), n / juce::jmax(1, columns) + 1);
    for (int x = 0; x < columns; ++x)
    {
        const auto centre = static_cast<int>((static_cast<int64_t>(n) * (2 * x + 1)) / (2 * columns));
        const int from = juce::jlimit(0, n, centre - span / 2);
        const int to = juce::jlimit(from, n, from + span);
        double sum = 0.0;
        for (int c = 0; c < audio.getNumChannels(); ++c)
        {
            const float* samples = audio.getReadPointer(c);
            for (int i = from; i < to; ++i)
                sum += static_cast<double>(samples[i]) * samples[i];
        }
        const double meanSquare = sum / juce::jmax(1, (to - from) * audio.getNumChannels());
        if (meanSquare > 0.0)
            db[static_cast<size_t>(x)] =
                juce::jmax(-100.0f, static_cast<float>(10.0 * std::log10(meanSquare)));
    }
    return db;
}

// The lowest level the lane shows: a little below the quiet parts of the input and the threshold,
// on a 12 dB grid, so quiet passages are visible and decays into silence do not squash the rest.
// Nothing below -60 dBFS matters to a learn, so the lane stops there.
float levelFloor(const std::vector<float>& rms, float thresholdDb)
{
    std::vector<float> audible;
    for (const float v : rms)
        if (v > -100.0f)
            audible.push_back(v);
    float low = -24.0f;
    if (!audible.empty())
    {
        std::sort(audible.begin(), audible.end());
        low = audible[audible.size() / 20];
    }
    low = juce::jmin(low, thresholdDb) - 6.0f;
    return juce::jlimit(-60.0f, -24.0f, std::floor(low / 12.0f) * 12.0f);
}

juce::String resultLine(const Figures& f)
{
    const bool known = f.in.integratedLufs > -100.0f && f.out.integratedLufs > -100.0f;
    juce::String result;
    if (!known)
        result = "loudness not measurable";
    else
    {
        const double change = std::round((f.out.integratedLufs - f.in.integratedLufs) * 10.0) / 10.0;
        result = "loudness in " + juce::String(f.in.integratedLufs, 1) + " LUFS, out " +
                 juce::String(f.out.integratedLufs, 1) + " LUFS (" + (change > 0.0 ? "+" : "") +
                 juce::String(change == 0.0 ? 0.0 : change, 1) + " LU)";
    }
    result << "      peak in " << juce::String(f.in.peakDbfs, 1) << " dBFS, out "
           << juce::String(f.out.peakDbfs, 1) << " dBFS      gain reduction average "
           << juce::String(f.averageGrDb, 1) << " dB, largest " << juce::String(f.largestGrDb, 1) << " dB";
    return result;
}

double tickStep(double seconds)
{
    for (const double step : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0})
        if (seconds / step <= 12.0)
            return step;
    return 1200.0;
}

juce::String timeLabel(double t, double step)
{
    if (step >= 60.0 || t >= 60.0)
    {
        const int whole = juce::roundToInt(t);
        return juce::String(whole / 60) + ":" + juce::String(whole % 60).paddedLeft('0', 2);
    }
    return juce::String(t, step < 1.0 ? 1 : 0) + " s";
}

juce::String settingsLine(const Settings& s)
{
    const auto& knee = s["knee"];
    juce::String line =
        "threshold " + s["threshold"].text + "   ratio " + s["ratio"].text + "   attack " + s["attack"].text +
        "   release " + s["release"].text + (s["autoRelease"].value > 0.5f ? " (auto)" : "") + "   knee " +
        knee.text + (knee.text.containsOnly("0123456789") ? " %" : "") + "   mix " + s["mix"].text + "   " +
        (juce::roundToInt(s["character"].value) == 0 ? "AUTO: " + s.resolvedCharacter : s["character"].text);
    line << "   makeup " << (s["autoMakeup"].value > 0.5f ? "auto" : "off");
    if (std::abs(s["output"].value) > 0.05f)
        line << "   output " << s["output"].text;
    line << "   drive " << (s["driveOn"].value > 0.5f ? s["drive"].text + " " + s["driveType"].text : "off");
    if (s["bypass"].value > 0.5f)
        line << "   BYPASSED";
    return line;
}

} // namespace

juce::Image drawPlot(const Figures& f, const juce::String& title, const juce::AudioBuffer<float>& input,
                     const juce::AudioBuffer<float>& output, const RenderOutcome& render)
{
    juce::Image image(juce::Image::RGB, width, height, true);
    juce::Graphics g(image);
    g.fillAll(tq4::colBackground);

    const auto& s = f.rendered;
    const float left = 64.0f, right = static_cast<float>(width) - 64.0f;
    const auto grLane = juce::Rectangle<float>(left, 112.0f, right - left, 84.0f);
    const auto levelLane = juce::Rectangle<float>(left, 212.0f, right - left, 226.0f);
    const int columns = static_cast<int>(levelLane.getWidth());
    const float x0 = left;
    const auto columnX = [&](int x) { return x0 + static_cast<float>(x) + 0.5f; };

    const auto in = rmsColumns(input, f.sampleRate, columns);
    const auto out = rmsColumns(output, f.sampleRate, columns);
    const auto gr =
        reductionColumns(render.gainReductionDb, render.samplesPerPoint, input.getNumSamples(), columns);

    // Scales that fit the material: the reduction lane from its largest value, the level lane down
    // to a little below the quiet parts of the input.
    float grRange = 48.0f;
    for (const float r : {3.0f, 6.0f, 12.0f, 24.0f})
        if (f.largestGrDb <= r * 0.9f)
        {
            grRange = r;
            break;
        }
    const float floorDb = levelFloor(in, s["threshold"].value);
    const auto levelY = [&](float db)
    {
        return levelLane.getBottom() -
               levelLane.getHeight() * juce::jlimit(0.0f, 1.0f, (db - floorDb) / -floorDb);
    };
    const auto reductionY = [&](float db)
    { return grLane.getY() + juce::jlimit(0.0f, grRange, db) * grLane.getHeight() / grRange; };

    // Caption: what was rendered, with what, and what came of it.
    juce::String heading = "TQ-4   " + title + "   " + s.source + " / " + s.detail;
    if (f.learn)
        heading << "   learned, target " << juce::String(f.learn->targetDb, 1) << " dB";
    else if (f.stateIn.isNotEmpty())
        heading << "   settings from " << f.stateIn;
    tq4::drawText(g, heading, tq4::makeFont(20.0f, true, 0.3f), juce::Colours::white, left, 34.0f,
                  TextAlign::left);
    tq4::drawText(g, settingsLine(s), tq4::makeFont(13.0f, false, 0.2f), tq4::whiteAt(0.8f), left, 58.0f,
                  TextAlign::left);
    tq4::drawText(g, resultLine(f), tq4::makeFont(13.0f, false, 0.2f), tq4::whiteAt(0.8f), left, 80.0f,
                  TextAlign::left);

    const auto axisFont = tq4::makeFont(11.0f, false, 0.2f);
    const auto laneFont = tq4::makeFont(11.0f, true, 0.8f);
    const auto gridLine = [&](float y, juce::Rectangle<float> lane)
    {
        g.setColour(tq4::whiteAt(0.08f));
        g.drawHorizontalLine(juce::roundToInt(y), lane.getX(), lane.getRight());
    };
    g.setColour(tq4::colPanel);
    g.fillRect(grLane);
    g.fillRect(levelLane);

    // Reduction lane: 0 dB at the top, the reduction hanging down from it, as in the editor.
    for (int k = 0; k <= 3; ++k)
    {
        const float db = grRange * static_cast<float>(k) / 3.0f;
        const float y = reductionY(db);
        gridLine(y, grLane);
        tq4::drawText(g, juce::String(db, grRange < 6.0f ? 1 : 0), axisFont, tq4::colPink.withAlpha(0.9f),
                      left - 8.0f, y + 4.0f, TextAlign::right);
    }
    tq4::drawText(g, "GAIN REDUCTION, dB", laneFont, tq4::colPink.withAlpha(0.9f), left, grLane.getY() - 8.0f,
                  TextAlign::left);

    // Level lane.
    for (float db = 0.0f; db >= floorDb - 0.01f; db -= (floorDb < -36.0f ? 12.0f : 6.0f))
    {
        const float y = levelY(db);
        gridLine(y, levelLane);
        tq4::drawText(g, juce::String(juce::roundToInt(db)), axisFont, tq4::whiteAt(0.6f), left - 8.0f,
                      y + 4.0f, TextAlign::right);
    }
    tq4::drawText(g, "LEVEL, dBFS (RMS over 50 ms)", laneFont, tq4::whiteAt(0.7f), left,
                  levelLane.getY() - 8.0f, TextAlign::left);

    // Time axis, shared by both lanes.
    const double seconds = f.seconds;
    const double step = tickStep(seconds);
    for (double t = 0.0; t <= seconds + 1e-9; t += step)
    {
        const float x = left + static_cast<float>(t / juce::jmax(seconds, 1e-9)) * levelLane.getWidth();
        g.setColour(tq4::whiteAt(0.08f));
        g.drawVerticalLine(juce::roundToInt(x), grLane.getY(), grLane.getBottom());
        g.drawVerticalLine(juce::roundToInt(x), levelLane.getY(), levelLane.getBottom());
        tq4::drawText(g, timeLabel(t, step), axisFont, tq4::whiteAt(0.6f), x, levelLane.getBottom() + 16.0f,
                      TextAlign::centre);
    }

    const float bottom = levelLane.getBottom();
    const auto area = [&](const std::vector<float>& db)
    {
        juce::Path path;
        path.startNewSubPath(x0, bottom);
        for (int x = 0; x < columns; ++x)
            path.lineTo(columnX(x), levelY(db[static_cast<size_t>(x)]));
        path.lineTo(levelLane.getRight(), bottom);
        path.closeSubPath();
        return path;
    };
    const auto curve = [&](const std::vector<float>& values, const std::function<float(float)>& toY)
    {
        juce::Path path;
        for (int x = 0; x < columns; ++x)
        {
            const juce::Point<float> p(columnX(x), toY(values[static_cast<size_t>(x)]));
            if (x == 0)
                path.startNewSubPath(p);
            else
                path.lineTo(p);
        }
        return path;
    };
    const auto above = [&](const juce::Path& below)
    {
        juce::Path path = below;
        path.setUsingNonZeroWinding(false);
        path.addRectangle(levelLane);
        return path;
    };

    {
        juce::Graphics::ScopedSaveState saved(g);
        g.reduceClipRegion(levelLane.toNearestInt());

        // The output as the editor draws it; pink where the input was louder (what was taken away),
        // violet where the output is louder (what the makeup or the drive added).
        const auto inputArea = area(in), outputArea = area(out);
        g.setGradientFill(juce::ColourGradient::vertical(tq4::whiteAlpha(120), levelLane.getY(),
                                                         tq4::whiteAlpha(25), bottom));
        g.fillPath(outputArea);
        {
            juce::Graphics::ScopedSaveState clip(g);
            g.reduceClipRegion(above(outputArea));
            g.setColour(tq4::colPink.withAlpha(0.7f));
            g.fillPath(inputArea);
        }
        {
            juce::Graphics::ScopedSaveState clip(g);
            g.reduceClipRegion(above(inputArea));
            g.setColour(tq4::colViolet.withAlpha(0.75f));
            g.fillPath(outputArea);
        }
        g.setColour(tq4::whiteAt(0.9f));
        g.strokePath(curve(in, levelY), juce::PathStrokeType(1.0f));

        const float threshold = s["threshold"].value;
        const float y = levelY(threshold);
        const float dashes[] = {6.0f, 4.0f};
        g.setColour(tq4::colAmber);
        g.drawDashedLine({levelLane.getX(), y, levelLane.getRight(), y}, dashes, 2, 1.5f);
    }
    tq4::drawText(g, juce::String(s["threshold"].value, 1), tq4::makeFont(11.0f, true, 0.2f), tq4::colAmber,
                  levelLane.getRight() + 6.0f, levelY(s["threshold"].value) + 4.0f, TextAlign::left);

    {
        juce::Graphics::ScopedSaveState saved(g);
        g.reduceClipRegion(grLane.toNearestInt());
        auto line = curve(gr, reductionY);
        juce::Path hanging = line;
        hanging.lineTo(grLane.getRight(), grLane.getY());
        hanging.lineTo(grLane.getX(), grLane.getY());
        hanging.closeSubPath();
        g.setColour(tq4::colPink.withAlpha(0.3f));
        g.fillPath(hanging);
        juce::ColourGradient brand(tq4::colViolet, grLane.getX(), 0.0f, tq4::colAmber, grLane.getRight(),
                                   0.0f, false);
        brand.addColour(0.55, tq4::colPink);
        g.setGradientFill(brand);
        g.strokePath(line,
                     juce::PathStrokeType(2.0f, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
    }

    // Legend.
    float lx = left;
    const float ly = static_cast<float>(height) - 20.0f;
    const auto legendFont = tq4::makeFont(12.0f, false, 0.2f);
    const auto swatch = [&](juce::Colour colour, const juce::String& text, bool line)
    {
        g.setColour(colour);
        if (line)
            g.fillRect(lx, ly - 5.0f, 18.0f, 2.0f);
        else
            g.fillRect(lx, ly - 10.0f, 18.0f, 12.0f);
        tq4::drawText(g, text, legendFont, tq4::whiteAt(0.75f), lx + 24.0f, ly, TextAlign::left);
        lx += 24.0f + tq4::textWidth(legendFont, text) + 28.0f;
    };
    swatch(tq4::whiteAt(0.9f), "input", true);
    swatch(tq4::whiteAt(0.45f), "output", false);
    swatch(tq4::colPink.withAlpha(0.7f), "input above output: taken away", false);
    swatch(tq4::colViolet.withAlpha(0.75f), "output above input: made louder (makeup, drive)", false);
    swatch(tq4::colAmber, "threshold " + s["threshold"].text, true);
    return image;
}

bool writePng(const juce::Image& image, const juce::File& file)
{
    juce::FileOutputStream stream(file);
    if (!stream.openedOk())
        return false;
    juce::PNGImageFormat png;
    return png.writeImageToStream(image, stream) && (stream.flush(), stream.getStatus().wasOk());
}

} // namespace tq4render
