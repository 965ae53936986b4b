#pragma once

#include <cmath>
#include <cstdint>

namespace tq4
{

// How a character listens and reacts: the detector's balance and times, the release base used by
// Auto Release, the slow release path and the FET colouring.
struct CharacterVoicing
{
    float autoReleaseMs = 100.0f;
    float rmsWindowMs = 5.0f;  // 0 or less means 5 ms
    float peakRmsBlend = 0.5f; // 0 pure RMS, 1 pure peak, blended in dB between
    float peakReleaseMs = 25.0f;
    bool slowRelease = false;
    bool fetColour = false;
};

inline constexpr int32_t characterOpto = 1;
inline constexpr int32_t characterFet = 2;
inline constexpr int32_t characterVca = 3;

// 1 OPTO, 2 FET; every other index, AUTO's 0 included, is VCA.
CharacterVoicing characterVoicing(int32_t character) noexcept;

// The FET colouring before its DC blocker: a*x^2 + b*x^3 with a = 0.06 and b = 0.08 on x clamped to
// [-1, 1], scaled by the depth (0..1), evaluated with first-order antiderivative anti-aliasing over the
// step previous -> x. The depth scales the curve linearly, so the unit-depth pieces below serve any depth.

// The unit-depth shaper.
inline float fetColourShaper(float x) noexcept
{
    const float u = std::fmin(std::fmax(x, -1.0f), 1.0f);
    return u * u * (0.06f + 0.08f * u);
}

// The continuous antiderivative of the unit-depth shaper.
inline float fetColourAntiderivative(float x) noexcept
{
    constexpr float a = 0.06f;
    constexpr float b = 0.08f;
    if (x > 1.0f)
        return (a + b) * x - 2.0f * a / 3.0f - 0.75f * b;
    if (x < -1.0f)
        return (a - b) * x + 2.0f * a / 3.0f - 0.75f * b;
    const float x3 = x * x * x;
    return a * x3 / 3.0f + 0.25f * b * x3 * x;
}

// One step with both antiderivatives at hand, for callers that carry the previous one along.
inline float fetColourStep(float x, float previous, float antiderivativeX, float antiderivativePrevious,
                           float depth) noexcept
{
    const float dx = x - previous;
    if (std::abs(dx) < 1.0e-5f)
        return depth * fetColourShaper(0.5f * (x + previous));
    return depth * (antiderivativeX - antiderivativePrevious) / dx;
}

inline float fetColourValue(float x, float previous, float depth) noexcept
{
    return fetColourStep(x, previous, fetColourAntiderivative(x), fetColourAntiderivative(previous), depth);
}

} // namespace tq4
