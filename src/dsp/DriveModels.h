#pragma once

#include <array>

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

// What the curve stage needs from the voicing besides the per-sample scale l.
struct DriveShape
{
    DriveCurveConstants curve;
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

// How far the envelope G lowers the headroom: louder material is driven less.
float sagScale(float envelope, float amount, float sagDepth, float sagKnee, float headroom) noexcept;

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

// One explicit Euler step at the midpoint of the input step; returns the new M.
float hysteresisStep(HysteresisState& state, const HysteresisParameters& params, float inputH) noexcept;

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
