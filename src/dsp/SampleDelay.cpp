#include "dsp/SampleDelay.h"

#include <algorithm>
#include <cstring>

namespace tq4
{

void SampleDelay::prepare(int numChannels, int delaySamples)
{
    channels = std::max(numChannels, 0);
    delay = std::max(delaySamples, 0);
    lineLength = delay + maxBlockSize;
    lines.assign(static_cast<size_t>(channels) * static_cast<size_t>(lineLength), 0.0f);
}

void SampleDelay::clear() noexcept
{
    std::fill(lines.begin(), lines.end(), 0.0f);
}

void SampleDelay::process(juce::AudioBuffer<float>& buffer, int numChannels, int numSamples) noexcept
{
    // Without a delay the line would only hand back what was just written.
    if (delay == 0 || numSamples <= 0)
        return;

    const int k = std::min({numChannels, channels, buffer.getNumChannels()});
    const int n = std::min(numSamples, buffer.getNumSamples());
    const auto historyBytes = sizeof(float) * static_cast<size_t>(delay);

    for (int c = 0; c < k; ++c)
    {
        float* line = lines.data() + static_cast<size_t>(c) * static_cast<size_t>(lineLength);
        float* data = buffer.getWritePointer(c);
        // Block copies: the input goes behind the history, the output is the front of the line, and the
        // line's end becomes the next history.
        for (int start = 0; start < n; start += maxBlockSize)
        {
            const int m = std::min(maxBlockSize, n - start);
            const auto bytes = sizeof(float) * static_cast<size_t>(m);
            std::memcpy(line + delay, data + start, bytes);
            std::memcpy(data + start, line, bytes);
            std::memmove(line, line + m, historyBytes);
        }
    }
}

} // namespace tq4
