#include "learn/MakeupLearning.h"

#include "dsp/CharacterVoicing.h"
#include "dsp/CompressorEngine.h"
#include "dsp/GainComputer.h"
#include "dsp/Makeup.h"
#include "dsp/OfflineRender.h"
#include "dsp/VectorClones.h"
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

namespace
{

bool needMeasurable(double sampleRate, const std::vector<float>& monoCapture) noexcept
{
    return sampleRate > 0.0 && std::isfinite(sampleRate) &&
           monoCapture.size() <= static_cast<size_t>(INT_MAX) &&
           static_cast<double>(monoCapture.size()) >= std::trunc(sampleRate);
}

} // namespace

MakeupNeed measureMakeupNeed(double sampleRate, const LearnSolution& solution,
                             const std::vector<float>& monoCapture)
{
    if (!needMeasurable(sampleRate, monoCapture))
        return {};
    const float* in = monoCapture.data();
    return measureMakeupNeed(
        sampleRate, solution, monoCapture,
        measureIntegratedLoudness(&in, 1, static_cast<int>(monoCapture.size()), sampleRate));
}

namespace
{

// The integrated loudness of the capture rendered with the solution's settings, without makeup;
// -100 when it cannot be measured.
float renderedLoudness(double sampleRate, const LearnSolution& solution,
                       const std::vector<float>& monoCapture)
{
    const juce::ScopedNoDenormals noDenormals;

    if (!needMeasurable(sampleRate, monoCapture))
        return -100.0f;

    EngineSettings settings = solutionSettings(solution, solution.character);
    settings.autoMakeup = false;
    settings.outputDb = 0.0f;

    const int n = static_cast<int>(monoCapture.size());
    // One block at a time: the rendered output is only weighed, never kept.
    float processed[needBlockSize];

    // Leased, not built, and without the drive's calibration: the render never drives, yet the
    // calibration costs about as much as the render.
    const juce::SharedResourcePointer<OfflineEnginePool> pool;
    const auto lease = pool->acquire(sampleRate, 1, DriveStage::Calibration::atFirstUse);
    CompressorEngine& engine = lease.engine();
    // The output is weighed block by block while it is still in cache, instead of in a second pass.
    IntegratedLoudnessMeter meter(sampleRate, n);
    KWeighting weighting = makeKWeighting(sampleRate);
    for (int start = 0; start < n; start += needBlockSize)
    {
        float* channel = processed;
        const int length = std::min(needBlockSize, n - start);
        std::copy_n(monoCapture.data() + start, length, processed);
        juce::AudioBuffer<float> block(&channel, 1, length);
        engine.process(block, 1, settings);
        for (int i = 0; i < length; ++i)
        {
            const double y = applyKWeighting(weighting, channel[i]);
            double power = 0.0;
            power += y * y;
            meter.add(power);
        }
    }
    return meter.loudness();
}

MakeupNeed makeupNeed(float inputLufs, float outputLufs) noexcept
{
    if (inputLufs > -99.0f && outputLufs > -99.0f)
        return {true, inputLufs - outputLufs};
    return {};
}

} // namespace

