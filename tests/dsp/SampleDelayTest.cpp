#include "dsp/SampleDelay.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

using namespace tq4;

// Runs a ramp 1, 2, 3, ... through the delay in blocks of the given size and returns channel c's output.
std::vector<float> delayedRamp(SampleDelay& delay, int channels, int totalSamples, int blockSize, int channel)
{
    std::vector<float> out;
    juce::AudioBuffer<float> block(channels, blockSize);
    for (int start = 0; start < totalSamples; start += blockSize)
    {
        const int n = std::min(blockSize, totalSamples - start);
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < n; ++i)
                block.setSample(c, i, static_cast<float>((start + i + 1) * (c + 1)));
        delay.process(block, channels, n);
        for (int i = 0; i < n; ++i)
            out.push_back(block.getSample(channel, i));
    }
    return out;
}

TEST(SampleDelay, DelaysEveryChannelByExactlyTheDelay)
{
    struct Case
    {
        int delaySamples, blockSize, totalSamples;
    };
    const Case cases[] = {
        {0, 64, 300}, {1, 64, 300}, {37, 5, 300}, {37, 8192, 20000}, {5000, 8192, 40000}, {3, 1, 50},
    };
    for (const auto& c : cases)
    {
        SampleDelay delay;
        delay.prepare(2, c.delaySamples);
        EXPECT_EQ(delay.getDelaySamples(), c.delaySamples);
        for (int channel = 0; channel < 2; ++channel)
        {
            delay.clear();
            const auto out = delayedRamp(delay, 2, c.totalSamples, c.blockSize, channel);
            for (int i = 0; i < c.totalSamples; ++i)
            {
                const int source = i - c.delaySamples;
                const float expected = source < 0 ? 0.0f : static_cast<float>((source + 1) * (channel + 1));
                ASSERT_EQ(out[static_cast<size_t>(i)], expected)
                    << "delay " << c.delaySamples << " block " << c.blockSize << " channel " << channel
                    << " at " << i;
            }
        }
    }
}

TEST(SampleDelay, ClearForgetsTheHistoryAndChannelsBeyondTheCountStayUntouched)
{
    SampleDelay delay;
    delay.prepare(2, 4);
    juce::AudioBuffer<float> block(3, 8);
    block.clear();
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 8; ++i)
            block.setSample(c, i, 1.0f);

    delay.process(block, 1, 8);
    EXPECT_EQ(block.getSample(0, 3), 0.0f);
    EXPECT_EQ(block.getSample(0, 4), 1.0f);
    EXPECT_EQ(block.getSample(1, 0), 1.0f); // only the first channel was asked for
    EXPECT_EQ(block.getSample(2, 0), 1.0f);

    delay.clear();
    block.clear();
    delay.process(block, 1, 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(block.getSample(0, i), 0.0f);
}

} // namespace
