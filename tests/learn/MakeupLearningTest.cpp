#include "learn/MakeupLearning.h"

#include "dsp/Makeup.h"
#include "learn/LearnAnalyser.h"
#include "learn/MakeupTexts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace
{

using namespace tq4;

constexpr double rate = 48000.0;
constexpr int hop = 48;

std::vector<float> pinkNoise(double seconds, float rmsDb, unsigned seed = 11)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> white(0.0f, 1.0f);
    std::vector<float> samples(static_cast<size_t>(seconds * rate));
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
    double sum = 0.0;
    for (auto& s : samples)
    {
        const float w = white(rng);
        b0 = 0.99765f * b0 + w * 0.0990460f;
        b1 = 0.96300f * b1 + w * 0.2965164f;
        b2 = 0.57000f * b2 + w * 1.0526913f;
        s = b0 + b1 + b2 + w * 0.1848f;
        sum += static_cast<double>(s) * s;
    }
    const double rms = std::sqrt(sum / static_cast<double>(samples.size()));
    const auto gain = static_cast<float>(std::pow(10.0, rmsDb / 20.0) / rms);
    for (auto& s : samples)
        s *= gain;
    return samples;
}

LearnStats statsOf(const std::vector<float>& capture)
{
    LearnAnalyser analyser;
    analyser.prepare(rate);
    analyser.analyseSamples(capture.data(), nullptr, nullptr, static_cast<int>(capture.size()));
    return analyser.computeLearnStats();
}

LevelTrace steadyTrace(size_t frames, double levelDb)
{
    LevelTrace trace;
    trace.sampleRate = rate;
    trace.hop = hop;
    trace.peak.assign(frames, levelCode(levelDb));
    trace.rms.assign(frames, levelCode(levelDb));
    return trace;
}

size_t framesOf(const std::vector<float>& capture)
{
    return (capture.size() + hop - 1) / hop;
}

LearnSolution solutionAt(float thresholdDb, int character = 3)
{
    LearnSolution s;
    s.valid = true;
    s.thresholdDb = thresholdDb;
    s.ratio = 4.0f;
    s.attackMs = 10.0f;
    s.releaseMs = 120.0f;
    s.kneeDb = 6.0f;
    s.mixPercent = 100.0f;
    s.character = character;
    return s;
}

float estimateAt(const LearnSolution& s, int character, const LevelHistogram& h, float thresholdDb)
{
    LearnSolution shifted = s;
    shifted.thresholdDb = thresholdDb;
    return estimateMakeupDb(makeupLearnSettings(shifted, character, h));
}

void expectStraightLine(const MakeupCorrectionCurve& curve, float estimateDb, float needDb, const char* name)
{
    ASSERT_TRUE(curve.valid) << name;
    for (int i = 0; i < EngineSettings::correctionPoints; ++i)
    {
        const float t = static_cast<float>(i) / 12.0f;
        EXPECT_NEAR(curve.x[i], estimateDb * t, 1.0e-4f) << name << " point " << i;
        EXPECT_NEAR(curve.y[i], (needDb - estimateDb) * t, 1.0e-4f) << name << " point " << i;
    }
}

// Eight seconds of steady pink noise at -20 dBFS RMS, learnt the way the plug-in learns it.
class MakeupLearningPinkNoise : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        capture = new std::vector<float>(pinkNoise(8.0, -20.0f));
        stats = new LearnStats(statsOf(*capture));
        histogram =
            new LevelHistogram(buildLevelHistogram(capture->data(), static_cast<int>(capture->size()), rate));
    }

    static void TearDownTestSuite()
    {
        delete capture;
        delete stats;
        delete histogram;
    }

    static MakeupCorrectionCurve curveFor(const LearnSolution& s, int character)
    {
        return learnMakeupCurve({s, *capture, rate, *stats, *histogram}, character);
    }

    static std::vector<float>* capture;
    static LearnStats* stats;
    static LevelHistogram* histogram;
};

std::vector<float>* MakeupLearningPinkNoise::capture = nullptr;
LearnStats* MakeupLearningPinkNoise::stats = nullptr;
LevelHistogram* MakeupLearningPinkNoise::histogram = nullptr;

} // namespace

