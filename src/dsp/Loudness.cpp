#include "dsp/Loudness.h"

#include <algorithm>
#include <cmath>

namespace tq4
{
namespace
{

constexpr float silenceLufs = -100.0f;
constexpr double powerFloor = 1.0e-15;
constexpr double absoluteGateLufs = -70.0;
constexpr double relativeGateLu = 10.0;

double blockLoudness(double power) noexcept
{
    return 10.0 * std::log10(std::max(power, powerFloor)) - 0.691;
}

// Clamped to the histogram's range; a NaN level lands in bin 0 and then spoils the total.
int binOfLevel(double rmsDb) noexcept
{
    const double position = std::floor(rmsDb) + 80.0;
    if (position >= LevelHistogram::bins - 1)
        return LevelHistogram::bins - 1;
    return position > 0.0 ? static_cast<int>(position) : 0;
}

} // namespace

double processBiquad(const BiquadCoefficients& c, BiquadState& state, double x) noexcept
{
    // Transposed direct form II: two state values and good behaviour in double.
    const double y = c.b0 * x + state.s1;
    state.s1 = c.b1 * x - c.a1 * y + state.s2;
    state.s2 = c.b2 * x - c.a2 * y;
    return y;
}

BiquadCoefficients kWeightingShelf(double sampleRate) noexcept
{
    const double K = std::tan(5284.078578647624 / sampleRate);
    const double Vh = std::pow(10.0, 0.19999219269866736);
    const double Vb = std::pow(Vh, 0.4996667741545416);
    const double Q = 0.7071752369554196;
    const double a0 = 1.0 + K / Q + K * K;

    BiquadCoefficients c;
    c.b0 = (Vh + Vb * K / Q + K * K) / a0;
    c.b1 = 2.0 * (K * K - Vh) / a0;
    c.b2 = (Vh - Vb * K / Q + K * K) / a0;
    c.a1 = 2.0 * (K * K - 1.0) / a0;
    c.a2 = (1.0 - K / Q + K * K) / a0;
    return c;
}

BiquadCoefficients kWeightingHighPass(double sampleRate) noexcept
{
    const double K = std::tan(119.8061151453059 / sampleRate);
    const double Q = 0.5003270373238773;
    const double a0 = 1.0 + K / Q + K * K;

    // The numerator is left unnormalised, as BS.1770 specifies it.
    BiquadCoefficients c;
    c.b0 = 1.0;
    c.b1 = -2.0;
    c.b2 = 1.0;
    c.a1 = 2.0 * (K * K - 1.0) / a0;
    c.a2 = (1.0 - K / Q + K * K) / a0;
    return c;
}

KWeighting makeKWeighting(double sampleRate) noexcept
{
    KWeighting filter;
    filter.shelf = kWeightingShelf(sampleRate);
    filter.highPass = kWeightingHighPass(sampleRate);
    return filter;
}

double applyKWeighting(KWeighting& filter, double x) noexcept
{
    return processBiquad(filter.highPass, filter.highPassState,
                         processBiquad(filter.shelf, filter.shelfState, x));
}

float measureGatedLoudness(const std::vector<double>& blockPowers)
{
    double keptSum = 0.0;
    int kept = 0;
    for (const double p : blockPowers)
        if (blockLoudness(p) > absoluteGateLufs)
        {
            keptSum += p;
            ++kept;
        }
    if (kept == 0)
        return silenceLufs;

    const double relativeGate = blockLoudness(keptSum / kept) - relativeGateLu;

    double passedSum = 0.0;
    int passed = 0;
    for (const double p : blockPowers)
    {
        const double l = blockLoudness(p);
        if (l > absoluteGateLufs && l > relativeGate)
        {
            passedSum += p;
            ++passed;
        }
    }
    if (passed == 0)
        return static_cast<float>(relativeGate + relativeGateLu);
    return static_cast<float>(blockLoudness(passedSum / passed));
}

float measureIntegratedLoudness(const float* const* channels, int numChannels, int numSamples,
                                double sampleRate)
{
    if (channels == nullptr || numChannels <= 0 || numSamples <= 0 || !(sampleRate > 0.0))
        return silenceLufs;
    for (int c = 0; c < numChannels; ++c)
        if (channels[c] == nullptr)
            return silenceLufs;

    const int blockLength = static_cast<int>(0.4 * sampleRate);
    const int hop = std::max(1, blockLength / 4);
    if (blockLength <= 0 || numSamples < blockLength)
        return silenceLufs;

    std::vector<KWeighting> filters(static_cast<size_t>(numChannels), makeKWeighting(sampleRate));
    std::vector<double> ring(static_cast<size_t>(blockLength), 0.0);
    std::vector<double> blockPowers;
    blockPowers.reserve(static_cast<size_t>((numSamples - blockLength) / hop + 1));

    size_t ringPos = 0;
    for (int i = 0; i < numSamples; ++i)
    {
        double power = 0.0;
        for (int c = 0; c < numChannels; ++c)
        {
            const double y = applyKWeighting(filters[static_cast<size_t>(c)], channels[c][i]);
            power += y * y;
        }
        ring[ringPos] = power;
        ringPos = ringPos + 1 == ring.size() ? 0 : ringPos + 1;

        const int filled = i + 1;
        if (filled >= blockLength && (filled - blockLength) % hop == 0)
        {
            // Summed afresh per block: a running sum would drift over long captures.
            double sum = 0.0;
            for (const double p : ring)
                sum += p;
            blockPowers.push_back(sum / blockLength);
        }
    }
    return measureGatedLoudness(blockPowers);
}

LevelHistogram buildLevelHistogram(const float* samples, int numSamples, double sampleRate)
{
    LevelHistogram histogram;
    if (samples == nullptr || numSamples < 1 || !(sampleRate > 0.0))
        return histogram;

    const int blockLength = std::max(1, static_cast<int>(std::lround(0.02 * sampleRate)));
    if (numSamples < blockLength)
        return histogram;

    double energy[LevelHistogram::bins] = {};
    double crestSum[LevelHistogram::bins] = {};
    double total = 0.0;
    auto filter = makeKWeighting(sampleRate);

    for (int start = 0; start + blockLength <= numSamples; start += blockLength)
    {
        double weightedSum = 0.0;
        double squareSum = 0.0;
        double peak = 0.0;
        for (int i = start; i < start + blockLength; ++i)
        {
            const double x = samples[i];
            const double y = applyKWeighting(filter, x);
            weightedSum += y * y;
            squareSum += x * x;
            peak = std::max(peak, std::abs(x));
        }
        const double e = weightedSum / blockLength;
        const double rmsDb = 10.0 * std::log10(squareSum / blockLength + 1.0e-12);
        const double peakDb = 20.0 * std::log10(peak + 1.0e-6);
        const double crest = std::max(peakDb - rmsDb, 0.0);
        const int bin = binOfLevel(rmsDb);

        energy[bin] += e;
        crestSum[bin] += e * crest;
        total += e;
    }

    if (!(total > 0.0) || !std::isfinite(total))
        return histogram;

    for (int i = 0; i < LevelHistogram::bins; ++i)
    {
        histogram.weight[i] = static_cast<float>(energy[i] / total);
        histogram.crestDb[i] = energy[i] > 0.0 ? static_cast<float>(crestSum[i] / energy[i]) : 0.0f;
    }
    histogram.valid = true;
    return histogram;
}

} // namespace tq4
