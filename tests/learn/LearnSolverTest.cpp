#include "learn/LearnSolver.h"

#include "dsp/GainComputer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace
{

using namespace tq4;

constexpr int universal = 0, vocal = 1, drum = 2, percussion = 3, strings = 9;

// A level trace at 48 kHz, 1 ms frames, holding one peak and one RMS level throughout.
LevelTrace steadyTrace(double peakDb, double rmsDb, size_t frames = 1500)
{
    LevelTrace trace;
    trace.sampleRate = 48000.0;
    trace.hop = 48;
    trace.peak.assign(frames, levelCode(peakDb));
    trace.rms.assign(frames, levelCode(rmsDb));
    return trace;
}

LearnStats statsWith(LevelTrace trace)
{
    LearnStats stats;
    stats.valid = true;
    stats.trace = std::move(trace);
    return stats;
}

LearnStats steadyStats()
{
    return statsWith(steadyTrace(-10.0, -13.0));
}

LearnSolution solutionFor(int character, float ratio = 4.0f, float kneeDb = 6.0f)
{
    LearnSolution s;
    s.valid = true;
    s.character = character;
    s.ratio = ratio;
    s.kneeDb = kneeDb;
    return s;
}

void expectDefaultSolution(const LearnSolution& s, const char* name)
{
    const LearnSolution d;
    EXPECT_FALSE(s.valid) << name;
    EXPECT_EQ(s.thresholdDb, d.thresholdDb) << name;
    EXPECT_EQ(s.ratio, d.ratio) << name;
    EXPECT_EQ(s.attackMs, d.attackMs) << name;
    EXPECT_EQ(s.releaseMs, d.releaseMs) << name;
    EXPECT_EQ(s.kneeDb, d.kneeDb) << name;
    EXPECT_EQ(s.mixPercent, d.mixPercent) << name;
    EXPECT_EQ(s.character, d.character) << name;
    EXPECT_EQ(s.autoRelease, d.autoRelease) << name;
    EXPECT_EQ(s.drivePercent, d.drivePercent) << name;
    EXPECT_EQ(s.driveType, d.driveType) << name;
}

bool allFinite(const LearnSolution& s)
{
    for (const float v :
         {s.thresholdDb, s.ratio, s.attackMs, s.releaseMs, s.kneeDb, s.mixPercent, s.drivePercent})
        if (!std::isfinite(v))
            return false;
    return true;
}

} // namespace

TEST(LearnSolver, UnusableStatisticsGiveTheDefaults)
{
    struct Case
    {
        const char* name;
        std::function<void(LearnStats&)> damage;
    };
    const Case cases[] = {
        {"not valid", [](LearnStats& s) { s.valid = false; }},
        {"empty trace", [](LearnStats& s) { s.trace = {}; }},
        {"no sample rate", [](LearnStats& s) { s.trace.sampleRate = 0.0; }},
        {"NaN sample rate", [](LearnStats& s) { s.trace.sampleRate = std::nan(""); }},
        {"no hop", [](LearnStats& s) { s.trace.hop = 0; }},
        {"lists of different length", [](LearnStats& s) { s.trace.rms.pop_back(); }},
        {"empty lists",
         [](LearnStats& s)
         {
             s.trace.peak.clear();
             s.trace.rms.clear();
         }},
    };
    for (const auto& c : cases)
    {
        auto stats = steadyStats();
        c.damage(stats);
        expectDefaultSolution(solveLearn(stats, universal, 1, 0), c.name);
        expectDefaultSolution(solveLearnRounded(stats, universal, 1, 3), c.name);
    }
}

