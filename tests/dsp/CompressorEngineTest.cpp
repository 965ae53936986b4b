#include "dsp/CompressorEngine.h"
#include "dsp/GainComputer.h"
#include "dsp/Makeup.h"

#include "support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace
{

using namespace tq4;

constexpr double sampleRate = 48000.0;

// A compressor that clearly works on loud material, without makeup so that gains can be read directly.
EngineSettings compressing(int character)
{
    EngineSettings s;
    s.thresholdDb = -30.0f;
    s.ratio = 4.0f;
    s.attackMs = 5.0f;
    s.releaseMs = 100.0f;
    s.kneeDb = 6.0f;
    s.autoMakeup = false;
    s.character = character;
    return s;
}

// A square wave has a constant magnitude, so peak and RMS detectors agree on its level.
void fillSquare(juce::AudioBuffer<float>& buffer, int startSample, int numSamples, float amplitude,
                int periodSamples = 480)
{
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = startSample; i < startSample + numSamples; ++i)
            buffer.setSample(c, i, (i % periodSamples) < periodSamples / 2 ? amplitude : -amplitude);
}

// Processes the buffer in place in blocks and returns the meter after every block.
std::vector<float> render(CompressorEngine& engine, juce::AudioBuffer<float>& buffer,
                          const EngineSettings& settings, int blockSize)
{
    std::vector<float> meters;
    for (int start = 0; start < buffer.getNumSamples(); start += blockSize)
    {
        const int n = std::min(blockSize, buffer.getNumSamples() - start);
        juce::AudioBuffer<float> block(buffer.getArrayOfWritePointers(), buffer.getNumChannels(), start, n);
        engine.process(block, buffer.getNumChannels(), settings);
        meters.push_back(engine.gainReductionMeterDb);
    }
    return meters;
}

// Gain from the input to the output, which comes `latency` samples later.
float gainDb(const juce::AudioBuffer<float>& out, const juce::AudioBuffer<float>& in, int channel, int sample,
             int latency)
{
    return 20.0f *
           std::log10(std::abs(out.getSample(channel, sample) / in.getSample(channel, sample - latency)));
}

class CompressorEngineTest : public ::testing::Test
{
protected:
    void SetUp() override { engine.prepare(sampleRate, 2); }

    CompressorEngine engine;
};

TEST_F(CompressorEngineTest, PrepareReportsWhetherItResized)
{
    CompressorEngine fresh;
    struct Case
    {
        double rate;
        int channels;
        bool resized;
    };
    const Case cases[] = {
        {48000.0, 2, true}, {48000.0, 2, false}, {44100.0, 2, true}, {44100.0, 1, true},
        {1000.0, 1, true},  {8000.0, 1, false},  {8000.0, 0, false}, {96000.0, 3, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fresh.prepare(c.rate, c.channels), c.resized)
            << c.rate << " Hz, " << c.channels << " channels";
}

TEST_F(CompressorEngineTest, EmptyBlockChangesNothing)
{
    CompressorEngine reference;
    reference.prepare(sampleRate, 2);
    const EngineSettings s = compressing(3);

    juce::AudioBuffer<float> first(2, 4800), second(2, 4800);
    tq4test::fillNoise(first, 0.8f, 1);
    tq4test::fillNoise(second, 0.8f, 2);
    juce::AudioBuffer<float> firstRef(first), secondRef(second);

    engine.process(first, 2, s);
    reference.process(firstRef, 2, s);
    const float meter = engine.gainReductionMeterDb;
    ASSERT_GT(meter, 1.0f);

    juce::AudioBuffer<float> empty(2, 0);
    engine.process(empty, 2, s);
    engine.process(first, 0, s);
    EXPECT_EQ(engine.gainReductionMeterDb, meter);

    engine.process(second, 2, s);
    reference.process(secondRef, 2, s);
    EXPECT_EQ(tq4test::maxAbsDifference(second, secondRef), 0.0f);
}

TEST_F(CompressorEngineTest, LongBlockRunsAsConsecutiveFullBlocks)
{
    for (const int character : {1, 2, 3})
    {
        EngineSettings s = compressing(character);
        s.autoMakeup = true;
        s.driveOn = true;
        s.drivePercent = 40.0f;
        s.driveType = character; // TRANSFORMER, TAPE and FET

        juce::AudioBuffer<float> whole(2, 10000);
        tq4test::fillNoise(whole, 0.9f, 7);
        juce::AudioBuffer<float> head(2, 8192), tail(2, 1808);
        for (int c = 0; c < 2; ++c)
        {
            head.copyFrom(c, 0, whole, c, 0, 8192);
            tail.copyFrom(c, 0, whole, c, 8192, 1808);
        }

        CompressorEngine sliced, split;
        sliced.prepare(sampleRate, 2);
        split.prepare(sampleRate, 2);
        sliced.process(whole, 2, s);
        split.process(head, 2, s);
        split.process(tail, 2, s);

        float worst = 0.0f;
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 10000; ++i)
            {
                const float expected = i < 8192 ? head.getSample(c, i) : tail.getSample(c, i - 8192);
                worst = std::max(worst, std::abs(whole.getSample(c, i) - expected));
            }
        EXPECT_EQ(worst, 0.0f) << "character " << character;
        EXPECT_EQ(sliced.gainReductionMeterDb, split.gainReductionMeterDb) << "character " << character;
    }
}

