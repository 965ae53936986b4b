#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <cstdint>

// Test signals synthesised in code, deterministic for a given seed.
namespace tq4test
{

void fillSine(juce::AudioBuffer<float>& buffer, double sampleRate, double frequencyHz, float amplitude);
void fillNoise(juce::AudioBuffer<float>& buffer, float amplitude, int64_t seed);

// Largest absolute difference between two buffers over their common channels and samples.
float maxAbsDifference(const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b);

} // namespace tq4test
