#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <vector>

namespace tq4
{

// A multichannel integer delay line that lines the engine's dry, wet and makeup paths up with the
// drive stage's latency. Delays in place, blocks of up to 8192 samples.
class SampleDelay
{
public:
    static constexpr int maxBlockSize = 8192;

    // Sizes and clears the rings for the channel count and a delay of at least 0 samples.
    void prepare(int numChannels, int delaySamples);
    void clear() noexcept;

    // Delays the first numChannels channels of the first numSamples samples in place.
    void process(juce::AudioBuffer<float>& buffer, int numChannels, int numSamples) noexcept;

    int getDelaySamples() const noexcept { return delay; }

private:
    int channels = 0;
    int delay = 0;
    int lineLength = 0;
    // Per channel the last `delay` input samples, followed by room for a block.
    std::vector<float> lines; // channels * lineLength
};

} // namespace tq4
