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

IntegratedLoudnessMeter::IntegratedLoudnessMeter(double sampleRate, int expectedSamples)
{
    blockLength = sampleRate > 0.0 ? static_cast<int>(0.4 * sampleRate) : 0;
    hop = std::max(1, blockLength / 4);
    if (blockLength <= 0)
        return;
    wholeSegments = blockLength / hop;
    const int rest = blockLength % hop;
    headLength = rest > 0 ? rest : -1;
    segmentSums.assign(static_cast<size_t>(wholeSegments + 1), 0.0);
    if (expectedSamples >= blockLength)
        blockPowers.reserve(static_cast<size_t>((expectedSamples - blockLength) / hop + 1));
}

void IntegratedLoudnessMeter::closeBlock(double head)
{
    // The block that ends here starts wholeSegments hops before the current one.
    if (segments < wholeSegments)
        return;
    const auto ringSize = static_cast<long long>(segmentSums.size());
    double sum = 0.0;
    for (long long k = segments - wholeSegments; k < segments; ++k)
        sum += segmentSums[static_cast<size_t>(k % ringSize)];
    blockPowers.push_back((sum + head) / blockLength);
}

void IntegratedLoudnessMeter::closeSegment()
{
    const auto ringSize = static_cast<long long>(segmentSums.size());
    segmentSums[static_cast<size_t>(segments % ringSize)] = segmentSum;
    ++segments;
    segmentSum = 0.0;
    segmentFill = 0;
    if (headLength < 0 && blockLength > 0)
        closeBlock(0.0);
}

float IntegratedLoudnessMeter::loudness() const
{
    if (blockLength <= 0)
        return silenceLufs;
    return measureGatedLoudness(blockPowers);
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
    if (blockLength <= 0 || numSamples < blockLength)
        return silenceLufs;

    IntegratedLoudnessMeter meter(sampleRate, numSamples);
    const KWeighting weighting = makeKWeighting(sampleRate);
    if (numChannels == 2)
    {
        // The usual case, with both filters in registers.
        KWeighting left = weighting, right = weighting;
        const float* l = channels[0];
        const float* r = channels[1];
        for (int i = 0; i < numSamples; ++i)
        {
            const double yl = applyKWeighting(left, l[i]);
            const double yr = applyKWeighting(right, r[i]);
            double power = 0.0;
            power += yl * yl;
            power += yr * yr;
            meter.add(power);
        }
        return meter.loudness();
    }

    std::vector<KWeighting> filters(static_cast<size_t>(numChannels), weighting);
    for (int i = 0; i < numSamples; ++i)
    {
        double power = 0.0;
        for (int c = 0; c < numChannels; ++c)
        {
            const double y = applyKWeighting(filters[static_cast<size_t>(c)], channels[c][i]);
            power += y * y;
        }
        meter.add(power);
    }
    return meter.loudness();
}

LevelHistogramBuilder::LevelHistogramBuilder(double sampleRate)
    : blockLength(sampleRate > 0.0 ? std::max(1, static_cast<int>(std::lround(0.02 * sampleRate))) : 1)
{
}

void LevelHistogramBuilder::closeBlock() noexcept
{
    const double e = weightedSum / blockLength;
    const double rmsDb = 10.0 * std::log10(squareSum / blockLength + 1.0e-12);
    const double peakDb = 20.0 * std::log10(peak + 1.0e-6);
    const double crest = std::max(peakDb - rmsDb, 0.0);
    const int bin = binOfLevel(rmsDb);

    energy[bin] += e;
    crestSum[bin] += e * crest;
    total += e;

    fill = 0;
    weightedSum = squareSum = peak = 0.0;
}

LevelHistogram LevelHistogramBuilder::finish() const
{
    LevelHistogram histogram;
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

LevelHistogram buildLevelHistogram(const float* samples, int numSamples, double sampleRate)
{
    if (samples == nullptr || numSamples < 1 || !(sampleRate > 0.0))
        return {};

    LevelHistogramBuilder builder(sampleRate);
    auto filter = makeKWeighting(sampleRate);
    for (int i = 0; i < numSamples; ++i)
    {
        const double x = samples[i];
        const double y = applyKWeighting(filter, x);
        builder.add(x, y * y);
    }
    return builder.finish();
}

} // namespace tq4
