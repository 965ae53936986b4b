#include "plugin/TruePeakDetector.h"

#include "dsp/VectorClones.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tq4
{

namespace
{
constexpr double pi = 3.14159265358979323846;

// `line` holds taps - 1 older samples followed by n new ones. Sixteen samples at a time, the four
// phases accumulate in registers while each input vector is loaded once per tap. Built for AVX-512, for AVX2
// with FMA and for baseline x86-64 (feature-dispatched, so that any vendor's CPU gets its build); the results
// differ only by rounding.
TQ4_VECTOR_CLONES float chunkPeak(const float (&branch)[TruePeakDetector::phases][TruePeakDetector::taps],
                                  const float* line, int n) noexcept
{
    constexpr int taps = TruePeakDetector::taps;
    constexpr int lanes = 16; // as the head of processBlock
    using Lanes = float __attribute__((vector_size(lanes * sizeof(float))));

    Lanes peaks{};
    int i = 0;
    for (; i + lanes <= n; i += lanes)
    {
        Lanes y0{}, y1{}, y2{}, y3{};
        for (int j = 0; j < taps; ++j)
        {
            Lanes x;
            std::memcpy(&x, line + (taps - 1 - j) + i, sizeof x);
            y0 += branch[0][j] * x;
            y1 += branch[1][j] * x;
            y2 += branch[2][j] * x;
            y3 += branch[3][j] * x;
        }
        Lanes centre;
        std::memcpy(&centre, line + taps - 1 + i, sizeof centre);
        const Lanes zero{};
        y0 = y0 < zero ? -y0 : y0;
        y1 = y1 < zero ? -y1 : y1;
        y2 = y2 < zero ? -y2 : y2;
        y3 = y3 < zero ? -y3 : y3;
        centre = centre < zero ? -centre : centre;
        y0 = y0 > y1 ? y0 : y1;
        y2 = y2 > y3 ? y2 : y3;
        y0 = y0 > y2 ? y0 : y2;
        y0 = y0 > centre ? y0 : centre;
        peaks = y0 > peaks ? y0 : peaks;
    }

    float peak = 0.0f;
    for (int l = 0; l < lanes; ++l)
        peak = std::max(peak, peaks[l]);

    for (; i < n; ++i)
    {
        for (int p = 0; p < TruePeakDetector::phases; ++p)
        {
            float y = 0.0f;
            for (int j = 0; j < taps; ++j)
                y += branch[p][j] * line[taps - 1 - j + i];
            peak = std::max(peak, std::abs(y));
        }
        peak = std::max(peak, std::abs(line[taps - 1 + i]));
    }
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
        double magnitudes = 0.0;
        for (int j = 0; j < taps; ++j)
        {
            branch[p][j] = static_cast<float>(design[p + phases * j] / norm);
            magnitudes += std::abs(static_cast<double>(branch[p][j]));
        }
        bound = std::max(bound, static_cast<float>(magnitudes * 1.001));
    }
}

float TruePeakDetector::historyPeak() const noexcept
{
    float peak = 0.0f;
    for (const float x : history)
        peak = std::max(peak, std::abs(x));
    return peak;
}

void TruePeakDetector::skipBlock(const float* samples, int n) noexcept
{
    if (n > 0)
        remember(samples, n);
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
    if (n <= 0)
        return 0.0f;

    // Only the first taps - 1 outputs reach back into the history; the rest read the block in place. The
    // head is one vector long, so that a block of whole vectors stays whole vectors.
    constexpr int reach = taps - 1;
    constexpr int headLength = 16;
    const int head = std::min(headLength, n);
    float line[reach + headLength];
    std::memcpy(line, history + 1, sizeof(float) * reach);
    std::memcpy(line + reach, samples, sizeof(float) * static_cast<size_t>(head));
    float peak = chunkPeak(branch, line, head);
    if (n > head)
        peak = std::max(peak, chunkPeak(branch, samples + (head - reach), n - head));

    remember(samples, n);
    return peak;
}

void TruePeakDetector::remember(const float* samples, int n) noexcept
{
    if (n >= taps)
    {
        std::memcpy(history, samples + (n - taps), sizeof(float) * taps);
    }
    else
    {
        std::memmove(history, history + n, sizeof(float) * static_cast<size_t>(taps - n));
        std::memcpy(history + (taps - n), samples, sizeof(float) * static_cast<size_t>(n));
    }
}

} // namespace tq4
