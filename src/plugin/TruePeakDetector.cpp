#include "plugin/TruePeakDetector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tq4
{

namespace
{
constexpr double pi = 3.14159265358979323846;
constexpr int chunk = 256;

// One chunk: `line` holds taps - 1 older samples followed by n new ones. Built twice so a CPU with
// AVX2 and FMA runs eight samples per instruction; the result differs only by rounding.
__attribute__((target_clones("arch=haswell", "default"))) float
chunkPeak(const float (&branch)[TruePeakDetector::phases][TruePeakDetector::taps], const float* line,
          int n) noexcept
{
    constexpr int taps = TruePeakDetector::taps;
    float peak = 0.0f;
    float y[chunk];
    for (int p = 0; p < TruePeakDetector::phases; ++p)
    {
        for (int i = 0; i < n; ++i)
            y[i] = 0.0f;
        for (int j = 0; j < taps; ++j)
        {
            const float c = branch[p][j];
            const float* x = line + (taps - 1 - j);
            for (int i = 0; i < n; ++i)
                y[i] += c * x[i];
        }
        for (int i = 0; i < n; ++i)
            peak = std::max(peak, std::abs(y[i]));
    }
    for (int i = 0; i < n; ++i)
        peak = std::max(peak, std::abs(line[taps - 1 + i]));
    return peak;
}
} // namespace

TruePeakDetector::TruePeakDetector()
{
    constexpr int designTaps = taps * phases;
    float design[designTaps];
    for (int i = 0; i < designTaps; ++i)
    {
        const double window = 0.5 - 0.5 * std::cos(2.0 * pi * i / (designTaps - 1));
        const double x = (i - 23.5) / phases;
        const double sinc = std::abs(x) < 1e-9 ? 1.0 : std::sin(pi * x) / (pi * x);
        design[i] = static_cast<float>(window * sinc);
    }

    for (int p = 0; p < phases; ++p)
    {
        double sum = 0.0;
        for (int j = 0; j < taps; ++j)
            sum += design[p + phases * j];
        const double norm = std::abs(sum) < 1e-12 ? 1.0 : sum;
        for (int j = 0; j < taps; ++j)
            branch[p][j] = static_cast<float>(design[p + phases * j] / norm);
    }
}

float TruePeakDetector::push(float x) noexcept
{
    std::memmove(history, history + 1, sizeof(float) * (taps - 1));
    history[taps - 1] = x;

    float peak = std::abs(x);
    for (int p = 0; p < phases; ++p)
    {
        float y = 0.0f;
        for (int j = 0; j < taps; ++j)
            y += branch[p][j] * history[taps - 1 - j]; // tap 0 with the newest sample
        peak = std::max(peak, std::abs(y));
    }
    return peak;
}

float TruePeakDetector::processBlock(const float* samples, int n) noexcept
{
    float line[taps - 1 + chunk];
    float peak = 0.0f;
    for (int start = 0; start < n; start += chunk)
    {
        const int m = std::min(chunk, n - start);
        std::memcpy(line, history + 1, sizeof(float) * (taps - 1));
        std::memcpy(line + taps - 1, samples + start, sizeof(float) * static_cast<size_t>(m));
        peak = std::max(peak, chunkPeak(branch, line, m));
        std::memcpy(history, line + (m - 1), sizeof(float) * taps);
    }
    return peak;
}

} // namespace tq4
