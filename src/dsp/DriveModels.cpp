#include "dsp/DriveModels.h"

#include <algorithm>
#include <cmath>

namespace tq4
{

namespace
{
constexpr float inactiveAmount = 1.0e-4f;
constexpr double twoPi = 6.283185307179586;

bool stageIsIdentity(const DriveShape& shape) noexcept
{
    return !(shape.amount >= inactiveAmount);
}
} // namespace

DriveCurveConstants driveCurveConstants(double kneeR) noexcept
{
    DriveCurveConstants c;
    c.r = kneeR;
    c.P = kneeR * std::sqrt(kneeR);
    c.u = 1.5 * std::sqrt(kneeR);
    c.v = 0.44 * c.u;
    c.E = c.P + c.u - c.v;
    c.s1 = 0.12 * c.u;
    c.I0 = 0.4 * kneeR * kneeR * std::sqrt(kneeR);
    c.I1 = c.I0 + c.P + c.u / 2.0 - c.v / 3.0;
    c.halfU = c.u / 2.0;
    c.thirdV = c.v / 3.0;
    c.halfS1 = c.s1 / 2.0;
    return c;
}

double driveCurve(double a, const DriveCurveConstants& c) noexcept
{
    if (a <= 0.0)
        return 0.06 * a;

    if (a <= c.r)
        return a * std::sqrt(a);

    const double t = a - c.r;

    if (t < 1.0)
        return c.P + c.u * t - c.v * t * t;

    return c.E + c.s1 * (t - 1.0);
}

double driveCurveIntegral(double a, const DriveCurveConstants& c) noexcept
{
    if (a <= 0.0)
        return 0.03 * a * a;

    if (a <= c.r)
        return 0.4 * a * a * std::sqrt(a);

    const double t = a - c.r;

    if (t < 1.0)
        return c.I0 + t * (c.P + t * (c.halfU - t * c.thirdV));

    const double beyond = t - 1.0;
    return c.I1 + beyond * (c.E + beyond * c.halfS1);
}

namespace
{
// The per-sample forms: one reciprocal of l serves both signs of x.
struct Scale
{
    double l, inverse, twoThirdsL;

