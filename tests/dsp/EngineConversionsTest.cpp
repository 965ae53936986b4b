#include "dsp/CompressorEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

namespace
{

// How far a float result lies from the exact value, in units of the float spacing at the exact value.
double ulpsFrom(float value, double exact)
{
    const float rounded = std::abs(static_cast<float>(exact));
    const double spacing =
        static_cast<double>(std::nextafter(rounded, std::numeric_limits<float>::infinity())) - rounded;
    return std::abs(static_cast<double>(value) - exact) / spacing;
}

// Log-spaced over [fromDb, toDb] dB of amplitude, plus both sides of every octave boundary and of
// every sqrt(2) point in between, where the range reduction of the logarithm switches.
std::vector<float> amplitudeSweep(double fromDb, double toDb, int count)
{
    std::vector<float> amplitudes;
    for (int i = 0; i <= count; ++i)
        amplitudes.push_back(
            static_cast<float>(std::pow(10.0, (fromDb + (toDb - fromDb) * i / count) / 20.0)));
    for (int e = -17; e <= 4; ++e)
        for (const double point : {1.0, std::sqrt(2.0)})
        {
            const auto x = static_cast<float>(std::ldexp(point, e));
            amplitudes.push_back(x);
            amplitudes.push_back(std::nextafter(x, 0.0f));
            amplitudes.push_back(std::nextafter(x, 100.0f));
        }
    return amplitudes;
}

TEST(EngineConversions, AmplitudesToDbStayWithinTwoUlpOfTwentyLog10)
{
    // The detector's range: from below the -100 dB floor to +24 dBFS.
    const auto amplitudes = amplitudeSweep(-110.0, 24.0, 1 << 20);
    std::vector<float> db(amplitudes.size());
    tq4::amplitudesToDb(amplitudes.data(), db.data(), static_cast<int>(amplitudes.size()));

    double worst = 0.0, worstLibm = 0.0;
    for (size_t i = 0; i < amplitudes.size(); ++i)
    {
        const float a = amplitudes[i];
        const double exact = 20.0 * std::log10(static_cast<double>(a));
        if (exact < -100.0)
        {
            ASSERT_EQ(db[i], -100.0f) << a;
            continue;
        }
        worst = std::max(worst, ulpsFrom(db[i], exact));
        // The single-precision libm route the engine took before, for comparison.
        worstLibm = std::max(worstLibm, ulpsFrom(6.0205999132796239f * std::log2(a), exact));
    }
    std::cout << "[ measured ] amplitude to dB: " << worst
              << " ulp at most (single-precision log2: " << worstLibm << " ulp)\n";
    EXPECT_LE(worst, 2.0);

    const float special[] = {0.0f, -0.5f, std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
    float out[5];
    tq4::amplitudesToDb(special, out, 5);
    EXPECT_EQ(out[0], -100.0f);
    EXPECT_EQ(out[1], -100.0f);
    EXPECT_EQ(out[2], -100.0f);
    EXPECT_EQ(out[3], -100.0f);
    EXPECT_EQ(out[4], std::numeric_limits<float>::infinity());
}

TEST(EngineConversions, ReductionsToGainsStayWithinOneAndAHalfUlpOfTenToTheMinusReductionOverTwenty)
{
    // Every reduction the engine can ask for, 0 to 100 dB, and a little beyond.
    std::vector<float> reductions;
    const int count = 1 << 20;
    for (int i = 0; i <= count; ++i)
        reductions.push_back(110.0f * static_cast<float>(i) / static_cast<float>(count));
    std::vector<float> gains(reductions.size());
    tq4::reductionsToGains(reductions.data(), gains.data(), static_cast<int>(reductions.size()));

    double worst = 0.0, worstLibm = 0.0;
    for (size_t i = 0; i < reductions.size(); ++i)
    {
        const float r = reductions[i];
        if (r >= 100.0f)
        {
            ASSERT_EQ(gains[i], 0.0f) << r;
            continue;
        }
        const double exact = std::pow(10.0, -static_cast<double>(r) / 20.0);
        worst = std::max(worst, ulpsFrom(gains[i], exact));
        worstLibm = std::max(worstLibm, ulpsFrom(std::exp(-r * 0.11512925464970229f), exact));
    }
    std::cout << "[ measured ] reduction to gain: " << worst
              << " ulp at most (single-precision exp: " << worstLibm << " ulp)\n";
    EXPECT_LE(worst, 1.5);

    // No reduction is exactly unity gain, which the dry-equals-wet paths rely on.
    const float special[] = {0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0e30f};
    float out[3];
    tq4::reductionsToGains(special, out, 3);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], 0.0f);
}

} // namespace