MakeupNeed measureMakeupNeed(double sampleRate, const LearnSolution& solution,
                             const std::vector<float>& monoCapture, float inputLufs)
{
    return makeupNeed(inputLufs, renderedLoudness(sampleRate, solution, monoCapture));
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

CaptureMeasures measureCapture(const std::vector<float>& monoCapture, double sampleRate, int hop)
{
    CaptureMeasures measures;
    if (monoCapture.empty() || monoCapture.size() > static_cast<size_t>(INT_MAX) || !(sampleRate > 0.0) ||
        !std::isfinite(sampleRate))
        return measures;

    const int n = static_cast<int>(monoCapture.size());
    const bool withFrames = hop >= 1;
    const auto frameLength = static_cast<size_t>(std::max(hop, 1));
    if (withFrames)
        measures.framePowers.reserve(monoCapture.size() / frameLength + 1);

    // One filter from zero state serves all three: each used to run its own over the same samples.
    KWeighting filter = makeKWeighting(sampleRate);
    LevelHistogramBuilder histogram(sampleRate);
    IntegratedLoudnessMeter loudness(sampleRate, n);
    double frameSum = 0.0;
    size_t frameFill = 0;
    for (const float sample : monoCapture)
    {
        const double x = sample;
        const double y = applyKWeighting(filter, x);
        const double power = y * y;
        histogram.add(x, power);
        loudness.add(power);
        frameSum += power;
        if (++frameFill == frameLength)
        {
            if (withFrames)
                measures.framePowers.push_back(frameSum / static_cast<double>(frameLength));
            frameSum = 0.0;
            frameFill = 0;
        }
    }
    if (withFrames && frameFill > 0)
        measures.framePowers.push_back(frameSum / static_cast<double>(frameFill));

    measures.histogram = histogram.finish();
    measures.loudnessLufs = n >= static_cast<int>(0.4 * sampleRate) ? loudness.loudness() : -100.0f;
    return measures;
}

namespace
{

// The loudness blocks of the trace frames: 400 ms long, a quarter of that apart.
struct FrameBlocks
{
    size_t length = 1, step = 1;
};

FrameBlocks frameBlocks(const LevelTrace& trace) noexcept
{
    const double framesPerSecond = trace.sampleRate / static_cast<double>(trace.hop);
    FrameBlocks blocks;
    blocks.length = static_cast<size_t>(std::max(std::llround(0.4 * framesPerSecond), 1LL));
    blocks.step = std::max<size_t>(blocks.length / 4, 1);
    return blocks;
}

// Mean of every block of values that fits. A block is whole runs of `step` values and the head of the
// next run, so each value is added once rather than once for every block it falls in.
void blockMeans(const double* values, size_t count, FrameBlocks blocks, std::vector<double>& means)
{
    means.clear();
    if (count < blocks.length)
        return;

    const size_t whole = blocks.length / blocks.step;
    const size_t headLength = blocks.length % blocks.step;
    const size_t numBlocks = (count - blocks.length) / blocks.step + 1;
    const size_t runs = numBlocks + whole;

    std::vector<double> runSums(runs, 0.0), headSums(runs, 0.0);
    for (size_t k = 0; k < runs; ++k)
    {
        const size_t start = k * blocks.step;
        const size_t end = std::max(start, std::min(start + blocks.step, count));
        double sum = 0.0;
        for (size_t i = start; i < end; ++i)
        {
            if (i - start == headLength)
                headSums[k] = sum;
            sum += values[i];
        }
        runSums[k] = sum;
        if (end - start == headLength)
            headSums[k] = sum;
    }

    means.reserve(numBlocks);
    const auto length = static_cast<double>(blocks.length);
    for (size_t j = 0; j < numBlocks; ++j)
    {
        double sum = 0.0;
        for (size_t k = j; k < j + whole; ++k)
            sum += runSums[k];
        means.push_back((sum + headSums[j + whole]) / length);
    }
}

float inputLoudness(const LoudnessSimulation& simulation)
{
    std::vector<double> powers;
    blockMeans(simulation.framePowers.data(), simulation.framePowers.size(), frameBlocks(simulation.trace),
               powers);
    return measureGatedLoudness(powers);
}

} // namespace

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
    if (!simulation.detectorLevels.empty() && simulation.trace.hop >= 1 &&
        simulation.trace.sampleRate > 0.0 && std::isfinite(simulation.trace.sampleRate))
    {
        simulation.inputLufs = inputLoudness(simulation);
        simulation.inputMeasured = true;
    }
    return simulation;
}

namespace
{

// The frame powers through the mix of dry and reduced signal; 10^(-out / 20) as an exp, a fraction of the
// cost of a general power.
TQ4_VECTOR_CLONES
void weighReductions(const float* __restrict reductionsDb, const double* __restrict framePowers, float mix,
                     double* __restrict powers, size_t n) noexcept
{
    constexpr double minusLn10Over20 = -0.11512925464970228420;
    const double wet = mix;
    for (size_t i = 0; i < n; ++i)
    {
        const double g =
            (1.0 - wet) + wet * expOfNonPositive(static_cast<double>(reductionsDb[i]) * minusLn10Over20);
        powers[i] = framePowers[i] * (g * g);
    }
}

} // namespace

float measureLoudnessReduction(const LoudnessSimulation& simulation, const EngineSettings& settings)
{
    float reduction = 0.0f;
    measureLoudnessReductions(simulation, &settings, 1, &reduction);
    return reduction;
}

