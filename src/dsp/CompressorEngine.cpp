#include "dsp/CompressorEngine.h"

#include "dsp/GainComputer.h"
#include "dsp/Makeup.h"
#include "dsp/VectorClones.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tq4
{

// The side envelopes of the output stage.
struct MidFollower
{
    float coefficient, keep, decay, envelope, hold;

    void step(const float* mid, int k) noexcept
    {
        envelope = envelope * keep + std::abs(mid[k]) * coefficient;
        hold = std::max(hold * decay, envelope);
    }
};

namespace
{

constexpr double parameterRampSeconds = 0.02;
constexpr double processRampSeconds = 0.01;
constexpr float silenceDb = -100.0f;

// 20 log10(x) for a positive normal x. With x = m 2^e and m in [sqrt(1/2), sqrt(2)), 20 log10(m) is a
// polynomial in m - 1 (a Chebyshev fit, 5e-9 relative) whose linear coefficient is split in two so that it
// rounds once; 20 log10(2) is split the same way for e.
inline float twentyLog10(float x) noexcept
{
    const uint32_t bits = floatToBits(x);
    const int32_t e = static_cast<int32_t>(bits - 0x3f3504f3u) >> 23;
    const float f = bitsToFloat(bits - (static_cast<uint32_t>(e) << 23)) - 1.0f;

    float p = -0.64720181238285963f;
    p = p * f + 1.1123680487616245f;
    p = p * f - 1.1522728433603549f;
    p = p * f + 1.2333659364963797f;
    p = p * f - 1.4425846379898679f;
    p = p * f + 1.7372595263670296f;
    p = p * f - 2.1716095683265254f;
    p = p * f + 2.8952975897593604f;
    p = p * f - 4.3429438198201836f;
    p = p * f + 3.8862846735625e-7f;

    const auto octaves = static_cast<float>(e);
    return octaves * 6.0205078125f + ((octaves * 9.2100779623904275e-5f + f * p) + f * 8.68588924407959f);
}

// x scaled by `scale` dB per 20 log10 (1 for amplitudes, 1/2 for powers), floored at -100 dB. Values below
// `audible` are far under the floor (NaN included); an overflowed value stays infinite, as libm has it.
// The logarithm runs on every x, whatever it makes of the invalid ones, which are then not picked: a
// clamped input would let the compiler branch around the work and not vectorise.
inline float flooredDb(float x, float audible, float scale) noexcept
{
    const float db = std::max(scale * twentyLog10(x), silenceDb);
    const float unlessInfinite = selectWithoutBranch(x <= FLT_MAX, db, x);
    return selectWithoutBranch(x > audible, unlessInfinite, silenceDb);
}

inline float amplitudeToDb(float amplitude) noexcept
{
    return flooredDb(amplitude, 0x1p-20f, 1.0f);
}

// 20 log10(sqrt(ms)) as 10 log10(ms): the square root would only add a rounding.
inline float meanSquareToDb(float meanSquare) noexcept
{
    return flooredDb(meanSquare, 0x1p-40f, 0.5f);
}

// 10^(-r/20) for reductions from -120 dB up, and 0 from 100 dB of reduction on (NaN included). The whole
// octaves of 20 log10(2) dB come off in two parts, exactly, so that the remainder carries no rounding of r.
inline float reductionToGain(float reductionDb) noexcept
{
    const float x = -reductionDb;
    const WholePart k = nearestWhole(x * 0.16609640474436813f);
    const float remainderDb = (x - k.value * 6.0205078125f) - k.value * 9.2100779623904275e-5f;
    const float g = exp2Scaled(remainderDb * 0.16609640474436813f, k.integer);
    return selectWithoutBranch(x > silenceDb, g, 0.0f);
}

inline float onePoleCoefficient(float seconds, float sampleRate) noexcept
{
    return std::exp(-1.0f / (std::max(seconds, 1.0e-6f) * sampleRate));
}

inline void snap(juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear>& smoother) noexcept
{
    smoother.setCurrentAndTargetValue(smoother.getTargetValue());
}

// Runs body(next), where next() yields the smoothed values of the following sample. While none of the
// smoothers ramps, next() hands out the constant values instead, so the steady case pays nothing per sample.
template <typename Next, typename Body>
void withSmoothedValues(bool ramping, Next&& ramped, Body&& body)
{
    if (ramping)
    {
        body(ramped);
        return;
    }
    const auto steady = ramped();
    body([steady] { return steady; });
}

// The two release paths of the gain reduction. Each step takes the candidates of both coefficients; the
// smaller coefficient moves further, so the one the step's direction asks for is always the larger (or, with
// the coefficients the other way round, the smaller): the same pick, no branch. The form
// target + (state - target) * c settles on a steady target, where c * state + (1 - c) * target rounds the
// whole state on every sample and drifts, over the slow path's long times, by a thousandth of a dB.
// Left unfused, the halving keeps the multiply-add on the slow envelope's own recursion: fused into
// its uses, it put a multiply and a multiply-add there instead.
[[gnu::always_inline]] inline float outsideFusedMultiplyAdd(float x) noexcept
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm("" : "+x"(x));
#endif
    return x;
}

struct Ballistics
{
    float attack, release, slowAttack, slowRelease;
    bool fastByMax, slowByMax;

    Ballistics(float attackCoefficient, float releaseCoefficient, float slowAttackCoefficient,
               float slowReleaseCoefficient) noexcept
        : attack(attackCoefficient), release(releaseCoefficient), slowAttack(slowAttackCoefficient),
          slowRelease(slowReleaseCoefficient), fastByMax(attackCoefficient <= releaseCoefficient),
          slowByMax(slowAttackCoefficient <= slowReleaseCoefficient)
    {
    }

    void step(float target, float& fast, float& slow) const noexcept
    {
        step(target, outsideFusedMultiplyAdd(0.5f * target), fast, slow);
    }

    // halfTarget is 0.5 * target, which a caller may have at hand sooner.
    void step(float target, float halfTarget, float& fast, float& slow) const noexcept
    {
        const float fastStep = fast - target;
        const float fastAttack = target + fastStep * attack;
        const float fastRelease = target + fastStep * release;
        fast = fastByMax ? std::max(fastAttack, fastRelease) : std::min(fastAttack, fastRelease);
        const float half = halfTarget;
        const float slowStep = slow - half;
        const float slowAttackValue = half + slowStep * slowAttack;
        const float slowReleaseValue = half + slowStep * slowRelease;
        slow = slowByMax ? std::max(slowAttackValue, slowReleaseValue)
                         : std::min(slowAttackValue, slowReleaseValue);
    }
};

// The linked level of one channel joins the detector's; the channel loses its NaNs and infinities.
TQ4_VECTOR_CLONES
void sanitiseChannel(float* __restrict samples, float* __restrict level, int n, bool first) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        const float magnitude = std::abs(samples[i]);
        const bool finite = magnitude <= FLT_MAX; // false for NaN and infinities
        samples[i] = selectWithoutBranch(finite, samples[i], 0.0f);
        const float heard = selectWithoutBranch(finite, magnitude, 0.0f);
        level[i] = first ? heard : std::max(level[i], heard);
    }
}

