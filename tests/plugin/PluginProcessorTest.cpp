#include "plugin/PluginProcessor.h"
#include "support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{

void setParameter(TQ4AudioProcessor& p, const char* id, float value)
{
    auto* parameter = p.apvts.getParameter(id);
    parameter->setValueNotifyingHost(parameter->convertTo0to1(value));
}

void setMono(TQ4AudioProcessor& p)
{
    juce::AudioProcessor::BusesLayout mono;
    mono.inputBuses.add(juce::AudioChannelSet::mono());
    mono.outputBuses.add(juce::AudioChannelSet::mono());
    ASSERT_TRUE(p.setBusesLayout(mono));
}

void process(TQ4AudioProcessor& p, juce::AudioBuffer<float>& buffer)
{
    juce::MidiBuffer midi;
    p.processBlock(buffer, midi);
}

void processNoise(TQ4AudioProcessor& p, int channels, int n, float amplitude = 0.5f, int64_t seed = 1)
{
    juce::AudioBuffer<float> buffer(channels, n);
    tq4test::fillNoise(buffer, amplitude, seed);
    process(p, buffer);
}

} // namespace

TEST(ProcessorLifecycle, PreparingAgainAtTheSameRateKeepsHistoryMetersAndLearn)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 512);
    processNoise(p, 2, 4800);
    p.captureState = 2;
    p.learnProgress = 0.5f;
    const int written = p.historyWriteIndexNow();
    const float peak = p.inputPeak.load();
    ASSERT_EQ(written, 10);
    ASSERT_GT(peak, 0.0f);

    p.prepareToPlay(48000.0, 256);
    EXPECT_EQ(p.historyWriteIndexNow(), written);
    EXPECT_EQ(p.inputPeak.load(), peak);
    EXPECT_EQ(p.captureState.load(), 2);
    EXPECT_EQ(p.learnProgress.load(), 0.5f);

    // 48010 Hz still gives 480-sample points: the history stays, the learn stops.
    p.prepareToPlay(48010.0, 512);
    EXPECT_EQ(p.historyWriteIndexNow(), written);
    EXPECT_EQ(p.captureState.load(), 0);
    EXPECT_EQ(p.learnProgress.load(), 0.0f);
    EXPECT_EQ(p.inputPeak.load(), 0.0f);

    p.prepareToPlay(44100.0, 512);
    EXPECT_EQ(p.historyWriteIndexNow(), 0);
}

TEST(ProcessorLifecycle, HistoryWritesOnePointPerTenMilliseconds)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 1024);
    processNoise(p, 2, 1024, 0.5f);
    EXPECT_EQ(p.historyWriteIndexNow(), 2); // 1024 = 2 × 480 + 64 carried
    processNoise(p, 2, 416, 0.5f);
    EXPECT_EQ(p.historyWriteIndexNow(), 3);

    const auto point = p.historyPoint(0);
    EXPECT_GT(point.inputDb, -7.0f);
    EXPECT_LE(point.inputDb, 20.0f * std::log10(0.5f) + 0.01f);
    EXPECT_GT(point.outputDb, -100.0f);
    EXPECT_GE(point.gainReductionDb, 0.0f);
}

TEST(ProcessorLifecycle, HistoryWriteIndexWrapsWithoutOverflowAndKeepsItsSlotOrder)
{
    constexpr int largest = std::numeric_limits<int>::max();
    constexpr int size = TQ4AudioProcessor::historySize;
    EXPECT_EQ(TQ4AudioProcessor::nextHistoryIndex(0), 1);
    EXPECT_EQ(TQ4AudioProcessor::nextHistoryIndex(largest - 1), largest);

    // After ~248 days at 10 ms a point: the next slot follows on and a full ring still counts as shown.
    const int wrapped = TQ4AudioProcessor::nextHistoryIndex(largest);
    EXPECT_GE(wrapped, size);
    EXPECT_EQ(wrapped % size, (largest % size + 1) % size);
    EXPECT_EQ(TQ4AudioProcessor::nextHistoryIndex(wrapped), wrapped + 1);
}

