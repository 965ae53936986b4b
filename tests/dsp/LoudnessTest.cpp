#include "dsp/Loudness.h"

#include "support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

float loudnessOf(const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    return tq4::measureIntegratedLoudness(buffer.getArrayOfReadPointers(), buffer.getNumChannels(),
                                          buffer.getNumSamples(), sampleRate);
}

juce::AudioBuffer<float> sine(int channels, double seconds, double sampleRate, double frequencyHz,
                              float amplitude)
{
    juce::AudioBuffer<float> buffer(channels, static_cast<int>(seconds * sampleRate));
    tq4test::fillSine(buffer, sampleRate, frequencyHz, amplitude);
    return buffer;
}

} // namespace

TEST(Loudness, KWeightingMatchesTheTabulatedCoefficientsAt48k)
{
    // The published 48 kHz coefficients of the two stages.
    const auto shelf = tq4::kWeightingShelf(48000.0);
    EXPECT_NEAR(shelf.b0, 1.53512485958697, 1e-9);
    EXPECT_NEAR(shelf.b1, -2.69169618940638, 1e-9);
    EXPECT_NEAR(shelf.b2, 1.19839281085285, 1e-9);
    EXPECT_NEAR(shelf.a1, -1.69065929318241, 1e-9);
    EXPECT_NEAR(shelf.a2, 0.73248077421585, 1e-9);

    const auto highPass = tq4::kWeightingHighPass(48000.0);
    EXPECT_EQ(highPass.b0, 1.0);
    EXPECT_EQ(highPass.b1, -2.0);
    EXPECT_EQ(highPass.b2, 1.0);
    EXPECT_NEAR(highPass.a1, -1.99004745483398, 1e-9);
    EXPECT_NEAR(highPass.a2, 0.99007225036621, 1e-9);
}

TEST(Loudness, FullScale997HzSineReadsMinusThreeLufsAtAnyRate)
{
    for (const double rate : {44100.0, 48000.0, 96000.0})
    {
        SCOPED_TRACE(rate);
        EXPECT_NEAR(loudnessOf(sine(1, 1.0, rate, 997.0, 1.0f), rate), -3.01f, 0.02f);
    }
}

TEST(Loudness, ChannelPowersAdd)
{
    const double rate = 48000.0;
    const float mono = loudnessOf(sine(1, 1.0, rate, 997.0, 0.5f), rate);

    auto stereo = sine(2, 1.0, rate, 997.0, 0.5f);
    EXPECT_NEAR(loudnessOf(stereo, rate), mono + 10.0f * std::log10(2.0f), 1e-3f);

    stereo.clear(1, 0, stereo.getNumSamples());
    EXPECT_NEAR(loudnessOf(stereo, rate), mono, 1e-4f);

    // -6.02 dB of amplitude is -6.02 LU.
    EXPECT_NEAR(mono, -3.01f - 6.02f, 0.03f);
}

TEST(Loudness, MissingShortOrSilentInputMeasuresSilence)
{
    const double rate = 48000.0;
    const auto longEnough = sine(1, 1.0, rate, 997.0, 1.0f);
    const auto tooShort = sine(1, 0.399, rate, 997.0, 1.0f);
    juce::AudioBuffer<float> silence(2, 48000);
    silence.clear();
    const float* const missingChannel[] = {longEnough.getReadPointer(0), nullptr};

    EXPECT_EQ(loudnessOf(tooShort, rate), -100.0f);
    EXPECT_EQ(loudnessOf(silence, rate), -100.0f);
    EXPECT_EQ(tq4::measureIntegratedLoudness(nullptr, 1, 48000, rate), -100.0f);
    EXPECT_EQ(tq4::measureIntegratedLoudness(missingChannel, 2, 48000, rate), -100.0f);
    EXPECT_EQ(tq4::measureIntegratedLoudness(longEnough.getArrayOfReadPointers(), 0, 48000, rate), -100.0f);
    EXPECT_EQ(tq4::measureIntegratedLoudness(longEnough.getArrayOfReadPointers(), 1, 48000, 0.0), -100.0f);

    // Exactly one block is enough.
    const auto oneBlock = sine(1, 0.4, rate, 997.0, 1.0f);
    EXPECT_GT(loudnessOf(oneBlock, rate), -4.0f);
}