TEST_F(CompressorEngineTest, SilenceGivesNoReduction)
{
    EngineSettings s = compressing(3);
    s.thresholdDb = -90.0f;
    s.autoMakeup = true;

    juce::AudioBuffer<float> silence(2, 48000);
    silence.clear();
    for (const float meter : render(engine, silence, s, 512))
        ASSERT_EQ(meter, 0.0f);
    EXPECT_EQ(silence.getMagnitude(0, 48000), 0.0f);

    juce::AudioBuffer<float> flaggedClear(2, 512);
    flaggedClear.clear();
    engine.process(flaggedClear, 2, s);
    EXPECT_EQ(engine.gainReductionMeterDb, 0.0f);
    EXPECT_EQ(flaggedClear.getMagnitude(0, 512), 0.0f);
}

TEST_F(CompressorEngineTest, NonFiniteInputIsProcessedAsZero)
{
    juce::AudioBuffer<float> clean(2, 2048);
    tq4test::fillNoise(clean, 0.7f, 3);
    struct Bad
    {
        int channel, sample;
        float value;
    };
    const Bad bad[] = {{0, 100, std::numeric_limits<float>::quiet_NaN()},
                       {0, 200, std::numeric_limits<float>::infinity()},
                       {1, 300, -std::numeric_limits<float>::infinity()},
                       {1, 301, std::numeric_limits<float>::quiet_NaN()}};
    juce::AudioBuffer<float> dirty(clean);
    for (const auto& b : bad)
    {
        dirty.setSample(b.channel, b.sample, b.value);
        clean.setSample(b.channel, b.sample, 0.0f);
    }

    // FET adds its (DC-blocked) colouring even where the input is 0; VCA leaves a 0 there.
    for (const int character : {2, 3})
    {
        CompressorEngine withBad, withZeros;
        withBad.prepare(sampleRate, 2);
        withZeros.prepare(sampleRate, 2);
        juce::AudioBuffer<float> out(dirty), reference(clean);
        withBad.process(out, 2, compressing(character));
        withZeros.process(reference, 2, compressing(character));

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 2048; ++i)
                ASSERT_TRUE(std::isfinite(out.getSample(c, i))) << "character " << character;
        EXPECT_EQ(tq4test::maxAbsDifference(out, reference), 0.0f) << "character " << character;
        if (character == 3)
        {
            for (const auto& b : bad)
                EXPECT_EQ(out.getSample(b.channel, b.sample + withBad.getLatencySamples()), 0.0f)
                    << b.channel << ":" << b.sample;
        }
    }
}
TEST_F(CompressorEngineTest, DetectorHearsEveryChannelButOnlyTheFirstTwoChange)
{
    CompressorEngine threeChannels;
    threeChannels.prepare(sampleRate, 3);
    const EngineSettings s = compressing(3);

    juce::AudioBuffer<float> input(3, 24000);
    tq4test::fillSine(input, sampleRate, 220.0, 0.02f); // far below the threshold on its own
    for (int i = 0; i < input.getNumSamples(); ++i)
        input.setSample(2, i, (i / 240) % 2 == 0 ? 0.5f : -0.5f);
    juce::AudioBuffer<float> output(input);

    threeChannels.process(output, 3, s);

    const float expectedDb = -staticGainReductionDb(20.0f * std::log10(0.5f), -30.0f, 4.0f, 6.0f, 3);
    const int last = input.getNumSamples() - 1;
    for (int c = 0; c < 2; ++c)
        EXPECT_NEAR(gainDb(output, input, c, last, threeChannels.getLatencySamples()), expectedDb, 0.05f)
            << "channel " << c;
    for (int i = 0; i < input.getNumSamples(); ++i)
        ASSERT_EQ(output.getSample(2, i), input.getSample(2, i));
}

