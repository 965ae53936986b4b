#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

// The mathematics the drive stage runs at the oversampled rate: the saturation curve, the curve stage
// with its odd blend and anti-aliased step, the hysteresis model and the level calibrations.
namespace tq4
{

// Constants of the saturation curve, derived once per voicing from its knee r (> 1).
struct DriveCurveConstants
{
    double r = 2.4;  // end of the 3/2-power law
    double P = 0.0;  // value at r
    double u = 0.0;  // slope at r
    double v = 0.0;  // parabola coefficient beyond r
    double E = 0.0;  // value at r + 1
    double s1 = 0.0; // slope beyond r + 1
    double I0 = 0.0; // integral from 0 to r
    double I1 = 0.0; // integral from 0 to r + 1
    // Premultiplied so the per-sample integral divides by nothing.
    double halfU = 0.0, thirdV = 0.0, halfS1 = 0.0;
};

DriveCurveConstants driveCurveConstants(double kneeR) noexcept;

// A 3/2-power law, continued by a parabola from r and a straight line from r + 1; 0.06 × a below 0.
double driveCurve(double a, const DriveCurveConstants& curve) noexcept;
double driveCurveIntegral(double a, const DriveCurveConstants& curve) noexcept;

// The curve in the form the block passes evaluate in float. With y = x / l and a = 1 + y, the stage is
// written as g(x) − x = l × K(y) and its difference integral as Φ(x) = l² × J(y); on the 3/2-power piece,
// with d = √a − 1 = y / (√a + 1), J = d³ (2/3 + d (5/6 + 4/15 d)) and K = d² (1 + 2/3 d), which keeps the
// small values small instead of taking them as differences of large ones. The other pieces are
// polynomials in a, t = a − r or t − 1 whose coefficients are taken in double here.
struct DriveCurveBlockConstants
{
    float r = 2.4f;
    float jBelow[3] = {};  // a ≤ 0: J = j0 + a (j1 + a j2)
    float kBelow[2] = {};  // a ≤ 0: K = k0 + a k1
    float jKnee[4] = {};   // r < a < r + 1: J = j0 + t (j1 + t (j2 + t j3))
    float kKnee[3] = {};   // r < a < r + 1: K = k0 + t (k1 + t k2)
    float jLinear[3] = {}; // a ≥ r + 1, b = t − 1: J = j0 + b (j1 + b j2)
    float kLinear[2] = {}; // a ≥ r + 1: K = k0 + b k1
};

DriveCurveBlockConstants driveCurveBlockConstants(const DriveCurveConstants& curve) noexcept;

// What the curve stage needs from the voicing besides the per-sample scale l.
struct DriveShape
{
    DriveCurveConstants curve;
    DriveCurveBlockConstants block;
    float amount = 0.0f;   // below 1e-4 the stage is the identity
    float symmetry = 0.0f; // 0 keeps the curve's asymmetry, 1 keeps only its odd part
};

// g: the curve biased to 1 and scaled by the headroom l, with g(0) = 0 and unit slope at 0.
double curveStageRaw(double x, double scaleL, const DriveCurveConstants& curve) noexcept;
// Antiderivative of g (its value at 0 is 0.4 × 2/3 × l²).
double curveStageRawIntegral(double x, double scaleL, const DriveCurveConstants& curve) noexcept;
// g_s: g blended towards its odd part by the symmetry.
double curveStage(double x, double scaleL, const DriveShape& shape) noexcept;
// Φ: the integral of g_s(x) − x, zero at x = 0.
double curveStageDifferenceIntegral(double x, double scaleL, const DriveShape& shape) noexcept;

// Per-stage memory of the first-order antiderivative anti-aliasing.
struct CurveStageMemory
{
    float previousInput = 0.0f;
    float previousIntegral = 0.0f; // Φ at previousInput, when valid
    bool valid = true;
};

// The change g_s adds over the step from the stored input to m, anti-aliased; falls back to the
// midpoint where the difference quotient would be ill-conditioned.
float antiAliasedStageStep(CurveStageMemory& memory, float m, float scaleL, const DriveShape& shape) noexcept;

// Re-evaluates the stored Φ for a new scale or voicing.
void primeCurveStage(CurveStageMemory& memory, float scaleL, const DriveShape& shape) noexcept;

// Scratch of the block pass, sized once for the longest run.
struct CurveStageWorkspace
{
    void prepare(int maxLength);

