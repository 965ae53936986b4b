#include "ReferenceCompressor.h"

#include "dsp/CompressorEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

// The engine against its plain per-sample reference, over material and control moves that reach every
// branch the block passes take: ramps that end inside blocks and are retargeted mid-ramp, character
// changes, the automatic release and makeup switched, a learned makeup profile coming and going, bypass
// fades, silence, non-finite samples and sliced long blocks.
namespace
{

using tq4::EngineSettings;

constexpr double sampleRate = 48000.0;
constexpr int seconds = 4;
constexpr int length = seconds * static_cast<int>(sampleRate);

// Loud and quiet passages, transients, a slow swell, exact silence, correlated, opposite and single
// channels, and a few non-finite samples.
juce::AudioBuffer<float> material(int seed)
{
    juce::AudioBuffer<float> b(2, length);
    juce::Random random(seed);
    const double twoPi = juce::MathConstants<double>::twoPi;
    for (int i = 0; i < length; ++i)
    {
        const double t = i / sampleRate;
        // The swell runs from -55 dBFS to +4 dBFS and back about once a second.
        const double swellDb = -25.5 + 29.5 * std::sin(twoPi * 0.9 * t + seed);
        const double swell = std::pow(10.0, swellDb / 20.0);
        const double beat = std::fmod(t, 0.23);
        const double hit = 1.2 * std::exp(-beat * 40.0) * std::sin(twoPi * 90.0 * beat);
        const double tone = swell * std::sin(twoPi * 220.0 * t);
        const float noiseL = 2.0f * random.nextFloat() - 1.0f;
        const float noiseR = 2.0f * random.nextFloat() - 1.0f;
        const double burst = std::fmod(t, 0.71) < 0.05 ? 0.5 : 0.01;

        double l = tone + hit + burst * noiseL;
        double r = 0.7 * tone - 0.5 * hit + burst * noiseR;
        const double section = std::fmod(t, 2.0);
        if (section > 0.8 && section < 1.1)
            r = -l; // a pure side
        else if (section > 1.1 && section < 1.3)
            r = l; // a pure mid
        else if (section > 1.3 && section < 1.45)
            r = 0.0;
        else if (section > 1.45 && section < 1.75)
            l = r = 0.0; // long enough for the colouring's blocker to settle
        b.setSample(0, i, static_cast<float>(l));
        b.setSample(1, i, static_cast<float>(r));
    }
    b.setSample(0, 12345, std::numeric_limits<float>::quiet_NaN());
    b.setSample(1, 54321, std::numeric_limits<float>::infinity());
    b.setSample(0, 100000, -std::numeric_limits<float>::infinity());
    return b;
}

void learnedProfile(EngineSettings& s, bool present)
{
    s.learnProfilePresent = present;
    s.histogramValid = present;
    s.makeupCorrectionValid = present;
    for (int i = 0; i < EngineSettings::histogramBins; ++i)
    {
        s.histogramWeight[i] = present ? std::exp(-juce::square((i - 60.0f) / 8.0f)) : 0.0f;
        s.histogramCrestDb[i] = present ? 6.0f + 0.1f * static_cast<float>(i % 7) : 0.0f;
    }
    for (int i = 0; i < EngineSettings::correctionPoints; ++i)
    {
        s.makeupCorrectionX[i] = present ? -2.0f + 2.0f * static_cast<float>(i) : 0.0f;
        s.makeupCorrectionY[i] = present ? 0.3f * std::sin(static_cast<float>(i)) : 0.0f;
    }
}

struct Segment
{
    int start;
    EngineSettings settings;
    float processTarget;
};

// Piecewise-constant controls: each segment changes a few of them. Some segments are shorter than the
// 20 ms ramps, so that ramps are retargeted before they end.
std::vector<Segment> controlMoves(int character, int seed)
{
    juce::Random random(seed);
    std::vector<Segment> segments;
    EngineSettings s;
    s.character = character;
    s.thresholdDb = -24.0f;
    float processTarget = 1.0f;
    int start = 0;
    while (start < length)
    {
        segments.push_back({start, s, processTarget});
        const int changes = 1 + random.nextInt(3);
        for (int j = 0; j < changes; ++j)
        {
            switch (random.nextInt(12))
            {
            case 0:
                s.thresholdDb = -50.0f + 50.0f * random.nextFloat();
                break;
            case 1:
                s.ratio = 1.0f + 19.0f * random.nextFloat() * random.nextFloat();
                break;
            case 2:
                s.attackMs = random.nextBool() ? 0.01f : 0.1f + 80.0f * random.nextFloat();
                break;
            case 3:
                s.releaseMs = random.nextBool() ? 0.5f : 5.0f + 2000.0f * random.nextFloat();
                break;
            case 4:
                s.kneeDb = random.nextInt(4) == 0 ? 0.0f : 24.0f * random.nextFloat();
                break;
            case 5:
                s.mix = random.nextInt(3) == 0 ? 1.0f : random.nextFloat();
                break;
            case 6:
                s.outputDb = random.nextInt(8) == 0 ? -120.0f : -24.0f + 36.0f * random.nextFloat();
                break;
            case 7:
                s.autoMakeup = !s.autoMakeup;
                break;
            case 8:
                s.autoRelease = !s.autoRelease;
                break;
            case 9:
            case 10:
            {
                // Mostly the character under test; now and then another, AUTO's 0 or an unknown index.
                const int other[] = {0, 1, 2, 3, 4};
                s.character = random.nextInt(3) == 0 ? other[random.nextInt(5)] : character;
                break;
            }
            default:
                if (random.nextBool())
                    learnedProfile(s, !s.learnProfilePresent);
                else
                    processTarget = processTarget > 0.5f ? 0.0f : 1.0f;
                break;
            }
        }
        start += random.nextInt(4) == 0 ? 48 + random.nextInt(720) : 960 + random.nextInt(18000);
    }
    return segments;
}

struct Comparison
{
    float worstRatio = 0.0f; // largest difference over the allowed one
    float worstDifference = 0.0f;
    float worstRelative = 0.0f; // largest difference relative to the terms of its sample
    float worstMeterDb = 0.0f;
    int worstSample = -1;
    int worstChannel = -1;
    float engineValue = 0.0f, referenceValue = 0.0f; // at the worst sample
};

// The allowed difference of a sample is 2e-5 (about 0.0002 dB) of the sum of the magnitudes of the terms
// it is built from, plus the reference's allowance for the FET colouring's antiderivative step, plus 1e-7
// (-140 dBFS) for samples near zero. The engine's dB conversions are within 1-2 ulp of log10 and pow; those
// ulps of the level and of the reduction then pass through one-pole recursions of up to 4 s, whose rounding
// gathers them into tens of ulps of a reduction of up to 40 dB. The meter is held to 1e-3 dB for the same
// reason.
constexpr float relativeTolerance = 2.0e-5f;
constexpr float absoluteTolerance = 1.0e-7f;
constexpr float meterToleranceDb = 1.0e-3f;

Comparison compare(int character, int blockSize, int seed)
{
    juce::ScopedNoDenormals noDenormals;
    const juce::AudioBuffer<float> input = material(seed);
    const std::vector<Segment> segments = controlMoves(character, seed);

    tq4::CompressorEngine engine;
    engine.prepare(sampleRate, 2);
    tq4test::ReferenceCompressor reference(sampleRate, 2, engine.getLatencySamples());

    juce::AudioBuffer<float> engineOut(input), referenceOut(input);
    Comparison result;
    size_t segment = 0;
    for (int start = 0; start < length; start += blockSize)
    {
        const int n = std::min(blockSize, length - start);
        while (segment + 1 < segments.size() && segments[segment + 1].start <= start)
            ++segment;
        const Segment& controls = segments[segment];

        juce::AudioBuffer<float> e(engineOut.getArrayOfWritePointers(), 2, start, n);
        juce::AudioBuffer<float> r(referenceOut.getArrayOfWritePointers(), 2, start, n);
        engine.setProcessTarget(controls.processTarget);
        reference.setProcessTarget(controls.processTarget);
        engine.process(e, 2, controls.settings);
        reference.process(r, 2, controls.settings);

        result.worstMeterDb = std::max(
            result.worstMeterDb, std::abs(engine.gainReductionMeterDb - reference.gainReductionMeterDb));
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < n; ++i)
            {
                const float difference = std::abs(e.getSample(c, i) - r.getSample(c, i));
                const float terms = reference.termMagnitudes(c)[static_cast<size_t>(i)];
                const float allowed = relativeTolerance * terms + absoluteTolerance +
                                      reference.colourRounding()[static_cast<size_t>(i)];
                const float ratio = difference / allowed;
                if (!(ratio <= result.worstRatio))
                {
                    result.worstRatio = ratio;
                    result.worstSample = start + i;
                    result.worstChannel = c;
                    result.engineValue = e.getSample(c, i);
                    result.referenceValue = r.getSample(c, i);
                }
                result.worstDifference = std::max(result.worstDifference, difference);
                if (terms > 0.0f)
                    result.worstRelative = std::max(result.worstRelative, difference / terms);
            }
    }
    return result;
}

} // namespace

TEST(EngineReference, MatchesThePlainPerSamplePathWhileEveryControlMoves)
{
    const char* names[] = {"", "OPTO", "FET", "VCA"};
    for (const int character : {1, 2, 3})
        for (const int blockSize : {1, 64, 512, 10000})
        {
            const Comparison c = compare(character, blockSize, 17 * character + blockSize);
            std::printf(
                "[ reference ] %s, blocks of %d: largest difference %.3g, %.3g of the terms, %.2f of the "
                "allowed; meter %.3g dB\n",
                names[character], blockSize, c.worstDifference, c.worstRelative, c.worstRatio,
                c.worstMeterDb);
            EXPECT_LE(c.worstRatio, 1.0f)
                << names[character] << ", blocks of " << blockSize << ": worst at channel " << c.worstChannel
                << ", sample " << c.worstSample << ", engine " << c.engineValue << ", reference "
                << c.referenceValue;
            EXPECT_LE(c.worstMeterDb, meterToleranceDb) << names[character] << ", blocks of " << blockSize;
        }
}