TEST_F(CompressorEngineTest, FullyDryOutputIsTheInputDelayedByTheLatency)
{
    EngineSettings s = compressing(2);
    s.autoMakeup = true;
    s.mix = 0.6f;
    s.outputDb = -24.0f;
    s.driveOn = true;
    s.drivePercent = 40.0f;

    juce::AudioBuffer<float> input(2, 20000);
    tq4test::fillNoise(input, 0.9f, 11);
    juce::AudioBuffer<float> output(input);

    engine.setProcessTarget(0.0f);
    const auto meters = render(engine, output, s, 1000);

    const int latency = engine.getLatencySamples();
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < input.getNumSamples(); ++i)
        {
            const float expected = i < latency ? 0.0f : input.getSample(c, i - latency);
            ASSERT_EQ(output.getSample(c, i), expected) << c << ":" << i;
        }
    for (const float meter : meters)
        EXPECT_EQ(meter, 0.0f);
}

TEST_F(CompressorEngineTest, BlocksShorterThanTheLatencyKeepDryWetAndMakeupAligned)
{
    EngineSettings s = compressing(3);
    s.autoMakeup = true;
    s.mix = 0.7f;

    juce::AudioBuffer<float> input(2, 12000);
    tq4test::fillNoise(input, 0.9f, 12);
    juce::AudioBuffer<float> reference(input), irregular(input);
    render(engine, reference, s, 512);

    CompressorEngine small;
    small.prepare(sampleRate, 2);
    const int latency = small.getLatencySamples();
    const int sizes[] = {1, 5, 17, latency - 1, latency, latency + 1, 300};
    for (int start = 0, k = 0; start < irregular.getNumSamples(); ++k)
    {
        const int n = std::min(sizes[k % 7], irregular.getNumSamples() - start);
        juce::AudioBuffer<float> block(irregular.getArrayOfWritePointers(), 2, start, n);
        small.process(block, 2, s);
        start += n;
    }
    // Any misaligned track would be off by far more than rounding.
    EXPECT_LT(tq4test::maxAbsDifference(irregular, reference), 1.0e-6f);

    // Fully dry, the output is the input exactly L late, whatever the blocks.
    CompressorEngine dry;
    dry.prepare(sampleRate, 2);
    dry.setProcessTarget(0.0f);
    juce::AudioBuffer<float> delayed(input);
    for (int start = 0, k = 0; start < delayed.getNumSamples(); ++k)
    {
        const int n = std::min(sizes[(k + 3) % 7], delayed.getNumSamples() - start);
        juce::AudioBuffer<float> block(delayed.getArrayOfWritePointers(), 2, start, n);
        dry.process(block, 2, s);
        start += n;
    }
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < input.getNumSamples(); ++i)
            ASSERT_EQ(delayed.getSample(c, i), i < latency ? 0.0f : input.getSample(c, i - latency))
                << c << ":" << i;
}