    std::vector<float> line;     // the previous input, then the run
    std::vector<float> integral; // Φ at each input, for the next sample's difference quotient
    std::vector<float> midpoint; // the midpoint change, where that is used
    std::vector<float> before;   // Φ at the previous input for the current scale, where not stored
    std::vector<float> fixArgument, fixScale, fixValue;
    std::vector<int> fixIndex;
    std::vector<unsigned char> useMidpoint;
};

// antiAliasedStageStep over a run, in place: signal holds the stage's input and receives its output, the
// changes are added to accumulated. Evaluated in float through DriveCurveBlockConstants, so the result
// differs from the per-sample step by rounding only. scaleL, inverseL and squaredL hold l, 1 / l and l²
// per sample.
void curveStagePass(CurveStageMemory& memory, float* signal, float* accumulated, const float* scaleL,
                    const float* inverseL, const float* squaredL, int n, const DriveShape& shape,
                    CurveStageWorkspace& workspace) noexcept;

// Φ at the stored input for the scale l, as the block pass evaluates it.
void primeCurveStageBlock(CurveStageMemory& memory, float scaleL, const DriveShape& shape) noexcept;

// How far the envelope G lowers the headroom: louder material is driven less.
float sagScale(float envelope, float amount, float sagDepth, float sagKnee, float headroom) noexcept;

// c ? a : b through the bits, so that both sides stay computed and the loop keeps no branch to vectorise
// around or to mispredict (a plain select lets the compiler move each side under its condition).
inline __attribute__((always_inline)) float selectBits(bool c, float a, float b) noexcept
{
    uint32_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    const uint32_t mask = 0u - static_cast<uint32_t>(c);
    const uint32_t u = (ua & mask) | (ub & ~mask);
    float r;
    std::memcpy(&r, &u, sizeof r);
    return r;
}

// 1 / x in plain arithmetic, within about an ulp: a guess from the bits and three Newton steps. For passes
// that the divider would hold up; x = 0 gives a huge finite value.
inline __attribute__((always_inline)) float blockReciprocal(float x) noexcept
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = 0x7ef311c3u - bits;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    v = v * (2.0f - x * v);
    v = v * (2.0f - x * v);
    v = v * (2.0f - x * v);
    return v;
}

// Jiles–Atherton model with normalised saturation.
struct HysteresisParameters
{
    float a = 1.0f;
    float alpha = 0.0f;
    float k = 1.0f;
    float c = 1.0f;

    bool operator==(const HysteresisParameters& o) const noexcept
    {
        return a == o.a && alpha == o.alpha && k == o.k && c == o.c;
    }
};

struct HysteresisState
{
    float magnetisation = 0.0f; // M, in −1..1
    float previousInput = 0.0f; // H of the previous step
    float averageStep = 0.0f;   // running mean of |ΔH|
};

