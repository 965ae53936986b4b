#include "learn/MakeupLearning.h"

#include "dsp/CharacterVoicing.h"
#include "dsp/CompressorEngine.h"
#include "dsp/GainComputer.h"
#include "dsp/Makeup.h"
#include "learn/MakeupTexts.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <system_error>
#include <thread>

namespace tq4
{

namespace
{

constexpr int needBlockSize = 512;
constexpr float lowestThresholdDb = -60.0f;
constexpr float lightReductionDb = 0.05f;
constexpr int points = EngineSettings::correctionPoints;

EngineSettings solutionSettings(const LearnSolution& s, int character)
{
    EngineSettings settings;
    settings.thresholdDb = s.thresholdDb;
    settings.ratio = s.ratio;
    settings.attackMs = s.attackMs;
    settings.releaseMs = s.releaseMs;
    settings.kneeDb = s.kneeDb;
    settings.mix = s.mixPercent * 0.01f;
    settings.autoRelease = s.autoRelease;
    settings.character = character;
    return settings;
}

MakeupCorrectionCurve straightLine(float estimateDb, float needDb)
{
    MakeupCorrectionCurve curve;
    for (int i = 0; i < points; ++i)
    {
        const float t = static_cast<float>(i) / static_cast<float>(points - 1);
        curve.x[i] = estimateDb * t;
        curve.y[i] = (needDb - estimateDb) * t;
    }
    curve.valid = true;
    return curve;
}

float pointThresholdDb(float learnedDb, float offsetDb)
{
    const float t = learnedDb + offsetDb;
    return t < lowestThresholdDb ? lowestThresholdDb : std::min(0.0f, t);
}

// Joins on every way out: a joinable std::thread left behind would terminate the host.
struct JoinOnExit
{
    std::thread* threads;
    size_t count;

    ~JoinOnExit()
    {
        for (size_t i = 0; i < count; ++i)
            if (threads[i].joinable())
                threads[i].join();
    }
};

} // namespace

EngineSettings makeupLearnSettings(const LearnSolution& solution, int character,
                                   const LevelHistogram& histogram)
{
    EngineSettings settings = solutionSettings(solution, character);
    settings.histogramValid = histogram.valid;
    std::copy(std::begin(histogram.weight), std::end(histogram.weight), settings.histogramWeight);
    std::copy(std::begin(histogram.crestDb), std::end(histogram.crestDb), settings.histogramCrestDb);
    return settings;
}

MakeupNeed measureMakeupNeed(double sampleRate, const LearnSolution& solution,
                             const std::vector<float>& monoCapture)
{
    const juce::ScopedNoDenormals noDenormals;

    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate) ||
        monoCapture.size() > static_cast<size_t>(INT_MAX) ||
        static_cast<double>(monoCapture.size()) < std::trunc(sampleRate))
        return {};

    EngineSettings settings = solutionSettings(solution, solution.character);
    settings.autoMakeup = false;
    settings.outputDb = 0.0f;

    const int n = static_cast<int>(monoCapture.size());
    std::vector<float> processed(monoCapture);

    // Off the stack: this runs on worker threads too.
    auto engine = std::make_unique<CompressorEngine>();
    engine->prepare(sampleRate, 1);
    for (int start = 0; start < n; start += needBlockSize)
    {
        float* channel = processed.data() + start;
        juce::AudioBuffer<float> block(&channel, 1, std::min(needBlockSize, n - start));
        engine->process(block, 1, settings);
    }

    const float* in = monoCapture.data();
    const float* out = processed.data();
    const float inLufs = measureIntegratedLoudness(&in, 1, n, sampleRate);
    const float outLufs = measureIntegratedLoudness(&out, 1, n, sampleRate);
    if (inLufs > -99.0f && outLufs > -99.0f)
        return {true, inLufs - outLufs};
    return {};
}