TEST(LearnSolver, ClosedFormulasFollowTheStatisticsAndTheProfile)
{
    struct Case
    {
        const char* name;
        int source, detail, forcedCharacter;
        std::function<void(LearnStats&)> measure;
        float LearnSolution::*field;
        float expected;
    };
    using Measure = std::function<void(LearnStats&)>;
    const auto rise = [](int count, float ms) -> Measure
    {
        return [=](LearnStats& s)
        {
            s.riseCount = count;
            s.riseMs = ms;
        };
    };
    const auto decay = [](float ms, float rate, float intervalMs) -> Measure
    {
        return [=](LearnStats& s)
        {
            s.decayMs = ms;
            s.onsetRate = rate;
            s.onsetIntervalMs = intervalMs;
        };
    };
    const auto crest = [](float db) -> Measure { return [=](LearnStats& s) { s.crestDb = db; }; };
    const auto spread = [](float db) -> Measure
    {
        return [=](LearnStats& s)
        {
            s.p50Db = -20.0f;
            s.p90Db = -20.0f + db;
        };
    };

    const Case cases[] = {
        // Universal/Natural: attack 10..40 ms, rise factor 2.
        {"few rises: middle of the range", universal, 1, 3, rise(2, 3.0f), &LearnSolution::attackMs, 20.0f},
        {"few rises: riseMs ignored", universal, 1, 3, rise(2, 100.0f), &LearnSolution::attackMs, 20.0f},
        {"fast rise raised to the minimum", universal, 1, 3, rise(3, 3.0f), &LearnSolution::attackMs, 10.0f},
        {"rise times the factor", universal, 1, 3, rise(3, 12.0f), &LearnSolution::attackMs, 24.0f},
        {"slow rise capped", universal, 1, 3, rise(3, 50.0f), &LearnSolution::attackMs, 40.0f},
        {"OPTO stretches the attack", universal, 1, 1, rise(2, 0.0f), &LearnSolution::attackMs, 50.0f},
        {"FET halves the attack", universal, 1, 2, rise(2, 0.0f), &LearnSolution::attackMs, 10.0f},
        // Vocal/Lead: release 60 + up to 100 ms, at least 40.
        {"release limited by onsets", vocal, 0, 1, decay(300.0f, 2.0f, 100.0f), &LearnSolution::releaseMs,
         80.0f},
        {"few onsets: no limit", vocal, 0, 1, decay(300.0f, 0.4f, 100.0f), &LearnSolution::releaseMs, 160.0f},
        {"half the decay span", vocal, 0, 1, decay(165.0f, 0.0f, 1000.0f), &LearnSolution::releaseMs, 110.0f},
        {"FET shortens the release", vocal, 0, 2, decay(300.0f, 0.0f, 1000.0f), &LearnSolution::releaseMs,
         112.0f},
        {"release floor", vocal, 0, 1, decay(300.0f, 2.0f, 10.0f), &LearnSolution::releaseMs, 40.0f},
        // Universal/Natural knee base 6 dB.
        {"knee at low crest", universal, 1, 3, crest(6.0f), &LearnSolution::kneeDb, 6.0f},
        {"knee widens with crest", universal, 1, 3, crest(20.0f), &LearnSolution::kneeDb, 10.0f},
        {"crest term capped", universal, 1, 3, crest(40.0f), &LearnSolution::kneeDb, 10.0f},
        {"OPTO doubles the knee", universal, 1, 1, crest(20.0f), &LearnSolution::kneeDb, 20.0f},
        {"FET narrows the knee", universal, 1, 2, crest(0.0f), &LearnSolution::kneeDb, 1.8f},
        {"knee at least 1 dB", percussion, 2, 2, crest(0.0f), &LearnSolution::kneeDb, 1.0f},
        {"knee at most 24 dB", strings, 2, 1, crest(20.0f), &LearnSolution::kneeDb, 24.0f},
        // Mix falls with crest above 12 dB down to the profile's floor.
        {"Universal keeps full mix", universal, 0, 3, crest(30.0f), &LearnSolution::mixPercent, 100.0f},
        {"Full Kit mixes in", drum, 5, 2, crest(30.0f), &LearnSolution::mixPercent, 64.0f},
        {"Full Kit mix floor", drum, 5, 2, crest(40.0f), &LearnSolution::mixPercent, 55.0f},
        {"low crest: full mix", drum, 5, 2, crest(10.0f), &LearnSolution::mixPercent, 100.0f},
        // Universal/Natural ratio 2.5 + up to 1.5 as the spread grows from 2 to 14 dB.
        {"no spread", universal, 1, 3, spread(0.0f), &LearnSolution::ratio, 2.5f},
        {"half the spread", universal, 1, 3, spread(8.0f), &LearnSolution::ratio, 3.25f},
        {"full spread", universal, 1, 3, spread(20.0f), &LearnSolution::ratio, 4.0f},
        {"Strong reaches 6", universal, 2, 3, spread(14.0f), &LearnSolution::ratio, 6.0f},
        // Drive: TUBE aims for -4.5 dB, moved up by low crest; FET for -7.5 dB with a wider swing.
        {"TUBE drive", universal, 1, 3, crest(10.0f), &LearnSolution::drivePercent, 77.5f},
        {"FET drive at high crest", drum, 0, 2, crest(34.0f), &LearnSolution::drivePercent, 47.890625f},
    };
    for (const auto& c : cases)
    {
        auto stats = steadyStats();
        c.measure(stats);
        const auto s = solveLearn(stats, c.source, c.detail, c.forcedCharacter);
        ASSERT_TRUE(s.valid) << c.name;
        EXPECT_NEAR(s.*c.field, c.expected, 1.0e-4f) << c.name;
        EXPECT_EQ(s.character, c.forcedCharacter) << c.name;
    }

    const auto s = solveLearn(steadyStats(), drum, 5, 2);
    EXPECT_TRUE(s.autoRelease);
    EXPECT_EQ(s.driveType, 3);
}

