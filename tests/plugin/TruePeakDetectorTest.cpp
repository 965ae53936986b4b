#include "plugin/TruePeakDetector.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(TruePeakDetector, BlocksAgreeWithSampleBySampleDetection)
{
    juce::Random random(11);
    std::vector<float> signal(5000);
    for (auto& x : signal)
        x = 2.0f * random.nextFloat() - 1.0f;

    for (const int blockSize : {1, 7, 255, 256, 257, 1000})
    {
        tq4::TruePeakDetector bySample, byBlock;
        for (size_t start = 0; start < signal.size(); start += static_cast<size_t>(blockSize))
        {
            const int n = static_cast<int>(std::min(signal.size() - start, static_cast<size_t>(blockSize)));
            float expected = 0.0f;
            for (int i = 0; i < n; ++i)
                expected = std::max(expected, bySample.push(signal[start + static_cast<size_t>(i)]));
            ASSERT_NEAR(byBlock.processBlock(signal.data() + start, n), expected, 1e-5f)
                << "block " << blockSize << " at " << start;
        }
    }
}

TEST(TruePeakDetector, FindsThePeakBetweenSamples)
{
    // A quarter-rate sine sampled 45 degrees off its peaks: samples at ±0.707, true peak 1.
    std::vector<float> signal(2048);
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = static_cast<float>(std::sin(juce::MathConstants<double>::halfPi * static_cast<double>(i) +
                                                0.25 * juce::MathConstants<double>::pi));

    tq4::TruePeakDetector detector;
    detector.processBlock(signal.data(), 1024);
    const float peak = detector.processBlock(signal.data() + 1024, 1024);
    EXPECT_GT(peak, 0.95f);
    EXPECT_LT(peak, 1.05f);

    tq4::TruePeakDetector silent;
    std::vector<float> zeros(300, 0.0f);
    EXPECT_EQ(silent.processBlock(zeros.data(), 300), 0.0f);
}

TEST(TruePeakDetector, TheGainBoundHoldsAndASkippedBlockLeavesWhatFollowsUnchanged)
{
    // Blocks of noise at levels from -40 dB to +6 dB, and the quarter-rate sine that overshoots most.
    juce::Random random(5);
    std::vector<std::vector<float>> blocks;
    for (int b = 0; b < 60; ++b)
    {
        const int n = 1 + random.nextInt(700);
        const float level = std::pow(10.0f, (random.nextFloat() * 46.0f - 40.0f) / 20.0f);
        std::vector<float> block(static_cast<size_t>(n));
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = b % 7 == 3
                           ? level * static_cast<float>(std::sin(1.5707963 * static_cast<double>(i) + 0.785))
                           : level * (2.0f * random.nextFloat() - 1.0f);
        blocks.push_back(std::move(block));
    }

    tq4::TruePeakDetector filtered, skipping;
    for (size_t b = 0; b < blocks.size(); ++b)
    {
        const auto& block = blocks[b];
        const int n = static_cast<int>(block.size());
        float blockPeak = 0.0f;
        for (const float x : block)
            blockPeak = std::max(blockPeak, std::abs(x));
        const float reach = std::max(blockPeak, filtered.historyPeak());

        const float peak = filtered.processBlock(block.data(), n);
        EXPECT_LE(peak, reach * filtered.gainBound()) << "block " << b;
        // Every other block is skipped by the second detector; the blocks after must agree exactly.
        if (b % 2 == 0)
            skipping.skipBlock(block.data(), n);
        else
            EXPECT_EQ(skipping.processBlock(block.data(), n), peak) << "block " << b;
    }
}