std::vector<double> traceFramePowers(const std::vector<float>& monoCapture, double sampleRate, int hop)
{
    std::vector<double> powers;
    if (monoCapture.empty() || hop < 1 || !(sampleRate > 0.0) || !std::isfinite(sampleRate))
        return powers;

    const size_t frameLength = static_cast<size_t>(hop);
    powers.reserve(monoCapture.size() / frameLength + 1);
    KWeighting filter = makeKWeighting(sampleRate);
    for (size_t start = 0; start < monoCapture.size(); start += frameLength)
    {
        const size_t end = std::min(start + frameLength, monoCapture.size());
        double sum = 0.0;
        for (size_t i = start; i < end; ++i)
        {
            const double y = applyKWeighting(filter, static_cast<double>(monoCapture[i]));
            sum += y * y;
        }
        powers.push_back(sum / static_cast<double>(end - start));
    }
    return powers;
}

LoudnessSimulation buildLoudnessSimulation(const LevelTrace& trace, std::vector<double> framePowers,
                                           int character)
{
    LoudnessSimulation simulation;
    simulation.trace = trace;
    simulation.character = character;
    simulation.detectorLevels = detectorLevels(trace, character);
    if (framePowers.size() >= simulation.detectorLevels.size())
        framePowers.resize(simulation.detectorLevels.size());
    else
        simulation.detectorLevels.clear();
    simulation.framePowers = std::move(framePowers);
    return simulation;
}

float measureLoudnessReduction(const LoudnessSimulation& simulation, const EngineSettings& settings)
{
    const LevelTrace& trace = simulation.trace;
    const size_t frames = trace.peak.size();
    if (simulation.detectorLevels.empty() || settings.character != simulation.character ||
        !(trace.sampleRate > 0.0) || !std::isfinite(trace.sampleRate) || trace.hop < 1 || frames == 0 ||
        trace.rms.size() != frames || simulation.detectorLevels.size() != frames ||
        simulation.framePowers.size() != frames)
        return 0.0f;
    if (!std::isfinite(settings.thresholdDb) || !std::isfinite(settings.ratio) ||
        !std::isfinite(settings.kneeDb))
        return 0.0f;

    TraceCompressor compressor(trace.sampleRate, trace.hop, settings.attackMs, settings.releaseMs,
                               settings.character, settings.autoRelease, settings.thresholdDb, settings.ratio,
                               settings.kneeDb);
    const float mix = settings.mix >= 0.0f ? std::min(settings.mix, 1.0f) : 0.0f;

    std::vector<double> powerGains(frames);
    for (size_t i = 0; i < frames; ++i)
    {
        const float out = compressor.step(simulation.detectorLevels[i]);

        const double g = (1.0 - mix) + mix * std::pow(10.0, -out / 20.0);
        powerGains[i] = g * g;
    }

    const double framesPerSecond = trace.sampleRate / static_cast<double>(trace.hop);
    const auto blockFrames = static_cast<size_t>(std::max(std::llround(0.4 * framesPerSecond), 1LL));
    const size_t step = std::max<size_t>(blockFrames / 4, 1);

    std::vector<double> inPowers, outPowers;
    for (size_t start = 0; start + blockFrames <= frames; start += step)
    {
        double in = 0.0, outPower = 0.0;
        for (size_t i = start; i < start + blockFrames; ++i)
        {
            in += simulation.framePowers[i];
            outPower += simulation.framePowers[i] * powerGains[i];
        }
        inPowers.push_back(in / static_cast<double>(blockFrames));
        outPowers.push_back(outPower / static_cast<double>(blockFrames));
    }

    const float inLufs = measureGatedLoudness(inPowers);
    const float outLufs = measureGatedLoudness(outPowers);
    return inLufs > -99.0f && outLufs > -99.0f ? inLufs - outLufs : 0.0f;
}

