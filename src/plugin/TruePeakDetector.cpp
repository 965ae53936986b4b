#include "plugin/TruePeakDetector.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr double pi = 3.14159265358979323846;
}

namespace tq4
{

TruePeakDetector::TruePeakDetector()
{
    constexpr int designTaps = taps * phases;
    double design[designTaps];
    for (int i = 0; i < designTaps; ++i)
    {
        const double window = 0.5 - 0.5 * std::cos (2.0 * pi * i / (designTaps - 1));
        const double x = (i - 23.5) / phases;
        const double sinc = std::abs (x) < 1e-9 ? 1.0 : std::sin (pi * x) / (pi * x);
        design[i] = window * sinc;
    }

    for (int p = 0; p < phases; ++p)
    {
        double sum = 0.0;
        for (int j = 0; j < taps; ++j)
            sum += static_cast<double> (static_cast<float> (design[p + phases * j]));
        const double norm = std::abs (sum) < 1e-12 ? 1.0 : sum;
        for (int j = 0; j < taps; ++j)
            branch[p][j] = static_cast<float> (static_cast<double> (static_cast<float> (design[p + phases * j])) / norm);
    }
}

float TruePeakDetector::push (float x) noexcept
{
    position = (position + taps - 1) % taps;
    history[position] = x;
    history[position + taps] = x;
    const float* recent = history + position;

    float peak = std::abs (x);
    for (int p = 0; p < phases; ++p)
    {
        float y = 0.0f;
        for (int j = 0; j < taps; ++j)
            y += branch[p][j] * recent[j];
        peak = std::max (peak, std::abs (y));
    }
    return peak;
}

float TruePeakDetector::processBlock (const float* samples, int n) noexcept
{
    float peak = 0.0f;
    for (int i = 0; i < n; ++i)
        peak = std::max (peak, push (samples[i]));
    return peak;
}

} // namespace tq4