void measureLoudnessReductions(const LoudnessSimulation& simulation, const EngineSettings* settings,
                               size_t count, float* reductions)
{
    std::fill(reductions, reductions + count, 0.0f);
    const LevelTrace& trace = simulation.trace;
    const size_t frames = trace.peak.size();
    if (simulation.detectorLevels.empty() || !(trace.sampleRate > 0.0) || !std::isfinite(trace.sampleRate) ||
        trace.hop < 1 || frames == 0 || trace.rms.size() != frames ||
        simulation.detectorLevels.size() != frames || simulation.framePowers.size() != frames)
        return;

    struct Lane
    {
        TraceCompressor compressor;
        float mix;
        size_t setting;
    };
    std::vector<Lane> lanes;
    lanes.reserve(count);
    for (size_t k = 0; k < count; ++k)
    {
        const EngineSettings& s = settings[k];
        if (s.character != simulation.character || !std::isfinite(s.thresholdDb) || !std::isfinite(s.ratio) ||
            !std::isfinite(s.kneeDb))
            continue;
        lanes.push_back({TraceCompressor(trace.sampleRate, trace.hop, s.attackMs, s.releaseMs, s.character,
                                         s.autoRelease, s.thresholdDb, s.ratio, s.kneeDb),
                         s.mix >= 0.0f ? std::min(s.mix, 1.0f) : 0.0f, k});
    }
    if (lanes.empty())
        return;

    // With OPTO the settings step through each frame together: their recursions are independent, so one's
    // latency hides behind the others' work. The gains follow as a pass of their own.
    std::vector<float> outs(frames * lanes.size());
    if (!lanes.front().compressor.curveFollowsReduction())
    {
        // The curve runs as a vectorised pass, the ballistics after it.
        for (size_t k = 0; k < lanes.size(); ++k)
            lanes[k].compressor.run(simulation.detectorLevels.data(), outs.data() + k * frames, frames);
    }
    else
    {
        for (size_t i = 0; i < frames; ++i)
        {
            const float level = simulation.detectorLevels[i];
            for (size_t k = 0; k < lanes.size(); ++k)
                outs[k * frames + i] = lanes[k].compressor.step(level);
        }
    }
    std::vector<double> outputPowers(frames * lanes.size());
    for (size_t k = 0; k < lanes.size(); ++k)
        weighReductions(outs.data() + k * frames, simulation.framePowers.data(), lanes[k].mix,
                        outputPowers.data() + k * frames, frames);

    const float inLufs = simulation.inputMeasured ? simulation.inputLufs : inputLoudness(simulation);
    std::vector<double> outPowers;
    for (size_t k = 0; k < lanes.size(); ++k)
    {
        blockMeans(outputPowers.data() + k * frames, frames, frameBlocks(trace), outPowers);
        const float outLufs = measureGatedLoudness(outPowers);
        reductions[lanes[k].setting] = inLufs > -99.0f && outLufs > -99.0f ? inLufs - outLufs : 0.0f;
    }
}