TEST(MakeupLearning, PointsAreHistogramEstimatesAroundTheLearnedThreshold)
{
    struct Case
    {
        const char* name;
        float noiseRmsDb; // loud enough that the held thresholds change the estimate
        float learnedDb;
        std::vector<float> pointThresholdsDb;
    };
    const Case cases[] = {
        {"inside the range", -20.0f, -24.0f, {-42, -36, -33, -30, -28, -26, -24, -22, -20, -18, -15, -12}},
        {"held at 0 dBFS", -8.0f, -3.0f, {-21, -15, -12, -9, -7, -5, -3, -1, 0, 0, 0, 0}},
        {"held at -60 dBFS", -20.0f, -50.0f, {-60, -60, -59, -56, -54, -52, -50, -48, -46, -44, -41, -38}},
    };

    for (const auto& c : cases)
    {
        const auto capture = pinkNoise(8.0, c.noiseRmsDb);
        const LearnStats stats = statsOf(capture);
        const LevelHistogram histogram =
            buildLevelHistogram(capture.data(), static_cast<int>(capture.size()), rate);
        ASSERT_TRUE(stats.valid) << c.name;
        ASSERT_TRUE(histogram.valid) << c.name;

        for (int character = 1; character <= 3; ++character)
        {
            const LearnSolution s = solutionAt(c.learnedDb);
            const MakeupCorrectionCurve curve =
                learnMakeupCurve({s, capture, rate, stats, histogram}, character);
            ASSERT_TRUE(curve.valid) << c.name << " character " << character;

            std::vector<float> expected;
            for (float t : c.pointThresholdsDb)
                expected.push_back(estimateAt(s, character, histogram, t));
            std::sort(expected.begin(), expected.end());

            EXPECT_EQ(curve.x[0], 0.0f) << c.name;
            EXPECT_EQ(curve.y[0], 0.0f) << c.name;
            for (int i = 1; i < EngineSettings::correctionPoints; ++i)
            {
                EXPECT_NEAR(curve.x[i], expected[static_cast<size_t>(i - 1)], 1.0e-5f)
                    << c.name << " character " << character << " point " << i;
                EXPECT_GE(curve.x[i], curve.x[i - 1]) << c.name << " point " << i;
            }
        }
    }
}

TEST_F(MakeupLearningPinkNoise, CorrectedMakeupMatchesTheRenderAtTheLearnedSetting)
{
    for (int character = 1; character <= 3; ++character)
    {
        const LearnSolution s = solutionAt(-30.0f, character);
        const MakeupNeed need = measureMakeupNeed(rate, s, *capture);
        ASSERT_TRUE(need.success);
        EXPECT_GT(need.db, 2.0f) << "the setting must compress for the check to mean anything";

        const MakeupCorrectionCurve curve = curveFor(s, character);
        const float estimateDb = estimateAt(s, character, *histogram, s.thresholdDb);
        EXPECT_NEAR(applyMakeupCorrectionDb(estimateDb, curve.x, curve.y), need.db, 1.0e-3f)
            << "character " << character;
    }
}

TEST_F(MakeupLearningPinkNoise, StoredTextsCarryEachCharactersCurve)
{
    const LearnSolution s = solutionAt(-30.0f);
    const MakeupLearnResult result = learnMakeup(s, *capture, rate, *stats);
    ASSERT_TRUE(result.valid);

    const auto readHistogram = readMakeupHistogramText(result.histogramText);
    ASSERT_TRUE(readHistogram.valid);
    for (int i = 0; i < LevelHistogram::bins; ++i)
        EXPECT_NEAR(readHistogram.weight[i], histogram->weight[i], 1.0e-5f) << "bin " << i;

    MakeupCorrectionCurve read[3];
    readMakeupCurveText(result.curveText, read);
    for (int character = 1; character <= 3; ++character)
    {
        const MakeupCorrectionCurve direct = curveFor(s, character);
        const auto& stored = read[character - 1];
        ASSERT_TRUE(stored.valid) << "character " << character;
        for (int i = 0; i < EngineSettings::correctionPoints; ++i)
        {
            EXPECT_NEAR(stored.x[i], direct.x[i], 1.0e-4f) << character << ":" << i;
            EXPECT_NEAR(stored.y[i], std::clamp(direct.y[i], -12.0f, 12.0f), 1.0e-4f)
                << character << ":" << i;
        }
    }
    // The characters compress differently, so a curve written into the wrong slot shows.
    EXPECT_NE(read[0].y[12], read[1].y[12]);
    EXPECT_NE(read[1].y[12], read[2].y[12]);
}

