#include "learn/MakeupTexts.h"

#include <charconv>
#include <cmath>
#include <string>

namespace tq4
{

namespace
{

bool madeOf(const juce::String& field, const char* allowed)
{
    return field.isNotEmpty() && field.containsOnly(allowed);
}

// Digits only, saturating so an absurdly long index cannot overflow into range.
int parseIndex(const juce::String& digits)
{
    int value = 0;
    for (auto c : digits)
    {
        value = value * 10 + static_cast<int>(c - '0');
        if (value > 1000000)
            return 1000000;
    }
    return value;
}

constexpr const char* numberChars = "0123456789+-.eE";
constexpr int curvePoints = EngineSettings::correctionPoints;

bool readCurve(const juce::String& piece, LearnedProfile::MakeupCorrection& curve)
{
    const auto points = juce::StringArray::fromTokens(piece.trim(), " ", "");
    if (points.size() != curvePoints)
        return false;

    for (int i = 0; i < curvePoints; ++i)
    {
        const auto fields = juce::StringArray::fromTokens(points[i], ":", "");
        if (fields.size() != 2 || !madeOf(fields[0], numberChars) || !madeOf(fields[1], numberChars))
            return false;
        const double x = fields[0].getDoubleValue();
        const double y = fields[1].getDoubleValue();
        if (!std::isfinite(x) || !std::isfinite(y) || x < 0.0 || x > 200.0)
            return false;
        if (i == 0 && (x != 0.0 || y != 0.0))
            return false;
        if (i > 0 && x < curve.x[i - 1])
            return false;
        curve.x[i] = static_cast<float>(x);
        curve.y[i] = static_cast<float>(y);
    }
    curve.valid = true;
    return true;
}

// printf's conversions without its locale: a host may have set a decimal comma. A negative zero
// (a curve scaled by 0) is written as 0.
void appendNumber(std::string& out, double value, std::chars_format format, int precision)
{
    char buffer[400]; // room for any double in fixed notation
    const auto written = std::to_chars(buffer, buffer + sizeof(buffer), value + 0.0, format, precision);
    if (written.ec == std::errc())
        out.append(buffer, written.ptr);
}

void appendInteger(std::string& out, int value)
{
    char buffer[16];
    const auto written = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(buffer, written.ptr);
}

juce::String trimmed(const std::string& text)
{
    return juce::String(text).trim();
}

} // namespace

juce::String writeMakeupHistogramText(const LevelHistogram& histogram)
{
    if (!histogram.valid)
        return {};

    std::string text;
    for (int bin = 0; bin < LevelHistogram::bins; ++bin)
    {
        if (!(histogram.weight[bin] > 0.0f))
            continue;
        appendInteger(text, bin);
        text += ':';
        appendNumber(text, histogram.weight[bin], std::chars_format::general, 6);
        text += ':';
        appendNumber(text, histogram.crestDb[bin], std::chars_format::fixed, 3);
        text += ' ';
    }
    return trimmed(text);
}

juce::String writeMakeupCurveText(const LearnedProfile::MakeupCorrection (&curves)[3])
{
    juce::StringArray pieces;
    for (const auto& curve : curves)
    {
        if (!curve.valid)
            return {};
        std::string piece;
        for (int i = 0; i < curvePoints; ++i)
        {
            appendNumber(piece, curve.x[i], std::chars_format::fixed, 4);
            piece += ':';
            appendNumber(piece, curve.y[i], std::chars_format::fixed, 4);
            piece += ' ';
        }
        pieces.add(trimmed(piece));
    }
    return pieces.joinIntoString("|");
}

LearnedProfile::Histogram readMakeupHistogramText(const juce::String& text)
{
    double weights[EngineSettings::histogramBins] = {};
    LearnedProfile::Histogram histogram;

    for (const auto& piece : juce::StringArray::fromTokens(text.trim(), " ", ""))
    {
        const auto fields = juce::StringArray::fromTokens(piece, ":", "");
        if (fields.size() != 3 || !madeOf(fields[0], "0123456789") || !madeOf(fields[1], numberChars) ||
            !madeOf(fields[2], "0123456789+-."))
            continue;
        const int bin = parseIndex(fields[0]);
        const double weight = fields[1].getDoubleValue();
        const double crest = fields[2].getDoubleValue();
        if (bin > 80 || !std::isfinite(weight) || weight < 0.0 || !std::isfinite(crest) || crest < 0.0 ||
            crest > 200.0)
            continue;
        weights[bin] = weight;
        histogram.crestDb[bin] = static_cast<float>(crest);
    }

    double sum = 0.0;
    for (double w : weights)
        sum += w;
    if (!(sum > 0.0) || !std::isfinite(sum))
        return {};

    for (int i = 0; i < EngineSettings::histogramBins; ++i)
        histogram.weight[i] = static_cast<float>(weights[i] / sum);
    histogram.valid = true;
    return histogram;
}

void readMakeupCurveText(const juce::String& text, LearnedProfile::MakeupCorrection (&curves)[3])
{
    for (auto& curve : curves)
        curve = {};

    const auto pieces = juce::StringArray::fromTokens(text, "|", "");
    if (pieces.size() == 1)
    {
        if (!readCurve(pieces[0], curves[0]))
            return;
        curves[1] = curves[2] = curves[0];
    }
    else if (pieces.size() == 3)
    {
        for (int i = 0; i < 3; ++i)
            if (!readCurve(pieces[i], curves[i]))
            {
                for (auto& curve : curves)
                    curve = {};
                return;
            }
    }
    else
        return;

    for (auto& curve : curves)
        for (auto& y : curve.y)
            y = juce::jlimit(-12.0f, 12.0f, y);
}

} // namespace tq4