// The peak envelope replaces the linked input; the mean square goes to its own track.
struct LevelFollower
{
    float peakRelease, rmsCoefficient, rmsShare, peak, ms;

    LevelFollower(float peakReleaseCoefficient, float rms, float peakEnvelope, float meanSquare) noexcept
        : peakRelease(peakReleaseCoefficient), rmsCoefficient(rms), rmsShare(1.0f - rms), peak(peakEnvelope),
          ms(meanSquare)
    {
    }

    void step(float* __restrict level, float* __restrict meanSquares, int i) noexcept
    {
        // As "x if it rises above the envelope, else decay towards x", without a branch on noise.
        const float x = level[i];
        peak = std::max(x, x + (peak - x) * peakRelease);
        ms = x * x * rmsShare + ms * rmsCoefficient;
        level[i] = peak;
        meanSquares[i] = ms;
    }
};

TQ4_VECTOR_CLONES
void followLevel(float* __restrict level, float* __restrict meanSquares, int n,
                 LevelFollower& follower) noexcept
{
    LevelFollower f = follower;
    for (int i = 0; i < n; ++i)
        f.step(level, meanSquares, i);
    follower = f;
}

// The detector level in dB: peak and RMS blended in dB (0 pure RMS, 1 pure peak).
inline float detectorDb(float peak, float meanSquare, float blend) noexcept
{
    const float peakDb = amplitudeToDb(peak);
    const float rmsDb = meanSquareToDb(meanSquare);
    const float blended = (1.0f - blend) * rmsDb + blend * peakDb;
    return selectWithoutBranch(blend >= 1.0f, peakDb, selectWithoutBranch(blend <= 0.0f, rmsDb, blended));
}

TQ4_VECTOR_CLONES
void detectorLevelsDb(float* __restrict level, const float* __restrict meanSquares, const float* blends,
                      float blend, int n) noexcept
{
    if (blends != nullptr)
    {
        for (int i = 0; i < n; ++i)
            level[i] = detectorDb(level[i], meanSquares[i], blends[i]);
    }
    else if (blend >= 1.0f)
    {
        for (int i = 0; i < n; ++i)
            level[i] = amplitudeToDb(level[i]);
    }
    else if (blend <= 0.0f)
    {
        for (int i = 0; i < n; ++i)
            level[i] = meanSquareToDb(meanSquares[i]);
    }
    else
    {
        for (int i = 0; i < n; ++i)
            level[i] = detectorDb(level[i], meanSquares[i], blend);
    }
}

// The static curve with steady controls and no OPTO share, whose ratio would follow the reduction.
TQ4_VECTOR_CLONES
void staticCurveDb(float* levelToTarget, int n, float thresholdDb, float ratio, float kneeDb,
                   float fetAmount) noexcept
{
    if (fetAmount == 0.0f)
    {
        for (int i = 0; i < n; ++i)
            levelToTarget[i] = gainComputerDb(levelToTarget[i] - thresholdDb, ratio, kneeDb);
        return;
    }
    for (int i = 0; i < n; ++i)
    {
        const float overDb = levelToTarget[i] - thresholdDb;
        levelToTarget[i] = gainComputerDb(overDb, fetScaledRatio(overDb, fetAmount, ratio), kneeDb);
    }
}

TQ4_VECTOR_CLONES
void gainsInPlace(float* reductionsToGains, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        reductionsToGains[i] = reductionToGain(reductionsToGains[i]);
}

// The uncoloured wet signal with its makeup, as mid and side for two channels. Returns the last gain.
TQ4_VECTOR_CLONES
float gainedWet(const float* __restrict reductions, const float* __restrict makeup,
                const float* __restrict left, const float* __restrict right, float* __restrict first,
                float* __restrict second, int n) noexcept
{
    if (right == nullptr)
    {
        for (int i = 0; i < n; ++i)
            first[i] = reductionToGain(reductions[i]) * left[i] * makeup[i];
    }
    else
    {
        // The halves first: identical channels then give exactly the one-channel mid.
        for (int i = 0; i < n; ++i)
        {
            const float g = reductionToGain(reductions[i]);
            first[i] = g * ((left[i] + right[i]) * 0.5f) * makeup[i];
            second[i] = g * ((left[i] - right[i]) * 0.5f) * makeup[i];
        }
    }
    return reductionToGain(reductions[n - 1]);
}

// Both side envelopes follow the mid while the drive adds nothing.
TQ4_VECTOR_CLONES
void followMid(const float* mid, int n, MidFollower& follower) noexcept
{
    MidFollower f = follower;
    for (int k = 0; k < n; ++k)
        f.step(mid, k);
    follower = f;
}

struct CurveTarget
{
    float target, half;
};

struct BallisticsState
{
    float fast, slow, gr;
};

// The ballistics of one stretch while the level follower runs over the next stretch and the side envelopes
// over the last block's mid: the recursions do not depend on each other, so their latencies overlap.
// targetOf(i, previous reduction) is the gain computer's target of sample i. Returns the largest reduction.
// Always inlined, so that it is built for the target of each caller's clone.
template <typename Target, typename Weigh>
[[gnu::always_inline]] inline float
followStretch(Target&& targetOf, Weigh&& weighSlow, float* __restrict reductions, int n,
              const Ballistics& ballistics, BallisticsState& state, float* __restrict level,
              float* __restrict meanSquares, int levelCount, LevelFollower& levelFollower,
              const float* __restrict mid, int midCount, MidFollower& midFollower) noexcept
{
    const Ballistics b = ballistics;
    LevelFollower f = levelFollower;
    MidFollower side = midFollower;
    float fast = state.fast;
    float slow = state.slow;
    float gr = state.gr;
    float blockMaxDb = 0.0f;
    const auto follow = [&](int i)
    {
        const CurveTarget t = targetOf(i, gr);
        b.step(t.target, t.half, fast, slow);
        gr = std::max(weighSlow(slow), fast);
        blockMaxDb = std::max(blockMaxDb, gr);
        reductions[i] = gr;
    };
    // Without side envelopes (one channel, or the drive adding to them) the level follower still overlaps.
    const int withLevel = std::min(n, levelCount);
    const int all = std::min(withLevel, midCount);
    int i = 0;
    for (; i < all; ++i)
    {
        f.step(level, meanSquares, i);
        side.step(mid, i);
        follow(i);
    }
    for (; i < withLevel; ++i)
    {
        f.step(level, meanSquares, i);
        follow(i);
    }
    for (int j = i; j < n; ++j)
        follow(j);
    for (int j = i; j < levelCount; ++j)
        f.step(level, meanSquares, j);
    for (int j = all; j < midCount; ++j)
        side.step(mid, j);
    levelFollower = f;
    midFollower = side;
    state = {fast, slow, gr};
    return blockMaxDb;
}