TEST(MakeupLearning, LightSimulatedCompressionAddsTheDifferenceUnscaled)
{
    // The trace claims a level far below every threshold tried while the audio itself is loud: the
    // simulation sees no reduction, so the whole render-minus-simulation difference lands on every point.
    const auto capture = pinkNoise(3.0, -12.0f);
    LearnStats stats;
    stats.valid = true;
    stats.trace = steadyTrace(framesOf(capture), -80.0);
    const LevelHistogram histogram =
        buildLevelHistogram(capture.data(), static_cast<int>(capture.size()), rate);

    const LearnSolution s = solutionAt(-30.0f);
    const MakeupNeed need = measureMakeupNeed(rate, s, capture);
    ASSERT_TRUE(need.success);
    ASSERT_GT(need.db, 3.0f);

    const MakeupCorrectionCurve curve = learnMakeupCurve({s, capture, rate, stats, histogram}, 3);
    ASSERT_TRUE(curve.valid);
    for (int i = 1; i < EngineSettings::correctionPoints; ++i)
        EXPECT_NEAR(curve.x[i] + curve.y[i], need.db, 1.0e-3f) << "point " << i;
}

TEST(MakeupLearning, NoUsableTraceGivesTheStraightLine)
{
    const auto capture = pinkNoise(3.0, -14.0f);
    const LevelHistogram histogram =
        buildLevelHistogram(capture.data(), static_cast<int>(capture.size()), rate);

    LearnStats noTrace;
    LearnStats longerTrace; // more frames than the capture has frame powers for
    longerTrace.valid = true;
    longerTrace.trace = steadyTrace(framesOf(capture) + 10, -14.0);

    const struct
    {
        const char* name;
        const LearnStats& stats;
    } cases[] = {{"no trace", noTrace}, {"trace longer than the capture", longerTrace}};

    for (const auto& c : cases)
        for (int character = 1; character <= 3; ++character)
        {
            const LearnSolution s = solutionAt(-30.0f, character);
            const MakeupNeed need = measureMakeupNeed(rate, s, capture);
            ASSERT_TRUE(need.success);
            const float estimateDb = estimateAt(s, character, histogram, s.thresholdDb);
            ASSERT_GT(estimateDb, 1.0f);
            expectStraightLine(learnMakeupCurve({s, capture, rate, c.stats, histogram}, character),
                               estimateDb, need.db, c.name);
        }
}

TEST(MakeupLearning, CaptureShorterThanASecondLearnsNoCorrection)
{
    // The render cannot be trusted on so little audio: the correction falls back to zero.
    const auto capture = pinkNoise(0.6, -14.0f);
    const MakeupLearnResult result = learnMakeup(solutionAt(-30.0f), capture, rate, LearnStats{});
    ASSERT_TRUE(result.valid);
    ASSERT_TRUE(readMakeupHistogramText(result.histogramText).valid);

    MakeupCorrectionCurve read[3];
    readMakeupCurveText(result.curveText, read);
    for (const auto& curve : read)
    {
        ASSERT_TRUE(curve.valid);
        EXPECT_GT(curve.x[12], 1.0f);
        for (float y : curve.y)
            EXPECT_EQ(y, 0.0f);
    }
}

TEST(MakeupLearning, InvalidHistogramGivesNoResult)
{
    const struct
    {
        const char* name;
        std::vector<float> capture;
        double sampleRate;
    } cases[] = {
        {"empty capture", {}, rate},
        {"digital silence", std::vector<float>(96000, 0.0f), rate},
        {"no sample rate", pinkNoise(2.0, -14.0f), 0.0},
    };

    for (const auto& c : cases)
    {
        const MakeupLearnResult result =
            learnMakeup(solutionAt(-30.0f), c.capture, c.sampleRate, LearnStats{});
        EXPECT_FALSE(result.valid) << c.name;
        EXPECT_TRUE(result.histogramText.isEmpty()) << c.name;
        EXPECT_TRUE(result.curveText.isEmpty()) << c.name;
    }
}