// One explicit Euler step at the midpoint of the input step; returns the new M. Inline: the drive runs it
// once per oversampled sample.
inline float hysteresisStep(HysteresisState& state, const HysteresisParameters& p, float inputH) noexcept
{
    if (!std::isfinite(inputH))
        return state.magnetisation;

    const float deltaH = inputH - state.previousInput;
    state.previousInput = inputH;

    if (deltaH == 0.0f)
        return state.magnetisation;

    state.averageStep += (std::abs(deltaH) - state.averageStep) * 0.001f;

    if (!std::isfinite(state.averageStep))
        state.averageStep = 0.0f;

    const float halfAverage = state.averageStep * 0.5f;
    // Softened so that steps small against the recent ones do not flip the branch at full weight.
    const float direction = deltaH / std::sqrt(deltaH * deltaH + halfAverage * halfAverage + 1.0e-30f);

    const float inverseA = 1.0f / std::max(p.a, 1.0e-5f);
    const float m = state.magnetisation;
    const float he = (inputH - deltaH * 0.5f + p.alpha * m) * inverseA;

    float langevin = 0.0f;
    float langevinSlope = 0.0f;

    if (std::abs(he) < 0.2f)
    {
        // Series near 0, where 1/tanh − 1/x cancels badly.
        const float h2 = he * he;
        langevin = he * (1.0f / 3.0f + h2 * (-0.022222223f + h2 * (0.0021164021f - h2 / 4725.0f)));
        langevinSlope = 1.0f / 3.0f + h2 * (-0.06666667f + h2 * (0.01058201f - h2 / 675.0f));
    }
    else
    {
        const float t = std::tanh(he);
        langevin = 1.0f / t - 1.0f / he;
        langevinSlope = 1.0f / (he * he) - (1.0f - t * t) / (t * t);
    }

    const float q = langevin - m;
    const float on = q * direction > 0.0f ? 1.0f : 0.0f;

    float den = (1.0f - p.c) * direction * p.k - p.alpha * q;

    if (std::abs(den) < 1.0e-5f)
        den = den < 0.0f ? -1.0e-5f : 1.0e-5f;

    float next = m + deltaH * ((1.0f - p.c) * on * q / den + p.c * langevinSlope * inverseA);
    next = std::isfinite(next) ? std::clamp(next, -1.0f, 1.0f) : 0.0f;
    state.magnetisation = next;
    return next;
}

// The hysteresis over a run, in passes. The steps ΔH are taken for the whole run first. The Langevin
// function and its slope at He = (H − ΔH/2 + αM) / a depend on M only through αM / a, which stays below
// 0.012, so the function is expanded to third order around M = 0 for every sample at once (in double),
// and what remains from one sample to the next is a short chain of polynomials in M and one division,
// beside the running mean of |ΔH| and the direction, a recursion of their own that does not wait for M.
// The expansion's remainder stays below float rounding.
struct HysteresisBlockWorkspace
{
    void prepare(int maxLength);

    std::vector<float> step;           // ΔH, 0 where the step leaves M alone
    std::vector<float> q0, q1, q2, q3; // q = L − M as a cubic in M
    std::vector<float> w0, w1, w2;     // ΔH c L′ / a as a quadratic in M
};

// ΔH of every sample of the run into workspace.step; updates the state's previous input as
// hysteresisStep would.
void hysteresisSteps(HysteresisState& state, const float* inputH, int n,
                     HysteresisBlockWorkspace& workspace) noexcept;

// With the steps taken, the coefficients of every step.
void hysteresisPrepare(const HysteresisParameters& params, const float* inputH, int n,
                       HysteresisBlockWorkspace& workspace) noexcept;

// What the recursion takes from the parameters and the prepared workspace.
struct HysteresisRecursion
{
    HysteresisRecursion(const HysteresisParameters& p, const HysteresisBlockWorkspace& w) noexcept
        : alpha(p.alpha), oneMinusC(1.0f - p.c), directionScale((1.0f - p.c) * p.k), step(w.step.data()),
          q0(w.q0.data()), q1(w.q1.data()), q2(w.q2.data()), q3(w.q3.data()), w0(w.w0.data()),
          w1(w.w1.data()), w2(w.w2.data())
    {
    }

    float alpha, oneMinusC, directionScale; // α, 1 − c, (1 − c) k
    const float *step, *q0, *q1, *q2, *q3, *w0, *w1, *w2;
};

