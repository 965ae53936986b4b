#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// Material of several kinds for learn runs, synthesised from the sample index alone so that any block
// size, channel or start gives the same samples. Header-only: the benchmarks use it too.
namespace tq4test
{

enum class LearnMaterial
{
    drums,   // kick, snare and hats at 120 bpm
    vocal,   // a sung line: harmonics, vibrato, phrases with breaths between them
    bass,    // plucked eighth notes in the lowest octaves
    noisyMix // a noise bed under drums and bass, its level drifting
};

inline const char* materialName(LearnMaterial m)
{
    switch (m)
    {
    case LearnMaterial::drums:
        return "drums";
    case LearnMaterial::vocal:
        return "vocal";
    case LearnMaterial::bass:
        return "bass";
    case LearnMaterial::noisyMix:
        return "noisyMix";
    }
    return "";
}

// Uniform in [-1, 1], a pure function of index and salt.
inline double hashNoise(int64_t index, uint64_t salt)
{
    uint64_t z = static_cast<uint64_t>(index) * 0x9E3779B97F4A7C15ull + salt * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

namespace detail
{

constexpr double twoPi = 6.283185307179586;

inline double drums(int channel, int64_t index, double rate)
{
    const auto step = static_cast<int64_t>(rate * 0.25);
    const int64_t stepIndex = index / step;
    const double t = static_cast<double>(index % step) / rate;
    const int inBar = static_cast<int>(stepIndex % 16);

    double out = 0.0;
    if (inBar == 0 || inBar == 3 || inBar == 8 || inBar == 10)
    {
        // The pitch falls from 120 Hz towards 50 Hz; the phase is its closed-form integral.
        const double phase = twoPi * (50.0 * t + 70.0 / 30.0 * (1.0 - std::exp(-30.0 * t)));
        out += 0.85 * std::exp(-9.0 * t) * std::sin(phase);
    }
    if (inBar == 4 || inBar == 12)
        out += std::exp(-18.0 * t) * (0.35 * hashNoise(index, 7) + 0.25 * std::sin(twoPi * 190.0 * t));
    const double hatLevel = stepIndex % 2 == 0 ? 0.10 : 0.06;
    const double hat = hashNoise(index, 11) - hashNoise(index - 1, 11);
    out += hatLevel * std::exp(-60.0 * t) * hat * (channel == 0 ? 0.8 : 1.0);
    return out;
}

inline double vocal(int channel, int64_t index, double rate)
{
    // Phrases of four notes and a breath; the line rises and falls from phrase to phrase.
    constexpr double noteSeconds[4] = {0.55, 0.7, 0.45, 0.9};
    constexpr double phraseNotes = 0.55 + 0.7 + 0.45 + 0.9;
    constexpr double breathSeconds = 0.45;
    constexpr double phraseSeconds = phraseNotes + breathSeconds;
    constexpr double pitches[8] = {220.0, 246.9, 261.6, 293.7, 329.6, 293.7, 261.6, 196.0};

    const double time = static_cast<double>(index) / rate;
    const auto phrase = static_cast<int64_t>(std::floor(time / phraseSeconds));
    double t = time - static_cast<double>(phrase) * phraseSeconds;
    if (t >= phraseNotes)
        return 0.004 * hashNoise(index, 23 + static_cast<uint64_t>(channel)); // breath

    int note = 0;
    while (note < 3 && t >= noteSeconds[note])
        t -= noteSeconds[note++];
    const double length = noteSeconds[note];
    const double f0 = pitches[(phrase * 3 + note) % 8];

    // Vibrato of about a third of a semitone at 5.5 Hz, in closed form: f(t) = f0 (1 + a sin(2 pi v t)).
    constexpr double depth = 0.02, rateHz = 5.5;
    const double phase = twoPi * f0 * t + f0 * depth / rateHz * (1.0 - std::cos(twoPi * rateHz * t));
    // Two vowel-like resonances over the harmonics.
    double voice = 0.0;
    for (int k = 1; k <= 10; ++k)
    {
        const double f = f0 * k;
        const double formants = 1.0 / (1.0 + std::pow((f - 700.0) / 250.0, 2.0)) +
                                0.6 / (1.0 + std::pow((f - 2400.0) / 400.0, 2.0));
        voice += (0.25 / k + formants) * std::sin(k * phase);
    }
    const double attack = std::min(1.0, t / 0.06);
    const double release = std::min(1.0, (length - t) / 0.08);
    const double swell = 0.55 + 0.35 * std::sin(twoPi * static_cast<double>(phrase % 4) / 4.0 + t);
    return 0.16 * swell * attack * release * voice * (channel == 0 ? 1.0 : 0.92);
}

inline double bass(int, int64_t index, double rate)
{
    constexpr double pitches[8] = {41.2, 41.2, 49.0, 55.0, 41.2, 73.4, 55.0, 49.0};
    const auto step = static_cast<int64_t>(rate * 0.25);
    const double t = static_cast<double>(index % step) / rate;
    const double f0 = pitches[(index / step) % 8];

    double string = 0.0;
    for (int k = 1; k <= 6; ++k)
        string +=
            std::sin(twoPi * f0 * k * t) / std::pow(static_cast<double>(k), 1.5) * std::exp(-2.0 * k * t);
    const double pluck = t < 0.003 ? 0.2 * hashNoise(index, 31) * (1.0 - t / 0.003) : 0.0;
    return 0.5 * std::exp(-5.0 * t) * std::min(1.0, t / 0.002) * string + pluck;
}

inline double noisyMix(int channel, int64_t index, double rate)
{
    const double time = static_cast<double>(index) / rate;
    const auto salt = 41 + static_cast<uint64_t>(channel);
    const double bed = 0.5 * (hashNoise(index, salt) + hashNoise(index - 1, salt));
    const double level = 0.12 * (1.0 + 0.5 * std::sin(twoPi * 0.3 * time));
    return level * bed + 0.55 * drums(channel, index, rate) + 0.45 * bass(channel, index, rate);
}

} // namespace detail

inline float learnMaterialSample(LearnMaterial m, int channel, int64_t index, double rate)
{
    switch (m)
    {
    case LearnMaterial::drums:
        return static_cast<float>(detail::drums(channel, index, rate));
    case LearnMaterial::vocal:
        return static_cast<float>(detail::vocal(channel, index, rate));
    case LearnMaterial::bass:
        return static_cast<float>(detail::bass(channel, index, rate));
    case LearnMaterial::noisyMix:
        return static_cast<float>(detail::noisyMix(channel, index, rate));
    }
    return 0.0f;
}

// seconds of one channel from the start.
inline std::vector<float> learnMaterial(LearnMaterial m, int channel, double seconds, double rate)
{
    std::vector<float> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = learnMaterialSample(m, channel, static_cast<int64_t>(i), rate);
    return samples;
}

} // namespace tq4test
