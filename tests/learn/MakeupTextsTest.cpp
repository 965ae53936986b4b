#include "learn/MakeupTexts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace
{

using namespace tq4;
using Curve = LearnedProfile::MakeupCorrection;

LevelHistogram twoBinHistogram()
{
    LevelHistogram h;
    h.valid = true;
    h.weight[3] = 0.25f;
    h.crestDb[3] = 3.0101f;
    h.weight[60] = 0.75f;
    h.crestDb[60] = 12.5f;
    h.crestDb[10] = 7.0f; // no weight: not written
    return h;
}

Curve rampCurve(float xStep, float yStep)
{
    Curve c;
    c.valid = true;
    for (int i = 0; i < EngineSettings::correctionPoints; ++i)
    {
        c.x[i] = xStep * static_cast<float>(i);
        c.y[i] = yStep * static_cast<float>(i);
    }
    return c;
}

// Noise whose level sweeps over 60 dB, so that many bins carry weight.
std::vector<float> sweptNoise(double sampleRate, int seconds)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    const int n = static_cast<int>(sampleRate) * seconds;
    std::vector<float> samples(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
    {
        const float gainDb = -60.0f * static_cast<float>(i) / static_cast<float>(n);
        samples[static_cast<size_t>(i)] = uniform(rng) * std::pow(10.0f, gainDb / 20.0f);
    }
    return samples;
}

} // namespace

TEST(MakeupTexts, HistogramTextListsWeightedBinsInOrder)
{
    EXPECT_EQ(writeMakeupHistogramText(twoBinHistogram()), "3:0.25:3.010 60:0.75:12.500");
}

TEST(MakeupTexts, InvalidHistogramWritesNothing)
{
    LevelHistogram h = twoBinHistogram();
    h.valid = false;
    EXPECT_TRUE(writeMakeupHistogramText(h).isEmpty());
}

TEST(MakeupTexts, MeasuredHistogramRoundTrips)
{
    const auto samples = sweptNoise(48000.0, 6);
    const LevelHistogram written =
        buildLevelHistogram(samples.data(), static_cast<int>(samples.size()), 48000.0);
    ASSERT_TRUE(written.valid);

    const auto text = writeMakeupHistogramText(written);
    const auto read = readMakeupHistogramText(text);
    ASSERT_TRUE(read.valid);

    int weightedBins = 0;
    for (int i = 0; i < LevelHistogram::bins; ++i)
    {
        weightedBins += written.weight[i] > 0.0f ? 1 : 0;
        // Six significant digits of the weight, renormalised on reading; three decimals of the crest.
        EXPECT_NEAR(read.weight[i], written.weight[i], 1.0e-5f * written.weight[i] + 1.0e-9f) << "bin " << i;
        if (written.weight[i] > 0.0f)
            EXPECT_NEAR(read.crestDb[i], written.crestDb[i], 0.0005f) << "bin " << i;
        else
            EXPECT_EQ(read.crestDb[i], 0.0f) << "bin " << i;
    }
    EXPECT_GT(weightedBins, 30);
    EXPECT_EQ(juce::StringArray::fromTokens(text, " ", "").size(), weightedBins);
}

TEST(MakeupTexts, CurveTextJoinsThreeCurves)
{
    // The first curve starts at y = -0.25 * 0, a negative zero.
    const Curve curves[3] = {rampCurve(0.5f, -0.25f), rampCurve(1.0f, 0.125f), rampCurve(0.0f, 0.0f)};
    const auto text = writeMakeupCurveText(curves);

    const auto pieces = juce::StringArray::fromTokens(text, "|", "");
    ASSERT_EQ(pieces.size(), 3);
    EXPECT_TRUE(pieces[0].startsWith("0.0000:0.0000 0.5000:-0.2500 1.0000:-0.5000 "));
    EXPECT_TRUE(pieces[0].endsWith(" 6.0000:-3.0000"));
    EXPECT_EQ(pieces[0], pieces[0].trim());
}

TEST(MakeupTexts, CurvesRoundTripEachInItsSlot)
{
    Curve curves[3] = {rampCurve(0.5f, -0.25f), rampCurve(1.0f, 0.125f), rampCurve(2.0f, 0.5f)};
    curves[1].y[12] = 30.0f;         // beyond what the reader allows; clamped there, not here
    curves[2].x[5] = curves[2].x[4]; // a repeated x is still non-decreasing

    Curve read[3];
    readMakeupCurveText(writeMakeupCurveText(curves), read);

    for (int c = 0; c < 3; ++c)
    {
        ASSERT_TRUE(read[c].valid) << "curve " << c;
        for (int i = 0; i < EngineSettings::correctionPoints; ++i)
        {
            EXPECT_NEAR(read[c].x[i], curves[c].x[i], 5.0e-5f) << c << ":" << i;
            EXPECT_NEAR(read[c].y[i], std::clamp(curves[c].y[i], -12.0f, 12.0f), 5.0e-5f) << c << ":" << i;
        }
    }
}

TEST(MakeupTexts, AnyInvalidCurveEmptiesTheText)
{
    for (int invalid = 0; invalid < 3; ++invalid)
    {
        Curve curves[3] = {rampCurve(0.5f, 0.1f), rampCurve(0.5f, 0.1f), rampCurve(0.5f, 0.1f)};
        curves[invalid].valid = false;
        EXPECT_TRUE(writeMakeupCurveText(curves).isEmpty()) << "curve " << invalid;
    }
}