TEST(LearnSolver, DriveCurveInversion)
{
    struct Case
    {
        int driveType;
        float levelDb, percent;
    };
    const Case cases[] = {
        {0, -6.9f, 50.0f},  {0, -33.6f, 5.0f},  {0, -40.0f, (1.0f - 6.4f / 7.0f) * 5.0f},
        {0, -100.0f, 0.0f}, {0, 0.0f, 100.0f},  {0, 3.0f, 100.0f},
        {1, -12.1f, 50.0f}, {2, -6.65f, 72.5f}, {3, -1.4f, 95.0f},
        {7, -1.4f, 95.0f},  {-1, -6.9f, 50.0f}, {0, std::nanf(""), 0.0f},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(drivePercentForLevel(c.driveType, c.levelDb), c.percent, 1.0e-3f)
            << "type " << c.driveType << " level " << c.levelDb;

    // Every tabulated point inverts to its own amount.
    for (int type = 0; type < 4; ++type)
        for (size_t i = 0; i < 20; ++i)
            EXPECT_NEAR(drivePercentForLevel(type, driveLevelCurveDb(type)[i]),
                        5.0f * static_cast<float>(i + 1), 1.0e-3f);
}

TEST(LearnSolver, CharacterChoiceNeedsAClearlyBetterScore)
{
    struct Case
    {
        const char* name;
        int source, detail;
        float riseMs, crestDb, hfRatio, sustain;
        int expected;
    };
    const Case cases[] = {
        {"FET 3.2 beats VCA", universal, 0, 2.0f, 16.0f, 0.12f, 0.0f, 2},
        {"FET 3.0 does not", universal, 0, 2.0f, 16.0f, 0.05f, 0.0f, 3},
        {"slow sustained material leaves FET for OPTO", drum, 0, 60.0f, 8.0f, 0.0f, 0.2f, 1},
        {"VCA when FET scores nothing", drum, 0, 20.0f, 8.0f, 0.0f, 0.0f, 3},
        {"OPTO source keeps OPTO", vocal, 0, 40.0f, 10.0f, 0.1f, 0.6f, 1},
    };
    for (const auto& c : cases)
    {
        auto stats = steadyStats();
        stats.riseMs = c.riseMs;
        stats.crestDb = c.crestDb;
        stats.hfRatio = c.hfRatio;
        stats.sustain = c.sustain;
        EXPECT_EQ(chooseCharacter(stats, sourceProfile(c.source, c.detail)), c.expected) << c.name;
        EXPECT_EQ(solveLearn(stats, c.source, c.detail, 0).character, c.expected) << c.name;
    }
}

TEST(LearnSolver, RatioAndKneeScaleWithTheTarget)
{
    const auto natural = sourceProfile(universal, 1); // default target 4 dB, ratio up to 5
    struct Case
    {
        const char* name;
        float ratio, kneeDb, targetDb;
        float expectedRatio, expectedKneeDb;
    };
    const Case cases[] = {
        {"at the default target", 2.0f, 4.8f, 4.0f, 2.0f, 4.8f},
        {"four times the target doubles", 2.0f, 4.8f, 16.0f, 3.0f, 9.6f},
        {"caps", 4.0f, 15.0f, 16.0f, 5.0f, 24.0f},
        {"below 1 dB acts as 1 dB", 2.0f, 4.8f, 0.0f, 1.5f, 2.4f},
        {"above 20 dB acts as 20 dB", 1.5f, 2.0f, 100.0f, 1.0f + 0.5f * std::sqrt(5.0f), 4.56f},
        {"onto the grids", 2.346f, 5.0f, 4.0f, 2.35f, 5.04f},
        {"ratio floor", 1.0f, 0.5f, 4.0f, 1.2f, 0.96f},
    };
    for (const auto& c : cases)
    {
        const auto rk = ratioKneeForTarget(solutionFor(3, c.ratio, c.kneeDb), natural, c.targetDb);
        EXPECT_NEAR(rk.ratio, c.expectedRatio, 0.005f) << c.name;
        EXPECT_NEAR(rk.kneeDb, c.expectedKneeDb, 1.0e-4f) << c.name;
        EXPECT_NEAR(rk.ratio * 100.0f, std::round(rk.ratio * 100.0f), 1.0e-3f) << c.name;
        EXPECT_NEAR(rk.kneeDb / 24.0f * 100.0f, std::round(rk.kneeDb / 24.0f * 100.0f), 1.0e-3f) << c.name;
    }

    const auto rk = ratioKneeForTarget(solutionFor(3, 2.0f, 4.8f), natural, std::nanf(""));
    EXPECT_TRUE(std::isfinite(rk.ratio) && std::isfinite(rk.kneeDb));
}

TEST(LearnSolver, DetectorFollowsEachCharactersBalance)
{
    // Steady -10 dBFS peaks over -13 dBFS RMS: FET hears the peak, OPTO the RMS, VCA the dB average.
    const auto trace = steadyTrace(-10.0, -13.0);
    const std::pair<int, float> cases[] = {{2, -10.0f}, {1, -13.0f}, {3, -11.5f}, {0, -11.5f}};
    for (const auto& [character, expectedDb] : cases)
    {
        const auto levels = detectorLevels(trace, character);
        ASSERT_EQ(levels.size(), trace.peak.size());
        EXPECT_NEAR(levels.back(), expectedDb, 0.01f) << character;
    }

    const auto silent = detectorLevels(steadyTrace(-120.0, -120.0), 3);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float db) { return db == -100.0f; }));
}