namespace
{

// Everything a curve needs but the render: the estimates and the simulated reductions at the learned
// threshold and at every point's, so that it runs while the render does.
struct CurveSimulation
{
    float estimateDb = 0.0f;
    bool simulated = false;
    float baseDb = 0.0f;
    std::array<float, makeupCurveOffsetsDb.size()> estimates{}, reductions{}, shares{};
};

CurveSimulation simulateCurve(const MakeupLearnContext& context, int character)
{
    const juce::ScopedNoDenormals noDenormals;

    const EngineSettings settings = makeupLearnSettings(context.solution, character, context.histogram);
    CurveSimulation result;
    result.estimateDb = estimateMakeupDb(settings);

    const LevelTrace& trace = context.learnedStats.trace;
    const LoudnessSimulation simulation = buildLoudnessSimulation(
        trace,
        context.measures != nullptr ? context.measures->framePowers
                                    : traceFramePowers(context.monoCapture, context.sampleRate, trace.hop),
        character);
    if (simulation.detectorLevels.empty())
        return result;

    result.simulated = true;
    // The learned setting first, then every point's.
    constexpr size_t offsets = makeupCurveOffsetsDb.size();
    std::array<EngineSettings, offsets + 1> shifted;
    shifted.fill(settings);
    for (size_t i = 0; i < offsets; ++i)
        shifted[i + 1].thresholdDb = pointThresholdDb(context.solution.thresholdDb, makeupCurveOffsetsDb[i]);
    std::array<float, offsets + 1> reductions{};
    measureLoudnessReductions(simulation, shifted.data(), shifted.size(), reductions.data());

    result.baseDb = reductions[0];
    for (size_t i = 0; i < offsets; ++i)
    {
        result.estimates[i] = shifted[i + 1].histogramValid ? estimateMakeupDb(shifted[i + 1]) : 0.0f;
        result.reductions[i] = reductions[i + 1];
        // Away from the learned setting the render's deviation is trusted in proportion to how much
        // the compressor works; under very light compression the proportion means nothing.
        result.shares[i] = result.baseDb > lightReductionDb
                               ? std::clamp(result.reductions[i] / result.baseDb, 0.0f, 1.0f)
                               : 1.0f;
    }
    return result;
}

MakeupCorrectionCurve finishCurve(const CurveSimulation& simulation, MakeupNeed need)
{
    const float needDb = need.success ? need.db : simulation.estimateDb;
    if (!simulation.simulated)
        return straightLine(simulation.estimateDb, needDb);

    const float renderMinusSimulationDb = needDb - simulation.baseDb;
    struct Point
    {
        float x, y;
    };
    std::array<Point, points> curvePoints{};
    for (size_t i = 0; i < makeupCurveOffsetsDb.size(); ++i)
    {
        const float estimate = simulation.estimates[i];
        curvePoints[i + 1] = {estimate, simulation.shares[i] * renderMinusSimulationDb +
                                            simulation.reductions[i] - estimate};
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

LearnSolution withCharacter(LearnSolution solution, int character) noexcept
{
    solution.character = character;
    return solution;
}

} // namespace

MakeupCorrectionCurve learnMakeupCurve(const MakeupLearnContext& context, int character)
{
    const LearnSolution solution = withCharacter(context.solution, character);
    const MakeupNeed need = context.measures != nullptr
                                ? measureMakeupNeed(context.sampleRate, solution, context.monoCapture,
                                                    context.measures->loudnessLufs)
                                : measureMakeupNeed(context.sampleRate, solution, context.monoCapture);
    return finishCurve(simulateCurve(context, character), need);
}

std::future<CaptureMeasures> startMeasuringCapture(const std::vector<float>& monoCapture, double sampleRate,
                                                   int hop)
{
    const auto measure = [&monoCapture, sampleRate, hop]
    { return measureCapture(monoCapture, sampleRate, hop); };
    try
    {
        return std::async(std::launch::async, measure);
    }
    catch (const std::system_error&)
    {
        // Without a thread to spare it runs on the thread that waits for it.
        return std::async(std::launch::deferred, measure);
    }
}

MakeupLearnResult learnMakeup(const LearnSolution& solution, const std::vector<float>& monoCapture,
                              double sampleRate, const LearnStats& learnedStats)
{
    return learnMakeup(
        solution, monoCapture, sampleRate, learnedStats,
        std::async(std::launch::deferred,
                   [&] { return measureCapture(monoCapture, sampleRate, learnedStats.trace.hop); }));
}

MakeupLearnResult learnMakeup(const LearnSolution& solution, const std::vector<float>& monoCapture,
                              double sampleRate, const LearnStats& learnedStats,
                              std::future<CaptureMeasures> measuring)
{
    if (monoCapture.size() > static_cast<size_t>(INT_MAX) || !measuring.valid())
        return {};

    // The renders are most of the work and need nothing but the solution, so they start first, one
    // thread per character; the simulations run here meanwhile, and the measures unless under way.
    constexpr int characters = 3;
    LearnSolution solutions[characters];
    float renderedLufs[characters] = {-100.0f, -100.0f, -100.0f};
    std::thread workers[characters];
    bool started[characters] = {};
    const JoinOnExit joinWorkers{workers, characters};
    for (int slot = 0; slot < characters; ++slot)
    {
        solutions[slot] = withCharacter(solution, characterOpto + slot);
        try
        {
            workers[slot] = std::thread(
                [&, slot]
                { renderedLufs[slot] = renderedLoudness(sampleRate, solutions[slot], monoCapture); });
            started[slot] = true;
        }
        catch (const std::system_error&)
        {
            // A thread that cannot be started costs time, not the result: the render runs here.
        }
    }

    const CaptureMeasures measures = measuring.get();
    const LevelHistogram& histogram = measures.histogram;
    if (!histogram.valid)
        return {};

    const MakeupLearnContext context{solution, monoCapture, sampleRate, learnedStats, histogram, &measures};
    CurveSimulation simulations[characters];
    for (int slot = 0; slot < characters; ++slot)
        simulations[slot] = simulateCurve(context, characterOpto + slot);

    MakeupCorrectionCurve curves[characters];
    for (int slot = 0; slot < characters; ++slot)
    {
        if (started[slot])
            workers[slot].join();
        else
            renderedLufs[slot] = renderedLoudness(sampleRate, solutions[slot], monoCapture);
        curves[slot] = finishCurve(simulations[slot], makeupNeed(measures.loudnessLufs, renderedLufs[slot]));
    }

    MakeupLearnResult result;
    result.valid = true;
    result.histogramText = writeMakeupHistogramText(histogram);
    result.curveText = writeMakeupCurveText(curves);
    return result;
}

} // namespace tq4