TEST_F(CompressorEngineTest, MeterReadsZeroOnceTheOutputIsMostlyDry)
{
    const EngineSettings s = compressing(3);
    juce::AudioBuffer<float> block(2, 4800);
    fillSquare(block, 0, 4800, 0.5f);
    engine.process(block, 2, s);
    ASSERT_GT(engine.gainReductionMeterDb, 10.0f);

    // The 10 ms fade is 480 samples; after each 100-sample block the process amount is known.
    struct Step
    {
        float target;
        bool meterShows; // process amount at the end of the block above 0.5
    };
    const Step steps[] = {
        {0.0f, true},                                                                             // 0.79
        {0.0f, true},                                                                             // 0.58
        {0.0f, false},                                                                            // 0.38
        {0.0f, false}, {0.0f, false}, {0.0f, false}, {0.0f, false}, {0.0f, false}, {1.0f, false}, // 0.21
        {1.0f, false},                                                                            // 0.42
        {1.0f, true},                                                                             // 0.63
        {1.0f, true},
    };
    juce::AudioBuffer<float> small(2, 100);
    int index = 0;
    for (const auto& step : steps)
    {
        fillSquare(small, 0, 100, 0.5f);
        engine.setProcessTarget(step.target);
        engine.process(small, 2, s);
        if (step.meterShows)
            EXPECT_GT(engine.gainReductionMeterDb, 10.0f) << "block " << index;
        else
            EXPECT_EQ(engine.gainReductionMeterDb, 0.0f) << "block " << index;
        ++index;
    }
}

TEST_F(CompressorEngineTest, SteadyLoudSignalSettlesOnTheStaticCurve)
{
    const float levelDb = 20.0f * std::log10(0.5f);
    for (const int character : {1, 2, 3})
    {
        CompressorEngine fresh;
        fresh.prepare(sampleRate, 2);
        const EngineSettings s = compressing(character);

        juce::AudioBuffer<float> input(2, 48000);
        fillSquare(input, 0, 48000, 0.5f);
        juce::AudioBuffer<float> output(input);
        render(fresh, output, s, 512);

        const float expectedDb = -staticGainReductionDb(levelDb, s.thresholdDb, s.ratio, s.kneeDb, character);
        EXPECT_LT(expectedDb, -15.0f);
        const int latency = fresh.getLatencySamples();
        EXPECT_NEAR(gainDb(output, input, 0, 47800, latency), expectedDb, 0.02f) << "character " << character;
        EXPECT_NEAR(gainDb(output, input, 1, 47800, latency), expectedDb, 0.02f) << "character " << character;
        EXPECT_NEAR(fresh.gainReductionMeterDb, -expectedDb, 0.02f) << "character " << character;
    }
}

TEST_F(CompressorEngineTest, MixBlendsAtMatchingMakeup)
{
    EngineSettings s = compressing(3);
    s.autoMakeup = true;
    s.mix = 0.5f;

    juce::AudioBuffer<float> input(2, 48000);
    fillSquare(input, 0, 48000, 0.5f);
    juce::AudioBuffer<float> output(input);
    render(engine, output, s, 512);

    // Both shares of the mix carry the same makeup.
    const float makeup = std::pow(10.0f, staticMakeupDb(s) / 20.0f);
    const float wet =
        std::pow(10.0f, -staticGainReductionDb(20.0f * std::log10(0.5f), -30.0f, 4.0f, 6.0f, 3) / 20.0f);
    EXPECT_NEAR(staticMakeupDb(s), 7.5f, 1.0e-5f);
    const float ratio = output.getSample(0, 47800) / input.getSample(0, 47800 - engine.getLatencySamples());
    EXPECT_NEAR(ratio, makeup * (0.5f * wet + 0.5f), 2.0e-3f * ratio);
}

TEST_F(CompressorEngineTest, OutputGainAppliesAtOnceThenRampsOver20Ms)
{
    EngineSettings s = compressing(3);
    s.thresholdDb = 0.0f;
    s.outputDb = -24.0f;

    // A constant input makes every output sample a reading of the gain, whatever the latency.
    juce::AudioBuffer<float> input(2, 2048);
    for (int c = 0; c < 2; ++c)
        juce::FloatVectorOperations::fill(input.getWritePointer(c), 0.1f, 2048);
    juce::AudioBuffer<float> output(input);
    engine.process(output, 2, s);
    const int latency = engine.getLatencySamples();
    for (const int i : {latency, 500, 2047})
        EXPECT_NEAR(output.getSample(0, i), 0.1f * std::pow(10.0f, -1.2f), 1.0e-8f) << i;

    s.outputDb = 0.0f;
    output.makeCopyOf(input);
    engine.process(output, 2, s);
    const float startGain = output.getSample(0, 1) / 0.1f;
    EXPECT_GT(startGain, 0.06f);
    EXPECT_LT(startGain, 0.07f);
    for (const int i : {959, 1500, 2047})
        EXPECT_EQ(output.getSample(0, i), 0.1f) << i;
    // Half-way after 480 of the 960 steps.
    const float midGain = output.getSample(0, 479) / 0.1f;
    EXPECT_NEAR(midGain, 0.5f * (1.0f + std::pow(10.0f, -1.2f)), 1.0e-3f);
}

