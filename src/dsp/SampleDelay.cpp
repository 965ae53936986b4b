#include "dsp/SampleDelay.h"

#include <algorithm>

namespace tq4
{

void SampleDelay::prepare(int numChannels, int delaySamples)
{
    channels = std::max(numChannels, 0);
    delay = std::max(delaySamples, 0);
    ringLength = delay + maxBlockSize + 1;
    rings.assign(static_cast<size_t>(channels) * static_cast<size_t>(ringLength), 0.0f);
    writePosition = 0;
}

void SampleDelay::clear() noexcept
{
    std::fill(rings.begin(), rings.end(), 0.0f);
    writePosition = 0;
}

void SampleDelay::process(juce::AudioBuffer<float>& buffer, int numChannels, int numSamples) noexcept
{
    // Without a delay the ring would only hand back what was just written.
    if (delay == 0 || numSamples <= 0)
        return;

    const int k = std::min({numChannels, channels, buffer.getNumChannels()});
    const int n = std::min(numSamples, buffer.getNumSamples());

    for (int c = 0; c < k; ++c)
    {
        float* ring = rings.data() + static_cast<size_t>(c) * static_cast<size_t>(ringLength);
        float* data = buffer.getWritePointer(c);
        int write = writePosition;
        int read = write - delay;
        if (read < 0)
            read += ringLength;

        for (int i = 0; i < n; ++i)
        {
            ring[write] = data[i];
            data[i] = ring[read];
            if (++write == ringLength)
                write = 0;
            if (++read == ringLength)
                read = 0;
        }
    }

    writePosition = (writePosition + n) % ringLength;
}

} // namespace tq4