TEST(LearnSolver, SteadyMaterialSimulatesToTheStaticCurve)
{
    const auto stats = steadyStats();
    const std::pair<int, float> detector[] = {{3, -11.5f}, {2, -10.0f}, {1, -13.0f}};
    for (const auto& [character, levelDb] : detector)
        for (const float thresholdDb : {-30.0f, -20.0f, -12.0f})
        {
            const auto context = buildSimulation(stats, solutionFor(character));
            const float expected = staticGainReductionDb(levelDb, thresholdDb, 4.0f, 6.0f, character);
            EXPECT_NEAR(simulateGainReduction(context, thresholdDb, 4.0f, 6.0f), expected, 0.02f)
                << "character " << character << " threshold " << thresholdDb;
        }
}

TEST(LearnSolver, MeasureIsTheUpperQuantileOfTheWindowsThatCompress)
{
    // Equal peak and RMS codes put the VCA detector right on the level. Against a -40 dB threshold at
    // 4:1, -30 dBFS gives 7.5 dB and -20 dBFS 15 dB of reduction; silence gives none.
    struct Segment
    {
        size_t frames;
        double levelDb;
    };
    struct Case
    {
        const char* name;
        std::vector<Segment> segments;
        float releaseMs;
        float expectedDb;
    };
    const float low = 7.5f, high = 15.0f;
    const Case cases[] = {
        {"a fifth of the windows high", {{8000, -30.0}, {2000, -20.0}}, 1.0f, high},
        {"two percent high stay above the quantile", {{9800, -30.0}, {200, -20.0}}, 1.0f, low},
        {"silent windows are left out", {{9700, -120.0}, {300, -30.0}}, 1.0f, low},
    };
    for (const auto& c : cases)
    {
        LevelTrace trace = steadyTrace(0.0, 0.0, 0);
        for (const auto& segment : c.segments)
        {
            trace.peak.insert(trace.peak.end(), segment.frames, levelCode(segment.levelDb));
            trace.rms.insert(trace.rms.end(), segment.frames, levelCode(segment.levelDb));
        }
        auto solution = solutionFor(3);
        solution.attackMs = 0.01f;
        solution.releaseMs = c.releaseMs;
        const auto context = buildSimulation(statsWith(trace), solution);
        EXPECT_NEAR(simulateGainReduction(context, -40.0f, 4.0f, 0.96f), c.expectedDb, 0.05f) << c.name;
    }

    // Short bursts every two seconds: a fast release measures the quiet level, a slow one holds the bursts'.
    LevelTrace bursts = steadyTrace(0.0, 0.0, 0);
    for (int second = 0; second < 10; ++second)
        for (const auto& [frames, levelDb] : {std::pair{1980, -30.0}, std::pair{20, -20.0}})
        {
            bursts.peak.insert(bursts.peak.end(), static_cast<size_t>(frames), levelCode(levelDb));
            bursts.rms.insert(bursts.rms.end(), static_cast<size_t>(frames), levelCode(levelDb));
        }
    auto fast = solutionFor(3);
    fast.attackMs = 0.01f;
    fast.releaseMs = 1.0f;
    auto slow = fast;
    slow.releaseMs = 2000.0f;
    auto automatic = slow;
    automatic.autoRelease = true; // VCA's own 100 ms plus the slow path
    const auto measure = [&](const LearnSolution& s)
    { return simulateGainReduction(buildSimulation(statsWith(bursts), s), -40.0f, 4.0f, 0.96f); };
    EXPECT_NEAR(measure(fast), low, 0.05f);
    EXPECT_GT(measure(slow), low + 3.0f);
    EXPECT_GT(measure(automatic), low + 0.5f);
    EXPECT_LT(measure(automatic), measure(slow));
}