TEST_F(CompressorEngineTest, ThresholdChangeRampsLinearlyOver20Ms)
{
    // A near-instant attack and a hard knee make the reduction track the static curve of the moving
    // threshold.
    EngineSettings s = compressing(3);
    s.attackMs = 0.05f;
    s.kneeDb = 0.01f;
    s.thresholdDb = -20.0f;

    juce::AudioBuffer<float> settle(2, 9600);
    fillSquare(settle, 0, 9600, 0.5f);
    render(engine, settle, s, 512);

    s.thresholdDb = -30.0f;
    juce::AudioBuffer<float> input(2, 2048);
    fillSquare(input, 0, 2048, 0.5f);
    juce::AudioBuffer<float> output(input);
    engine.process(output, 2, s);

    // The gain heard at sample k was computed for the input sample k - latency.
    const float levelDb = 20.0f * std::log10(0.5f);
    const int latency = engine.getLatencySamples();
    for (const int k : {100, 480, 800, 1200, 2047})
    {
        const float thresholdDb =
            -20.0f - 10.0f * std::min(1.0f, static_cast<float>(k - latency + 1) / 960.0f);
        EXPECT_NEAR(gainDb(output, input, 0, k, latency),
                    -staticGainReductionDb(levelDb, thresholdDb, 4.0f, 0.01f, 3), 0.05f)
            << "sample " << k;
    }
}

TEST_F(CompressorEngineTest, ResetReturnsToAFreshEngine)
{
    EngineSettings s = compressing(2);
    s.autoMakeup = true;
    s.driveOn = true;
    s.drivePercent = 70.0f;
    juce::AudioBuffer<float> warmUp(2, 9000);
    tq4test::fillNoise(warmUp, 0.9f, 5);
    engine.setProcessTarget(0.3f);
    render(engine, warmUp, s, 512);
    // Leaves a type change half-way through its crossfade.
    s.driveType = 2;
    juce::AudioBuffer<float> switching(2, 512);
    tq4test::fillNoise(switching, 0.9f, 4);
    engine.process(switching, 2, s);
    ASSERT_TRUE(engine.isDriveCrossfading());

    engine.reset();
    engine.setProcessTarget(1.0f);
    CompressorEngine fresh;
    fresh.prepare(sampleRate, 2);

    s.character = 1;
    s.mix = 0.7f;
    s.driveType = 3;
    juce::AudioBuffer<float> a(2, 6000);
    tq4test::fillNoise(a, 0.8f, 6);
    juce::AudioBuffer<float> b(a);
    render(engine, a, s, 512);
    render(fresh, b, s, 512);
    EXPECT_EQ(tq4test::maxAbsDifference(a, b), 0.0f);
    EXPECT_EQ(engine.gainReductionMeterDb, fresh.gainReductionMeterDb);
}

TEST_F(CompressorEngineTest, UnknownCharactersBehaveAsVca)
{
    juce::AudioBuffer<float> input(2, 12000);
    tq4test::fillNoise(input, 0.9f, 8);

    auto run = [&](int character)
    {
        CompressorEngine e;
        e.prepare(sampleRate, 2);
        EngineSettings s = compressing(character);
        s.autoMakeup = true;
        s.autoRelease = true;
        juce::AudioBuffer<float> out(input);
        render(e, out, s, 512);
        return out;
    };
    const auto vca = run(3);
    for (const int character : {0, 4, -1, 99})
        EXPECT_EQ(tq4test::maxAbsDifference(run(character), vca), 0.0f) << "character " << character;
    EXPECT_GT(tq4test::maxAbsDifference(run(1), vca), 1.0e-3f);
}