TEST(MakeupLearning, MakeupNeedFailsWithoutASecondOfAudibleInput)
{
    const struct
    {
        const char* name;
        std::vector<float> capture;
        double sampleRate;
    } cases[] = {
        {"empty", {}, rate},
        {"one sample short of a second", pinkNoise(1.0, -14.0f), rate + 1.0},
        {"digital silence", std::vector<float>(96000, 0.0f), rate},
        {"below the absolute gate", pinkNoise(2.0, -110.0f), rate},
        {"no sample rate", pinkNoise(2.0, -14.0f), 0.0},
    };

    for (const auto& c : cases)
        EXPECT_FALSE(measureMakeupNeed(c.sampleRate, solutionAt(-30.0f), c.capture).success) << c.name;

    // One second exactly is enough; a light setting takes little, a heavy one more.
    const auto second = pinkNoise(1.0, -14.0f);
    const MakeupNeed light = measureMakeupNeed(rate, solutionAt(-20.0f), second);
    const MakeupNeed heavy = measureMakeupNeed(rate, solutionAt(-40.0f), second);
    ASSERT_TRUE(light.success);
    ASSERT_TRUE(heavy.success);
    EXPECT_GT(light.db, 0.0f);
    EXPECT_GT(heavy.db, light.db + 5.0f);
}

TEST(MakeupLearning, LoudnessReductionOfASteadyLevelIsTheStaticReduction)
{
    // A steady -10 dBFS trace 20 dB over the threshold: ratio 4 takes 15 dB, OPTO's ratio grows by
    // 40 % once the reduction passes 10 dB, a half mix leaves -20 log10(0.5 + 0.5 * 10^(-15/20)).
    const size_t frames = 3000;
    struct Case
    {
        const char* name;
        int character;
        float mix;
        float expectedDb;
    };
    const Case cases[] = {
        {"VCA", 3, 1.0f, 15.0f},
        {"VCA at half mix", 3, 0.5f, 4.598f},
        {"OPTO", 1, 1.0f, 20.0f * (1.0f - 1.0f / 5.6f)},
    };

    for (const auto& c : cases)
    {
        const LoudnessSimulation z = buildLoudnessSimulation(steadyTrace(frames, -10.0),
                                                             std::vector<double>(frames, 0.01), c.character);
        ASSERT_EQ(z.detectorLevels.size(), frames) << c.name;
        EngineSettings s;
        s.thresholdDb = -30.0f;
        s.ratio = 4.0f;
        s.kneeDb = 6.0f;
        s.attackMs = 5.0f;
        s.mix = c.mix;
        s.character = c.character;
        EXPECT_NEAR(measureLoudnessReduction(z, s), c.expectedDb, 0.1f) << c.name;
    }
}

TEST(MakeupLearning, ExpOfNonPositiveIsWithinTwoUnitsInTheLastPlaceOfStdExp)
{
    // Evenly over the reductions a trace can carry, and densely near 0 and the octave boundaries.
    std::vector<double> xs = {0.0, -0.0, -1.0e-300, -std::log(2.0), -0.5 * std::log(2.0), -700.0};
    for (int i = 0; i <= 200000; ++i)
        xs.push_back(-700.0 * i / 200000.0);
    for (int i = 0; i <= 20000; ++i)
        xs.push_back(-1.0e-3 * i);
    double worstUlps = 0.0;
    for (const double x : xs)
    {
        const double expected = std::exp(x);
        const double ulp = std::nextafter(expected, 2.0 * expected) - expected;
        worstUlps = std::max(worstUlps, std::abs(expOfNonPositive(x) - expected) / ulp);
    }
    EXPECT_LE(worstUlps, 2.0);
    EXPECT_EQ(expOfNonPositive(0.0), 1.0);
    EXPECT_EQ(expOfNonPositive(-800.0), expOfNonPositive(-700.0));
}

