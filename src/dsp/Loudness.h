#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tq4
{

// BS.1770 loudness of captured audio and the level histogram the automatic makeup learns from.
// Pure functions for background threads; each call owns its filters.

// One second-order section in double precision; a0 is normalised to 1.
struct BiquadCoefficients
{
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
};

// The last two inputs and outputs of one section.
struct BiquadState
{
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
};

// Direct form I, in double: the feed-forward terms and the older output's come first, so that only one
// multiply and one subtraction separate an output from the next. Inline: the loudness passes run it for
// every sample.
inline double processBiquad(const BiquadCoefficients& c, BiquadState& state, double x) noexcept
{
    const double ahead = c.b0 * x + c.b1 * state.x1 + c.b2 * state.x2 - c.a2 * state.y2;
    const double y = ahead - c.a1 * state.y1;
    state.x2 = state.x1;
    state.x1 = x;
    state.y2 = state.y1;
    state.y1 = y;
    return y;
}

// The BS.1770 K-weighting pair in closed form, valid at any sample rate.
BiquadCoefficients kWeightingShelf(double sampleRate) noexcept;
BiquadCoefficients kWeightingHighPass(double sampleRate) noexcept;

// K-weighting of one channel: high shelf then high-pass, state from zero.
struct KWeighting
{
    BiquadCoefficients shelf, highPass;
    BiquadState shelfState, highPassState;
};

KWeighting makeKWeighting(double sampleRate) noexcept;

inline double applyKWeighting(KWeighting& filter, double x) noexcept
{
    return processBiquad(filter.highPass, filter.highPassState,
                         processBiquad(filter.shelf, filter.shelfState, x));
}

// Integrated loudness over 400 ms blocks with 75 % overlap, all channel weights 1; -100 when the
// input is missing or shorter than one block.
float measureIntegratedLoudness(const float* const* channels, int numChannels, int numSamples,
                                double sampleRate);

// The integrated loudness of a stream of K-weighted powers (summed over channels), fed one sample
// at a time, so that one filter pass can also serve other measures.
class IntegratedLoudnessMeter
{
public:
    // expectedSamples only sizes the list of block powers.
    IntegratedLoudnessMeter(double sampleRate, int expectedSamples);

    void add(double power) noexcept
    {
        // A block is q whole hops plus the first r samples of the next: sums per hop keep the work per
        // sample constant, where summing every block afresh cost a pass over the whole block.
        segmentSum += power;
        ++segmentFill;
        if (segmentFill == headLength)
            closeBlock(segmentSum);
        if (segmentFill == hop)
            closeSegment();
    }

    // -100 when no block was filled.
    float loudness() const;

private:
    void closeBlock(double head);
    void closeSegment();

    int blockLength = 0, hop = 1;
    int wholeSegments = 0; // q: whole hops in a block
    int headLength = -1;   // r: samples of the next hop that complete a block; -1 when there are none
    double segmentSum = 0.0;
    int segmentFill = 0;
    long long segments = 0;          // completed hops
    std::vector<double> segmentSums; // the last q + 1 hop sums, ring
    std::vector<double> blockPowers;
};

// The absolute (-70 LUFS) and relative (-10 LU) gates applied to mean-square block powers.
float measureGatedLoudness(const std::vector<double>& blockPowers);

// Share of K-weighted energy per 1 dB band of 20 ms RMS level; bin i covers i - 80 to i - 79 dBFS.
// Laid out like the histogram block of EngineSettings.
struct LevelHistogram
{
    static constexpr int bins = 81;

    bool valid = false;
    float weight[bins] = {};
    float crestDb[bins] = {}; // energy-weighted mean peak-to-RMS ratio of the band
};

LevelHistogram buildLevelHistogram(const float* samples, int numSamples, double sampleRate);

// buildLevelHistogram a sample at a time: x is the sample, weightedPower its squared K-weighted value.
class LevelHistogramBuilder
{
public:
    explicit LevelHistogramBuilder(double sampleRate);

    void add(double x, double weightedPower) noexcept
    {
        weightedSum += weightedPower;
        squareSum += x * x;
        peak = std::max(peak, std::abs(x));
        if (++fill == blockLength)
            closeBlock();
    }

    // A trailing partial block is left out; not valid without energy.
    LevelHistogram finish() const;

private:
    void closeBlock() noexcept;

    int blockLength = 1;
    int fill = 0;
    double weightedSum = 0.0, squareSum = 0.0, peak = 0.0;
    double energy[LevelHistogram::bins] = {};
    double crestSum[LevelHistogram::bins] = {};
    double total = 0.0;
};

} // namespace tq4