MakeupCorrectionCurve learnMakeupCurve(const MakeupLearnContext& context, int character)
{
    const juce::ScopedNoDenormals noDenormals;

    const EngineSettings settings = makeupLearnSettings(context.solution, character, context.histogram);
    LearnSolution solution = context.solution;
    solution.character = character;

    const float estimateDb = estimateMakeupDb(settings);
    const MakeupNeed need = measureMakeupNeed(context.sampleRate, solution, context.monoCapture);
    const float needDb = need.success ? need.db : estimateDb;

    const LevelTrace& trace = context.learnedStats.trace;
    const LoudnessSimulation simulation = buildLoudnessSimulation(
        trace, traceFramePowers(context.monoCapture, context.sampleRate, trace.hop), character);
    if (simulation.detectorLevels.empty())
        return straightLine(estimateDb, needDb);

    const float baseDb = measureLoudnessReduction(simulation, settings);
    const float renderMinusSimulationDb = needDb - baseDb;

    struct Point
    {
        float x, y;
    };
    std::array<Point, points> curvePoints{};
    for (size_t i = 0; i < makeupCurveOffsetsDb.size(); ++i)
    {
        EngineSettings shifted = settings;
        shifted.thresholdDb = pointThresholdDb(context.solution.thresholdDb, makeupCurveOffsetsDb[i]);
        const float estimate = shifted.histogramValid ? estimateMakeupDb(shifted) : 0.0f;
        const float reduction = measureLoudnessReduction(simulation, shifted);
        // Away from the learned setting the render's deviation is trusted in proportion to how much
        // the compressor works; under very light compression the proportion means nothing.
        const float share = baseDb > lightReductionDb ? std::clamp(reduction / baseDb, 0.0f, 1.0f) : 1.0f;
        curvePoints[i + 1] = {estimate, share * renderMinusSimulationDb + reduction - estimate};
    }

    std::stable_sort(curvePoints.begin() + 1, curvePoints.end(),
                     [](const Point& a, const Point& b) { return a.x < b.x; });

    MakeupCorrectionCurve curve;
    curve.x[0] = std::max(0.0f, curvePoints[0].x);
    curve.y[0] = curvePoints[0].y;
    for (int i = 1; i < points; ++i)
    {
        curve.x[i] = std::max(curve.x[i - 1], curvePoints[static_cast<size_t>(i)].x);
        curve.y[i] = curvePoints[static_cast<size_t>(i)].y;
    }
    curve.valid = true;
    return curve;
}

MakeupLearnResult learnMakeup(const LearnSolution& solution, const std::vector<float>& monoCapture,
                              double sampleRate, const LearnStats& learnedStats)
{
    if (monoCapture.size() > static_cast<size_t>(INT_MAX))
        return {};

    const LevelHistogram histogram =
        buildLevelHistogram(monoCapture.data(), static_cast<int>(monoCapture.size()), sampleRate);
    if (!histogram.valid)
        return {};

    const MakeupLearnContext context{solution, monoCapture, sampleRate, learnedStats, histogram};
    MakeupCorrectionCurve curves[3];
    {
        std::thread workers[2];
        bool started[2] = {};
        const JoinOnExit joinWorkers{workers, 2};
        for (int k = characterFet; k <= characterVca; ++k)
        {
            const auto slot = static_cast<size_t>(k - characterFet);
            try
            {
                workers[slot] =
                    std::thread([&curves, &context, k] { curves[k - 1] = learnMakeupCurve(context, k); });
                started[slot] = true;
            }
            catch (const std::system_error&)
            {
                // A thread that cannot be started costs time, not the result: the curve is learnt inline.
            }
        }

        curves[0] = learnMakeupCurve(context, characterOpto);
        for (size_t slot = 0; slot < 2; ++slot)
        {
            const int k = characterFet + static_cast<int>(slot);
            if (started[slot])
                workers[slot].join();
            else
                curves[k - 1] = learnMakeupCurve(context, k);
        }
    }

    MakeupLearnResult result;
    result.valid = true;
    result.histogramText = writeMakeupHistogramText(histogram);
    result.curveText = writeMakeupCurveText(curves);
    return result;
}

} // namespace tq4
