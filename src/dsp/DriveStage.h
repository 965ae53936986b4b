#pragma once

#include "dsp/DriveModels.h"
#include "dsp/DriveVoicing.h"
#include "dsp/HalfBandOversampler.h"

#include <array>
#include <vector>

// The oversampled saturation chain of the drive: takes the mid signal and returns only what the
// chain changes in it, L samples late, so that the engine can add it back scaled by the amount.
namespace tq4
{

// How a fractional delay of the oversampled path is split into a whole-sample ring delay and a
// third-order Lagrange interpolator working between 1 and 2 samples.
struct DriveAlignment
{
    int ringDelay = 0;                        // 0..15 samples
    double fraction = 1.0;                    // the Lagrange delay, 1..2 samples
    std::array<float, 4> weights{0, 1, 0, 0}; // taps 0..3
};

DriveAlignment driveAlignment(double delaySamples) noexcept;

class DriveStage
{
public:
    static constexpr int maxBlockSize = 8192;

    DriveStage();
    ~DriveStage();
    DriveStage(const DriveStage&) = delete;
    DriveStage& operator=(const DriveStage&) = delete;

    // When the envelope calibration runs: it is most of a preparation, and a render that never drives
    // needs only the latency.
    enum class Calibration
    {
        atPrepare,
        atFirstUse // by the first setVoicing that activates the stage; for engines off the audio thread
    };

    // Allocates. Takes the envelope constants and measured latencies from `other` when it is
    // prepared at the same rate. Does nothing when already prepared for the rate.
    void prepare(double sampleRate, const DriveStage* other = nullptr,
                 Calibration calibration = Calibration::atPrepare);

    // The envelope calibration, from `other` when it has one at the same rate; nothing when done.
    // Allocates nothing but takes milliseconds.
    void calibrate(const DriveStage* other = nullptr) noexcept;
    bool isCalibrated() const noexcept { return calibrated; }

    // Rebuilds the voicing and recalibrates, unless type and amount are both unchanged.
    void setVoicing(int type, float amount);

    // In place: replaces the mono block by the driven signal minus the dry one, both L samples late.
    void process(float* mono, int numSamples) noexcept;

    // Clears all running state; the next setVoicing rebuilds.
    void reset() noexcept;

    int latency() const noexcept { return latencySamples; }

    // For a click-free type change: gives this (freshly reset) stage the envelopes, the tone filter
    // and the dry delay of the stage it takes over from, so it picks up where that one is.
    void copyRunningStateFrom(const DriveStage& other) noexcept;

    bool isPrepared() const noexcept { return preparedRate > 0.0; }
    bool isActive() const noexcept { return active; }
    // After 3 s of exact digital silence the oversampled work is skipped.
    bool isSleeping() const noexcept { return silenceCounter > silenceLimit; }
    const DriveVoicing& voicing() const noexcept { return currentVoicing; }
    // 0 = 16 times, 1 = 32 times.
    int oversamplerInUse() const noexcept { return oversamplerIndex; }
    float oversamplerLatency(int index) const noexcept;
    float outputNormalisation() const noexcept { return normalisationGain; }
    float hysteresisCalibration() const noexcept { return hysteresisGain; }

private:
    void switchOversampler(int index) noexcept;
    void recalibrate() noexcept;
    void processSlice(float* mono, int numSamples) noexcept;
    // The chain at the oversampled rate over one run, in place: the samples become what the chain changes.
    void driveOversampled(float* samples, int numSamples) noexcept;
    void processInactive(float* mono, int numSamples) noexcept;
    void clearRunningFilters() noexcept;
    float measureLatency(HalfBandOversampler& oversampler);

    double preparedRate = 0.0;

    DriveVoicing currentVoicing;
    int voicingType = -1;
    float voicingAmount = -1.0f;
    bool active = false;

    // 16 and 32 times; they run over chunks of oversampledChunk samples so that a chunk's passes stay in
    // cache.
    static constexpr int oversampledChunk = 1024;
    std::array<HalfBandOversampler, 2> oversamplers;
    std::array<float, 2> latencies{};
    std::array<DriveEnvelopeConstants, 2> envelopeConstants{};
    bool calibrated = false;
    int oversamplerIndex = 1;
    DriveEnvelopeConstants envelope; // of the oversampler in use

    int latencySamples = 0;
    DriveAlignment alignment;
    std::array<float, 16> ring{};
    int ringWrite = 0;
    std::array<float, 3> interpolationHistory{};

    std::vector<float> dryDelay;
    int dryWrite = 0;

    float fullBandEnvelope = 0.0f;
    float lowBandState = 0.0f;
    float lowBandEnvelope = 0.0f;
    float toneState = 0.0f;
    float dcInput = 0.0f;
    float dcOutput = 0.0f;

    HysteresisState hysteresis;
    float hysteresisGain = 1.0f;
    bool hysteresisInitialised = false;

    std::array<CurveStageMemory, 3> curveMemories{};
    bool needsPriming = true;

    int silenceCounter = 0;
    int silenceLimit = 0;

    DriveTable testSine{};
    DriveTable hysteresisTable{};
    HysteresisCalibrationCache hysteresisCache;
    float normalisationGain = 1.0f;
    float toneCoefficient = 0.0f;
    float dcCoefficient = 0.0f;

    std::vector<float> scratch;

    // Per oversampled sample of a chunk: the sag envelope, the stage scale l, 1 / l and l², the running
    // signal and what the chain has changed in it so far.
    std::vector<float> chunkLevel, chunkScale, chunkInverse, chunkSquared, chunkSignal, chunkChange;
    CurveStageWorkspace curveWorkspace;
    HysteresisBlockWorkspace hysteresisWorkspace;
};

} // namespace tq4