TEST_F(CompressorEngineTest, TimesBelowTheirFloorsActAsTheFloor)
{
    juce::AudioBuffer<float> input(2, 12000);
    tq4test::fillNoise(input, 0.9f, 9);

    auto run = [&](float attackMs, float releaseMs)
    {
        CompressorEngine e;
        e.prepare(sampleRate, 2);
        EngineSettings s = compressing(3);
        s.attackMs = attackMs;
        s.releaseMs = releaseMs;
        juce::AudioBuffer<float> out(input);
        render(e, out, s, 512);
        return out;
    };
    enum class Expect
    {
        same,
        close, // the floor itself, 1 ulp of the time constant away
        different
    };
    struct Case
    {
        float attackA, releaseA, attackB, releaseB;
        Expect expect;
    };
    const Case cases[] = {
        {0.01f, 50.0f, 0.0f, 50.0f, Expect::same},      {0.01f, 50.0f, 0.05f, 50.0f, Expect::close},
        {5.0f, 0.2f, 5.0f, 1.0f, Expect::same},         {5.0f, -3.0f, 5.0f, 0.5f, Expect::same},
        {0.05f, 50.0f, 0.2f, 50.0f, Expect::different}, {5.0f, 1.0f, 5.0f, 3.0f, Expect::different},
    };
    for (const auto& c : cases)
    {
        const float difference =
            tq4test::maxAbsDifference(run(c.attackA, c.releaseA), run(c.attackB, c.releaseB));
        if (c.expect == Expect::same)
            EXPECT_EQ(difference, 0.0f) << c.attackA << "/" << c.releaseA;
        else if (c.expect == Expect::close)
            EXPECT_LT(difference, 1.0e-6f) << c.attackA << "/" << c.releaseA;
        else
            EXPECT_GT(difference, 1.0e-4f) << c.attackA << "/" << c.releaseA;
    }
}

// Gain reduction after a burst of the given length, one meter reading per millisecond.
std::vector<float> releaseTrace(int character, bool autoRelease, float releaseMs, int burstSamples,
                                float thresholdDb, float amplitude)
{
    CompressorEngine e;
    e.prepare(sampleRate, 2);
    EngineSettings s = compressing(character);
    s.thresholdDb = thresholdDb;
    s.releaseMs = releaseMs;
    s.autoRelease = autoRelease;

    juce::AudioBuffer<float> signal(2, burstSamples + 72000);
    signal.clear();
    fillSquare(signal, 0, burstSamples, amplitude);
    const auto meters = render(e, signal, s, 48);
    return {meters.begin() + burstSamples / 48, meters.end()};
}

TEST_F(CompressorEngineTest, OptoReleasesInTwoStagesAfterSustainedCompression)
{
    const int sustained = 96000, burst = 960; // 2 s and 20 ms
    const auto optoLong = releaseTrace(1, false, 50.0f, sustained, -30.0f, 0.5f);
    const auto optoShort = releaseTrace(1, false, 50.0f, burst, -30.0f, 0.5f);
    const auto vcaLong = releaseTrace(3, false, 50.0f, sustained, -30.0f, 0.5f);

    const float peak = optoLong.front();
    ASSERT_GT(peak, 15.0f);
    // Quick stage: down to the slow path's share within 300 ms...
    EXPECT_LT(optoLong[300], 0.6f * peak);
    // ...then a slow one that still holds after 600 ms, where the fast path alone is long gone.
    EXPECT_GT(optoLong[600], 1.0f);
    EXPECT_LT(vcaLong[600], 0.05f);
    // A short burst barely moves the slow path.
    EXPECT_LT(optoShort[600], 0.25f * optoLong[600]);
}

TEST_F(CompressorEngineTest, AutoReleaseUsesTheCharacterReleaseTime)
{
    // A 20 ms burst 6 dB over the threshold; from about 20 ms after it only the fast path decays.
    const int burst = 960;
    const auto autoShort = releaseTrace(3, true, 5.0f, burst, -10.0f, 0.63f);
    const auto autoLong = releaseTrace(3, true, 2000.0f, burst, -10.0f, 0.63f);
    const auto manual = releaseTrace(3, false, 1000.0f, burst, -10.0f, 0.63f);

    EXPECT_EQ(autoShort, autoLong);
    ASSERT_GT(autoShort[60], 0.5f);
    EXPECT_NEAR(autoShort[110] / autoShort[60], std::exp(-0.5f), 0.005f); // 50 ms at 100 ms
    EXPECT_NEAR(manual[110] / manual[60], std::exp(-0.05f), 0.005f);      // 50 ms at 1000 ms
}