// Targets from the static curve's pass.
TQ4_VECTOR_CLONES
float followTargetsAndLevel(const float* __restrict targets, float* __restrict reductions, int n,
                            const Ballistics& ballistics, float slowWeight, BallisticsState& state,
                            float* __restrict level, float* __restrict meanSquares, int levelCount,
                            LevelFollower& levelFollower, const float* __restrict mid, int midCount,
                            MidFollower& midFollower) noexcept
{
    const auto targetOf = [targets](int i, float) {
        return CurveTarget{targets[i], outsideFusedMultiplyAdd(0.5f * targets[i])};
    };
    return followStretch(
        targetOf, [slowWeight](float slow) { return slow * slowWeight; }, reductions, n, ballistics, state,
        level, meanSquares, levelCount, levelFollower, mid, midCount, midFollower);
}

// The stretch of samples whose level runs ahead of the ballistics.
constexpr int curveStretch = 32;

struct CurveControls
{
    float fet, opto, kneeDb, ratio, thresholdDb;
};

// With an OPTO share the ratio follows the reduction, so the curve runs inside the recursion.
TQ4_VECTOR_CLONES
float followCurveAndLevel(const float* __restrict levelsDb, const CurveControls& controls,
                          float* __restrict reductions, int n, const Ballistics& ballistics, float slowWeight,
                          BallisticsState& state, float* __restrict level, float* __restrict meanSquares,
                          int levelCount, LevelFollower& levelFollower, const float* __restrict mid,
                          int midCount, MidFollower& midFollower) noexcept
{
    const CurveControls c = controls;
    // The curve is slope * shape(level), and only the slope's ratio follows the reduction: the shape, the
    // FET share and the knee tests run ahead as a pass, leaving the recursion one division and few steps.
    float shapes[curveStretch], halfShapes[curveStretch], ratios[curveStretch];
    for (int i = 0; i < n; ++i)
    {
        shapes[i] = gainComputerShapeDb(levelsDb[i] - c.thresholdDb, c.kneeDb);
        halfShapes[i] = 0.5f * shapes[i];
    }
    if (c.fet == 0.0f)
        std::fill(ratios, ratios + n, c.ratio);
    else
        for (int i = 0; i < n; ++i)
            ratios[i] = fetScaledRatio(levelsDb[i] - c.thresholdDb, c.fet, c.ratio);
    // 0.4 * opto * clamp(gr / 10, 0, 1) of the ratio's scale, with the clamp on the reduction itself; a
    // reduction is never negative. Halving is exact, so the half target is the halves' own difference.
    const float optoPerDb = 0.04f * c.opto * c.ratio;
    // Inlined like the stretch itself, so that it is built for this clone's target.
    const auto follow = [&](auto&& targetOf) __attribute__((always_inline))
    {
        // The slow path is the recursion's longer one; at a whole weight it loses a multiply.
        if (slowWeight == 1.0f)
            return followStretch(
                targetOf, [](float slow) { return slow; }, reductions, n, ballistics, state, level,
                meanSquares, levelCount, levelFollower, mid, midCount, midFollower);
        return followStretch(
            targetOf, [slowWeight](float slow) { return slow * slowWeight; }, reductions, n, ballistics,
            state, level, meanSquares, levelCount, levelFollower, mid, midCount, midFollower);
    };
    if (c.ratio >= 1.0f)
    {
        // Every ratio is then at least 1, so the floor at 1 never acts. From 10 dB of reduction on the
        // ratio stops growing and the target no longer depends on the reduction: computed ahead, and
        // taken by a branch, which holds for long runs under heavy or light compression and, predicted,
        // cuts the recursion short.
        float tops[curveStretch], topTargets[curveStretch], topHalves[curveStretch];
        for (int i = 0; i < n; ++i)
        {
            tops[i] = ratios[i] + optoPerDb * 10.0f;
            topTargets[i] = shapes[i] - shapes[i] / tops[i];
            topHalves[i] = halfShapes[i] - halfShapes[i] / tops[i];
        }
        return follow(
            [&](int i, float previousGr)
            {
                if (previousGr >= 10.0f)
                    return CurveTarget{topTargets[i], topHalves[i]};
                const float r = ratios[i] + optoPerDb * previousGr;
                return CurveTarget{shapes[i] - shapes[i] / r, halfShapes[i] - halfShapes[i] / r};
            });
    }
    return follow(
        [&](int i, float previousGr)
        {
            const float r = std::max(ratios[i] + optoPerDb * std::min(10.0f, previousGr), 1.0f);
            return CurveTarget{shapes[i] - shapes[i] / r, halfShapes[i] - halfShapes[i] / r};
        });
}

// The FET colouring of a block before its DC blocker, from the gain-reduced input; gained[-1] holds the last
// gain-reduced sample of the block before. Every piece is evaluated and one picked, so that it vectorises.
TQ4_VECTOR_CLONES
void fetColours(const float* __restrict gains, const float* __restrict input, const float* __restrict depths,
                float* __restrict gained, float* __restrict colours, int n) noexcept
{
    constexpr float a = 0.06f;
    constexpr float b = 0.08f;
    const auto antiderivative = [](float x)
    {
        const float x3 = x * x * x;
        const float inside = a * x3 / 3.0f + 0.25f * b * x3 * x;
        const float above = (a + b) * x - 2.0f * a / 3.0f - 0.75f * b;
        const float below = (a - b) * x + 2.0f * a / 3.0f - 0.75f * b;
        return selectWithoutBranch(x > 1.0f, above, selectWithoutBranch(x < -1.0f, below, inside));
    };
    for (int i = 0; i < n; ++i)
        gained[i] = gains[i] * input[i];
    for (int i = 0; i < n; ++i)
    {
        const float x = gained[i];
        const float p = gained[i - 1];
        const float depth = depths[i];
        const float dx = x - p;
        // fetColourShaper, with a clamp that vectorises: the samples are finite.
        const float u = std::min(std::max(0.5f * (x + p), -1.0f), 1.0f);
        const float smooth = depth * (u * u * (a + b * u));
        const float stepped = depth * (antiderivative(x) - antiderivative(p)) / dx;
        const float colour = selectWithoutBranch(std::abs(dx) < 1.0e-5f, smooth, stepped);
        colours[i] = selectWithoutBranch(depth > 0.0f, colour, 0.0f);
    }
}

struct BlockerState
{
    float previousColour, output;
};

