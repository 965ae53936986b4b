#include "dsp/CompressorEngine.h"

#include "dsp/GainComputer.h"
#include "dsp/Makeup.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <type_traits>

namespace tq4
{

namespace
{

constexpr double parameterRampSeconds = 0.02;
constexpr double processRampSeconds = 0.01;
constexpr float silenceDb = -100.0f;

// 20 log10 and 10^(x/20) through log2 and exp: the same curves, cheaper per sample.
constexpr float dbPerLog2 = 6.0205999132796239f; // 20 / log2(10)
constexpr float lnPerDb = 0.11512925464970229f;  // ln(10) / 20

inline float amplitudeToDb(float amplitude) noexcept
{
    return amplitude > 0.0f ? std::max(dbPerLog2 * std::log2(amplitude), silenceDb) : silenceDb;
}

inline float reductionToGain(float gainReductionDb) noexcept
{
    return -gainReductionDb > silenceDb ? std::exp(-gainReductionDb * lnPerDb) : 0.0f;
}

inline float onePoleCoefficient(float seconds, float sampleRate) noexcept
{
    return std::exp(-1.0f / (std::max(seconds, 1.0e-6f) * sampleRate));
}

inline void snap(juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear>& smoother) noexcept
{
    smoother.setCurrentAndTargetValue(smoother.getTargetValue());
}

// Runs body(next), where next() yields the smoothed values of the following sample. While none of the
// smoothers ramps, next() hands out the constant values instead, so the steady case pays nothing per sample.
template <typename Next, typename Body>
void withSmoothedValues(bool ramping, Next&& ramped, Body&& body)
{
    if (ramping)
    {
        body(ramped);
        return;
    }
    const auto steady = ramped();
    body([steady] { return steady; });
}

} // namespace

bool CompressorEngine::prepare(double newSampleRate, int newNumChannels)
{
    const double rate = std::max(newSampleRate, 8000.0);
    const int channels = std::max(newNumChannels, 1);
    if (prepared && rate == preparedSampleRate && channels == preparedChannels)
        return false;

    sampleRate = rate;
    numChannels = channels;
    const int processedChannels = std::max(channels, 2);

    dryBuffer.setSize(channels, maxBlockSize);
    wetBuffer.setSize(processedChannels, maxBlockSize);
    makeupTrack.setSize(1, maxBlockSize);
    detectorInput.setSize(1, maxBlockSize);
    blockGains.setSize(2, maxBlockSize);

    const auto fetStateSize = static_cast<size_t>(processedChannels);
    fetPreviousInput.assign(fetStateSize, 0.0f);
    fetPreviousColour.assign(fetStateSize, 0.0f);
    fetDcOutput.assign(fetStateSize, 0.0f);
    // One-pole high-pass at 5 Hz.
    fetDcCoefficient = 1.0f - 31.415928f / static_cast<float>(sampleRate);

    driveMids.setSize(2, maxBlockSize);
    driveStages[0].prepare(sampleRate);
    driveStages[1].prepare(sampleRate, &driveStages[0]);

    // Everything else waits for the oversampled mid.
    latencySamples = driveStages[0].latency();
    driveCrossfadeStart = latencySamples + 16;
    driveCrossfadeLength = std::max(1, static_cast<int>(std::lround(0.02 * sampleRate)));
    sideEnvelopeCoefficient = static_cast<float>(1.0 - std::exp(-1.0 / (0.002 * sampleRate)));
    sideHoldDecay = static_cast<float>(std::exp(-1.0 / (0.5 * sampleRate)));

    wetDelay.prepare(processedChannels, latencySamples);
    dryDelay.prepare(channels, latencySamples);
    makeupDelay.prepare(1, latencySamples);

    for (auto* smoother : {&smoothed.thresholdDb, &smoothed.ratio, &smoothed.kneeDb, &smoothed.peakRmsBlend,
                           &smoothed.fetAmount, &smoothed.optoAmount, &smoothed.slowReleaseWeight,
                           &smoothed.fetColour, &smoothed.driveOn, &smoothed.driveAmount,
                           &smoothed.driveCompDb, &smoothed.makeupGain, &smoothed.outputGain, &smoothed.mix})
        smoother->reset(sampleRate, parameterRampSeconds);
    smoothed.processAmount.reset(sampleRate, processRampSeconds);

    reset();

    prepared = true;
    preparedSampleRate = rate;
    preparedChannels = channels;
    return true;
}

void CompressorEngine::reset()
{
    peakEnvelope = 0.0f;
    meanSquare = 0.0f;
    fastGr = 0.0f;
    slowGr = 0.0f;
    gainReductionDb = 0.0f;

    std::fill(fetPreviousInput.begin(), fetPreviousInput.end(), 0.0f);
    std::fill(fetPreviousColour.begin(), fetPreviousColour.end(), 0.0f);
    std::fill(fetDcOutput.begin(), fetDcOutput.end(), 0.0f);

    wetDelay.clear();
    dryDelay.clear();
    makeupDelay.clear();
    dryBuffer.clear();
    wetBuffer.clear();
    makeupTrack.clear();
    detectorInput.clear();
    blockGains.clear();
    driveMids.clear();
    for (auto& stage : driveStages)
        stage.reset();

    smoothed.outputGain.setCurrentAndTargetValue(1.0f);
    smoothed.makeupGain.setCurrentAndTargetValue(1.0f);
    smoothed.mix.setCurrentAndTargetValue(1.0f);
    smoothed.processAmount.setCurrentAndTargetValue(1.0f);
    smoothed.driveOn.setCurrentAndTargetValue(1.0f);
    smoothed.driveAmount.setCurrentAndTargetValue(0.0f);
    smoothed.driveCompDb.setCurrentAndTargetValue(0.0f);

    activeDriveSlot = 0;
    driveCrossfading = false;
    driveCrossfadePosition = 0;
    pendingDriveType = -1;
    currentDriveType = -1;
    driveTargetAmount = 0.0f;
    driveRampStart = 0.0f;
    driveRampEnd = 0.0f;
    lastNonZeroDriveAmount = 0.0f;
    driveVoicingAmount = 0.0f;
    sideDryEnvelope = 0.0f;
    sideWetEnvelope = 0.0f;
    sideHold = 0.0f;

    smoothersInitialised = false;
}

void CompressorEngine::setProcessTarget(float target)
{
    smoothed.processAmount.setTargetValue(target);
}

int CompressorEngine::getLatencySamples() const noexcept
{
    return latencySamples;
}

const DriveStage& CompressorEngine::activeDriveStage() const noexcept
{
    return driveStages[activeDriveSlot];
}

void CompressorEngine::process(juce::AudioBuffer<float>& buffer, int channelCount,
                               const EngineSettings& settings)
{
    const int n = buffer.getNumSamples();
    const int channels = std::min(channelCount, buffer.getNumChannels());
    if (n <= 0 || channels <= 0 || !prepared)
        return;

    // Longer blocks run as consecutive complete blocks, so smoothers and the meter advance slice by slice.
    for (int offset = 0; offset < n; offset += maxBlockSize)
        processSlice(buffer, offset, std::min(maxBlockSize, n - offset), channels, settings);
}

void CompressorEngine::processSlice(juce::AudioBuffer<float>& buffer, int offset, int n, int channels,
                                    const EngineSettings& settings)
{
    const CharacterVoicing voicing = characterVoicing(settings.character);

    sanitiseAndDetect(buffer, offset, n, channels);
    copyDry(buffer, offset, n, channels);

    const Coefficients coefficients = blockCoefficients(settings, voicing);
    setCompressorTargets(settings, voicing);
    updateDriveSettings(settings, voicing);

    const bool firstBlock = !smoothersInitialised;
    if (firstBlock)
        snapSmoothers();

    advanceDriveRamp(n);
    setOutputTargets(settings, firstBlock);

    const float blockMaxDb = runCompressor(buffer, offset, n, channels, coefficients);
    runDriveStage(n, channels);
    alignLatency(n, channels);
    buildOutput(buffer, offset, n, channels);
    advanceDriveCrossfade(n);

    gainReductionMeterDb = smoothed.processAmount.getCurrentValue() > 0.5f ? blockMaxDb : 0.0f;
}

void CompressorEngine::sanitiseAndDetect(juce::AudioBuffer<float>& buffer, int offset, int n, int channels)
{
    float* level = detectorInput.getWritePointer(0);
    std::fill(level, level + n, 0.0f);

    // A buffer flagged as clear holds zeros; writing to it would drop the flag for nothing.
    if (buffer.hasBeenCleared())
        return;

    for (int c = 0; c < channels; ++c)
    {
        float* samples = buffer.getWritePointer(c, offset);
        for (int i = 0; i < n; ++i)
        {
            const float magnitude = std::abs(samples[i]);
            const bool finite = magnitude <= FLT_MAX; // false for NaN and infinities
            samples[i] = finite ? samples[i] : 0.0f;
            level[i] = std::max(level[i], finite ? magnitude : 0.0f);
        }
    }
}

void CompressorEngine::copyDry(const juce::AudioBuffer<float>& buffer, int offset, int n, int channels)
{
    const int dryChannels = std::min(channels, numChannels);
    for (int c = 0; c < dryChannels; ++c)
        dryBuffer.copyFrom(c, 0, buffer, c, offset, n);
}

CompressorEngine::Coefficients
CompressorEngine::blockCoefficients(const EngineSettings& settings,
                                    const CharacterVoicing& voicing) const noexcept
{
    const auto sr = static_cast<float>(sampleRate);

    const float attackSeconds = std::max(settings.attackMs * 0.001f, 0.00005f);
    const float releaseMs = settings.autoRelease ? voicing.autoReleaseMs : settings.releaseMs;
    const float releaseSeconds = std::max(releaseMs * 0.001f, 0.001f);
    const float rmsWindowMs = voicing.rmsWindowMs > 0.0f ? voicing.rmsWindowMs : 5.0f;

    Coefficients k;
    k.attack = onePoleCoefficient(attackSeconds, sr);
    k.release = onePoleCoefficient(releaseSeconds, sr);
    k.slowAttack = onePoleCoefficient(std::max(0.4f, attackSeconds), sr);
    k.slowRelease = onePoleCoefficient(std::min(6.0f * std::max(releaseSeconds, 0.001f), 4.0f), sr);
    k.rms = onePoleCoefficient(rmsWindowMs * 0.001f, sr);
    k.peakRelease = onePoleCoefficient(voicing.peakReleaseMs * 0.001f, sr);
    return k;
}

void CompressorEngine::setCompressorTargets(const EngineSettings& settings, const CharacterVoicing& voicing)
{
    smoothed.thresholdDb.setTargetValue(settings.thresholdDb);
    smoothed.ratio.setTargetValue(settings.ratio);
    smoothed.kneeDb.setTargetValue(std::max(settings.kneeDb, 0.01f));
    smoothed.peakRmsBlend.setTargetValue(voicing.peakRmsBlend);
    smoothed.fetAmount.setTargetValue(settings.character == characterFet ? 1.0f : 0.0f);
    smoothed.optoAmount.setTargetValue(settings.character == characterOpto ? 1.0f : 0.0f);
    smoothed.slowReleaseWeight.setTargetValue(voicing.slowRelease || settings.autoRelease ? 1.0f : 0.0f);
}

void CompressorEngine::updateDriveSettings(const EngineSettings& settings, const CharacterVoicing& voicing)
{
    driveTargetAmount = settings.driveOn ? std::clamp(settings.drivePercent * 0.01f, 0.0f, 1.0f) : 0.0f;

    const int type = std::clamp(static_cast<int>(settings.driveType), 0, EngineSettings::driveTypes - 1);
    if (currentDriveType < 0)
        currentDriveType = type;

    // A change while a crossfade runs waits for it to finish.
    if (!driveCrossfading && type != currentDriveType)
    {
        if (smoothed.driveOn.getCurrentValue() < 0.001f)
            currentDriveType = type;
        else
            beginDriveTypeChange(type);
    }

    smoothed.driveOn.setTargetValue(driveTargetAmount > 0.0f ? 1.0f : 0.0f);
    smoothed.driveAmount.setTargetValue(driveTargetAmount);
    // The colouring fades out as the drive takes over.
    smoothed.fetColour.setTargetValue(voicing.fetColour ? 1.0f - std::min(1.0f, driveTargetAmount) : 0.0f);
    smoothed.driveCompDb.setTargetValue(
        driveCompensationDb(settings, driveCrossfading ? pendingDriveType : currentDriveType));
}

void CompressorEngine::beginDriveTypeChange(int type)
{
    // The incoming slot starts from where the outgoing one is, so the blend has nothing to settle.
    DriveStage& idle = driveStages[1 - activeDriveSlot];
    idle.reset();
    idle.copyRunningStateFrom(driveStages[activeDriveSlot]);
    pendingDriveType = type;
    driveCrossfadePosition = 0;
    driveCrossfading = true;
}

void CompressorEngine::snapSmoothers()
{
    for (auto* smoother :
         {&smoothed.thresholdDb, &smoothed.ratio, &smoothed.kneeDb, &smoothed.peakRmsBlend,
          &smoothed.fetAmount, &smoothed.optoAmount, &smoothed.slowReleaseWeight, &smoothed.driveOn,
          &smoothed.driveAmount, &smoothed.fetColour, &smoothed.driveCompDb, &smoothed.processAmount})
        snap(*smoother);

    driveRampEnd = driveTargetAmount;
    smoothersInitialised = true;
}

void CompressorEngine::advanceDriveRamp(int n)
{
    const float amount = smoothed.driveAmount.skip(n);
    driveRampStart = driveRampEnd;
    driveRampEnd = std::clamp(amount, 0.0f, 1.0f);

    // A drive being switched off keeps its voicing while it fades out.
    if (amount > 0.0f)
    {
        lastNonZeroDriveAmount = amount;
        driveVoicingAmount = amount;
    }
    else if (smoothed.driveOn.getCurrentValue() > 1.0e-4f || smoothed.driveOn.getTargetValue() > 0.0f)
    {
        driveVoicingAmount = lastNonZeroDriveAmount;
    }
    else
    {
        driveVoicingAmount = 0.0f;
    }

    driveStages[activeDriveSlot].setVoicing(currentDriveType, driveVoicingAmount);
    if (driveCrossfading)
        driveStages[1 - activeDriveSlot].setVoicing(pendingDriveType, driveVoicingAmount);
}

void CompressorEngine::setOutputTargets(const EngineSettings& settings, bool snapToTargets)
{
    smoothed.makeupGain.setTargetValue(
        juce::Decibels::decibelsToGain(automaticMakeupDb(settings), silenceDb));
    smoothed.outputGain.setTargetValue(juce::Decibels::decibelsToGain(settings.outputDb, silenceDb));
    smoothed.mix.setTargetValue(std::clamp(settings.mix, 0.0f, 1.0f));

    if (snapToTargets)
    {
        snap(smoothed.makeupGain);
        snap(smoothed.outputGain);
        snap(smoothed.mix);
    }
}

float CompressorEngine::runCompressor(const juce::AudioBuffer<float>& buffer, int offset, int n, int channels,
                                      const Coefficients& k)
{
    // Separate passes keep the libm calls out of the recursions, whose state would otherwise be
    // spilled around every call; each sample still sees exactly the values one fused loop would give.
    float* level = detectorInput.getWritePointer(0);
    float* gains = blockGains.getWritePointer(0);
    float* depths = blockGains.getWritePointer(1);
    float* makeup = makeupTrack.getWritePointer(0);

    // Followers: the peak envelope replaces the linked input, the mean square goes to the depth track.
    float* meanSquares = depths;
    // Locals, because the stores below might otherwise alias the coefficients and force reloads.
    const float peakRelease = k.peakRelease;
    const float rms = k.rms;
    const float rmsInput = 1.0f - k.rms;
    float peak = peakEnvelope;
    float ms = meanSquare;
    for (int i = 0; i < n; ++i)
    {
        const float x = level[i];
        // Equal to "x if it rises above the envelope, else decay towards x", without a branch on noise.
        peak = std::max(x, x + (peak - x) * peakRelease);
        ms = x * x * rmsInput + ms * rms;
        level[i] = peak;
        meanSquares[i] = ms;
    }
    peakEnvelope = peak;
    meanSquare = ms;

    withSmoothedValues(
        smoothed.peakRmsBlend.isSmoothing(), [this] { return smoothed.peakRmsBlend.getNextValue(); },
        [&](auto&& nextBlend)
        {
            for (int i = 0; i < n; ++i)
            {
                const float blend = nextBlend();
                if (blend >= 1.0f)
                    level[i] = amplitudeToDb(level[i]);
                else if (blend <= 0.0f)
                    level[i] = amplitudeToDb(std::sqrt(meanSquares[i]));
                else
                    level[i] = (1.0f - blend) * amplitudeToDb(std::sqrt(meanSquares[i])) +
                               blend * amplitudeToDb(level[i]);
            }
        });

    struct Controls
    {
        float slowWeight, opto, fet, kneeDb, ratio, thresholdDb, makeup;
    };
    const bool ramping = smoothed.slowReleaseWeight.isSmoothing() || smoothed.optoAmount.isSmoothing() ||
                         smoothed.fetAmount.isSmoothing() || smoothed.kneeDb.isSmoothing() ||
                         smoothed.ratio.isSmoothing() || smoothed.thresholdDb.isSmoothing() ||
                         smoothed.makeupGain.isSmoothing();
    const auto nextControls = [this]
    {
        return Controls{smoothed.slowReleaseWeight.getNextValue(),
                        smoothed.optoAmount.getNextValue(),
                        smoothed.fetAmount.getNextValue(),
                        smoothed.kneeDb.getNextValue(),
                        smoothed.ratio.getNextValue(),
                        smoothed.thresholdDb.getNextValue(),
                        smoothed.makeupGain.getNextValue()};
    };

    float fast = fastGr;
    float slow = slowGr;
    float gr = gainReductionDb;
    float blockMaxDb = 0.0f;
    const Coefficients times = k;
    const bool fastByMax = times.attack <= times.release;
    const bool slowByMax = times.slowAttack <= times.slowRelease;
    withSmoothedValues(
        ramping, nextControls,
        [&](auto&& next)
        {
            for (int i = 0; i < n; ++i)
            {
                const Controls c = next();
                const float overDb = level[i] - c.thresholdDb;
                const float target = gainComputerDb(
                    overDb, characterRatioScale(c.fet, c.opto, overDb, gr) * c.ratio, c.kneeDb);

                // Each path takes the candidate of its attack or release coefficient. The smaller
                // coefficient moves further, so the chosen one is always the larger (or, with the
                // coefficients the other way round, the smaller) of the two: the same pick, no branch.
                const float fastAttack = target + (fast - target) * times.attack;
                const float fastRelease = target + (fast - target) * times.release;
                fast = fastByMax ? std::max(fastAttack, fastRelease) : std::min(fastAttack, fastRelease);
                const float half = 0.5f * target;
                const float slowAttack = half + (slow - half) * times.slowAttack;
                const float slowRelease = half + (slow - half) * times.slowRelease;
                slow = slowByMax ? std::max(slowAttack, slowRelease) : std::min(slowAttack, slowRelease);

                gr = std::max(slow * c.slowWeight, fast);
                blockMaxDb = std::max(blockMaxDb, gr);
                gains[i] = gr;
                makeup[i] = c.makeup;
            }
        });
    fastGr = fast;
    slowGr = slow;
    gainReductionDb = gr;

    bool coloured = false;
    withSmoothedValues(
        smoothed.fetColour.isSmoothing(), [this] { return smoothed.fetColour.getNextValue(); },
        [&](auto&& nextColour)
        {
            for (int i = 0; i < n; ++i)
            {
                const float depth = nextColour() * std::clamp(gains[i] / 12.0f, 0.0f, 1.0f);
                depths[i] = depth;
                coloured = coloured || depth > 0.0f;
                gains[i] = reductionToGain(gains[i]);
            }
        });

    const int processed = std::min(channels, 2);
    const float* inputs[2] = {buffer.getReadPointer(0, offset),
                              processed > 1 ? buffer.getReadPointer(1, offset) : nullptr};
    float* wets[2] = {wetBuffer.getWritePointer(0), wetBuffer.getWritePointer(1)};

    bool settled = !coloured;
    for (int c = 0; c < processed; ++c)
        settled = settled && fetPreviousColour[static_cast<size_t>(c)] == 0.0f &&
                  fetDcOutput[static_cast<size_t>(c)] == 0.0f;
    if (!settled)
    {
        applyFetColour(inputs, wets, processed, n);
        return blockMaxDb;
    }

    // No colouring and a settled DC blocker: the colour would add exactly 0.
    for (int c = 0; c < processed; ++c)
    {
        for (int i = 0; i < n; ++i)
            wets[c][i] = gains[i] * inputs[c][i] * makeup[i];
        fetPreviousInput[static_cast<size_t>(c)] = gains[n - 1] * inputs[c][n - 1];
    }

    return blockMaxDb;
}

void CompressorEngine::applyFetColour(const float* const* inputs, float* const* wets, int channels, int n)
{
    const float* gains = blockGains.getReadPointer(0);
    const float* depths = blockGains.getReadPointer(1);
    const float* makeup = makeupTrack.getReadPointer(0);
    const float r = fetDcCoefficient;

    // Both channels in one pass, so that their DC-blocker recursions overlap.
    const auto run = [&](auto channelCount)
    {
        constexpr std::size_t count = decltype(channelCount)::value;
        float previousInput[count], previousAntiderivative[count], previousColour[count], dc[count];
        for (std::size_t c = 0; c < count; ++c)
        {
            previousInput[c] = fetPreviousInput[c];
            previousAntiderivative[c] = fetColourAntiderivative(previousInput[c]);
            previousColour[c] = fetPreviousColour[c];
            dc[c] = fetDcOutput[c];
        }

        for (int i = 0; i < n; ++i)
        {
            const float depth = depths[i];
            for (std::size_t c = 0; c < count; ++c)
            {
                const float xg = gains[i] * inputs[c][i];
                const float antiderivative = fetColourAntiderivative(xg);
                const float colour = depth > 0.0f ? fetColourStep(xg, previousInput[c], antiderivative,
                                                                  previousAntiderivative[c], depth)
                                                  : 0.0f;
                // The blocker runs on every sample so that a fading colouring decays smoothly.
                dc[c] = r * dc[c] + (colour - previousColour[c]);
                previousColour[c] = colour;
                previousInput[c] = xg;
                previousAntiderivative[c] = antiderivative;
                wets[c][i] = (xg + dc[c]) * makeup[i];
            }
        }

        for (std::size_t c = 0; c < count; ++c)
        {
            fetPreviousInput[c] = previousInput[c];
            fetPreviousColour[c] = previousColour[c];
            fetDcOutput[c] = dc[c];
        }
    };

    if (channels > 1)
        run(std::integral_constant<std::size_t, 2>{});
    else
        run(std::integral_constant<std::size_t, 1>{});
}

void CompressorEngine::runDriveStage(int n, int channels)
{
    float* wet0 = wetBuffer.getWritePointer(0);
    float* mid = driveMids.getWritePointer(0);

    if (channels > 1)
    {
        float* wet1 = wetBuffer.getWritePointer(1);
        for (int i = 0; i < n; ++i)
        {
            const float l = wet0[i];
            const float r = wet1[i];
            wet0[i] = (l + r) * 0.5f;
            wet1[i] = (l - r) * 0.5f;
        }
    }
    std::copy(wet0, wet0 + n, mid);

    if (driveCrossfading)
    {
        float* incoming = driveMids.getWritePointer(1);
        std::copy(mid, mid + n, incoming);
        driveStages[1 - activeDriveSlot].process(incoming, n);
    }
    driveStages[activeDriveSlot].process(mid, n);
}

void CompressorEngine::alignLatency(int n, int channels)
{
    wetDelay.process(wetBuffer, std::min(channels, 2), n);
    dryDelay.process(dryBuffer, std::min(channels, numChannels), n);
    makeupDelay.process(makeupTrack, 1, n);
}

bool CompressorEngine::computeDriveAdd(int n)
{
    // Without an amount at either end of the ramp the drive adds exactly nothing this block.
    if (driveRampStart == 0.0f && driveRampEnd == 0.0f)
    {
        if (smoothed.driveOn.isSmoothing())
            for (int k = 0; k < n; ++k)
                smoothed.driveOn.getNextValue();
        return false;
    }

    float* add = driveMids.getWritePointer(0);
    const float* incoming = driveMids.getReadPointer(1);
    const float rampStart = driveRampStart;
    const float rampStep = (driveRampEnd - driveRampStart) / static_cast<float>(n);
    // The blend weight of sample k is (k - blendOrigin) / length, counted from the switch.
    const int blendOrigin = driveCrossfadeStart - driveCrossfadePosition - 1;
    const auto blendLength = static_cast<float>(driveCrossfadeLength);

    for (int k = 0; k < n; ++k)
    {
        float d = add[k];
        if (driveCrossfading && k > blendOrigin)
            d += (incoming[k] - d) * std::min(static_cast<float>(k - blendOrigin) / blendLength, 1.0f);
        const float amount = rampStart + static_cast<float>(k + 1) * rampStep;
        add[k] = d * amount * smoothed.driveOn.getNextValue();
    }
    return true;
}

void CompressorEngine::addDriveToWet(int n, int channels, bool driveAdds)
{
    float* mid = wetBuffer.getWritePointer(0);
    const float* add = driveMids.getReadPointer(0);

    if (channels < 2)
    {
        if (driveAdds)
            for (int k = 0; k < n; ++k)
                mid[k] += add[k];
        return;
    }

    float* side = wetBuffer.getWritePointer(1);
    const float coefficient = sideEnvelopeCoefficient;
    const float decay = sideHoldDecay;
    float dryEnvelope = sideDryEnvelope;
    float wetEnvelope = sideWetEnvelope;
    float hold = sideHold;

    if (!driveAdds && dryEnvelope == wetEnvelope)
    {
        // Both envelopes follow the same mid, so the side scale is exactly 1: only decode.
        for (int k = 0; k < n; ++k)
        {
            const float m = mid[k];
            const float s = side[k];
            dryEnvelope += (std::abs(m) - dryEnvelope) * coefficient;
            hold = std::max(hold * decay, dryEnvelope);
            mid[k] = m + s;
            side[k] = m - s;
        }
        wetEnvelope = dryEnvelope;
    }
    else
    {
        for (int k = 0; k < n; ++k)
        {
            const float m = mid[k];
            const float s = side[k];
            const float driven = driveAdds ? m + add[k] : m;
            dryEnvelope += (std::abs(m) - dryEnvelope) * coefficient;
            wetEnvelope += (std::abs(driven) - wetEnvelope) * coefficient;
            hold = std::max(hold * decay, dryEnvelope);
            // The floor keeps the scale finite where the mid falls silent under a live side.
            const float floor = std::max(1.0e-7f, 0.003f * hold);
            const float scaled = s * ((wetEnvelope + floor) / (dryEnvelope + floor));
            mid[k] = driven + scaled;
            side[k] = driven - scaled;
        }
    }

    sideDryEnvelope = dryEnvelope;
    sideWetEnvelope = wetEnvelope;
    sideHold = hold;
}

void CompressorEngine::buildOutput(juce::AudioBuffer<float>& buffer, int offset, int n, int channels)
{
    const int processed = std::min(channels, 2);
    addDriveToWet(n, processed, computeDriveAdd(n));

    const int dryChannels = std::min(channels, numChannels);
    const float* makeup = makeupTrack.getReadPointer(0);
    const float* wet[2] = {wetBuffer.getReadPointer(0), wetBuffer.getReadPointer(1)};
    const float* dry[2] = {dryBuffer.getReadPointer(0),
                           dryChannels > 1 ? dryBuffer.getReadPointer(1) : nullptr};
    float* out[2] = {buffer.getWritePointer(0, offset),
                     processed > 1 ? buffer.getWritePointer(1, offset) : nullptr};

    struct Controls
    {
        float mix, output, process, comp;
    };
    const bool compRamping = smoothed.driveCompDb.isSmoothing();
    const float steadyComp =
        juce::Decibels::decibelsToGain(smoothed.driveCompDb.getCurrentValue(), silenceDb);
    const bool ramping = compRamping || smoothed.mix.isSmoothing() || smoothed.outputGain.isSmoothing() ||
                         smoothed.processAmount.isSmoothing();
    const auto nextControls = [this, compRamping, steadyComp]
    {
        Controls c{smoothed.mix.getNextValue(), smoothed.outputGain.getNextValue(),
                   smoothed.processAmount.getNextValue(), steadyComp};
        if (compRamping)
            c.comp = juce::Decibels::decibelsToGain(smoothed.driveCompDb.getNextValue(), silenceDb);
        return c;
    };

    withSmoothedValues(ramping, nextControls,
                       [&](auto&& next)
                       {
                           for (int k = 0; k < n; ++k)
                           {
                               const Controls v = next();
                               const float mk = makeup[k];
                               for (int c = 0; c < processed; ++c)
                               {
                                   float w = wet[c][k];
                                   if (v.comp != 1.0f)
                                       w *= v.comp;
                                   const float d = c < dryChannels ? dry[c][k] : out[c][k];
                                   out[c][k] =
                                       ((v.mix * w + d * mk * (1.0f - v.mix)) * v.output - d) * v.process + d;
                               }
                           }
                       });
}

void CompressorEngine::advanceDriveCrossfade(int n)
{
    if (!driveCrossfading)
        return;

    driveCrossfadePosition += n;
    if (driveCrossfadePosition >= driveCrossfadeLength + driveCrossfadeStart)
    {
        activeDriveSlot = 1 - activeDriveSlot;
        currentDriveType = pendingDriveType;
        driveCrossfading = false;
    }
}

} // namespace tq4