TEST(ProcessorLifecycle, ResetLeavesASilentGapForTheTimeWithoutAudio)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 480);
    processNoise(p, 2, 480);
    const int before = p.historyWriteIndexNow();

    p.reset();
    juce::Thread::sleep(250);
    processNoise(p, 2, 480);

    const int gapPoints = p.historyWriteIndexNow() - before - 1;
    EXPECT_GE(gapPoints, 25);
    EXPECT_LE(gapPoints, 40); // the sleep may overshoot on a loaded machine
    for (int i = before; i < before + gapPoints; ++i)
    {
        const auto point = p.historyPoint(i);
        EXPECT_EQ(point.inputDb, -100.0f);
        EXPECT_EQ(point.outputDb, -100.0f);
        EXPECT_EQ(point.gainReductionDb, 0.0f);
    }
    EXPECT_GT(p.historyPoint(before + gapPoints).inputDb, -100.0f);
}

TEST(ProcessorMeters, PeaksAreRaisedAndClipFollowsTheTruePeak)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 512);
    setParameter(p, "threshold", 0.0f);
    setParameter(p, "ratio", 1.0f);

    juce::AudioBuffer<float> buffer(2, 512);
    tq4test::fillSine(buffer, 48000.0, 1000.0, 0.5f);
    process(p, buffer);
    EXPECT_NEAR(p.inputPeak.exchange(0.0f), 0.5f, 1e-3f);
    EXPECT_FALSE(p.inputClip.load());

    // Samples at ±0.99 around a quarter-rate sine peak above 1 between the samples.
    for (int i = 0; i < 512; ++i)
        for (int c = 0; c < 2; ++c)
            buffer.setSample(
                c, i,
                1.4f * static_cast<float>(std::sin(juce::MathConstants<double>::pi * (i / 2.0 + 0.25))));
    process(p, buffer);
    EXPECT_TRUE(p.inputClip.load());
    EXPECT_NEAR(p.inputPeak.load(), 0.99f, 1e-3f);
}

TEST(ProcessorAudio, NonFiniteInputIsProcessedAsSilence)
{
    TQ4AudioProcessor withNaN, withZeros;
    for (auto* p : {&withNaN, &withZeros})
        p->prepareToPlay(48000.0, 256);

    juce::AudioBuffer<float> a(2, 256), b(2, 256);
    tq4test::fillNoise(a, 0.5f, 3);
    b.makeCopyOf(a);
    a.setSample(0, 10, std::numeric_limits<float>::quiet_NaN());
    a.setSample(1, 20, std::numeric_limits<float>::infinity());
    b.setSample(0, 10, 0.0f);
    b.setSample(1, 20, 0.0f);
    process(withNaN, a);
    process(withZeros, b);
    EXPECT_EQ(tq4test::maxAbsDifference(a, b), 0.0f);
}

TEST(ProcessorAudio, LearnRequestGivesTheDryInputWhileMeteringAndCaptureGoOn)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 512);
    setParameter(p, "threshold", -40.0f);
    processNoise(p, 2, 4800, 0.5f, 1);

    p.learnRequested = true;
    p.captureState = 1;
    const int latency = p.getLatencySamples();
    juce::AudioBuffer<float> input(2, 4800);
    tq4test::fillNoise(input, 0.5f, 2);
    juce::AudioBuffer<float> buffer;
    buffer.makeCopyOf(input);
    process(p, buffer);

    // 10 ms of crossfade, then the input delayed by the latency, exactly.
    for (int c = 0; c < 2; ++c)
        for (int i = 480 + latency; i < 4800; ++i)
            ASSERT_EQ(buffer.getSample(c, i), input.getSample(c, i - latency));
    EXPECT_GT(p.inputPeak.load(), 0.4f);
    EXPECT_EQ(p.captureState.load(), 2);
    EXPECT_EQ(p.captureFifo.getNumReady(), 4800);
}

