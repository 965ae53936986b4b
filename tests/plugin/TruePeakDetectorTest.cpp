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