// The DC blocker runs on every sample so that a fading colouring decays smoothly. Both channels in one loop,
// so that their recursions overlap; a second channel has a null gained.
TQ4_VECTOR_CLONES
void blockFetColour(const float* const* gained, const float* const* colours, const float* __restrict makeup,
                    float* const* wets, int n, float r, BlockerState* states) noexcept
{
    const auto step = [r](float colour, float gainedSample, float mk, BlockerState& state)
    {
        state.output = r * state.output + (colour - state.previousColour);
        state.previousColour = colour;
        return (gainedSample + state.output) * mk;
    };
    BlockerState first = states[0];
    const float* __restrict g0 = gained[0];
    const float* __restrict c0 = colours[0];
    float* __restrict w0 = wets[0];
    if (gained[1] == nullptr)
    {
        for (int i = 0; i < n; ++i)
            w0[i] = step(c0[i], g0[i], makeup[i], first);
        states[0] = first;
        return;
    }
    BlockerState second = states[1];
    const float* __restrict g1 = gained[1];
    const float* __restrict c1 = colours[1];
    float* __restrict w1 = wets[1];
    for (int i = 0; i < n; ++i)
    {
        w0[i] = step(c0[i], g0[i], makeup[i], first);
        w1[i] = step(c1[i], g1[i], makeup[i], second);
    }
    states[0] = first;
    states[1] = second;
}

// The output mix of one channel. The controls are the block's steady values, or per-sample tracks.
struct MixControls
{
    float mix = 1.0f, output = 1.0f, process = 1.0f, comp = 1.0f;
    const float* mixes = nullptr;
    const float* outputs = nullptr;
    const float* processes = nullptr;
    const float* comps = nullptr;
};

inline float mixSample(float w, float d, float mk, float mix, float output, float process,
                       float comp) noexcept
{
    return ((mix * (w * comp) + d * mk * (1.0f - mix)) * output - d) * process + d;
}

// wet is the channel's wet signal, or with a side the mid it is decoded from: mid + side for the first
// channel (decode > 0), mid - side for the second (decode < 0). dry may be the output itself.
TQ4_VECTOR_CLONES
void mixChannel(float* out, const float* wet, const float* side, int decode, const float* dry,
                const float* makeup, int n, const MixControls& controls) noexcept
{
    const MixControls c = controls;
    if (c.mixes == nullptr)
    {
        if (decode > 0)
            for (int k = 0; k < n; ++k)
                out[k] = mixSample(wet[k] + side[k], dry[k], makeup[k], c.mix, c.output, c.process, c.comp);
        else if (decode < 0)
            for (int k = 0; k < n; ++k)
                out[k] = mixSample(wet[k] - side[k], dry[k], makeup[k], c.mix, c.output, c.process, c.comp);
        else
            for (int k = 0; k < n; ++k)
                out[k] = mixSample(wet[k], dry[k], makeup[k], c.mix, c.output, c.process, c.comp);
        return;
    }

    if (decode > 0)
        for (int k = 0; k < n; ++k)
            out[k] = mixSample(wet[k] + side[k], dry[k], makeup[k], c.mixes[k], c.outputs[k], c.processes[k],
                               c.comps[k]);
    else if (decode < 0)
        for (int k = 0; k < n; ++k)
            out[k] = mixSample(wet[k] - side[k], dry[k], makeup[k], c.mixes[k], c.outputs[k], c.processes[k],
                               c.comps[k]);
    else
        for (int k = 0; k < n; ++k)
            out[k] =
                mixSample(wet[k], dry[k], makeup[k], c.mixes[k], c.outputs[k], c.processes[k], c.comps[k]);
}

} // namespace

TQ4_VECTOR_CLONES
void amplitudesToDb(const float* amplitudes, float* decibels, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        decibels[i] = amplitudeToDb(amplitudes[i]);
}

TQ4_VECTOR_CLONES
void reductionsToGains(const float* reductionsDb, float* gains, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        gains[i] = reductionToGain(reductionsDb[i]);
}

bool CompressorEngine::prepare(double newSampleRate, int newNumChannels,
                               DriveStage::Calibration driveCalibration)
{
    const double rate = std::max(newSampleRate, 8000.0);
    const int channels = std::max(newNumChannels, 1);
    if (prepared && rate == preparedSampleRate && channels == preparedChannels)
    {
        if (driveCalibration == DriveStage::Calibration::atPrepare)
        {
            driveStages[0].calibrate();
            driveStages[1].calibrate(&driveStages[0]);
        }
        return false;
    }

    sampleRate = rate;
    numChannels = channels;
    const int processedChannels = std::max(channels, 2);

    const auto fetStateSize = static_cast<size_t>(processedChannels);
    fetPreviousInput.assign(fetStateSize, 0.0f);
    fetPreviousColour.assign(fetStateSize, 0.0f);
    fetDcOutput.assign(fetStateSize, 0.0f);
    // One-pole high-pass at 5 Hz.
    fetDcCoefficient = 1.0f - 31.415928f / static_cast<float>(sampleRate);

    driveMids.setSize(2, maxBlockSize);
    driveStages[0].prepare(sampleRate, nullptr, driveCalibration);
    driveStages[1].prepare(sampleRate, &driveStages[0], driveCalibration);

    // Everything else waits for the oversampled mid.
    latencySamples = driveStages[0].latency();
    driveCrossfadeStart = latencySamples + 16;
    driveCrossfadeLength = std::max(1, static_cast<int>(std::lround(0.02 * sampleRate)));
    sideEnvelopeCoefficient = static_cast<float>(1.0 - std::exp(-1.0 / (0.002 * sampleRate)));
    sideHoldDecay = static_cast<float>(std::exp(-1.0 / (0.5 * sampleRate)));

    const int delayedLength = maxBlockSize + latencySamples;
    dryBuffer.setSize(channels, delayedLength);
    wetBuffer.setSize(processedChannels, delayedLength);
    makeupTrack.setSize(1, delayedLength);
    detectorInput.setSize(2, maxBlockSize); // linked level, mean square
    blockGains.setSize(2, maxBlockSize);
    controlTracks.setSize(4, maxBlockSize + 1); // one more for the colouring's previous sample
    pendingMid.setSize(1, maxBlockSize);

    for (auto* smoother : {&smoothed.thresholdDb, &smoothed.ratio, &smoothed.kneeDb, &smoothed.peakRmsBlend,
                           &smoothed.fetAmount, &smoothed.optoAmount, &smoothed.slowReleaseWeight,
                           &smoothed.fetColour, &smoothed.driveOn, &smoothed.driveAmount,
                           &smoothed.driveCompDb, &smoothed.makeupGain, &smoothed.outputGain, &smoothed.mix})
        smoother->reset(sampleRate, parameterRampSeconds);
    smoothed.processAmount.reset(sampleRate, processRampSeconds);

    reset();

    prepared = true;
    preparedSampleRate = rate;
    preparedChannels = channels;
    return true;
}