TEST_F(CompressorEngineTest, FetColouringFollowsReductionAndFadesWithDrive)
{
    // Opposite channels make the compressed signal pure side: the mid then carries nothing but the
    // colouring's even part, which the drive (working on the mid) can only scale.
    juce::AudioBuffer<float> input(2, 24000);
    tq4test::fillSine(input, sampleRate, 200.0, 1.0f);
    juce::FloatVectorOperations::negate(input.getWritePointer(1), input.getReadPointer(1), 24000);

    int latency = 0;
    auto run = [&](float thresholdDb, float drivePercent, float amplitude)
    {
        CompressorEngine e;
        e.prepare(sampleRate, 2);
        latency = e.getLatencySamples();
        EngineSettings s = compressing(2);
        s.thresholdDb = thresholdDb;
        s.ratio = 20.0f;
        s.driveOn = true;
        s.drivePercent = drivePercent;
        juce::AudioBuffer<float> out(input);
        out.applyGain(amplitude);
        render(e, out, s, 512);
        return out;
    };
    auto midRms = [](const juce::AudioBuffer<float>& b)
    {
        double sum = 0.0;
        for (int i = 4800; i < b.getNumSamples(); ++i)
            sum += juce::square(static_cast<double>(b.getSample(0, i)) + b.getSample(1, i));
        return std::sqrt(sum / (b.getNumSamples() - 4800));
    };

    // No gain reduction, no colouring: the output is the input, delayed.
    const auto quiet = run(0.0f, 0.0f, 0.25f);
    float worst = 0.0f;
    for (int c = 0; c < 2; ++c)
        for (int i = latency; i < input.getNumSamples(); ++i)
            worst =
                std::max(worst, std::abs(quiet.getSample(c, i) - 0.25f * input.getSample(c, i - latency)));
    EXPECT_LT(worst, 1.0e-7f);

    // Over 12 dB of reduction: full depth without drive, about half at 50 %, none at 100 %.
    const double full = midRms(run(-16.0f, 0.0f, 1.0f));
    const double half = midRms(run(-16.0f, 50.0f, 1.0f));
    const double none = midRms(run(-16.0f, 100.0f, 1.0f));
    EXPECT_GT(full, 1.0e-4);
    EXPECT_GT(half, 0.45 * full);
    EXPECT_LT(half, 0.55 * full);
    EXPECT_EQ(none, 0.0);
}

TEST_F(CompressorEngineTest, FetColouringStopsOnceItHasFadedOut)
{
    // Opposite channels: without colouring the output's mid is exactly 0, whatever the detector does, so
    // whatever is left there once the colouring has faded is colouring that should not be.
    juce::AudioBuffer<float> input(2, 96000);
    tq4test::fillSine(input, sampleRate, 200.0, 1.0f);
    juce::FloatVectorOperations::negate(input.getWritePointer(1), input.getReadPointer(1), 96000);
    const auto midRms = [](const juce::AudioBuffer<float>& b, int from, int to)
    {
        double sum = 0.0;
        for (int i = from; i < to; ++i)
            sum += juce::square(static_cast<double>(b.getSample(0, i)) + b.getSample(1, i));
        return std::sqrt(sum / (to - from));
    };

    struct Case
    {
        const char* name;
        int character;
        float drivePercent;
    };
    const Case cases[] = {
        {"FET to OPTO", 1, 0.0f}, {"FET to VCA", 3, 0.0f}, {"drive up to 100 %", 2, 100.0f}};
    for (const auto& c : cases)
    {
        CompressorEngine e;
        e.prepare(sampleRate, 2);
        EngineSettings fet = compressing(2);
        fet.thresholdDb = -16.0f;
        fet.ratio = 20.0f;
        fet.driveOn = true;
        EngineSettings after = fet;
        after.character = c.character;
        after.drivePercent = c.drivePercent;

        // One second of FET with over 12 dB of reduction, then the change, its 20 ms ramp and a second more.
        juce::AudioBuffer<float> out(input);
        for (int start = 0; start < 96000; start += 480)
        {
            juce::AudioBuffer<float> block(out.getArrayOfWritePointers(), 2, start, 480);
            e.process(block, 2, start < 48000 ? fet : after);
            ASSERT_GT(e.gainReductionMeterDb, 12.0f) << c.name;
        }

        // The colouring's 5 Hz blocker has let go of all but 3e-7 of it half a second after the ramp.
        const double coloured = midRms(out, 24000, 48000);
        ASSERT_GT(coloured, 1.0e-3) << c.name;
        EXPECT_LT(midRms(out, 72000, 96000), 1.0e-5 * coloured) << c.name;
    }
}

