#pragma once

#include "dsp/EngineSettings.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <functional>

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

} // namespace tq4