void CompressorEngine::reset()
{
    peakEnvelope = 0.0f;
    meanSquare = 0.0f;
    fastGr = 0.0f;
    slowGr = 0.0f;
    gainReductionDb = 0.0f;

    std::fill(fetPreviousInput.begin(), fetPreviousInput.end(), 0.0f);
    std::fill(fetPreviousColour.begin(), fetPreviousColour.end(), 0.0f);
    std::fill(fetDcOutput.begin(), fetDcOutput.end(), 0.0f);

    dryBuffer.clear();
    wetBuffer.clear();
    makeupTrack.clear();
    detectorInput.clear();
    blockGains.clear();
    driveMids.clear();
    controlTracks.clear();
    for (auto& stage : driveStages)
        stage.reset();

    smoothed.outputGain.setCurrentAndTargetValue(1.0f);
    smoothed.makeupGain.setCurrentAndTargetValue(1.0f);
    smoothed.mix.setCurrentAndTargetValue(1.0f);
    smoothed.processAmount.setCurrentAndTargetValue(1.0f);
    smoothed.driveOn.setCurrentAndTargetValue(1.0f);
    smoothed.driveAmount.setCurrentAndTargetValue(0.0f);
    smoothed.driveCompDb.setCurrentAndTargetValue(0.0f);

    activeDriveSlot = 0;
    driveCrossfading = false;
    driveCrossfadePosition = 0;
    pendingDriveType = -1;
    currentDriveType = -1;
    driveTargetAmount = 0.0f;
    driveRampStart = 0.0f;
    driveRampEnd = 0.0f;
    lastNonZeroDriveAmount = 0.0f;
    driveVoicingAmount = 0.0f;
    sideDryEnvelope = 0.0f;
    sideWetEnvelope = 0.0f;
    sideHold = 0.0f;
    pendingMidSamples = 0;

    smoothersInitialised = false;
}

void CompressorEngine::setProcessTarget(float target)
{
    smoothed.processAmount.setTargetValue(target);
}

int CompressorEngine::getLatencySamples() const noexcept
{
    return latencySamples;
}

const DriveStage& CompressorEngine::activeDriveStage() const noexcept
{
    return driveStages[activeDriveSlot];
}

void CompressorEngine::process(juce::AudioBuffer<float>& buffer, int channelCount,
                               const EngineSettings& settings)
{
    const int n = buffer.getNumSamples();
    const int channels = std::min(channelCount, buffer.getNumChannels());
    if (n <= 0 || channels <= 0 || !prepared)
        return;

    // Longer blocks run as consecutive complete blocks, so smoothers and the meter advance slice by slice.
    for (int offset = 0; offset < n; offset += maxBlockSize)
        processSlice(buffer, offset, std::min(maxBlockSize, n - offset), channels, settings);
}

void CompressorEngine::processSlice(juce::AudioBuffer<float>& buffer, int offset, int n, int channels,
                                    const EngineSettings& settings)
{
    const CharacterVoicing voicing = characterVoicing(settings.character);

    sanitiseAndDetect(buffer, offset, n, channels);

    const Coefficients coefficients = blockCoefficients(settings, voicing);
    setCompressorTargets(settings, voicing);
    updateDriveSettings(settings, voicing);

    const bool firstBlock = !smoothersInitialised;
    if (firstBlock)
        snapSmoothers();

    advanceDriveRamp(n);
    setOutputTargets(settings, firstBlock);

    const float blockMaxDb = runCompressor(buffer, offset, n, channels, coefficients);
    runDriveStage(n);
    buildOutput(buffer, offset, n, channels);
    keepLatencyHistory(n, channels);
    advanceDriveCrossfade(n);

    gainReductionMeterDb = smoothed.processAmount.getCurrentValue() > 0.5f ? blockMaxDb : 0.0f;
}

void CompressorEngine::sanitiseAndDetect(juce::AudioBuffer<float>& buffer, int offset, int n, int channels)
{
    float* level = detectorInput.getWritePointer(0);

    // A buffer flagged as clear holds zeros; writing to it would drop the flag for nothing.
    if (buffer.hasBeenCleared())
        std::fill(level, level + n, 0.0f);
    else
        for (int c = 0; c < channels; ++c)
            sanitiseChannel(buffer.getWritePointer(c, offset), level, n, c == 0);

    // The dry signal, behind the last latency's worth of the previous block.
    const int dryChannels = std::min(channels, numChannels);
    for (int c = 0; c < dryChannels; ++c)
        dryBuffer.copyFrom(c, latencySamples, buffer, c, offset, n);
}

CompressorEngine::Coefficients
CompressorEngine::blockCoefficients(const EngineSettings& settings,
                                    const CharacterVoicing& voicing) const noexcept
{
    const auto sr = static_cast<float>(sampleRate);

    const float attackSeconds = std::max(settings.attackMs * 0.001f, 0.00005f);
    const float releaseMs = settings.autoRelease ? voicing.autoReleaseMs : settings.releaseMs;
    const float releaseSeconds = std::max(releaseMs * 0.001f, 0.001f);
    const float rmsWindowMs = voicing.rmsWindowMs > 0.0f ? voicing.rmsWindowMs : 5.0f;

    Coefficients k;
    k.attack = onePoleCoefficient(attackSeconds, sr);
    k.release = onePoleCoefficient(releaseSeconds, sr);
    k.slowAttack = onePoleCoefficient(std::max(0.4f, attackSeconds), sr);
    k.slowRelease = onePoleCoefficient(std::min(6.0f * std::max(releaseSeconds, 0.001f), 4.0f), sr);
    k.rms = onePoleCoefficient(rmsWindowMs * 0.001f, sr);
    k.peakRelease = onePoleCoefficient(voicing.peakReleaseMs * 0.001f, sr);
    return k;
}

void CompressorEngine::setCompressorTargets(const EngineSettings& settings, const CharacterVoicing& voicing)
{
    smoothed.thresholdDb.setTargetValue(settings.thresholdDb);
    smoothed.ratio.setTargetValue(settings.ratio);
    smoothed.kneeDb.setTargetValue(std::max(settings.kneeDb, 0.01f));
    smoothed.peakRmsBlend.setTargetValue(voicing.peakRmsBlend);
    smoothed.fetAmount.setTargetValue(settings.character == characterFet ? 1.0f : 0.0f);
    smoothed.optoAmount.setTargetValue(settings.character == characterOpto ? 1.0f : 0.0f);
    smoothed.slowReleaseWeight.setTargetValue(voicing.slowRelease || settings.autoRelease ? 1.0f : 0.0f);
}

void CompressorEngine::updateDriveSettings(const EngineSettings& settings, const CharacterVoicing& voicing)
{
    driveTargetAmount = settings.driveOn ? std::clamp(settings.drivePercent * 0.01f, 0.0f, 1.0f) : 0.0f;

    const int type = std::clamp(static_cast<int>(settings.driveType), 0, EngineSettings::driveTypes - 1);
    if (currentDriveType < 0)
        currentDriveType = type;

    // A change while a crossfade runs waits for it to finish.
    if (!driveCrossfading && type != currentDriveType)
    {
        if (smoothed.driveOn.getCurrentValue() < 0.001f)
            currentDriveType = type;
        else
            beginDriveTypeChange(type);
    }

    smoothed.driveOn.setTargetValue(driveTargetAmount > 0.0f ? 1.0f : 0.0f);
    smoothed.driveAmount.setTargetValue(driveTargetAmount);
    // The colouring fades out as the drive takes over.
    smoothed.fetColour.setTargetValue(voicing.fetColour ? 1.0f - std::min(1.0f, driveTargetAmount) : 0.0f);
    smoothed.driveCompDb.setTargetValue(
        driveCompensationDb(settings, driveCrossfading ? pendingDriveType : currentDriveType));
}