TEST(LearnSolver, ThresholdMeetsTheTarget)
{
    const auto stats = steadyStats();
    const auto vca = solutionFor(3);
    for (const float targetDb : {2.0f, 4.5f, 10.0f})
    {
        // Beyond the knee a 4:1 ratio reduces 0.75 dB per dB over the -11.5 dBFS detector level.
        const float thresholdDb = solveThreshold(stats, vca, targetDb, 4.0f, 0.96f);
        EXPECT_NEAR(thresholdDb, -11.5f - targetDb / 0.75f, 0.01f) << targetDb;
        EXPECT_NEAR(simulateGainReduction(buildSimulation(stats, vca), thresholdDb, 4.0f, 0.96f), targetDb,
                    0.01f);
    }

    EXPECT_EQ(solveThreshold(stats, vca, 40.0f, 4.0f, 0.96f), -60.0f) << "unreachable";
    EXPECT_EQ(solveThreshold(LearnStats{}, vca, 4.0f, 4.0f, 0.96f), -1.0f) << "no detector levels";
    EXPECT_TRUE(std::isfinite(solveThreshold(stats, vca, std::nanf(""), 4.0f, 0.96f)));
    EXPECT_TRUE(std::isfinite(solveThreshold(stats, vca, 4.0f, 4.0f, 0.0f))) << "zero knee";
}

TEST(LearnSolver, SilenceNeverReachesATarget)
{
    const auto silence = statsWith(steadyTrace(-120.0, -120.0));
    const auto context = buildSimulation(silence, solutionFor(3));
    for (const float thresholdDb : {-60.0f, -30.0f, -1.0f})
        EXPECT_EQ(simulateGainReduction(context, thresholdDb, 20.0f, 1.0f), 0.0f);
    for (const float targetDb : {0.1f, 1.0f, 20.0f})
        EXPECT_EQ(solveThreshold(silence, solutionFor(3), targetDb, 4.0f, 6.0f), -60.0f);
}

