#include "dsp/DriveStage.h"

#include "dsp/VectorClones.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <cmath>

namespace tq4
{

namespace
{
constexpr double twoPi = 6.283185307179586;
constexpr float inactiveAmount = 1.0e-4f;
constexpr int impulseLength = 2048;
constexpr int ringMask = 15;

int oversamplerIndexFor(int factor) noexcept
{
    return factor == 16 ? 0 : 1;
}
} // namespace

DriveAlignment driveAlignment(double delaySamples) noexcept
{
    DriveAlignment a;
    const double d = std::isfinite(delaySamples) ? delaySamples : 1.0;
    const double whole = std::floor(d);
    a.ringDelay = whole >= 2.0 ? std::min(static_cast<int>(whole) - 1, ringMask) : 0;

    const double h = std::clamp(d - a.ringDelay, 1.0, 2.0);
    a.fraction = h;
    a.weights[0] = static_cast<float>(-(h - 1.0) * (h - 2.0) * (h - 3.0) / 6.0);
    a.weights[1] = static_cast<float>(h * (h - 2.0) * (h - 3.0) / 2.0);
    a.weights[2] = static_cast<float>(-h * (h - 1.0) * (h - 3.0) / 2.0);
    a.weights[3] = static_cast<float>(h * (h - 1.0) * (h - 2.0) / 6.0);
    return a;
}

DriveStage::DriveStage() = default;
DriveStage::~DriveStage() = default;

float DriveStage::oversamplerLatency(int index) const noexcept
{
    return (index == 0 || index == 1) ? latencies[static_cast<size_t>(index)] : 0.0f;
}

void DriveStage::prepare(double sampleRate, const DriveStage* other, Calibration calibration)
{
    const double sr = std::max(sampleRate, 8000.0);

    if (preparedRate == sr)
    {
        if (calibration == Calibration::atPrepare)
            calibrate(other);
        return;
    }

    const bool shareWithOther = other != nullptr && other != this && other->preparedRate == sr;

    testSine = driveTestSine();
    toneCoefficient = static_cast<float>(std::exp(-twoPi * 9000.0 / sr));

    calibrated = false;
    envelopeConstants = {};

    silenceLimit = static_cast<int>(std::floor(3.0 * sr));
    dcCoefficient = static_cast<float>(1.0 - twoPi * 80.0 / sr);

    scratch.assign(static_cast<size_t>(maxBlockSize), 0.0f);
    oversamplers[0].prepare(4, oversampledChunk / 16);
    oversamplers[1].prepare(5, oversampledChunk / 32);

    for (auto* v : {&chunkLevel, &chunkScale, &chunkInverse, &chunkSquared, &chunkSignal, &chunkChange})
        v->assign(static_cast<size_t>(oversampledChunk), 0.0f);
    curveWorkspace.prepare(oversampledChunk);
    hysteresisWorkspace.prepare(oversampledChunk);

    for (size_t i = 0; i < 2; ++i)
        latencies[i] = shareWithOther ? other->latencies[i] : measureLatency(oversamplers[i]);

    latencySamples = std::max({static_cast<int>(std::floor(latencies[0])),
                               static_cast<int>(std::floor(latencies[1])), 0}) +
                     2;
    dryDelay.assign(static_cast<size_t>(latencySamples), 0.0f);
    dryWrite = 0;

    preparedRate = sr;
    if (calibration == Calibration::atPrepare)
        calibrate(other);
    switchOversampler(oversamplerIndex);
    reset();
}

void DriveStage::calibrate(const DriveStage* other) noexcept
{
    if (calibrated || preparedRate <= 0.0)
        return;
    if (other != nullptr && other != this && other->preparedRate == preparedRate && other->calibrated)
        envelopeConstants = other->envelopeConstants;
    else
        for (size_t i = 0; i < 2; ++i)
            envelopeConstants[i] = driveEnvelopeConstants(preparedRate * (i == 0 ? 16.0 : 32.0));
    calibrated = true;
    envelope = envelopeConstants[static_cast<size_t>(oversamplerIndex)];
}

float DriveStage::measureLatency(HalfBandOversampler& oversampler)
{
    // The filters are linear phase, so the energy centroid of the impulse response is their delay.
    std::fill(scratch.begin(), scratch.end(), 0.0f);
    scratch[0] = 1.0f;
    oversampler.reset();

    const int chunk = oversampledChunk / oversampler.factor();
    for (int start = 0; start < impulseLength; start += chunk)
    {
        const int n = std::min(chunk, impulseLength - start);
        oversampler.processUp(scratch.data() + start, n);
        oversampler.processDown(scratch.data() + start, n);
    }

    double energy = 0.0;
    double moment = 0.0;

    for (int j = 0; j < impulseLength; ++j)
    {
        const double y = scratch[static_cast<size_t>(j)];
        energy += y * y;
        moment += j * y * y;
    }

    std::fill(scratch.begin(), scratch.end(), 0.0f);
    oversampler.reset();
    return energy > 0.0 ? static_cast<float>(moment / energy) : oversampler.latencyInSamples();
}

void DriveStage::setVoicing(int type, float amount)
{
    if (type == voicingType && amount == voicingAmount)
        return;

    voicingType = type;
    voicingAmount = amount;
    currentVoicing = driveVoicing(type, amount);
    needsPriming = true;
    active = currentVoicing.amount >= inactiveAmount;
    if (active)
        calibrate();

    if (preparedRate > 0.0)
        dcCoefficient = static_cast<float>(1.0 - twoPi * currentVoicing.highPassHz / preparedRate);

    const int wanted = oversamplerIndexFor(currentVoicing.oversampling);

    if (wanted != oversamplerIndex)
        switchOversampler(wanted);
    else
        recalibrate();
}

void DriveStage::switchOversampler(int index) noexcept
{
    oversamplerIndex = index;
    const auto i = static_cast<size_t>(index);
    envelope = envelopeConstants[i];
    alignment = driveAlignment(static_cast<double>(latencySamples) - static_cast<double>(latencies[i]));
    ring.fill(0.0f);
    interpolationHistory.fill(0.0f);
    ringWrite = 0;

    oversamplers[i].reset();

    needsPriming = true;
    hysteresisInitialised = false;
    recalibrate();
}

void DriveStage::recalibrate() noexcept
{
    // The hysteresis gain comes from the cache unless the model's parameters changed, so a type
    // change on the same oversampler still gets the right one.
    hysteresisGain = calibrateHysteresisGain(currentVoicing.hysteresis, currentVoicing.hysteresisAmount,
                                             testSine, hysteresisTable, hysteresisCache);

    if (!active)
    {
        normalisationGain = 1.0f;
        return;
    }

    const float calibration =
        currentVoicing.lowBandDetector ? envelope.lowBandCalibration : envelope.fullBandCalibration;
    const float testEnvelope = std::max(calibration * driveTestSineAmplitude, 0.0f);
    const float scaleL = sagScale(testEnvelope, currentVoicing.amount, currentVoicing.sagDepth,
                                  currentVoicing.sagKnee, currentVoicing.headroom);
    normalisationGain =
        outputNormalisationGain(currentVoicing.shape, currentVoicing.stages, scaleL,
                                currentVoicing.hysteresisAmount, hysteresisGain, testSine, hysteresisTable);
}

void DriveStage::clearRunningFilters() noexcept
{
    fullBandEnvelope = 0.0f;
    lowBandState = 0.0f;
    lowBandEnvelope = 0.0f;
    dcInput = 0.0f;
    dcOutput = 0.0f;
    hysteresis = HysteresisState{};
    hysteresisInitialised = false;
    interpolationHistory.fill(0.0f);
    ring.fill(0.0f);
    ringWrite = 0;
    curveMemories.fill(CurveStageMemory{});
    needsPriming = true;
}

void DriveStage::reset() noexcept
{
    voicingType = -1;
    voicingAmount = -1.0f;
    clearRunningFilters();
    toneState = 0.0f;
    silenceCounter = 0;
    std::fill(dryDelay.begin(), dryDelay.end(), 0.0f);
    dryWrite = 0;
    std::fill(scratch.begin(), scratch.end(), 0.0f);

    for (auto& oversampler : oversamplers)
        oversampler.reset();
}

void DriveStage::copyRunningStateFrom(const DriveStage& other) noexcept
{
    fullBandEnvelope = other.fullBandEnvelope;
    lowBandEnvelope = other.lowBandEnvelope;
    lowBandState = other.lowBandState;
    toneState = other.toneState;

    if (dryDelay.size() == other.dryDelay.size())
        std::copy(other.dryDelay.begin(), other.dryDelay.end(), dryDelay.begin());

    if (!dryDelay.empty())
        dryWrite = other.dryWrite % static_cast<int>(dryDelay.size());
}

void DriveStage::process(float* mono, int numSamples) noexcept
{
    for (int offset = 0; offset < numSamples; offset += maxBlockSize)
        processSlice(mono + offset, std::min(maxBlockSize, numSamples - offset));
}

void DriveStage::processInactive(float* mono, int numSamples) noexcept
{
    const int length = static_cast<int>(dryDelay.size());
    float lastDry = toneState;

    if (length > 0 && numSamples > 0)
    {
        // Only the last `length` samples stay in the ring, so they are copied as up to two runs; the last
        // slot written gives up the dry sample `length` before the end of the block.
        const int start = dryWrite;
        const int next = static_cast<int>((static_cast<long long>(start) + numSamples) % length);
        const int kept = std::min(numSamples, length);
        const int lastSlot = next == 0 ? length - 1 : next - 1;
        if (numSamples > length)
        {
            const float x = mono[numSamples - 1 - length];
            lastDry = std::isfinite(x) ? x : 0.0f;
        }
        else
        {
            lastDry = dryDelay[static_cast<size_t>(lastSlot)];
        }

        const float* source = mono + (numSamples - kept);
        int slot = next - kept < 0 ? next - kept + length : next - kept;
        for (int k = 0; k < kept;)
        {
            const int run = std::min(kept - k, length - slot);
            for (int j = 0; j < run; ++j)
            {
                const float x = source[k + j];
                dryDelay[static_cast<size_t>(slot + j)] = std::isfinite(x) ? x : 0.0f;
            }
            k += run;
            slot = 0;
        }
        dryWrite = next;
    }

    std::fill(mono, mono + numSamples, 0.0f);

    // The tone filter waits at the dry level so that waking up does not start with a step.
    toneState = lastDry;
    clearRunningFilters();
}

namespace
{
struct FollowRun
{
    const float* input;
    int n;
    float attack, release, lowBand;
    float hysteresisAmount, hysteresisGain;
    float* level;  // the sag detector's envelope
    float* signal; // the chain's running signal
    float* change; // what the chain has changed in it so far
};

struct FollowState
{
    float fullBand, lowBandState, lowBand, magnetisation, averageStep;
};

// The envelopes and the hysteresis are recursions, one sample after another; everything after them runs as
// passes over the whole chunk. They are independent of each other, so one loop lets them overlap; built
// with FMA where the CPU has it, which shortens the magnetisation's chain.
template <bool withHysteresis, bool lowBandDetector>
inline __attribute__((always_inline)) void
followEnvelopes(const FollowRun& run, const HysteresisRecursion& recursion, FollowState& state) noexcept
{
    const float attack = run.attack;
    const float release = run.release;
    const float lowBand = run.lowBand;
    const float hysteresisAmount = run.hysteresisAmount;
    const float gainH = run.hysteresisGain;
    const float* input = run.input;
    float* level = run.level;
    float* signal = run.signal;
    float* change = run.change;

    // A copy: read through the reference, its pointers and constants were loaded again for every sample,
    // as the stores below might have changed them.
    const HysteresisRecursion r = recursion;
    float e1 = state.fullBand;
    float q = state.lowBandState;
    float e2 = state.lowBand;
    float m = state.magnetisation;
    float average = state.averageStep;

    for (int j = 0; j < run.n; ++j)
    {
        const float f = input[j];
        const float full = std::abs(f);
        e1 = full + (e1 - full) * (full > e1 ? attack : release);
        q += (f - q) * lowBand;
        const float low = std::abs(q);
        e2 = low + (e2 - low) * (low > e2 ? attack : release);
        level[j] = std::max(lowBandDetector ? e2 : e1, 0.0f);

        if constexpr (withHysteresis)
        {
            m = hysteresisAdvance(m, average, r, static_cast<size_t>(j));
            const float driven = f + (m * gainH - f) * hysteresisAmount;
            signal[j] = driven;
            change[j] = driven - f;
        }
        else
        {
            signal[j] = f;
            change[j] = 0.0f;
        }
    }

    state = {e1, q, e2, m, average};
}

// Clang cannot multiversion a template, so each case is a plain function.
TQ4_VECTOR_CLONES void followWithHysteresis(const FollowRun& run, const HysteresisRecursion& recursion,
                                            bool lowBandDetector, FollowState& state) noexcept
{
    if (lowBandDetector)
        followEnvelopes<true, true>(run, recursion, state);
    else
        followEnvelopes<true, false>(run, recursion, state);
}

TQ4_VECTOR_CLONES void followWithoutHysteresis(const FollowRun& run, const HysteresisRecursion& recursion,
                                               bool lowBandDetector, FollowState& state) noexcept
{
    if (lowBandDetector)
        followEnvelopes<false, true>(run, recursion, state);
    else
        followEnvelopes<false, false>(run, recursion, state);
}

// The stage scale l from the sag envelope, with 1 / l and l².
TQ4_VECTOR_CLONES
void scalePowers(const float* __restrict level, float sagAmount, float sagKnee, float headroom,
                 float* __restrict scale, float* __restrict inverse, float* __restrict squared,
                 int n) noexcept
{
    for (int j = 0; j < n; ++j)
    {
        const float g = level[j];
        const float l = (1.0f - sagAmount * g / (g + sagKnee)) * headroom;
        scale[j] = l;
        inverse[j] = blockReciprocal(l);
        squared[j] = l * l;
    }
}
} // namespace

void DriveStage::driveOversampled(float* samples, int numSamples) noexcept
{
    const DriveVoicing& v = currentVoicing;
    const bool withHysteresis = v.hysteresisAmount > 0.0f;

    if (withHysteresis)
    {
        if (!hysteresisInitialised && numSamples > 0)
        {
            initialiseHysteresis(hysteresis, samples[0], hysteresisGain);
            hysteresisInitialised = true;
        }

        hysteresisSteps(hysteresis, samples, numSamples, hysteresisWorkspace);
        hysteresisPrepare(v.hysteresis, samples, numSamples, hysteresisWorkspace);
    }
    else
    {
        hysteresisInitialised = false;
    }

    const FollowRun run{samples,
                        numSamples,
                        envelope.attack,
                        envelope.release,
                        envelope.lowBandCoefficient,
                        v.hysteresisAmount,
                        hysteresisGain,
                        chunkLevel.data(),
                        chunkSignal.data(),
                        chunkChange.data()};
    const HysteresisRecursion recursion(v.hysteresis, hysteresisWorkspace);
    FollowState state{fullBandEnvelope, lowBandState, lowBandEnvelope, hysteresis.magnetisation,
                      hysteresis.averageStep};

    if (withHysteresis)
        followWithHysteresis(run, recursion, v.lowBandDetector, state);
    else
        followWithoutHysteresis(run, recursion, v.lowBandDetector, state);

    fullBandEnvelope = state.fullBand;
    lowBandState = state.lowBandState;
    lowBandEnvelope = state.lowBand;
    hysteresis.magnetisation = state.magnetisation;
    hysteresis.averageStep = state.averageStep;

    scalePowers(chunkLevel.data(), v.amount * v.sagDepth, v.sagKnee, v.headroom, chunkScale.data(),
                chunkInverse.data(), chunkSquared.data(), numSamples);

    if (needsPriming)
    {
        for (auto& memory : curveMemories)
            primeCurveStageBlock(memory, chunkScale[0], v.shape);

        needsPriming = false;
    }

    for (int s = 0; s < v.stages; ++s)
        curveStagePass(curveMemories[static_cast<size_t>(s)], chunkSignal.data(), chunkChange.data(),
                       chunkScale.data(), chunkInverse.data(), chunkSquared.data(), numSamples, v.shape,
                       curveWorkspace);

    std::copy(chunkChange.begin(), chunkChange.begin() + numSamples, samples);
}

void DriveStage::processSlice(float* mono, int n) noexcept
{
    if (n <= 0)
        return;

    juce::ScopedNoDenormals noDenormals;
    auto& oversampler = oversamplers[static_cast<size_t>(oversamplerIndex)];

    if (!active || !oversampler.isPrepared() || dryDelay.empty())
    {
        processInactive(mono, n);
        return;
    }

    bool silent = true;

    for (int k = 0; k < n; ++k)
    {
        if (!std::isfinite(mono[k]))
            mono[k] = 0.0f;

        if (mono[k] != 0.0f)
            silent = false;
    }

    const int length = static_cast<int>(dryDelay.size());

    if (silent)
    {
        silenceCounter = std::min(silenceCounter, silenceLimit) + n;

        if (silenceCounter > silenceLimit)
        {
            // The ring only takes zeros: the slots of the block's last `length` samples.
            const int kept = std::min(n, length);
            const int next = static_cast<int>((static_cast<long long>(dryWrite) + n) % length);
            const int first = next - kept < 0 ? next - kept + length : next - kept;
            const int run = std::min(kept, length - first);
            std::fill(dryDelay.begin() + first, dryDelay.begin() + first + run, 0.0f);
            std::fill(dryDelay.begin(), dryDelay.begin() + (kept - run), 0.0f);
            dryWrite = next;

            return; // the block is all zeros already
        }
    }
    else
    {
        silenceCounter = 0;
    }

    std::copy(mono, mono + n, scratch.begin());
    const int factor = oversampler.factor();
    const int chunk = oversampledChunk / factor;

    for (int start = 0; start < n; start += chunk)
    {
        const int run = std::min(chunk, n - start);
        float* up = oversampler.processUp(scratch.data() + start, run);
        driveOversampled(up, run * factor);
        oversampler.processDown(scratch.data() + start, run);
    }

    const DriveVoicing& v = currentVoicing;
    const auto& w = alignment.weights;
    const int ringDelay = alignment.ringDelay;
    const float gain = normalisationGain;
    const float tone = v.tone;
    const float toneCoef = toneCoefficient;
    const float dcR = dcCoefficient;
    float h0 = interpolationHistory[0], h1 = interpolationHistory[1], h2 = interpolationHistory[2];
    float p = toneState;
    float zPrev = dcInput;
    float oPrev = dcOutput;

    for (int k = 0; k < n; ++k)
    {
        ring[static_cast<size_t>(ringWrite)] = scratch[static_cast<size_t>(k)];
        const float y0 = ringDelay > 0 ? ring[static_cast<size_t>((ringWrite - ringDelay) & ringMask)]
                                       : scratch[static_cast<size_t>(k)];
        ringWrite = (ringWrite + 1) & ringMask;

        const float y = w[0] * y0 + w[1] * h0 + w[2] * h1 + w[3] * h2;
        h2 = h1;
        h1 = h0;
        h0 = y0;

        auto& slot = dryDelay[static_cast<size_t>(dryWrite)];
        const float dry = slot;
        slot = mono[k];
        dryWrite = dryWrite + 1 == length ? 0 : dryWrite + 1;

        const float t = (y + dry) * gain;
        p = t + (p - t) * toneCoef;
        const float u = tone > 0.0f ? t + (p - t) * tone : t;
        const float z = u - dry;
        const float o = dcR * oPrev + (z - zPrev);
        zPrev = z;
        oPrev = o;
        mono[k] = o;
    }

    interpolationHistory = {h0, h1, h2};
    toneState = p;
    dcInput = zPrev;
    dcOutput = oPrev;
}

} // namespace tq4
