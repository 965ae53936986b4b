#include "learn/LearnSolver.h"

#include "dsp/CharacterVoicing.h"
#include "dsp/GainComputer.h"
#include "dsp/VectorClones.h"
#include "learn/Quantile.h"

#include <algorithm>
#include <cmath>

namespace tq4
{

namespace
{

constexpr float lowestThresholdDb = -60.0f;
constexpr float highestThresholdDb = -1.0f;
constexpr int bisectionSteps = 18;
constexpr double windowSamples = 512.0;
constexpr float windowFloorDb = 0.05f;

constexpr std::array<std::array<float, 20>, 4> driveLevelCurves{{
    {-33.6f, -26.6f, -22.1f, -18.6f, -15.7f, -13.2f, -10.9f, -9.1f, -7.7f, -6.9f,
     -6.3f,  -5.8f,  -5.3f,  -4.8f,  -4.2f,  -3.6f,  -2.9f,  -2.1f, -1.2f, 0.0f}, // TUBE
    {-53.1f, -43.7f, -37.3f, -31.5f, -25.8f, -21.4f, -18.1f, -15.6f, -13.7f, -12.1f,
     -10.8f, -9.7f,  -8.7f,  -7.7f,  -6.6f,  -5.5f,  -4.3f,  -3.0f,  -1.6f,  0.0f}, // TRANSFORMER
    {-39.6f, -32.6f, -28.2f, -24.9f, -22.3f, -19.8f, -17.5f, -15.4f, -13.6f, -12.0f,
     -10.6f, -9.4f,  -8.3f,  -7.2f,  -6.1f,  -5.0f,  -3.8f,  -2.6f,  -1.3f,  0.0f}, // TAPE
    {-55.3f, -45.4f, -37.0f, -30.4f, -25.4f, -21.5f, -18.6f, -16.2f, -14.2f, -12.6f,
     -11.3f, -10.0f, -8.8f,  -7.6f,  -6.4f,  -5.2f,  -4.0f,  -2.7f,  -1.4f,  0.0f}, // FET
}};

// clamp(x, lo, hi) as the formulas read it: lo below, then capped at hi; NaN is taken as lo so no
// formula can pass one on.
float limit(float x, float lo, float hi) noexcept
{
    if (!(x >= lo))
        return lo;
    return std::min(hi, x);
}

float finiteOr(float x, float fallback) noexcept
{
    return std::isfinite(x) ? x : fallback;
}

// The scalar figures with anything non-finite (a damaged stored state) replaced by its default; the
// trace is left out, the simulation reads it from the original.
LearnStats finiteFigures(const LearnStats& stats)
{
    const LearnStats d;
    LearnStats f;
    f.valid = stats.valid;
    f.peakDb = finiteOr(stats.peakDb, d.peakDb);
    f.rmsDb = finiteOr(stats.rmsDb, d.rmsDb);
    f.crestDb = finiteOr(stats.crestDb, d.crestDb);
    f.p50Db = finiteOr(stats.p50Db, d.p50Db);
    f.p75Db = finiteOr(stats.p75Db, d.p75Db);
    f.p90Db = finiteOr(stats.p90Db, d.p90Db);
    f.p95Db = finiteOr(stats.p95Db, d.p95Db);
    f.riseMs = finiteOr(stats.riseMs, d.riseMs);
    f.riseCount = stats.riseCount;
    f.onsetRate = finiteOr(stats.onsetRate, d.onsetRate);
    f.onsetIntervalMs = finiteOr(stats.onsetIntervalMs, d.onsetIntervalMs);
    f.decayMs = finiteOr(stats.decayMs, d.decayMs);
    f.decayCount = stats.decayCount;
    f.hfRatio = finiteOr(stats.hfRatio, d.hfRatio);
    f.sustain = finiteOr(stats.sustain, d.sustain);
    f.seconds = finiteOr(stats.seconds, d.seconds);
    return f;
}

float fetScore(const LearnStats& s) noexcept
{
    const float rise = std::clamp(-(s.riseMs - 20.0f) * 2.0f / 18.0f, 0.0f, 2.0f);
    const float crest = std::clamp((s.crestDb - 8.0f) * 1.5f / 12.0f, 0.0f, 1.5f);
    const float hf = std::clamp((s.hfRatio - 0.05f) / 0.35f, 0.0f, 1.0f);
    return (crest + rise) + hf;
}

float optoScore(const LearnStats& s) noexcept
{
    const float sustain = std::clamp((s.sustain - 0.2f) * 1.5f / 0.6f, 0.0f, 1.5f);
    const float rise = std::clamp((s.riseMs - 5.0f) * 2.0f / 55.0f, 0.0f, 2.0f);
    const float crest = std::clamp(-(s.crestDb - 20.0f) / 14.0f, 0.0f, 1.0f);
    return (sustain + rise) + crest;
}

constexpr float vcaScore = 1.6f;

float characterScore(int character, const LearnStats& s) noexcept
{
    if (character == characterFet)
        return fetScore(s);
    if (character == characterOpto)
        return optoScore(s);
    return vcaScore;
}

bool isUsableTrace(const LevelTrace& trace) noexcept
{
    return isValidTrace(trace) && std::isfinite(trace.sampleRate);
}

// Decoded linear values of every level code, built once.
struct CodeTables
{
    std::array<float, 256> amplitude{};
    std::array<float, 256> meanSquare{};