void CompressorEngine::beginDriveTypeChange(int type)
{
    // The incoming slot starts from where the outgoing one is, so the blend has nothing to settle.
    DriveStage& idle = driveStages[1 - activeDriveSlot];
    idle.reset();
    idle.copyRunningStateFrom(driveStages[activeDriveSlot]);
    pendingDriveType = type;
    driveCrossfadePosition = 0;
    driveCrossfading = true;
}

void CompressorEngine::snapSmoothers()
{
    for (auto* smoother :
         {&smoothed.thresholdDb, &smoothed.ratio, &smoothed.kneeDb, &smoothed.peakRmsBlend,
          &smoothed.fetAmount, &smoothed.optoAmount, &smoothed.slowReleaseWeight, &smoothed.driveOn,
          &smoothed.driveAmount, &smoothed.fetColour, &smoothed.driveCompDb, &smoothed.processAmount})
        snap(*smoother);

    driveRampEnd = driveTargetAmount;
    smoothersInitialised = true;
}

void CompressorEngine::advanceDriveRamp(int n)
{
    const float amount = smoothed.driveAmount.skip(n);
    driveRampStart = driveRampEnd;
    driveRampEnd = std::clamp(amount, 0.0f, 1.0f);

    // A drive being switched off keeps its voicing while it fades out.
    if (amount > 0.0f)
    {
        lastNonZeroDriveAmount = amount;
        driveVoicingAmount = amount;
    }
    else if (smoothed.driveOn.getCurrentValue() > 1.0e-4f || smoothed.driveOn.getTargetValue() > 0.0f)
    {
        driveVoicingAmount = lastNonZeroDriveAmount;
    }
    else
    {
        driveVoicingAmount = 0.0f;
    }

    driveStages[activeDriveSlot].setVoicing(currentDriveType, driveVoicingAmount);
    if (driveCrossfading)
        driveStages[1 - activeDriveSlot].setVoicing(pendingDriveType, driveVoicingAmount);
}

void CompressorEngine::setOutputTargets(const EngineSettings& settings, bool snapToTargets)
{
    smoothed.makeupGain.setTargetValue(
        juce::Decibels::decibelsToGain(automaticMakeupDb(settings), silenceDb));
    smoothed.outputGain.setTargetValue(juce::Decibels::decibelsToGain(settings.outputDb, silenceDb));
    smoothed.mix.setTargetValue(std::clamp(settings.mix, 0.0f, 1.0f));

    if (snapToTargets)
    {
        snap(smoothed.makeupGain);
        snap(smoothed.outputGain);
        snap(smoothed.mix);
    }
}

float CompressorEngine::runCompressor(const juce::AudioBuffer<float>& buffer, int offset, int n, int channels,
                                      const Coefficients& k)
{
    // Separate passes keep the conversions out of the recursions and let them vectorise; each sample still
    // sees the values one fused loop would give, up to rounding.
    float* gains = blockGains.getWritePointer(0);
    float* depths = blockGains.getWritePointer(1);
    const float* makeup = makeupTrack.getReadPointer(0, latencySamples);

    // From here on `gains` holds the reduction in dB, until it is turned into the gain.
    const float blockMaxDb = runGainComputer(n, k);

    bool coloured = false;
    const bool colourOff = !smoothed.fetColour.isSmoothing() && smoothed.fetColour.getTargetValue() == 0.0f;
    if (!colourOff)
        withSmoothedValues(
            smoothed.fetColour.isSmoothing(), [this] { return smoothed.fetColour.getNextValue(); },
            [&](auto&& nextColour)
            {
                for (int i = 0; i < n; ++i)
                {
                    const float depth = nextColour() * std::clamp(gains[i] / 12.0f, 0.0f, 1.0f);
                    depths[i] = depth;
                    coloured = coloured || depth > 0.0f;
                }
            });

    const int processed = std::min(channels, 2);
    const float* inputs[2] = {buffer.getReadPointer(0, offset),
                              processed > 1 ? buffer.getReadPointer(1, offset) : nullptr};
    float* wets[2] = {wetBuffer.getWritePointer(0, latencySamples),
                      wetBuffer.getWritePointer(1, latencySamples)};

    bool settled = !coloured;
    for (int c = 0; c < processed; ++c)
        settled = settled && fetPreviousColour[static_cast<size_t>(c)] == 0.0f &&
                  fetDcOutput[static_cast<size_t>(c)] == 0.0f;
    if (!settled)
    {
        // A colouring that has faded out still has its blocker to settle, at a depth of 0.
        if (colourOff)
            std::fill(depths, depths + n, 0.0f);
        gainsInPlace(gains, n);
        applyFetColour(inputs, wets, processed, n);
        if (processed > 1)
            for (int i = 0; i < n; ++i)
            {
                const float l = wets[0][i];
                const float r = wets[1][i];
                wets[0][i] = (l + r) * 0.5f;
                wets[1][i] = (l - r) * 0.5f;
            }
        return blockMaxDb;
    }

    // No colouring and a settled DC blocker: the colour would add exactly 0.
    const float lastGain = gainedWet(gains, makeup, inputs[0], inputs[1], wets[0], wets[1], n);
    for (int c = 0; c < processed; ++c)
        fetPreviousInput[static_cast<size_t>(c)] = lastGain * inputs[c][n - 1];

    return blockMaxDb;
}

