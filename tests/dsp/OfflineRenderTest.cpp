#include "dsp/OfflineRender.h"

#include "dsp/CompressorEngine.h"
#include "dsp/Loudness.h"
#include "support/Signals.h"

#include <gtest/gtest.h>

namespace
{

// Drive off, fully dry, no makeup and unity output: the engine should hand back its input.
tq4::EngineSettings transparentSettings()
{
    tq4::EngineSettings s;
    s.driveOn = false;
    s.mix = 0.0f;
    s.outputDb = 0.0f;
    s.autoMakeup = false;
    return s;
}

int engineLatency(double sampleRate, int channels)
{
    tq4::CompressorEngine engine;
    engine.prepare(sampleRate, channels);
    return engine.getLatencySamples();
}

} // namespace

TEST(OfflineRender, DryRenderReturnsTheInputTimeAligned)
{
    struct Case
    {
        int channels;
        int samples;
        double sampleRate;
    };
    const Case cases[] = {{1, 48000, 48000.0}, {2, 70001, 44100.0}, {2, 300, 96000.0}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.channels) + " x " + juce::String(c.samples));
        juce::AudioBuffer<float> input(c.channels, c.samples);
        tq4test::fillNoise(input, 0.5f, 7);
        juce::AudioBuffer<float> output(3, 10); // wrong size on purpose

        const auto result = tq4::renderOffline(input.getArrayOfReadPointers(), c.channels, c.samples,
                                               c.sampleRate, transparentSettings(), output);

        ASSERT_EQ(output.getNumChannels(), c.channels);
        ASSERT_EQ(output.getNumSamples(), c.samples);
        EXPECT_LE(tq4test::maxAbsDifference(input, output), 1e-6f);
        EXPECT_FALSE(result.cancelled);
        EXPECT_NEAR(result.peak, input.getMagnitude(0, c.samples), 1e-6f);
        EXPECT_NEAR(result.loudnessLufs,
                    tq4::measureIntegratedLoudness(input.getArrayOfReadPointers(), c.channels, c.samples,
                                                   c.sampleRate),
                    1e-3f);
    }
}

TEST(OfflineRender, CompressionShowsInTheMeasures)
{
    const double rate = 48000.0;
    juce::AudioBuffer<float> input(2, 96000);
    tq4test::fillSine(input, rate, 997.0, 0.9f);

    auto settings = transparentSettings();
    settings.mix = 1.0f;
    settings.thresholdDb = -30.0f;
    settings.ratio = 10.0f;

    juce::AudioBuffer<float> output;
    const auto result =
        tq4::renderOffline(input.getArrayOfReadPointers(), 2, input.getNumSamples(), rate, settings, output);
    const float inputLufs = tq4::measureIntegratedLoudness(input.getArrayOfReadPointers(), 2, 96000, rate);

    EXPECT_FALSE(result.cancelled);
    EXPECT_LT(result.loudnessLufs, inputLufs - 10.0f);
    // The peak is the output's, attack overshoot included.
    EXPECT_EQ(result.peak, output.getMagnitude(0, output.getNumSamples()));
    EXPECT_LT(result.peak, 0.9f);
}

TEST(OfflineRender, CancelIsAskedEvery64thBlock)
{
    const double rate = 48000.0;
    const int latency = engineLatency(rate, 1);
    for (const int samples : {63 * 512 - latency, 64 * 512 - latency, 200 * 512 + 17})
    {
        SCOPED_TRACE(samples);
        juce::AudioBuffer<float> input(1, juce::jmax(1, samples));
        tq4test::fillNoise(input, 0.1f, 3);
        juce::AudioBuffer<float> output;

        int calls = 0;
        const auto result = tq4::renderOffline(input.getArrayOfReadPointers(), 1, samples, rate,
                                               transparentSettings(), output,
                                               [&calls]
                                               {
                                                   ++calls;
                                                   return false;
                                               });
        const int blocks = (samples + latency + 511) / 512;
        EXPECT_EQ(calls, blocks / 64);
        EXPECT_FALSE(result.cancelled);
    }
}

TEST(OfflineRender, CancelAtThe64thBlockReturnsNothing)
{
    const double rate = 48000.0;
    juce::AudioBuffer<float> input(2, 100 * 512);
    tq4test::fillNoise(input, 0.5f, 11);
    juce::AudioBuffer<float> output;

    int calls = 0;
    const auto result = tq4::renderOffline(input.getArrayOfReadPointers(), 2, input.getNumSamples(), rate,
                                           transparentSettings(), output,
                                           [&calls]
                                           {
                                               ++calls;
                                               return true;
                                           });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.loudnessLufs, -100.0f);
    EXPECT_EQ(result.peak, 0.0f);
}

TEST(OfflineRender, EmptyCaptureMeasuresSilence)
{
    juce::AudioBuffer<float> input(2, 1);
    juce::AudioBuffer<float> output(2, 64);
    const auto result =
        tq4::renderOffline(input.getArrayOfReadPointers(), 2, 0, 48000.0, transparentSettings(), output);

    EXPECT_EQ(output.getNumSamples(), 0);
    EXPECT_EQ(result.loudnessLufs, -100.0f);
    EXPECT_EQ(result.peak, 0.0f);
    EXPECT_FALSE(result.cancelled);
}