TEST(LearnSolver, InconsistentSimulationMeasuresNothing)
{
    struct Case
    {
        const char* name;
        std::function<void(SimulationContext&)> damage;
    };
    const Case cases[] = {
        {"no sample rate", [](SimulationContext& x) { x.sampleRate = 0.0; }},
        {"no hop", [](SimulationContext& x) { x.hop = 0; }},
        {"detector levels short", [](SimulationContext& x) { x.detectorLevels.pop_back(); }},
        {"RMS list short", [](SimulationContext& x) { x.rms.pop_back(); }},
        {"empty", [](SimulationContext& x) { x = {}; }},
    };
    const auto good = buildSimulation(steadyStats(), solutionFor(3));
    ASSERT_GT(simulateGainReduction(good, -30.0f, 4.0f, 6.0f), 1.0f);
    for (const auto& c : cases)
    {
        auto context = good;
        c.damage(context);
        EXPECT_EQ(simulateGainReduction(context, -30.0f, 4.0f, 6.0f), 0.0f) << c.name;
    }

    const float nan = std::nanf("");
    EXPECT_EQ(simulateGainReduction(good, nan, 4.0f, 6.0f), 0.0f);
    EXPECT_EQ(simulateGainReduction(good, -30.0f, nan, 6.0f), 0.0f);
    auto badTimes = good;
    badTimes.attackMs = nan;
    badTimes.releaseMs = -5.0f;
    EXPECT_TRUE(std::isfinite(simulateGainReduction(badTimes, -30.0f, 4.0f, 0.0f)));
}

TEST(LearnSolver, RoundedSolutionLandsOnTheParameterGrids)
{
    auto stats = steadyStats();
    stats.crestDb = 3.0f;
    stats.p50Db = -13.5f;
    stats.p90Db = -12.0f;

    for (const auto& [source, detail] : {std::pair{universal, 1}, std::pair{vocal, 0}, std::pair{drum, 5}})
    {
        const auto rounded = solveLearnRounded(stats, source, detail, 0);
        ASSERT_TRUE(rounded.valid);
        EXPECT_NEAR(rounded.thresholdDb * 10.0f, std::round(rounded.thresholdDb * 10.0f), 1.0e-3f);
        EXPECT_GE(rounded.thresholdDb, -60.0f);
        EXPECT_LE(rounded.thresholdDb, -1.0f);

        // The same as the target path at the profile's own target, rounded to 0.1 dB.
        const auto profile = sourceProfile(source, detail);
        const auto plain = solveLearn(stats, source, detail, 0);
        const auto target = solveForTarget(stats, plain, profile, profile.defaultTargetDb);
        EXPECT_EQ(rounded.ratio, target.ratio);
        EXPECT_EQ(rounded.kneeDb, target.kneeDb);
        EXPECT_NEAR(rounded.thresholdDb, target.thresholdDb, 0.05f + 1.0e-4f);
        EXPECT_EQ(rounded.attackMs, plain.attackMs);
        EXPECT_EQ(rounded.character, plain.character);

        // And that threshold does meet the target on the simulation.
        const auto measured = simulateGainReduction(buildSimulation(stats, plain), target.thresholdDb,
                                                    target.ratio, target.kneeDb);
        EXPECT_NEAR(measured, profile.defaultTargetDb, 0.01f);
    }
}

TEST(LearnSolver, NonFiniteStatisticsStillGiveAFiniteSolution)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto stats = steadyStats();
    stats.crestDb = inf;
    stats.p50Db = nan;
    stats.p90Db = -inf;
    stats.riseMs = nan;
    stats.riseCount = 10;
    stats.decayMs = inf;
    stats.onsetRate = nan;
    stats.onsetIntervalMs = nan;
    stats.hfRatio = nan;
    stats.sustain = -inf;

    for (const int forced : {0, 1, 2, 3, 7})
    {
        const auto s = solveLearn(stats, drum, 0, forced);
        EXPECT_TRUE(s.valid) << forced;
        EXPECT_TRUE(allFinite(s)) << forced;
        EXPECT_GE(s.character, 1);
        EXPECT_LE(s.character, 3);

        const auto rounded = solveLearnRounded(stats, drum, 0, forced);
        EXPECT_TRUE(allFinite(rounded)) << forced;
    }
}