TEST(MakeupLearning, SettingsMeasuredTogetherEachGetTheirOwnReduction)
{
    // Steady -10 dBFS: 20 dB over -30 at ratio 4 takes 15 dB; 10 dB over -20 takes 7.5 dB, of which a
    // half mix leaves -20 log10(0.5 + 0.5 * 10^(-7.5/20)). Settings that do not fit get 0 in their place.
    const size_t frames = 3000;
    const LoudnessSimulation z =
        buildLoudnessSimulation(steadyTrace(frames, -10.0), std::vector<double>(frames, 0.01), 3);
    EngineSettings base;
    base.ratio = 4.0f;
    base.kneeDb = 6.0f;
    base.attackMs = 5.0f;
    base.character = 3;

    EngineSettings settings[5] = {base, base, base, base, base};
    settings[0].thresholdDb = -30.0f;
    settings[1].thresholdDb = std::numeric_limits<float>::quiet_NaN();
    settings[2].thresholdDb = -20.0f;
    settings[2].mix = 0.5f;
    settings[3].character = 2;
    settings[4].thresholdDb = -30.0f;
    float reductions[5] = {-1.0f, -1.0f, -1.0f, -1.0f, -1.0f};
    measureLoudnessReductions(z, settings, 5, reductions);

    EXPECT_NEAR(reductions[0], 15.0f, 0.1f);
    EXPECT_EQ(reductions[1], 0.0f) << "non-finite threshold";
    EXPECT_NEAR(reductions[2], 2.965f, 0.05f);
    EXPECT_EQ(reductions[3], 0.0f) << "another character";
    EXPECT_EQ(reductions[4], reductions[0]) << "the same setting twice";
    EXPECT_EQ(reductions[0], measureLoudnessReduction(z, settings[0]));
}

TEST(MakeupLearning, LoudnessReductionIsZeroForASimulationThatDoesNotFit)
{
    const size_t frames = 3000;
    const LoudnessSimulation good =
        buildLoudnessSimulation(steadyTrace(frames, -10.0), std::vector<double>(frames, 0.01), 3);
    EngineSettings s;
    s.thresholdDb = -30.0f;
    s.character = 3;
    ASSERT_GT(measureLoudnessReduction(good, s), 10.0f);

    LoudnessSimulation otherCharacter = good;
    otherCharacter.character = 2;
    LoudnessSimulation noHop = good;
    noHop.trace.hop = 0;
    LoudnessSimulation noLevels = good;
    noLevels.detectorLevels.clear();
    LoudnessSimulation fewerPowers = good;
    fewerPowers.framePowers.pop_back();
    LoudnessSimulation silent = good;
    std::fill(silent.framePowers.begin(), silent.framePowers.end(), 0.0);

    const struct
    {
        const char* name;
        const LoudnessSimulation& z;
    } cases[] = {{"built for another character", otherCharacter},
                 {"no hop", noHop},
                 {"no detector levels", noLevels},
                 {"a frame power missing", fewerPowers},
                 {"silent frames", silent}};
    for (const auto& c : cases)
        EXPECT_EQ(measureLoudnessReduction(c.z, s), 0.0f) << c.name;
}

TEST(MakeupLearning, FramePowersAreKWeightedMeansPerTraceFrame)
{
    EXPECT_TRUE(traceFramePowers({}, rate, hop).empty());
    EXPECT_TRUE(traceFramePowers(std::vector<float>(100, 0.5f), rate, 0).empty());
    EXPECT_EQ(traceFramePowers(std::vector<float>(100, 0.5f), rate, hop).size(), 3u); // 48 + 48 + 4

    // A 1 kHz sine gains about 0.69 dB through the K-weighting: full scale measures -3.01 LUFS.
    const float amplitude = 0.5f;
    std::vector<float> sine(static_cast<size_t>(rate));
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = amplitude * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi * 1000.0 *
                                                          static_cast<double>(i) / rate));
    const auto powers = traceFramePowers(sine, rate, hop);
    ASSERT_EQ(powers.size(), 1000u);
    double mean = 0.0;
    for (size_t i = 100; i < powers.size(); ++i) // past the filters' settling
        mean += powers[i] / 900.0;
    EXPECT_NEAR(10.0 * std::log10(mean) - 0.691, 20.0 * std::log10(amplitude) - 3.01, 0.02);
}

TEST(MakeupLearning, SimulationKeepsOnePowerPerTraceFrame)
{
    const LevelTrace trace = steadyTrace(100, -20.0);

    const LoudnessSimulation cut = buildLoudnessSimulation(trace, std::vector<double>(101, 0.01), 1);
    EXPECT_EQ(cut.framePowers.size(), 100u);
    EXPECT_EQ(cut.detectorLevels.size(), 100u);
    EXPECT_EQ(cut.character, 1);

    const LoudnessSimulation tooFew = buildLoudnessSimulation(trace, std::vector<double>(99, 0.01), 1);
    EXPECT_TRUE(tooFew.detectorLevels.empty());
}
