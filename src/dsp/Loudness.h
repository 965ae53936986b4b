#pragma once

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

struct BiquadState
{
    double s1 = 0.0, s2 = 0.0;
};

double processBiquad(const BiquadCoefficients& c, BiquadState& state, double x) noexcept;

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
double applyKWeighting(KWeighting& filter, double x) noexcept;

// Integrated loudness over 400 ms blocks with 75 % overlap, all channel weights 1; -100 when the
// input is missing or shorter than one block.
float measureIntegratedLoudness(const float* const* channels, int numChannels, int numSamples,
                                double sampleRate);

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

} // namespace tq4