// Step j from M, once prepared: what remains of hysteresisStep once the coefficients are known. average
// is the running mean of |ΔH|, carried from step to step.
inline __attribute__((always_inline)) float hysteresisAdvance(float m, float& average,
                                                              const HysteresisRecursion& r, size_t j) noexcept
{
    // The mean, the direction and the denominator's coefficients do not depend on M: they run ahead of it.
    const float deltaH = r.step[j];
    const bool moves = deltaH != 0.0f;
    const float mean = average + (std::abs(deltaH) - average) * 0.001f;
    average = moves ? (std::isfinite(mean) ? mean : 0.0f) : average;
    const float halfAverage = average * 0.5f;
    // Softened so that steps small against the recent ones do not flip the branch at full weight.
    const float direction = deltaH / std::sqrt(deltaH * deltaH + halfAverage * halfAverage + 1.0e-30f);

    const float q0 = r.q0[j], q1 = r.q1[j], q2 = r.q2[j], q3 = r.q3[j];
    // A step that leaves M alone divides nothing by a vanishing denominator.
    const float d0 = moves ? r.directionScale * direction - r.alpha * q0 : 1.0f;
    const float d1 = -r.alpha * q1, d2 = -r.alpha * q2, d3 = -r.alpha * q3;
    const float sweepScale = deltaH * r.oneMinusC;

    const float m2 = m * m;
    const float q = (q0 + q1 * m) + m2 * (q2 + q3 * m);
    float den = (d0 + d1 * m) + m2 * (d2 + d3 * m);
    // M plus the slope's part, with M folded into its linear term: two steps after M instead of three.
    const float slopeStep = r.w0[j] + m * ((r.w1[j] + 1.0f) + m * r.w2[j]);

    if (std::abs(den) < 1.0e-5f)
        den = den < 0.0f ? -1.0e-5f : 1.0e-5f;

    // A step moves M towards the anhysteretic curve only in the direction the input goes. A branch, not a
    // select: it holds for long runs of samples, and a step that does not sweep then need not wait for
    // the division.
    float next = slopeStep;
    if (q * direction > 0.0f)
        next = next + sweepScale * (q / den);
    return std::isfinite(next) ? std::clamp(next, -1.0f, 1.0f) : 0.0f;
}

// All of the above over a run from the state, writing every new M; the result differs from
// hysteresisStep by float rounding.
void hysteresisRun(HysteresisState& state, const HysteresisParameters& params, const float* inputH,
                   float* magnetisation, int n, HysteresisBlockWorkspace& workspace) noexcept;

// Starts the model on the sample f so that the first step does not jump from zero.
void initialiseHysteresis(HysteresisState& state, float f, float hysteresisGain) noexcept;

// One period of a −18 dBFS sine: the reference of all level calibrations.
constexpr int driveTestSineLength = 384;
constexpr float driveTestSineAmplitude = 0.126f;
using DriveTable = std::array<float, driveTestSineLength>;

DriveTable driveTestSine() noexcept;

struct HysteresisCalibrationCache
{
    HysteresisParameters params;
    float gain = 1.0f;
    bool valid = false;
};

// Gain that gives the model's response to the test sine the sine's RMS; fills the table with that
// response. Taken from the cache while the parameters are unchanged. 1 without hysteresis.
float calibrateHysteresisGain(const HysteresisParameters& params, float hysteresisAmount,
                              const DriveTable& testSine, DriveTable& hysteresisTable,
                              HysteresisCalibrationCache& cache) noexcept;

// Gain that gives the driven test sine the RMS of the clean one, for the scale l the sine meets.
float outputNormalisationGain(const DriveShape& shape, int stages, float scaleL, float hysteresisAmount,
                              float hysteresisGain, const DriveTable& testSine,
                              const DriveTable& hysteresisTable) noexcept;

// Envelope follower constants at one oversampled rate, with the mean envelope a full-scale 1 kHz
// sine produces (full band and 120 Hz low band).
struct DriveEnvelopeConstants
{
    float attack = 0.0f;
    float release = 0.0f;
    float lowBandCoefficient = 0.0f;
    float fullBandCalibration = 0.5f;
    float lowBandCalibration = 0.5f;
};

DriveEnvelopeConstants driveEnvelopeConstants(double oversampledRateHz) noexcept;

} // namespace tq4
