#pragma once

#include "dsp/CharacterVoicing.h"
#include "dsp/DriveStage.h"
#include "dsp/EngineSettings.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tq4
{

struct MidFollower;

// The decibel conversions of the engine's block passes, within about 1 ulp of 20 log10 and 10^(x/20).
// Amplitudes to dB, floored at -100 dB (0 and below included).
void amplitudesToDb(const float* amplitudes, float* decibels, int n) noexcept;
// Gain reductions in dB (from -120 dB) to linear gains; 0 from 100 dB of reduction on.
void reductionsToGains(const float* reductionsDb, float* gains, int n) noexcept;

// The whole real-time signal path: linked detector, soft-knee gain computer, two-path ballistics,
// character colouring, parallel drive, makeup, output gain, mix and the crossfade to the
// latency-aligned dry signal. One thread at a time; `process` never allocates.
class CompressorEngine
{
public:
    static constexpr int maxBlockSize = 8192;

    // Sizes everything for the rate and channel count; false when already prepared for both. An engine
    // whose drive calibrates at first use must not run on the audio thread: switching its drive on
    // calibrates there.
    bool prepare(double sampleRate, int numChannels,
                 DriveStage::Calibration driveCalibration = DriveStage::Calibration::atPrepare);
    void reset();

    // 1 processes, 0 outputs the input delayed by the latency; reached over a 10 ms ramp.
    void setProcessTarget(float target);

    // In place. numChannels carry signal; the detector reads all of them, only the first two change.
    void process(juce::AudioBuffer<float>& buffer, int numChannels, const EngineSettings& settings);

    // The drive stage's latency L, the same for every drive type; fixed for a sample rate.
    int getLatencySamples() const noexcept;

    // The slot whose drive is heard (the one being faded out while a type change crossfades).
    const DriveStage& activeDriveStage() const noexcept;
    bool isDriveCrossfading() const noexcept { return driveCrossfading; }

    // Largest gain reduction of the last block, 0 while the output is (mostly) dry.
    float gainReductionMeterDb = 0.0f;

private:
    using Smoothed = juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear>;

    // One-pole coefficients of a block, from the unsmoothed times.
    struct Coefficients
    {
        float attack = 0.0f;
        float release = 0.0f;
        float slowAttack = 0.0f;
        float slowRelease = 0.0f;
        float rms = 0.0f;
        float peakRelease = 0.0f;
    };

    void processSlice(juce::AudioBuffer<float>& buffer, int offset, int n, int channels,
                      const EngineSettings& settings);

    void sanitiseAndDetect(juce::AudioBuffer<float>& buffer, int offset, int n, int channels);
    Coefficients blockCoefficients(const EngineSettings& settings,
                                   const CharacterVoicing& voicing) const noexcept;
    void setCompressorTargets(const EngineSettings& settings, const CharacterVoicing& voicing);
    void updateDriveSettings(const EngineSettings& settings, const CharacterVoicing& voicing);
    void beginDriveTypeChange(int type);
    void snapSmoothers();
    void advanceDriveRamp(int n);
    void setOutputTargets(const EngineSettings& settings, bool snap);
    float runCompressor(const juce::AudioBuffer<float>& buffer, int offset, int n, int channels,
                        const Coefficients& coefficients);
    float runGainComputer(int n, const Coefficients& coefficients);
    void applyFetColour(const float* const* inputs, float* const* wets, int channels, int n);
    void runDriveStage(int n);
    bool computeDriveAdd(int n);
    bool addDriveToWet(int n, int channels, bool driveAdds);
    void buildOutput(juce::AudioBuffer<float>& buffer, int offset, int n, int channels);
    void keepLatencyHistory(int n, int channels);
    void advanceDriveCrossfade(int n);
    MidFollower sideFollower() const noexcept;
    void settleSideFollower(const MidFollower& follower) noexcept;
    void flushPendingMid() noexcept;

    double sampleRate = 44100.0;
    int numChannels = 0;
    bool prepared = false;
    double preparedSampleRate = 0.0;
    int preparedChannels = 0;
    int latencySamples = 0;

    // Dry, wet (mid/side for stereo) and makeup run L samples behind the input: each holds the last L
    // samples of the previous block in front of the current one, so sample k of the output reads index k.
    juce::AudioBuffer<float> dryBuffer;
    juce::AudioBuffer<float> wetBuffer;
    juce::AudioBuffer<float> makeupTrack;
    juce::AudioBuffer<float> detectorInput; // linked level and mean square of every sample of the slice
    juce::AudioBuffer<float> blockGains;    // gain and colouring depth of every sample (channels 0 and 1)
    // Mono mid copies: 0 for the active drive slot, 1 for the idle one while a type change fades in.
    // After the stages ran they hold their outputs, then channel 0 the drive added to each sample.
    juce::AudioBuffer<float> driveMids;
    // Per-sample values of smoothers while they ramp: 0 blend or mix, 1 output, 2 process, 3 drive
    // compensation.
    juce::AudioBuffer<float> controlTracks;

    float peakEnvelope = 0.0f;
    float meanSquare = 0.0f;
    float fastGr = 0.0f;
    float slowGr = 0.0f;
    float gainReductionDb = 0.0f;

    // FET colouring, per channel: last gain-reduced sample, last colouring value, DC blocker output.
    std::vector<float> fetPreviousInput;
    std::vector<float> fetPreviousColour;
    std::vector<float> fetDcOutput;
    float fetDcCoefficient = 1.0f;

    struct Smoothers
    {
        Smoothed thresholdDb, ratio, kneeDb, peakRmsBlend, fetAmount, optoAmount, slowReleaseWeight;
        Smoothed fetColour, driveOn, driveAmount, driveCompDb;
        Smoothed makeupGain, outputGain, mix, processAmount;
    };
    Smoothers smoothed;
    bool smoothersInitialised = false;

    DriveStage driveStages[2];

    // Drive bookkeeping that lives on the engine's side of the drive stage.
    float driveTargetAmount = 0.0f; // this block's unsmoothed amount, 0..1
    int currentDriveType = -1;      // -1 until the first block names one
    int pendingDriveType = -1;      // the type being faded in while a crossfade runs
    int activeDriveSlot = 0;
    bool driveCrossfading = false;
    int driveCrossfadePosition = 0;
    int driveCrossfadeStart = 16; // samples from the switch to the start of the blend
    int driveCrossfadeLength = 1; // samples of the blend
    float driveRampStart = 0.0f;  // amount at the end of the previous block
    float driveRampEnd = 0.0f;    // amount at the end of this block
    float lastNonZeroDriveAmount = 0.0f;
    float driveVoicingAmount = 0.0f; // what the drive stages are voiced for this block

    // The side follows the mid's change of level, so that the drive does not narrow the image.
    float sideDryEnvelope = 0.0f;
    float sideWetEnvelope = 0.0f;
    float sideHold = 0.0f;
    float sideEnvelopeCoefficient = 1.0f; // 2 ms
    float sideHoldDecay = 0.0f;           // 500 ms
    // The last block's delayed mid while the envelopes have still to follow it (addDriveToWet).
    juce::AudioBuffer<float> pendingMid;
    int pendingMidSamples = 0;
};

} // namespace tq4