TEST(Loudness, QuietPassagesAreGatedOut)
{
    // Two seconds at full scale, then two at -40 dBFS. Of the 37 overlapping blocks, 17 are loud,
    // three straddle the change (3/4, 1/2 and 1/4 loud) and pass the relative gate, the rest do not.
    const double rate = 48000.0;
    const float loud = loudnessOf(sine(1, 2.0, rate, 997.0, 1.0f), rate);

    auto buffer = sine(1, 4.0, rate, 997.0, 1.0f);
    buffer.applyGain(0, 96000, 96000, 0.01f);
    EXPECT_NEAR(loudnessOf(buffer, rate), loud + 10.0f * std::log10(18.5f / 20.0f), 0.01f);
}

TEST(Loudness, GatedLoudnessOfBlockPowers)
{
    struct Case
    {
        const char* name;
        std::vector<double> powers;
        float expected;
    };
    const Case cases[] = {
        {"empty", {}, -100.0f},
        {"all under the absolute gate", {1e-8, 1e-9}, -100.0f},
        {"unit power", {1.0, 1.0}, -0.691f},
        {"both pass: mean power 0.75", {1.0, 0.5}, -1.9404f},
        {"-20 LU block under the relative gate", {1.0, 0.01}, -0.691f},
        {"absolute gate drops a block", {0.1, 1e-9}, -10.691f},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(tq4::measureGatedLoudness(c.powers), c.expected, 1e-3f);
    }
}

TEST(Loudness, HistogramOfASteadySineFillsOneBin)
{
    const double rate = 48000.0;
    const float amplitude = std::sqrt(2.0f) * std::pow(10.0f, -19.5f / 20.0f);
    const auto buffer = sine(1, 1.0, rate, 1000.0, amplitude);

    const auto h = tq4::buildLevelHistogram(buffer.getReadPointer(0), buffer.getNumSamples(), rate);
    ASSERT_TRUE(h.valid);
    for (int i = 0; i < tq4::LevelHistogram::bins; ++i)
    {
        SCOPED_TRACE(i);
        if (i == 60)
        {
            EXPECT_NEAR(h.weight[i], 1.0f, 1e-6f);
            EXPECT_NEAR(h.crestDb[i], 3.0103f, 0.01f);
        }
        else
        {
            EXPECT_EQ(h.weight[i], 0.0f);
            EXPECT_EQ(h.crestDb[i], 0.0f);
        }
    }
}

TEST(Loudness, HistogramSharesEnergyBetweenLevels)
{
    // 0.5 s at -20.5 dB RMS, then 20 dB lower: energies 100 : 1 in bins 59 and 39. The levels sit
    // half a dB inside their bins so that rounding cannot move a block across an edge.
    const double rate = 48000.0;
    auto buffer = sine(1, 1.0, rate, 1000.0, std::sqrt(2.0f) * std::pow(10.0f, -20.5f / 20.0f));
    buffer.applyGain(0, 24000, 24000, 0.1f);

    const auto h = tq4::buildLevelHistogram(buffer.getReadPointer(0), buffer.getNumSamples(), rate);
    ASSERT_TRUE(h.valid);
    EXPECT_NEAR(h.weight[59], 100.0f / 101.0f, 1e-4f);
    EXPECT_NEAR(h.weight[39], 1.0f / 101.0f, 1e-4f);
    EXPECT_NEAR(h.weight[59] + h.weight[39], 1.0f, 1e-6f);
}

TEST(Loudness, HistogramNeedsOneWholeBlockOfSignal)
{
    const double rate = 48000.0;
    const auto buffer = sine(1, 1.0, rate, 1000.0, 0.1f);
    juce::AudioBuffer<float> silence(1, 4800);
    silence.clear();

    EXPECT_FALSE(tq4::buildLevelHistogram(buffer.getReadPointer(0), 959, rate).valid);
    EXPECT_TRUE(tq4::buildLevelHistogram(buffer.getReadPointer(0), 960, rate).valid);
    EXPECT_FALSE(tq4::buildLevelHistogram(nullptr, 960, rate).valid);
    EXPECT_FALSE(tq4::buildLevelHistogram(buffer.getReadPointer(0), 960, 0.0).valid);
    EXPECT_FALSE(tq4::buildLevelHistogram(silence.getReadPointer(0), 4800, rate).valid);
}