float CompressorEngine::runGainComputer(int n, const Coefficients& k)
{
    float* level = detectorInput.getWritePointer(0);
    float* meanSquares = detectorInput.getWritePointer(1);
    float* gains = blockGains.getWritePointer(0);
    float* makeup = makeupTrack.getWritePointer(0, latencySamples);
    const Ballistics ballistics(k.attack, k.release, k.slowAttack, k.slowRelease);
    LevelFollower follower(k.peakRelease, k.rms, peakEnvelope, meanSquare);

    const float* blends = nullptr;
    float blend = 0.0f;
    if (smoothed.peakRmsBlend.isSmoothing())
    {
        float* track = controlTracks.getWritePointer(0);
        for (int i = 0; i < n; ++i)
            track[i] = smoothed.peakRmsBlend.getNextValue();
        blends = track;
    }
    else
    {
        blend = smoothed.peakRmsBlend.getNextValue();
    }

    // The block runs in stretches: the level of the next one is followed while the ballistics run over this
    // one, and the conversions in between stay passes of their own that vectorise.
    static constexpr int stretch = curveStretch;
    const auto stretchLength = [n](int start) { return std::max(0, std::min(stretch, n - start)); };
    const auto levelsDb = [&](int start, int m)
    {
        detectorLevelsDb(level + start, meanSquares + start, blends != nullptr ? blends + start : nullptr,
                         blend, m);
    };
    followLevel(level, meanSquares, stretchLength(0), follower);

    struct Controls
    {
        float slowWeight, opto, fet, kneeDb, ratio, thresholdDb, makeup;
    };
    const bool ramping = smoothed.slowReleaseWeight.isSmoothing() || smoothed.optoAmount.isSmoothing() ||
                         smoothed.fetAmount.isSmoothing() || smoothed.kneeDb.isSmoothing() ||
                         smoothed.ratio.isSmoothing() || smoothed.thresholdDb.isSmoothing() ||
                         smoothed.makeupGain.isSmoothing();
    const auto nextControls = [this]
    {
        return Controls{smoothed.slowReleaseWeight.getNextValue(),
                        smoothed.optoAmount.getNextValue(),
                        smoothed.fetAmount.getNextValue(),
                        smoothed.kneeDb.getNextValue(),
                        smoothed.ratio.getNextValue(),
                        smoothed.thresholdDb.getNextValue(),
                        smoothed.makeupGain.getNextValue()};
    };

    float blockMaxDb = 0.0f;
    if (!ramping)
    {
        const Controls c = nextControls();
        // Without OPTO the target depends on the level alone: the curve runs as a pass of its own.
        const bool curvePass = c.opto == 0.0f;
        const CurveControls curve{c.fet, c.opto, c.kneeDb, c.ratio, c.thresholdDb};
        std::fill(makeup, makeup + n, c.makeup);
        BallisticsState state{fastGr, slowGr, gainReductionDb};
        MidFollower side = sideFollower();
        const float* mid = pendingMid.getReadPointer(0);
        for (int start = 0; start < n; start += stretch)
        {
            const int m = stretchLength(start);
            levelsDb(start, m);
            const int next = start + m;
            const int midCount = std::clamp(pendingMidSamples - start, 0, m);
            float stretchMaxDb;
            if (curvePass)
            {
                staticCurveDb(level + start, m, c.thresholdDb, c.ratio, c.kneeDb, c.fet);
                stretchMaxDb = followTargetsAndLevel(
                    level + start, gains + start, m, ballistics, c.slowWeight, state, level + next,
                    meanSquares + next, stretchLength(next), follower, mid + start, midCount, side);
            }
            else
            {
                stretchMaxDb = followCurveAndLevel(
                    level + start, curve, gains + start, m, ballistics, c.slowWeight, state, level + next,
                    meanSquares + next, stretchLength(next), follower, mid + start, midCount, side);
            }
            blockMaxDb = std::max(blockMaxDb, stretchMaxDb);
        }
        if (pendingMidSamples > 0)
        {
            if (pendingMidSamples > n)
                followMid(mid + n, pendingMidSamples - n, side);
            settleSideFollower(side);
        }
        fastGr = state.fast;
        slowGr = state.slow;
        gainReductionDb = state.gr;
        peakEnvelope = follower.peak;
        meanSquare = follower.ms;
        return blockMaxDb;
    }

    float fast = fastGr;
    float slow = slowGr;
    float gr = gainReductionDb;
    withSmoothedValues(
        ramping, nextControls,
        [&](auto&& next)
        {
            for (int start = 0; start < n; start += stretch)
            {
                const int m = stretchLength(start);
                levelsDb(start, m);
                for (int i = start; i < start + m; ++i)
                {
                    const Controls c = next();
                    const float overDb = level[i] - c.thresholdDb;
                    const float target = gainComputerDb(
                        overDb, characterRatioScale(c.fet, c.opto, overDb, gr) * c.ratio, c.kneeDb);
                    ballistics.step(target, fast, slow);
                    gr = std::max(slow * c.slowWeight, fast);
                    blockMaxDb = std::max(blockMaxDb, gr);
                    gains[i] = gr;
                    makeup[i] = c.makeup;
                }
                followLevel(level + start + m, meanSquares + start + m, stretchLength(start + m), follower);
            }
        });
    fastGr = fast;
    slowGr = slow;
    gainReductionDb = gr;
    peakEnvelope = follower.peak;
    meanSquare = follower.ms;
    return blockMaxDb;
}

void CompressorEngine::applyFetColour(const float* const* inputs, float* const* wets, int channels, int n)
{
    const float* gains = blockGains.getReadPointer(0);
    const float* depths = blockGains.getReadPointer(1);
    const float* makeup = makeupTrack.getReadPointer(0, latencySamples);

    // The colouring of a sample needs only its input and the one before, so it runs as a pass of its own;
    // only the DC blocker is left to recur. The control tracks are free until the output is built.
    const float* gained[2] = {nullptr, nullptr};
    const float* colours[2] = {nullptr, nullptr};
    BlockerState blockers[2];
    for (int c = 0; c < channels; ++c)
    {
        const auto state = static_cast<size_t>(c);
        float* gainedTrack = controlTracks.getWritePointer(2 * c) + 1;
        float* colourTrack = controlTracks.getWritePointer(2 * c + 1);
        gainedTrack[-1] = fetPreviousInput[state];
        fetColours(gains, inputs[c], depths, gainedTrack, colourTrack, n);
        fetPreviousInput[state] = gainedTrack[n - 1];
        gained[c] = gainedTrack;
        colours[c] = colourTrack;
        blockers[c] = {fetPreviousColour[state], fetDcOutput[state]};
    }
    blockFetColour(gained, colours, makeup, wets, n, fetDcCoefficient, blockers);
    for (int c = 0; c < channels; ++c)
    {
        fetPreviousColour[static_cast<size_t>(c)] = blockers[c].previousColour;
        fetDcOutput[static_cast<size_t>(c)] = blockers[c].output;
    }
}

void CompressorEngine::runDriveStage(int n)
{
    // The stages take this block's mid; what they return is L samples late, level with the delayed wet.
    const float* wetMid = wetBuffer.getReadPointer(0, latencySamples);
    float* mid = driveMids.getWritePointer(0);
    std::copy(wetMid, wetMid + n, mid);

    if (driveCrossfading)
    {
        float* incoming = driveMids.getWritePointer(1);
        std::copy(mid, mid + n, incoming);
        driveStages[1 - activeDriveSlot].process(incoming, n);
    }
    driveStages[activeDriveSlot].process(mid, n);
}