class DriveCompensationTest : public CompressorEngineTest
{
protected:
    void SetUp() override
    {
        CompressorEngineTest::SetUp();
        reference.prepare(sampleRate, 2);
    }

    // No compression and a static makeup of 0 dB, so that the compensation is the only gain between
    // this engine and the reference, which runs the same drive without a table.
    EngineSettings driven(int type)
    {
        EngineSettings s = compressing(3);
        s.thresholdDb = 0.0f;
        s.autoMakeup = true;
        s.driveOn = true;
        s.drivePercent = 17.5f;
        s.driveType = type;
        s.driveCompValid = true;
        for (int j = 0; j < EngineSettings::driveCompAmounts; ++j)
        {
            s.driveCompDb[1][j] = static_cast<float>(j);        // 1.5 dB at 17.5 %
            s.driveCompDb[2][j] = 2.0f * static_cast<float>(j); // 3 dB at 17.5 %
        }
        return s;
    }

    void resetBoth()
    {
        engine.reset();
        reference.reset();
    }

    // Gain over the reference around one sample of the block (a few samples, as a sine crosses zero).
    float blockGainDb(const EngineSettings& s, int n, int sample)
    {
        juce::AudioBuffer<float> output(2, n);
        tq4test::fillSine(output, sampleRate, 1000.0, 0.1f);
        juce::AudioBuffer<float> withoutTable(output);
        EngineSettings plain = s;
        plain.driveCompValid = false;
        engine.process(output, 2, s);
        reference.process(withoutTable, 2, plain);

        double compensated = 0.0, plainEnergy = 0.0;
        for (int i = std::max(0, sample - 2); i <= std::min(n - 1, sample + 2); ++i)
        {
            compensated += juce::square(static_cast<double>(output.getSample(0, i)));
            plainEnergy += juce::square(static_cast<double>(withoutTable.getSample(0, i)));
        }
        return static_cast<float>(10.0 * std::log10(compensated / plainEnergy));
    }

    CompressorEngine reference;
};

TEST_F(DriveCompensationTest, RaisesTheWetSignalByTheTableValue)
{
    struct Case
    {
        int type;
        bool driveOn, autoMakeup;
        float expectedDb;
    };
    const Case cases[] = {
        {1, true, true, 1.5f},  {2, true, true, 3.0f},  {0, true, true, 0.0f},
        {1, false, true, 0.0f}, {1, true, false, 0.0f},
    };
    for (const auto& c : cases)
    {
        resetBoth();
        EngineSettings s = driven(c.type);
        s.driveOn = c.driveOn;
        s.autoMakeup = c.autoMakeup;
        EXPECT_NEAR(blockGainDb(s, 1024, 1000), c.expectedDb, 1.0e-4f)
            << "type " << c.type << " on " << c.driveOn << " auto " << c.autoMakeup;
    }
}

TEST_F(DriveCompensationTest, FollowsATypeChangeAtOnceAndQueuesTheNextOne)
{
    EXPECT_NEAR(blockGainDb(driven(0), 1024, 1023), 0.0f, 1.0e-4f);

    // The switch to type 1 moves the compensation at once and ramps it over 960 samples.
    EXPECT_LT(blockGainDb(driven(1), 256, 1), 0.1f);
    // A further change waits until the running type change has finished.
    EXPECT_NEAR(blockGainDb(driven(2), 256, 200), 1.5f * 456.0f / 960.0f, 0.01f);
    EXPECT_NEAR(blockGainDb(driven(2), 256, 255), 1.5f * 767.0f / 960.0f, 0.01f);
    EXPECT_NEAR(blockGainDb(driven(2), 256, 255), 1.5f, 1.0e-4f);
    // Now type 2 takes over.
    EXPECT_NEAR(blockGainDb(driven(2), 2048, 2047), 3.0f, 1.0e-4f);
}

} // namespace