TEST(ProcessorCapture, StereoCopiesTheLoudestSampleAndBothChannels)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 512);
    juce::AudioBuffer<float> buffer(2, 4);
    const float left[] = {0.1f, -0.5f, 0.3f, 0.2f};
    const float right[] = {-0.2f, 0.4f, -0.3f, 0.0f};
    buffer.copyFrom(0, 0, left, 4);
    buffer.copyFrom(1, 0, right, 4);

    process(p, buffer);
    EXPECT_EQ(p.captureFifo.getNumReady(), 0) << "idle capture records nothing";

    p.captureState = 1;
    buffer.copyFrom(0, 0, left, 4);
    buffer.copyFrom(1, 0, right, 4);
    process(p, buffer);
    ASSERT_EQ(p.captureFifo.getNumReady(), 4);
    const float expected[] = {-0.2f, -0.5f, 0.3f, 0.2f}; // sign kept, the lower channel wins ties
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(p.captureMono[static_cast<size_t>(i)], expected[i]) << i;
        EXPECT_EQ(p.captureLeft[static_cast<size_t>(i)], left[i]);
        EXPECT_EQ(p.captureRight[static_cast<size_t>(i)], right[i]);
    }
}

TEST(ProcessorCapture, MonoFillsOnlyTheMonoBufferAndDropsWhatDoesNotFit)
{
    TQ4AudioProcessor p;
    setMono(p);
    p.prepareToPlay(8000.0, 512);
    EXPECT_EQ(p.captureMono.size(), 8192u);
    EXPECT_TRUE(p.captureLeft.empty());
    EXPECT_TRUE(p.captureRight.empty());

    p.captureState = 1;
    processNoise(p, 1, 6000);
    processNoise(p, 1, 6000);
    EXPECT_EQ(p.captureFifo.getNumReady(), p.captureFifo.getTotalSize() - 1);
    EXPECT_TRUE(p.captureLeft.empty());
}

TEST(ProcessorAudio, CompressesALoudSignalAndBypassPassesItThrough)
{
    TQ4AudioProcessor p;
    p.prepareToPlay(48000.0, 512);
    setParameter(p, "threshold", -30.0f);
    setParameter(p, "ratio", 4.0f);

    juce::AudioBuffer<float> buffer(2, 48000);
    tq4test::fillNoise(buffer, 0.5f, 5);
    const float inRms = buffer.getRMSLevel(0, 24000, 24000);
    process(p, buffer);
    EXPECT_LT(buffer.getRMSLevel(0, 24000, 24000), inRms * 0.5f);
    EXPECT_GT(p.grPeak.load(), 6.0f);

    setParameter(p, "bypass", 1.0f);
    juce::AudioBuffer<float> input(2, 4800);
    tq4test::fillNoise(input, 0.5f, 6);
    buffer.makeCopyOf(input);
    process(p, buffer);
    const int latency = p.getLatencySamples();
    for (int i = 480 + latency; i < 4800; ++i)
        ASSERT_EQ(buffer.getSample(0, i), input.getSample(0, i - latency));
    EXPECT_EQ(p.getEngine().gainReductionMeterDb, 0.0f);
}

TEST(ProcessorAudio, BuildEngineSettingsResolvesAutoAndMapsUnits)
{
    TQ4AudioProcessor p;
    setParameter(p, "knee", 50.0f);
    setParameter(p, "mix", 40.0f);
    setParameter(p, "driveType", 2.0f);

    tq4::LearnedProfile profile;
    auto s = p.buildEngineSettings(profile);
    EXPECT_FLOAT_EQ(s.kneeDb, 12.0f);
    EXPECT_FLOAT_EQ(s.mix, 0.4f);
    EXPECT_EQ(s.driveType, 2);
    EXPECT_EQ(s.character, 3); // AUTO before any learn acts as VCA
    EXPECT_FALSE(s.autoMakeup);
    EXPECT_FALSE(s.learnProfilePresent);

    p.resolvedCharacter = 1;
    profile.present = true;
    profile.makeup[0].valid = true;
    profile.makeup[0].y[3] = 1.5f;
    profile.histogram.valid = true;
    profile.histogram.weight[60] = 1.0f;
    s = p.buildEngineSettings(profile);
    EXPECT_EQ(s.character, 1);
    EXPECT_TRUE(s.learnProfilePresent);
    EXPECT_TRUE(s.makeupCorrectionValid);
    EXPECT_FLOAT_EQ(s.makeupCorrectionY[3], 1.5f);
    EXPECT_TRUE(s.histogramValid);
    EXPECT_FLOAT_EQ(s.histogramWeight[60], 1.0f);

    p.resolvedCharacter = 0;
    EXPECT_EQ(p.buildEngineSettings(profile).character, 3);
}