bool CompressorEngine::computeDriveAdd(int n)
{
    // Without an amount at either end of the ramp the drive adds exactly nothing this block.
    if (driveRampStart == 0.0f && driveRampEnd == 0.0f)
    {
        if (smoothed.driveOn.isSmoothing())
            for (int k = 0; k < n; ++k)
                smoothed.driveOn.getNextValue();
        return false;
    }

    float* add = driveMids.getWritePointer(0);
    const float* incoming = driveMids.getReadPointer(1);
    const float rampStart = driveRampStart;
    const float rampStep = (driveRampEnd - driveRampStart) / static_cast<float>(n);
    // The blend weight of sample k is (k - blendOrigin) / length, counted from the switch.
    const int blendOrigin = driveCrossfadeStart - driveCrossfadePosition - 1;
    const auto blendLength = static_cast<float>(driveCrossfadeLength);

    for (int k = 0; k < n; ++k)
    {
        float d = add[k];
        if (driveCrossfading && k > blendOrigin)
            d += (incoming[k] - d) * std::min(static_cast<float>(k - blendOrigin) / blendLength, 1.0f);
        const float amount = rampStart + static_cast<float>(k + 1) * rampStep;
        add[k] = d * amount * smoothed.driveOn.getNextValue();
    }
    return true;
}

bool CompressorEngine::addDriveToWet(int n, int channels, bool driveAdds)
{
    float* mid = wetBuffer.getWritePointer(0);
    const float* add = driveMids.getReadPointer(0);

    if (channels < 2)
    {
        if (driveAdds)
            for (int k = 0; k < n; ++k)
                mid[k] += add[k];
        return false;
    }

    flushPendingMid();
    if (!driveAdds && sideDryEnvelope == sideWetEnvelope)
    {
        // Both envelopes follow the same mid, so the side scale is exactly 1: the mix decodes. They follow it
        // during the next block's ballistics, whose latency hides theirs; whatever reads them flushes first.
        std::copy(mid, mid + n, pendingMid.getWritePointer(0));
        pendingMidSamples = n;
        return true;
    }

    float* side = wetBuffer.getWritePointer(1);
    const float coefficient = sideEnvelopeCoefficient;
    const float keep = 1.0f - coefficient;
    const float decay = sideHoldDecay;
    float dryEnvelope = sideDryEnvelope;
    float wetEnvelope = sideWetEnvelope;
    float hold = sideHold;
    for (int k = 0; k < n; ++k)
    {
        const float m = mid[k];
        const float s = side[k];
        const float driven = driveAdds ? m + add[k] : m;
        dryEnvelope = dryEnvelope * keep + std::abs(m) * coefficient;
        wetEnvelope = wetEnvelope * keep + std::abs(driven) * coefficient;
        hold = std::max(hold * decay, dryEnvelope);
        // The floor keeps the scale finite where the mid falls silent under a live side.
        const float floor = std::max(1.0e-7f, 0.003f * hold);
        const float scaled = s * ((wetEnvelope + floor) / (dryEnvelope + floor));
        mid[k] = driven + scaled;
        side[k] = driven - scaled;
    }
    sideDryEnvelope = dryEnvelope;
    sideWetEnvelope = wetEnvelope;
    sideHold = hold;
    return false;
}

MidFollower CompressorEngine::sideFollower() const noexcept
{
    return {sideEnvelopeCoefficient, 1.0f - sideEnvelopeCoefficient, sideHoldDecay, sideDryEnvelope,
            sideHold};
}

void CompressorEngine::settleSideFollower(const MidFollower& follower) noexcept
{
    sideDryEnvelope = follower.envelope;
    sideWetEnvelope = follower.envelope;
    sideHold = follower.hold;
    pendingMidSamples = 0;
}

void CompressorEngine::flushPendingMid() noexcept
{
    if (pendingMidSamples == 0)
        return;
    MidFollower side = sideFollower();
    followMid(pendingMid.getReadPointer(0), pendingMidSamples, side);
    settleSideFollower(side);
}

void CompressorEngine::buildOutput(juce::AudioBuffer<float>& buffer, int offset, int n, int channels)
{
    const int processed = std::min(channels, 2);
    const bool decodeInMix = addDriveToWet(n, processed, computeDriveAdd(n));

    const int dryChannels = std::min(channels, numChannels);
    const float* makeup = makeupTrack.getReadPointer(0);
    const float* wet[2] = {wetBuffer.getReadPointer(0), wetBuffer.getReadPointer(1)};
    float* out[2] = {buffer.getWritePointer(0, offset),
                     processed > 1 ? buffer.getWritePointer(1, offset) : nullptr};

    MixControls controls;
    const bool compRamping = smoothed.driveCompDb.isSmoothing();
    const float steadyComp =
        juce::Decibels::decibelsToGain(smoothed.driveCompDb.getCurrentValue(), silenceDb);
    if (compRamping || smoothed.mix.isSmoothing() || smoothed.outputGain.isSmoothing() ||
        smoothed.processAmount.isSmoothing())
    {
        float* mixes = controlTracks.getWritePointer(0);
        float* outputs = controlTracks.getWritePointer(1);
        float* processes = controlTracks.getWritePointer(2);
        float* comps = controlTracks.getWritePointer(3);
        for (int k = 0; k < n; ++k)
        {
            mixes[k] = smoothed.mix.getNextValue();
            outputs[k] = smoothed.outputGain.getNextValue();
            processes[k] = smoothed.processAmount.getNextValue();
            comps[k] = compRamping
                           ? juce::Decibels::decibelsToGain(smoothed.driveCompDb.getNextValue(), silenceDb)
                           : steadyComp;
        }
        controls.mixes = mixes;
        controls.outputs = outputs;
        controls.processes = processes;
        controls.comps = comps;
    }
    else
    {
        controls.mix = smoothed.mix.getNextValue();
        controls.output = smoothed.outputGain.getNextValue();
        controls.process = smoothed.processAmount.getNextValue();
        controls.comp = steadyComp;
    }

    for (int c = 0; c < processed; ++c)
    {
        // A channel without a dry copy mixes against its own input.
        const float* dry = c < dryChannels ? dryBuffer.getReadPointer(c) : out[c];
        if (decodeInMix)
            mixChannel(out[c], wet[0], wet[1], c == 0 ? 1 : -1, dry, makeup, n, controls);
        else
            mixChannel(out[c], wet[c], nullptr, 0, dry, makeup, n, controls);
    }
}

void CompressorEngine::keepLatencyHistory(int n, int channels)
{
    // The last L samples of the block become the front of the next one.
    const auto bytes = sizeof(float) * static_cast<size_t>(latencySamples);
    const auto keep = [n, bytes](juce::AudioBuffer<float>& track, int channel)
    {
        float* samples = track.getWritePointer(channel);
        std::memmove(samples, samples + n, bytes);
    };
    for (int c = 0; c < std::min(channels, 2); ++c)
        keep(wetBuffer, c);
    for (int c = 0; c < std::min(channels, numChannels); ++c)
        keep(dryBuffer, c);
    keep(makeupTrack, 0);
}

void CompressorEngine::advanceDriveCrossfade(int n)
{
    if (!driveCrossfading)
        return;

    driveCrossfadePosition += n;
    if (driveCrossfadePosition >= driveCrossfadeLength + driveCrossfadeStart)
    {
        activeDriveSlot = 1 - activeDriveSlot;
        currentDriveType = pendingDriveType;
        driveCrossfading = false;
    }
}

} // namespace tq4