    CodeTables()
    {
        for (size_t code = 1; code < 256; ++code)
        {
            const double db = static_cast<double>(code) * 0.5 - 100.0;
            amplitude[code] = static_cast<float>(std::pow(10.0, db * 0.05));
            meanSquare[code] = static_cast<float>(std::pow(10.0, db * 0.1));
        }
    }
};

const CodeTables& codeTables()
{
    static const CodeTables tables;
    return tables;
}

float amplitudeDb(float a) noexcept
{
    return a > 0.0f ? std::max(20.0f * std::log10(a), -100.0f) : -100.0f;
}

} // namespace

CharacterFactors characterFactors(int character) noexcept
{
    if (character == characterOpto)
        return {2.5f, 1.0f, 2.0f};
    if (character == characterFet)
        return {0.5f, 0.7f, 0.3f};
    return {};
}

const std::array<float, 20>& driveLevelCurveDb(int driveType) noexcept
{
    return driveLevelCurves[static_cast<size_t>(std::clamp(driveType, 0, 3))];
}

float drivePercentForLevel(int driveType, float levelDb) noexcept
{
    if (std::isnan(levelDb))
        return 0.0f;
    if (levelDb >= 0.0f)
        return 100.0f;

    const auto& y = driveLevelCurveDb(driveType);
    if (levelDb <= y[0])
        return std::max(0.0f, (1.0f - (y[0] - levelDb) / std::max(y[1] - y[0], 0.001f)) * 5.0f);

    for (size_t j = 1; j < y.size(); ++j)
        if (levelDb <= y[j])
            return ((levelDb - y[j - 1]) / std::max(y[j] - y[j - 1], 1.0e-6f) + static_cast<float>(j)) * 5.0f;
    return 100.0f;
}

float roundToStep(float value, float step) noexcept
{
    if (!(step > 0.0f))
        return value;
    return std::round(value / step) * step;
}

bool isUsableForSolving(const LearnStats& stats) noexcept
{
    return stats.valid && isUsableTrace(stats.trace);
}

namespace
{

// solveLearn up to its threshold, which is left at the default: solveLearnRounded solves its own.
LearnSolution solveLearnFigures(const LearnStats& stats, int source, int detail, int forcedCharacter,
                                bool solveTheThreshold)
{
    LearnSolution solution;
    if (!isUsableForSolving(stats))
        return solution;

    const LearnStats s = finiteFigures(stats);
    const SourceProfile p = sourceProfile(source, detail);
    solution.valid = true;

    const int character = forcedCharacter >= characterOpto && forcedCharacter <= characterVca
                              ? forcedCharacter
                              : chooseCharacter(s, p);
    const CharacterFactors factors = characterFactors(character);
    solution.character = character;

    const float spreadDb = std::max(s.p90Db - s.p50Db, 0.0f);
    const float ratio = std::clamp((spreadDb - 2.0f) / 12.0f, 0.0f, 1.0f) * p.ratioSpread + p.ratioBase;
    solution.ratio = limit(ratio, 1.2f, p.ratioMax);

    const float attack =
        s.riseCount < 3 ? std::sqrt(p.attackMaxMs * p.attackMinMs) : p.attackRiseFactor * s.riseMs;
    solution.attackMs = factors.attack * limit(attack, p.attackMinMs, p.attackMaxMs);

    // A release longer than the gap between onsets would never let go before the next hit.
    float release =
        std::clamp((s.decayMs - 30.0f) / 270.0f, 0.0f, 1.0f) * p.releaseDecaySpanMs + p.releaseBaseMs;
    if (s.onsetRate > 0.5f && release > 0.8f * s.onsetIntervalMs)
        release = 0.8f * s.onsetIntervalMs;
    solution.releaseMs =
        std::max(std::min(p.releaseDecaySpanMs + p.releaseBaseMs, release), p.releaseMinMs) * factors.release;

    solution.autoRelease = p.autoRelease;

    const float knee =
        (std::clamp((s.crestDb - 6.0f) * 4.0f / 14.0f, 0.0f, 4.0f) + p.kneeBaseDb) * factors.knee;
    solution.kneeDb = limit(knee, 1.0f, 24.0f);

    if (solveTheThreshold)
        solution.thresholdDb =
            solveThreshold(stats, solution, p.defaultTargetDb, solution.ratio, solution.kneeDb);

    const float mix = p.mixCeiling - 2.0f * std::max(s.crestDb - 12.0f, 0.0f);
    solution.mixPercent = limit(mix, p.mixFloor, 100.0f);

    solution.driveType = p.driveType;
    const float k = std::clamp(1.15f - (s.crestDb - 10.0f) * 0.5f / 12.0f, 0.65f, 1.15f);
    const float span = p.driveType == 2 ? 3.5f : (p.driveType == 3 ? 16.5f : 4.0f);
    const float driveLevelDb = std::clamp((k - 1.0f) * span + p.driveLevelDb, -40.0f, 0.0f);
    solution.drivePercent = drivePercentForLevel(p.driveType, driveLevelDb);

    return solution;
}

} // namespace

LearnSolution solveLearn(const LearnStats& stats, int source, int detail, int forcedCharacter)
{
    return solveLearnFigures(stats, source, detail, forcedCharacter, true);
}

int solvedCharacter(const LearnStats& stats, int source, int detail)
{
    if (!isUsableForSolving(stats))
        return LearnSolution{}.character;
    return chooseCharacter(finiteFigures(stats), sourceProfile(source, detail));
}

LearnSolution solveLearnRounded(const LearnStats& stats, int source, int detail, int forcedCharacter)
{
    // The threshold for the profile's own ratio and knee would be replaced below: not solved.
    LearnSolution solution = solveLearnFigures(stats, source, detail, forcedCharacter, false);
    if (!solution.valid)
        return solution;

    const SourceProfile p = sourceProfile(source, detail);
    const float targetDb = limit(p.defaultTargetDb, 1.0f, 20.0f);
    const RatioKnee rk = ratioKneeForTarget(solution, p, targetDb);
    const float thresholdDb = solveThreshold(stats, solution, targetDb, rk.ratio, rk.kneeDb);

    solution.ratio = rk.ratio;
    solution.kneeDb = rk.kneeDb;
    solution.thresholdDb = std::clamp(roundToStep(thresholdDb, 0.1f), lowestThresholdDb, highestThresholdDb);
    return solution;
}

int chooseCharacter(const LearnStats& stats, const SourceProfile& profile) noexcept
{
    const int standard = profile.character;
    const float standardScore = characterScore(standard, stats);

    int best = 0;
    float bestScore = 0.0f;
    for (const int candidate : {characterFet, characterOpto, characterVca})
    {
        if (candidate == standard)
            continue;
        const float score = characterScore(candidate, stats);
        if (best == 0 || score > bestScore)
        {
            best = candidate;
            bestScore = score;
        }
    }

    return bestScore - standardScore >= 1.5f ? best : standard;
}

RatioKnee ratioKneeForTarget(const LearnSolution& solution, const SourceProfile& profile,
                             float targetDb) noexcept
{
    const float target = limit(targetDb, 1.0f, 20.0f);
    const float k = std::sqrt(target / std::fmax(profile.defaultTargetDb, 0.1f));

    RatioKnee rk;
    float ratio = (solution.ratio - 1.0f) * k + 1.0f;
    ratio = limit(ratio, 1.2f, std::max(profile.ratioMax, 1.2f));
    ratio = std::round(ratio * 100.0f) * 0.01f;
    rk.ratio = limit(ratio, 1.0f, 20.0f);

    const float width = limit(k * solution.kneeDb, 1.0f, 24.0f);
    const float percent =
        std::clamp(std::round(std::clamp(width / 24.0f * 100.0f, 0.0f, 100.0f)), 0.0f, 100.0f);
    rk.kneeDb = percent * 0.01f * 24.0f;
    return rk;
}

float solveThreshold(const LearnStats& stats, const LearnSolution& solution, float targetDb, float ratio,
                     float kneeDb)
{
    const SimulationContext context = buildSimulation(stats, solution);
    if (context.detectorLevels.empty())
        return highestThresholdDb;

    if (simulateGainReduction(context, lowestThresholdDb, ratio, kneeDb) < targetDb)
        return lowestThresholdDb;

    float lo = lowestThresholdDb;
    float hi = highestThresholdDb;
    for (int step = 0; step < bisectionSteps; ++step)
    {
        const float mid = (hi + lo) * 0.5f;
        if (simulateGainReduction(context, mid, ratio, kneeDb) > targetDb)
            lo = mid;
        else
            hi = mid;
    }
    return std::clamp((hi + lo) * 0.5f, lowestThresholdDb, highestThresholdDb);
}

TargetSettings solveForTarget(const LearnStats& stats, const LearnSolution& solution,
                              const SourceProfile& profile, float targetDb)
{
    const float target = limit(targetDb, 1.0f, 20.0f);
    const RatioKnee rk = ratioKneeForTarget(solution, profile, target);

    TargetSettings settings;
    settings.ratio = rk.ratio;
    settings.kneeDb = rk.kneeDb;
    settings.thresholdDb = solveThreshold(stats, solution, target, rk.ratio, rk.kneeDb);
    return settings;
}

SimulationContext buildSimulation(const LearnStats& stats, const LearnSolution& solution)
{
    SimulationContext context;
    context.sampleRate = stats.trace.sampleRate;
    context.hop = stats.trace.hop;
    context.peak = stats.trace.peak;
    context.rms = stats.trace.rms;
    context.attackMs = solution.attackMs;
    context.releaseMs = solution.releaseMs;
    context.character = solution.character;
    context.autoRelease = solution.autoRelease;
    context.detectorLevels = detectorLevels(stats.trace, solution.character);
    return context;
}

std::vector<float> detectorLevels(const LevelTrace& trace, int character)
{
    std::vector<float> levels;
    if (!isUsableTrace(trace))
        return levels;

    const CharacterVoicing v = characterVoicing(character);
    const double framePeriod = -static_cast<double>(trace.hop) / trace.sampleRate;
    const auto wp = static_cast<float>(std::exp(framePeriod / (v.peakReleaseMs * 0.001)));
    const float rmsWindowMs = v.rmsWindowMs > 0.0f ? v.rmsWindowMs : 5.0f;
    const auto wr = static_cast<float>(std::exp(framePeriod / (rmsWindowMs * 0.001)));
    const float blend = v.peakRmsBlend;
    const auto& tables = codeTables();

    levels.reserve(trace.peak.size());
    float peakFollower = 0.0f;
    float meanSquare = 0.0f;
    for (size_t i = 0; i < trace.peak.size(); ++i)
    {
        const float p = tables.amplitude[trace.peak[i]];
        const float q = tables.meanSquare[trace.rms[i]];
        // The RMS term keeps a frame's peak follower from dropping below the level it carries.
        peakFollower = std::max(p, std::sqrt(q) * (1.0f - wp) * 0.9f + peakFollower * wp);
        meanSquare = (1.0f - wr) * q + meanSquare * wr;

        if (blend >= 1.0f)
            levels.push_back(amplitudeDb(peakFollower));
        else if (blend <= 0.0f)
            levels.push_back(amplitudeDb(std::sqrt(meanSquare)));
        else
            levels.push_back((1.0f - blend) * amplitudeDb(std::sqrt(meanSquare)) +
                             blend * amplitudeDb(peakFollower));
    }
    return levels;
}

TraceCompressor::TraceCompressor(double sampleRate, int hop, float attackMs, float releaseMs, int character,
                                 bool autoRelease, float thresholdDbIn, float ratioIn, float kneeDb) noexcept
    : thresholdDb(thresholdDbIn), ratio(ratioIn)
{
    const CharacterVoicing v = characterVoicing(character);
    const float release = autoRelease ? v.autoReleaseMs : releaseMs;
    slowWeight = v.slowRelease || autoRelease ? 1.0f : 0.0f;

    // fmax/fmin also turn a NaN time into its limit.
    const double framePeriod = -static_cast<double>(hop) / sampleRate;
    const double attackS = std::fmax(std::fmax(attackMs * 0.001, 0.00005), 1.0e-6);
    const double releaseS = std::fmax(release * 0.001, 0.001);
    attackCoeff = static_cast<float>(std::exp(framePeriod / attackS));
    releaseCoeff = static_cast<float>(std::exp(framePeriod / releaseS));
    slowAttackCoeff =
        static_cast<float>(std::exp(framePeriod / (std::fmax(attackS * 1000.0, 400.0) * 0.001)));
    slowReleaseCoeff = static_cast<float>(
        std::exp(framePeriod / (std::fmin(std::fmax(releaseS * 1000.0, 1.0) * 6.0, 4000.0) * 0.001)));

    fet = character == characterFet ? 1.0f : 0.0f;
    opto = character == characterOpto ? 1.0f : 0.0f;
    // The engine never runs a knee narrower than 0.01 dB; neither does its model.
    knee = std::fmax(kneeDb, 0.01f);
    optoPerDb = 0.04f * opto * ratio;
    ratioAtLeastOne = ratio >= 1.0f;
}

namespace
{

// TraceCompressor::target without OPTO, for every frame: with steady controls the curve depends on the
// level alone.
TQ4_VECTOR_CLONES
void steadyTargets(const float* __restrict levelsDb, float* __restrict targets, size_t n, float thresholdDb,
                   float kneeDb, float ratio, float fet) noexcept
{
    if (fet == 0.0f)
    {
        const float r = std::max(ratio, 1.0f);
        for (size_t i = 0; i < n; ++i)
        {
            const float shape = gainComputerShapeDb(levelsDb[i] - thresholdDb, kneeDb);
            targets[i] = shape - shape / r;
        }
        return;
    }
    for (size_t i = 0; i < n; ++i)
    {
        const float over = levelsDb[i] - thresholdDb;
        const float shape = gainComputerShapeDb(over, kneeDb);
        const float r = std::max(fetScaledRatio(over, fet, ratio), 1.0f);
        targets[i] = shape - shape / r;
    }
}

} // namespace

void TraceCompressor::run(const float* detectorLevelsDb, float* reductions, size_t n) noexcept
{
    // A copy, so that the state stays in registers.
    TraceCompressor c = *this;
    if (c.curveFollowsReduction())
    {
        for (size_t i = 0; i < n; ++i)
            reductions[i] = c.step(detectorLevelsDb[i]);
    }
    else
    {
        steadyTargets(detectorLevelsDb, reductions, n, c.thresholdDb, c.knee, c.ratio, c.fet);
        for (size_t i = 0; i < n; ++i)
            reductions[i] = c.follow(reductions[i]);
    }
    *this = c;
}

float simulateGainReduction(const SimulationContext& context, float thresholdDb, float ratio, float kneeDb)
{
    const size_t frames = context.peak.size();
    if (!(context.sampleRate > 0.0) || !std::isfinite(context.sampleRate) || context.hop <= 0 ||
        frames == 0 || context.rms.size() != frames || context.detectorLevels.size() != frames)
        return 0.0f;
    if (!std::isfinite(thresholdDb) || !std::isfinite(ratio) || !std::isfinite(kneeDb))
        return 0.0f;

    TraceCompressor compressor(context.sampleRate, context.hop, context.attackMs, context.releaseMs,
                               context.character, context.autoRelease, thresholdDb, ratio, kneeDb);

    std::vector<float> windowMaxima;
    windowMaxima.reserve(static_cast<size_t>(static_cast<double>(frames) * context.hop / windowSamples) + 2);

    std::vector<float> reductions(frames);
    compressor.run(context.detectorLevels.data(), reductions.data(), frames);

    float windowMax = 0.0f;
    int64_t window = 0;
    const auto hop = static_cast<double>(context.hop);
    for (size_t i = 0; i < frames; ++i)
    {
        const float out = reductions[i];

        const auto frameWindow = static_cast<int64_t>((static_cast<double>(i) + 0.5) * hop / windowSamples);
        if (frameWindow != window)
        {
            if (windowMax > windowFloorDb)
                windowMaxima.push_back(windowMax);
            windowMax = 0.0f;
            window = frameWindow;
        }
        windowMax = std::max(out, windowMax);
    }
    if (windowMax > windowFloorDb)
        windowMaxima.push_back(windowMax);

    std::sort(windowMaxima.begin(), windowMaxima.end());
    return sortedQuantile(windowMaxima, 0.95, 0.0f);
}

} // namespace tq4
