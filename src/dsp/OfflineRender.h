#pragma once

#include "dsp/DriveStage.h"
#include "dsp/EngineSettings.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tq4
{

// Runs a capture through a fresh engine, away from the audio thread, with the engine's latency
// removed, and measures what comes out.
struct OfflineRenderResult
{
    float loudnessLufs = -100.0f;
    float peak = 0.0f; // linear
    bool cancelled = false;
};

// `output` receives numChannels x numSamples of rendered, time-aligned audio. `shouldCancel`, when
// set, is asked every 64 blocks of 512 samples on the calling thread.
OfflineRenderResult renderOffline(const float* const* channels, int numChannels, int numSamples,
                                  double sampleRate, const EngineSettings& settings,
                                  juce::AudioBuffer<float>& output,
                                  const std::function<bool()>& shouldCancel = {});

class CompressorEngine;

// Prepared engines for the offline renders of all instances in the process, kept while any instance
// holds the pool (the drive EQ worker does): preparing an engine builds its drive's oversamplers and
// calibrations, which costs more than rendering a learn's capture without the drive. A leased engine
// is prepared for the rate and channel count asked for and reset, so it renders as a fresh one would.
class OfflineEnginePool
{
public:
    OfflineEnginePool();
    ~OfflineEnginePool();

    class Lease
    {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();

        CompressorEngine& engine() const noexcept { return *leased; }

    private:
        friend class OfflineEnginePool;
        Lease(OfflineEnginePool& pool, std::unique_ptr<CompressorEngine> engine, double sampleRate,
              int numChannels) noexcept;

        OfflineEnginePool* pool = nullptr;
        std::unique_ptr<CompressorEngine> leased;
        double rate = 0.0;
        int channels = 0;
    };

    // An engine for renders that never drive can leave its drive's calibration until first use.
    Lease acquire(double sampleRate, int numChannels,
                  DriveStage::Calibration driveCalibration = DriveStage::Calibration::atPrepare);

    // Engines kept idle at most; more are destroyed on return.
    static constexpr size_t maxIdle = 4;

private:
    struct Idle
    {
        std::unique_ptr<CompressorEngine> engine;
        double sampleRate;
        int numChannels;
    };

    void giveBack(std::unique_ptr<CompressorEngine> engine, double sampleRate, int numChannels);

    std::mutex lock;
    std::vector<Idle> idle; // the most recently returned last
};

// The same through an engine the caller keeps for a series of renders: it is prepared only when
// the rate or channel count changed and reset before every render, so each render starts as a
// fresh engine would. The drive stage's oversamplers are built once instead of once per render.
OfflineRenderResult renderOffline(CompressorEngine& engine, const float* const* channels, int numChannels,
                                  int numSamples, double sampleRate, const EngineSettings& settings,
                                  juce::AudioBuffer<float>& output,
                                  const std::function<bool()>& shouldCancel = {});

} // namespace tq4
