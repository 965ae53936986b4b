#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tq4
{

// ifTrue where condition holds, else ifFalse, through bit masks. Loops over a plain ?: would not vectorise
// without AVX-512: the compiler moves the arithmetic of one side behind a branch, and float arithmetic
// behind a branch (it may trap) is not evaluated speculatively.
inline float selectWithoutBranch(bool condition, float ifTrue, float ifFalse) noexcept
{
    const uint32_t mask = 0u - static_cast<uint32_t>(condition);
    uint32_t a, b;
    std::memcpy(&a, &ifTrue, sizeof a);
    std::memcpy(&b, &ifFalse, sizeof b);
    const uint32_t chosen = (a & mask) | (b & ~mask);
    float result;
    std::memcpy(&result, &chosen, sizeof result);
    return result;
}

inline float bitsToFloat(uint32_t bits) noexcept
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline uint32_t floatToBits(float f) noexcept
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// 2^r for r in [-1/2, 1/2] (a Chebyshev fit, 5e-9 relative), exactly 1 at 0, times 2^k.
inline float exp2Scaled(float r, int32_t k) noexcept
{
    float p = 0.0001545316294512069f;
    p = p * r + 0.0013390863364671234f;
    p = p * r + 0.0096180825572778515f;
    p = p * r + 0.055503571142190778f;
    p = p * r + 0.24022650760568127f;
    p = p * r + 0.69314718802622878f;
    const float v = 1.0f + r * p;
    // Within [-126, 127] the product stays a float; beyond, the caller does not pick it.
    const int32_t exponent = std::clamp(k, -126, 127);
    return bitsToFloat(floatToBits(v) + (static_cast<uint32_t>(exponent) << 23));
}

// x rounded to the nearest whole number, as a float and as an integer, for |x| below 2^22. Anything else
// (NaN included) gives some value the callers do not pick.
struct WholePart
{
    float value;
    int32_t integer;
};

inline WholePart nearestWhole(float x) noexcept
{
    constexpr float shift = 12582912.0f; // 1.5 * 2^23: its units are whole numbers
    const float shifted = x + shift;
    return {shifted - shift, static_cast<int32_t>(floatToBits(shifted) - floatToBits(shift))};
}

// min(e^-u, 1), to float rounding, for u down to -80; flushes to 0 far below any audible use.
inline float expNegativeAtMostOne(float u) noexcept
{
    const float y = -u * 1.4426950408889634f;
    const WholePart k = nearestWhole(y);
    const float e = exp2Scaled(y - k.value, k.integer);
    return std::min(selectWithoutBranch(y > -125.0f, e, 0.0f), 1.0f);
}

// The compressor's static curve: soft-knee gain computer, the characters' ratio scaling and the
// steady-state gain reduction that makeup and the learn solver predict with. All results are
// positive dB of gain reduction.

// Reduction for a level overDb above the threshold; the knee is centred on the threshold and must be
// above 0 (the engine never passes less than 0.01 dB).
inline float gainComputerDb(float overDb, float ratio, float kneeDb) noexcept
{
    const float r = std::max(ratio, 1.0f);
    const float slope = 1.0f - 1.0f / r;

    // Every piece is evaluated and one is picked, so that a loop over the curve vectorises.
    const float x = overDb + 0.5f * kneeDb;
    const float inKnee = x * x * slope / (2.0f * kneeDb);
    const float above = slope * overDb;
    const bool belowKnee = -kneeDb > 2.0f * overDb;
    const bool inside = kneeDb >= 2.0f * std::abs(overDb);
    return selectWithoutBranch(belowKnee, 0.0f, selectWithoutBranch(inside, inKnee, above));
}

// The curve written as slope(ratio) x shape: 0 below the knee, the knee's parabola x² / 2k, the level over
// the threshold above it. Apart from rounding, gainComputerDb is (1 - 1/ratio) times it; where the
// ratio follows the reduction (OPTO), the shape can be computed ahead of the recursion.
inline float gainComputerShapeDb(float overDb, float kneeDb) noexcept
{
    const float x = overDb + 0.5f * kneeDb;
    const bool belowKnee = -kneeDb > 2.0f * overDb;
    const bool inside = kneeDb >= 2.0f * std::abs(overDb);
    return selectWithoutBranch(belowKnee, 0.0f, selectWithoutBranch(inside, x * x / (2.0f * kneeDb), overDb));
}

// The set ratio with FET's share, which catches small overshoots harder: characterRatioScale's FET term,
// exp(-max(over, 0) / 6) taken as min(exp(-over / 6), 1).
inline float fetScaledRatio(float overDb, float fetAmount, float ratio) noexcept
{
    return (1.0f + 0.6f * fetAmount * expNegativeAtMostOne(overDb / 6.0f)) * ratio;
}

// Multiplier of the set ratio: FET catches small overshoots harder, OPTO grows with the reduction
// already applied. fetAmount and optoAmount are 0..1 weights of the two characters.
inline float characterRatioScale(float fetAmount, float optoAmount, float overDb,
                                 float previousGainReductionDb) noexcept
{
    float scale = 1.0f;
    if (fetAmount != 0.0f)
        scale += 0.6f * fetAmount * std::exp(-std::max(overDb, 0.0f) / 6.0f);
    if (optoAmount != 0.0f)
        scale += 0.4f * optoAmount * std::clamp(previousGainReductionDb / 10.0f, 0.0f, 1.0f);
    return scale;
}

// The character's steady-state reduction for a constant detector level, ignoring ballistics, the
// detector blend and the colouring.
float staticGainReductionDb(float levelDb, float thresholdDb, float ratio, float kneeDb,
                            int32_t character) noexcept;

} // namespace tq4