    explicit Scale(double scaleL) noexcept
        : l(scaleL), inverse(1.0 / scaleL), twoThirdsL(scaleL * (2.0 / 3.0))
    {
    }
};

double raw(double x, const Scale& k, const DriveCurveConstants& curve) noexcept
{
    return (driveCurve(1.0 + x * k.inverse, curve) - 1.0) * k.twoThirdsL;
}

double rawIntegral(double x, const Scale& k, const DriveCurveConstants& curve) noexcept
{
    return (k.l * driveCurveIntegral(1.0 + x * k.inverse, curve) - x) * k.twoThirdsL;
}

double stage(double x, const Scale& k, const DriveShape& shape) noexcept
{
    if (stageIsIdentity(shape))
        return x;

    const double gx = raw(x, k, shape.curve);

    if (shape.symmetry <= 0.0f)
        return gx;

    // Written as a weighted sum so that full symmetry gives an exactly odd function.
    const double s = std::min(1.0, static_cast<double>(shape.symmetry));
    const double odd = 0.5 * (gx - raw(-x, k, shape.curve));
    return (1.0 - s) * gx + s * odd;
}

double differenceIntegral(double x, const Scale& k, const DriveShape& shape) noexcept
{
    if (stageIsIdentity(shape))
        return 0.0;

    // The same operations as rawIntegral (0, ...), so Φ(0) is exactly 0.
    const double atZero = (k.l * 0.4) * k.twoThirdsL;
    const double gammaX = rawIntegral(x, k, shape.curve);
    double d = gammaX - atZero;

    if (shape.symmetry > 0.0f)
    {
        const double s = std::min(1.0, static_cast<double>(shape.symmetry));
        const double even = 0.5 * (gammaX + rawIntegral(-x, k, shape.curve)) - atZero;
        d = (1.0 - s) * d + s * even;
    }

    return d - 0.5 * x * x;
}
} // namespace

double curveStageRaw(double x, double scaleL, const DriveCurveConstants& curve) noexcept
{
    return raw(x, Scale(scaleL), curve);
}

double curveStageRawIntegral(double x, double scaleL, const DriveCurveConstants& curve) noexcept
{
    return rawIntegral(x, Scale(scaleL), curve);
}

double curveStage(double x, double scaleL, const DriveShape& shape) noexcept
{
    return stage(x, Scale(scaleL), shape);
}

double curveStageDifferenceIntegral(double x, double scaleL, const DriveShape& shape) noexcept
{
    return differenceIntegral(x, Scale(scaleL), shape);
}

float antiAliasedStageStep(CurveStageMemory& memory, float m, float scaleL, const DriveShape& shape) noexcept
{
    const float previous = memory.previousInput;
    memory.previousInput = m;

    const float delta = m - previous;
    const float largest = std::max(std::abs(previous), std::abs(m));
    const float threshold = std::max(0.024f * largest * largest, 1.0e-5f);

    const Scale k(scaleL);

    if (threshold > std::abs(delta))
    {
        memory.valid = false;
        const double mid = 0.5 * (static_cast<double>(previous) + static_cast<double>(m));
        return static_cast<float>(stage(mid, k, shape) - mid);
    }

    const double before =
        memory.valid ? static_cast<double>(memory.previousIntegral) : differenceIntegral(previous, k, shape);
    const double after = differenceIntegral(m, k, shape);
    memory.previousIntegral = static_cast<float>(after);
    memory.valid = true;
    return static_cast<float>((after - before) / static_cast<double>(delta));
}

void primeCurveStage(CurveStageMemory& memory, float scaleL, const DriveShape& shape) noexcept
{
    memory.previousIntegral =
        static_cast<float>(curveStageDifferenceIntegral(memory.previousInput, scaleL, shape));
    memory.valid = true;
}

float sagScale(float envelope, float amount, float sagDepth, float sagKnee, float headroom) noexcept
{
    return (1.0f - amount * sagDepth * envelope / (envelope + sagKnee)) * headroom;
}

float hysteresisStep(HysteresisState& state, const HysteresisParameters& p, float inputH) noexcept
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

void initialiseHysteresis(HysteresisState& state, float f, float hysteresisGain) noexcept
{
    const float start = hysteresisGain > 0.0f ? f / hysteresisGain : f;
    state.magnetisation = std::isfinite(start) ? std::clamp(start, -1.0f, 1.0f) : 0.0f;
    state.previousInput = std::isfinite(f) ? f : 0.0f;
}

DriveTable driveTestSine() noexcept
{
    DriveTable sine{};

    for (int j = 0; j < driveTestSineLength; ++j)
        sine[static_cast<size_t>(j)] = static_cast<float>(
            driveTestSineAmplitude * std::sin(twoPi * j / static_cast<double>(driveTestSineLength)));

    return sine;
}

float calibrateHysteresisGain(const HysteresisParameters& params, float hysteresisAmount,
                              const DriveTable& testSine, DriveTable& hysteresisTable,
                              HysteresisCalibrationCache& cache) noexcept
{
    if (!(hysteresisAmount > 0.0f))
        return 1.0f;

    if (cache.valid && cache.params == params)
        return cache.gain;

    // Three periods settle the loop; the fourth is the one measured.
    HysteresisState state;
    double sumX = 0.0;
    double sumM = 0.0;

    for (int pass = 0; pass < 4; ++pass)
    {
        for (size_t j = 0; j < testSine.size(); ++j)
        {
            const float m = hysteresisStep(state, params, testSine[j]);

            if (pass == 3)
            {
                hysteresisTable[j] = m;
                sumX += static_cast<double>(testSine[j]) * testSine[j];
                sumM += static_cast<double>(m) * m;
            }
        }
    }

    cache.params = params;
    cache.gain = sumM < 1.0e-12 ? 1.0f : static_cast<float>(std::sqrt(sumX / sumM));
    cache.valid = true;
    return cache.gain;
}

float outputNormalisationGain(const DriveShape& shape, int stages, float scaleL, float hysteresisAmount,
                              float hysteresisGain, const DriveTable& testSine,
                              const DriveTable& hysteresisTable) noexcept
{
    if (stageIsIdentity(shape))
        return 1.0f;

    double sumX = 0.0;
    double sumH = 0.0;

    for (size_t j = 0; j < testSine.size(); ++j)
    {
        const double x = testSine[j];
        double h = x;

        if (hysteresisAmount > 0.0f)
            h = x + (static_cast<double>(hysteresisGain) * hysteresisTable[j] - x) * hysteresisAmount;

        for (int s = 0; s < stages; ++s)
            h = curveStage(h, scaleL, shape);

        sumX += x * x;
        sumH += h * h;
    }

    return sumH < 1.0e-12 ? 1.0f : static_cast<float>(std::sqrt(sumX / sumH));
}

DriveEnvelopeConstants driveEnvelopeConstants(double oversampledRateHz) noexcept
{
    const double fs = oversampledRateHz;
    DriveEnvelopeConstants k;
    k.attack = static_cast<float>(std::exp(-1.0 / (0.015 * fs)));
    k.release = static_cast<float>(std::exp(-1.0 / (0.12 * fs)));
    k.lowBandCoefficient = static_cast<float>(1.0 - std::exp(-twoPi * 120.0 / fs));

    const double attack = k.attack;
    const double release = k.release;
    const double lowBand = k.lowBandCoefficient;
    const auto follow = [attack, release](double envelope, double level)
    { return level + (envelope - level) * (level > envelope ? attack : release); };

    const long length = std::max(16L, static_cast<long>(std::floor(0.3 * fs)));
    const long settled = length / 2;
    double full = 0.0, low = 0.0, lowState = 0.0;
    double sumFull = 0.0, sumLow = 0.0;
    long counted = 0;

    for (long v = 0; v < length; ++v)
    {
        const double s = std::sin(twoPi * 1000.0 * static_cast<double>(v) / fs);
        full = follow(full, std::abs(s));
        lowState += (s - lowState) * lowBand;
        low = follow(low, std::abs(lowState));

        if (v >= settled)
        {
            sumFull += full;
            sumLow += low;
            ++counted;
        }
    }

    if (counted > 0)
    {
        k.fullBandCalibration = static_cast<float>(sumFull / static_cast<double>(counted));
        k.lowBandCalibration = static_cast<float>(sumLow / static_cast<double>(counted));
    }

    return k;
}

} // namespace tq4
