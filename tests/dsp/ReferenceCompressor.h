#pragma once

#include "dsp/EngineSettings.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tq4test
{

// The engine's audio path with the drive off, written as plainly as it can be: one pass per sample, the
// dB conversions through log10 and pow, every formula spelt out here rather than borrowed from the
// product. Slow on purpose; it exists to hold the optimised engine to the behaviour it must keep.
// Only settings with the drive off (driveOn false or a drive of 0 %) are modelled.
class ReferenceCompressor
{
public:
    // The latency is the engine's (the drive stage fixes it); everything else starts as after a reset.
    ReferenceCompressor(double sampleRate, int numChannels, int latencySamples);

    void setProcessTarget(float target);

    // In place, as CompressorEngine::process.
    void process(juce::AudioBuffer<float>& buffer, int numChannels, const tq4::EngineSettings& settings);

    // Largest gain reduction of the last block, 0 while the output is (mostly) dry.
    float gainReductionMeterDb = 0.0f;

    // Per sample of the last block and processed channel: the sum of the magnitudes of the terms the output
    // was built from, the scale against which rounding differences are judged.
    const std::vector<float>& termMagnitudes(int channel) const
    {
        return magnitudes[static_cast<size_t>(channel)];
    }

    // Per sample of the last block: how far the FET colouring's antiderivative step may have been moved by
    // the rounding of its two antiderivatives, which it divides by a step of the signal that can be as small
    // as 1e-5. Any two float evaluations of that step may differ by this much.
    const std::vector<float>& colourRounding() const { return colourSlack; }

private:
    using Smoothed = juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear>;

    void processSlice(float* const* channels, int n, int channelCount, const tq4::EngineSettings& settings);
    float colour(int channel, float xg, float depth, float& slack);

    // An integer delay of `latency` samples.
    struct Delay
    {
        std::vector<float> ring;
        size_t position = 0;
        float push(float x);
    };

    double sampleRate;
    int numChannels;
    int latency;

    float peakEnvelope = 0.0f;
    float meanSquare = 0.0f;
    float fastGr = 0.0f;
    float slowGr = 0.0f;
    float gainReductionDb = 0.0f;

    // FET colouring per channel: previous gain-reduced sample, previous colouring value, DC-blocker output.
    float previousInput[2] = {};
    float previousColour[2] = {};
    float dcOutput[2] = {};

    Smoothed thresholdDb, ratio, kneeDb, peakRmsBlend, fetAmount, optoAmount, slowReleaseWeight, fetColour;
    Smoothed makeupGain, outputGain, mix, processAmount;
    bool smoothersInitialised = false;

    std::vector<Delay> wetDelay, dryDelay;
    Delay makeupDelay, slackDelay;
    std::vector<std::vector<float>> wet, dry, magnitudes;
    std::vector<float> makeupTrack, slackTrack, colourSlack;
};

} // namespace tq4test
