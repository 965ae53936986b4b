#include "dsp/HalfBandOversampler.h"

#include <juce_dsp/juce_dsp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace
{

// The cascade as JUCE builds it for the drive: 16 times has JUCE's own four stages, 32 times a fifth.
std::unique_ptr<juce::dsp::Oversampling<float>> juceCascade(int stages, int maxBlock)
{
    using Oversampling = juce::dsp::Oversampling<float>;
    auto oversampler = std::make_unique<Oversampling>(1);
    oversampler->clearOversamplingStages();

    for (int n = 0; n < stages; ++n)
    {
        const float widthScale = n == 0 ? 0.5f : 1.0f;
        oversampler->addOversamplingStage(Oversampling::filterHalfBandFIREquiripple, 0.12f * widthScale,
                                          -70.0f + 8.0f * static_cast<float>(n), 0.15f * widthScale,
                                          -60.0f + 8.0f * static_cast<float>(n));
    }

    oversampler->setUsingIntegerLatency(false);
    oversampler->initProcessing(static_cast<size_t>(maxBlock));
    return oversampler;
}

class DriveOversampler : public testing::TestWithParam<int>
{
};

} // namespace

TEST_P(DriveOversampler, MatchesJuceUpAndDownWithinRoundingWhateverTheRunLengths)
{
    const int stages = GetParam();
    constexpr int maxRun = 64;
    auto reference = juceCascade(stages, maxRun);
    tq4::HalfBandOversampler oversampler;
    oversampler.prepare(stages, maxRun);
    ASSERT_EQ(oversampler.factor(), 1 << stages);
    EXPECT_FLOAT_EQ(oversampler.latencyInSamples(), reference->getLatencyInSamples());

    std::mt19937 random(5);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> input(3000);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = uniform(random) + 0.4f * static_cast<float>(std::sin(0.01 * static_cast<double>(i)));

    const int runs[] = {64, 1, 17, 64, 33, 5, 64, 60};
    float worstUp = 0.0f, worstDown = 0.0f, peak = 0.0f;
    std::vector<float> mine(maxRun), theirs(maxRun);
    size_t position = 0;

    for (int r = 0; position + maxRun < input.size(); ++r)
    {
        const int n = runs[r % 8];
        std::copy(input.begin() + static_cast<long>(position),
                  input.begin() + static_cast<long>(position) + n, mine.begin());
        std::copy(mine.begin(), mine.begin() + n, theirs.begin());
        position += static_cast<size_t>(n);

        float* channels[] = {theirs.data()};
        juce::dsp::AudioBlock<float> block(channels, 1, static_cast<size_t>(n));
        auto up = reference->processSamplesUp(block);
        float* upTheirs = up.getChannelPointer(0);
        float* upMine = oversampler.processUp(mine.data(), n);

        for (int j = 0; j < n * oversampler.factor(); ++j)
        {
            worstUp = std::max(worstUp, std::abs(upMine[j] - upTheirs[j]));
            peak = std::max(peak, std::abs(upTheirs[j]));
            // Something nonlinear in between, as the drive does.
            upMine[j] = std::tanh(2.0f * upMine[j]);
            upTheirs[j] = std::tanh(2.0f * upTheirs[j]);
        }

        reference->processSamplesDown(block);
        oversampler.processDown(mine.data(), n);

        for (int k = 0; k < n; ++k)
            worstDown =
                std::max(worstDown, std::abs(mine[static_cast<size_t>(k)] - theirs[static_cast<size_t>(k)]));
    }

    EXPECT_GT(peak, 0.5f);
    EXPECT_LT(worstUp, 2.0e-6f);
    EXPECT_LT(worstDown, 2.0e-6f);
}

TEST_P(DriveOversampler, ResetForgetsEverything)
{
    tq4::HalfBandOversampler oversampler;
    oversampler.prepare(GetParam(), 32);
    std::vector<float> x(32, 0.3f);
    oversampler.processUp(x.data(), 32);
    oversampler.processDown(x.data(), 32);
    oversampler.reset();

    std::vector<float> zeros(32, 0.0f);
    const float* up = oversampler.processUp(zeros.data(), 32);
    for (int j = 0; j < 32 * oversampler.factor(); ++j)
        ASSERT_EQ(up[j], 0.0f) << j;
    oversampler.processDown(zeros.data(), 32);
    for (float v : zeros)
        ASSERT_EQ(v, 0.0f);
}

INSTANTIATE_TEST_SUITE_P(SixteenAndThirtyTwoTimes, DriveOversampler, testing::Values(4, 5));
