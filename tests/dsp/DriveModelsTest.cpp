#include "dsp/DriveModels.h"
#include "dsp/DriveVoicing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace
{

constexpr double kneeValues[] = {2.4, 1.8, 1.6};

double simpson(double from, double to, const tq4::DriveCurveConstants& c)
{
    const int steps = 2000;
    const double h = (to - from) / steps;
    double sum = tq4::driveCurve(from, c) + tq4::driveCurve(to, c);

    for (int i = 1; i < steps; ++i)
        sum += (i % 2 == 1 ? 4.0 : 2.0) * tq4::driveCurve(from + i * h, c);

    return sum * h / 3.0;
}

tq4::DriveShape shapeFor(double knee, float symmetry, float amount = 1.0f)
{
    tq4::DriveShape shape;
    shape.curve = tq4::driveCurveConstants(knee);
    shape.symmetry = symmetry;
    shape.amount = amount;
    return shape;
}

} // namespace

TEST(DriveCurve, PassesThroughOneWithSlopeThreeHalvesAndJoinsSmoothlyAtItsKnees)
{
    const double eps = 1e-7;

    for (double r : kneeValues)
    {
        SCOPED_TRACE(r);
        const auto c = tq4::driveCurveConstants(r);
        const auto slope = [&c, eps](double a)
        { return (tq4::driveCurve(a + eps, c) - tq4::driveCurve(a - eps, c)) / (2 * eps); };

        EXPECT_DOUBLE_EQ(tq4::driveCurve(1.0, c), 1.0);
        EXPECT_NEAR(slope(1.0), 1.5, 1e-6);

        for (double join : {r, r + 1.0})
        {
            const double left = tq4::driveCurve(join - 1e-9, c);
            const double right = tq4::driveCurve(join + 1e-9, c);
            EXPECT_NEAR(left, right, 1e-8) << "value jump at " << join;

            const double slopeLeft = (tq4::driveCurve(join, c) - tq4::driveCurve(join - 1e-6, c)) / 1e-6;
            const double slopeRight = (tq4::driveCurve(join + 1e-6, c) - tq4::driveCurve(join, c)) / 1e-6;
            EXPECT_NEAR(slopeLeft, slopeRight, 1e-5) << "slope jump at " << join;
        }

        EXPECT_NEAR(tq4::driveCurve(r, c), c.P, 1e-12);
        EXPECT_NEAR(tq4::driveCurve(r + 1.0, c), c.E, 1e-12);
        EXPECT_NEAR(slope(r + 0.5), c.u - c.v, 1e-6);
        EXPECT_NEAR(slope(r + 2.0), c.s1, 1e-6);
        EXPECT_NEAR(slope(-0.5), 0.06, 1e-6);
    }
}

TEST(DriveCurve, ConstantsForTheTubeKneeMatchTheirWorkedValues)
{
    const auto c = tq4::driveCurveConstants(2.4);
    EXPECT_NEAR(c.P, 3.72, 0.005);
    EXPECT_NEAR(c.u, 2.32, 0.005);
    EXPECT_NEAR(c.v, 1.02, 0.005);
    EXPECT_NEAR(c.E, 5.02, 0.005);
    EXPECT_NEAR(c.s1, 0.28, 0.005);
    EXPECT_NEAR(c.I0, 3.57, 0.005);
    EXPECT_NEAR(c.I1, 8.11, 0.005);
}

TEST(DriveCurve, IntegralIsExactOnEveryPiece)
{
    for (double r : kneeValues)
    {
        SCOPED_TRACE(r);
        const auto c = tq4::driveCurveConstants(r);

        EXPECT_EQ(tq4::driveCurveIntegral(0.0, c), 0.0);
        EXPECT_NEAR(tq4::driveCurveIntegral(1.0, c), 0.4, 1e-15);
        EXPECT_NEAR(tq4::driveCurveIntegral(r, c), c.I0, 1e-12);
        EXPECT_NEAR(tq4::driveCurveIntegral(r + 1.0, c), c.I1, 1e-12);

        struct Span
        {
            double from, to;
        };
        // Each piece alone, then spans across the joins.
        const Span spans[] = {{-3.0, 0.0}, {0.0, r},       {r, r + 1.0},       {r + 1.0, r + 5.0},
                              {-1.0, 2.0}, {0.5, r + 0.5}, {r - 0.3, r + 1.7}, {-2.0, r + 3.0}};

        for (const auto& span : spans)
        {
            const double exact = tq4::driveCurveIntegral(span.to, c) - tq4::driveCurveIntegral(span.from, c);
            // The kinks at 0 and the 3/2-power's infinite curvature at 0 limit Simpson's accuracy.
            EXPECT_NEAR(exact, simpson(span.from, span.to, c), 1e-6) << span.from << " .. " << span.to;
        }
    }
}

TEST(CurveStage, SmallSignalsPassUnchangedAndTheIntegralVanishesAtZero)
{
    for (double r : kneeValues)
        for (float symmetry : {0.0f, 0.68f, 1.0f})
            for (double scaleL : {0.75, 0.1, 0.0654})
            {
                SCOPED_TRACE(testing::Message() << "r " << r << " s " << symmetry << " l " << scaleL);
                const auto shape = shapeFor(r, symmetry);
                const double h = 1e-6 * scaleL;

                EXPECT_EQ(tq4::curveStage(0.0, scaleL, shape), 0.0);
                EXPECT_EQ(tq4::curveStageDifferenceIntegral(0.0, scaleL, shape), 0.0);
                EXPECT_NEAR((tq4::curveStage(h, scaleL, shape) - tq4::curveStage(-h, scaleL, shape)) /
                                (2 * h),
                            1.0, 1e-5);
            }
}

TEST(CurveStage, DifferenceIntegralDifferentiatesToTheStageMinusItsInput)
{
    for (float symmetry : {0.0f, 0.68f, 1.0f})
        for (double scaleL : {0.75, 0.1})
        {
            SCOPED_TRACE(testing::Message() << "s " << symmetry << " l " << scaleL);
            const auto shape = shapeFor(1.8, symmetry);

            // Spans the squashed negative side, the 3/2 law, the parabola and the line.
            for (double x : {-3.0, -1.2, -0.4, -0.05, 0.02, 0.3, 0.9, 1.7, 4.0})
            {
                const double xs = x * scaleL;
                const double h = 1e-5 * scaleL;
                const double numeric = (tq4::curveStageDifferenceIntegral(xs + h, scaleL, shape) -
                                        tq4::curveStageDifferenceIntegral(xs - h, scaleL, shape)) /
                                       (2 * h);
                EXPECT_NEAR(numeric, tq4::curveStage(xs, scaleL, shape) - xs, 1e-6 * (1.0 + std::abs(xs)))
                    << "x " << xs;
            }
        }
}

TEST(CurveStage, FullSymmetryIsExactlyOddAndNoSymmetryKeepsTheAsymmetry)
{
    const auto odd = shapeFor(1.6, 1.0f);
    const auto even = shapeFor(2.4, 0.0f);

    for (double x : {1e-4, 0.01, 0.07, 0.2, 0.5, 1.0, 3.0})
    {
        EXPECT_EQ(tq4::curveStage(-x, 0.07, odd), -tq4::curveStage(x, 0.07, odd)) << x;
        EXPECT_EQ(tq4::curveStageDifferenceIntegral(-x, 0.07, odd),
                  tq4::curveStageDifferenceIntegral(x, 0.07, odd))
            << x;
    }

    // Without the blend, negative excursions are squashed far more than positive ones.
    EXPECT_GT(tq4::curveStage(0.2, 0.1, even), 0.2);
    EXPECT_LT(std::abs(tq4::curveStage(-0.2, 0.1, even)), 0.1);
}

TEST(CurveStage, InactiveAmountMakesEveryStageTheIdentity)
{
    const auto shape = shapeFor(2.4, 0.5f, 0.5e-4f);
    tq4::CurveStageMemory memory;

    for (float m : {0.0f, 0.3f, -0.8f, -0.8f, 1.5f, 0.001f})
    {
        EXPECT_EQ(tq4::curveStage(m, 0.75, shape), m);
        EXPECT_EQ(tq4::curveStageDifferenceIntegral(m, 0.75, shape), 0.0);
        EXPECT_EQ(tq4::antiAliasedStageStep(memory, m, 0.75f, shape), 0.0f);
    }
}

TEST(AntiAliasedStageStep, ChoosesBetweenMidpointAndDifferenceQuotient)
{
    const auto shape = shapeFor(1.8, 0.68f);
    const float scaleL = 0.1f;
    const auto phi = [&](float x) { return tq4::curveStageDifferenceIntegral(x, scaleL, shape); };
    const auto midpointChange = [&](double mid) { return tq4::curveStage(mid, scaleL, shape) - mid; };

    struct Case
    {
        const char* what;
        tq4::CurveStageMemory memory;
        float m;
        bool expectValid;
        double expected;
    };

    const float stored = 0.0123f; // deliberately not Φ(0.3): shows whether the stored value is used
    const Case cases[] = {
        {"equal inputs", {0.2f, 0.0f, true}, 0.2f, false, midpointChange(0.2f)},
        {"step small against the level",
         {0.5f, 0.0f, true},
         0.503f,
         false,
         midpointChange((0.5 + 0.503f) / 2)},
        {"step below the floor", {0.0f, 0.0f, true}, 5e-6f, false, midpointChange(2.5e-6f)},
        {"large step, stored Φ valid",
         {0.3f, stored, true},
         0.5f,
         true,
         (phi(0.5f) - stored) / (0.5f - 0.3f)},
        {"large step after a midpoint",
         {0.3f, stored, false},
         0.5f,
         true,
         (phi(0.5f) - phi(0.3f)) / (0.5f - 0.3f)},
        {"large negative step", {0.1f, 0.0f, false}, -0.4f, true, (phi(-0.4f) - phi(0.1f)) / (-0.4f - 0.1f)},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        auto memory = c.memory;
        const float change = tq4::antiAliasedStageStep(memory, c.m, scaleL, shape);

        EXPECT_NEAR(change, c.expected, 1e-6 * (1.0 + std::abs(c.expected)));
        EXPECT_EQ(memory.valid, c.expectValid);
        EXPECT_EQ(memory.previousInput, c.m);

        if (c.expectValid)
        {
            EXPECT_FLOAT_EQ(memory.previousIntegral, static_cast<float>(phi(c.m)));
        }
    }
}

TEST(AntiAliasedStageStep, PrimingStoresTheIntegralForTheCurrentScale)
{
    const auto shape = shapeFor(2.4, 0.0f);
    tq4::CurveStageMemory memory{0.4f, 99.0f, false};
    tq4::primeCurveStage(memory, 0.2f, shape);

    EXPECT_TRUE(memory.valid);
    EXPECT_FLOAT_EQ(memory.previousIntegral,
                    static_cast<float>(tq4::curveStageDifferenceIntegral(0.4f, 0.2f, shape)));
}

TEST(AntiAliasedStageStep, TracksTheStageOnASlowSweep)
{
    // Over small steps the anti-aliased change is the stage's change at the midpoint.
    const auto shape = shapeFor(2.4, 0.0f);
    tq4::CurveStageMemory memory;
    float previous = 0.0f;

    for (int i = 1; i <= 2000; ++i)
    {
        const float m = 0.6f * std::sin(0.01f * static_cast<float>(i));
        const float change = tq4::antiAliasedStageStep(memory, m, 0.1f, shape);
        const double mid = 0.5 * (static_cast<double>(previous) + m);
        EXPECT_NEAR(change, tq4::curveStage(mid, 0.1, shape) - mid, 2e-3) << i;
        previous = m;
    }
}

class Hysteresis : public testing::TestWithParam<int>
{
protected:
    tq4::HysteresisParameters params = tq4::driveVoicing(GetParam(), 1.0f).hysteresis;
};

TEST_P(Hysteresis, StaysWithinSaturationForAnyFiniteInput)
{
    tq4::HysteresisState state;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);

    for (int i = 0; i < 20000; ++i)
    {
        const float scale = i < 10000 ? 0.3f : 1e6f; // moderate, then absurd levels
        const float h = scale * (std::sin(0.003f * static_cast<float>(i)) + 0.5f * noise(random));
        const float m = tq4::hysteresisStep(state, params, h);
        ASSERT_TRUE(std::isfinite(m)) << i;
        ASSERT_LE(std::abs(m), 1.0f) << i;
    }

    EXPECT_TRUE(std::isfinite(state.averageStep));
}

TEST_P(Hysteresis, IgnoresNonFiniteAndConstantInput)
{
    tq4::HysteresisState state;

    for (int i = 0; i < 500; ++i)
        tq4::hysteresisStep(state, params, 0.1f * std::sin(0.05f * static_cast<float>(i)));

    const auto before = state;

    for (float bad :
         {std::nanf(""), std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})
    {
        EXPECT_EQ(tq4::hysteresisStep(state, params, bad), before.magnetisation);
        EXPECT_EQ(state.previousInput, before.previousInput);
        EXPECT_EQ(state.averageStep, before.averageStep);
    }

    // Repeating the last input is no step at all.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(tq4::hysteresisStep(state, params, before.previousInput), before.magnetisation);

    EXPECT_EQ(state.averageStep, before.averageStep);
}

TEST_P(Hysteresis, RisingAndFallingBranchesDiffer)
{
    // A memoryless model would give the same M on both sides of the loop at H = 0.
    tq4::HysteresisState state;
    const auto sine = tq4::driveTestSine();
    float risingAtZero = 0.0f, fallingAtZero = 0.0f;

    for (int pass = 0; pass < 4; ++pass)
        for (size_t j = 0; j < sine.size(); ++j)
        {
            const float m = tq4::hysteresisStep(state, params, sine[j]);

            if (pass == 3 && j == 0)
                risingAtZero = m; // H(0) repeats the previous pass's end, so this is the rising crossing
            if (pass == 3 && j == sine.size() / 2)
                fallingAtZero = m;
        }

    EXPECT_GT(std::abs(risingAtZero - fallingAtZero), 1e-3f);
}

TEST_P(Hysteresis, CalibratedGainRestoresTheTestSineLevelAndIsCached)
{
    const auto sine = tq4::driveTestSine();
    tq4::DriveTable table{};
    tq4::HysteresisCalibrationCache cache;

    const float gain = tq4::calibrateHysteresisGain(params, 0.5f, sine, table, cache);
    ASSERT_TRUE(cache.valid);
    EXPECT_GT(gain, 0.0f);

    double sumX = 0.0, sumM = 0.0;

    for (size_t j = 0; j < sine.size(); ++j)
    {
        sumX += static_cast<double>(sine[j]) * sine[j];
        sumM += static_cast<double>(gain * table[j]) * (gain * table[j]);
    }

    EXPECT_NEAR(std::sqrt(sumM / sumX), 1.0, 1e-4);

    // Same parameters: the cache answers (a planted value proves no recomputation).
    cache.gain = 123.0f;
    EXPECT_EQ(tq4::calibrateHysteresisGain(params, 0.2f, sine, table, cache), 123.0f);

    auto changed = params;
    changed.k *= 2.0f;
    EXPECT_NE(tq4::calibrateHysteresisGain(changed, 0.2f, sine, table, cache), 123.0f);
    EXPECT_EQ(cache.params, changed);
}

INSTANTIATE_TEST_SUITE_P(TransformerAndTape, Hysteresis, testing::Values(1, 2));

TEST(HysteresisCalibration, WithoutHysteresisTheGainIsOneAndTheCacheUntouched)
{
    const auto sine = tq4::driveTestSine();
    tq4::DriveTable table{};
    tq4::HysteresisCalibrationCache cache;
    EXPECT_EQ(tq4::calibrateHysteresisGain(tq4::driveVoicing(1, 1.0f).hysteresis, 0.0f, sine, table, cache),
              1.0f);
    EXPECT_FALSE(cache.valid);
}

TEST(HysteresisInitialisation, StartsAtTheScaledInputWithinSaturation)
{
    struct Case
    {
        float f, gain, expectedM;
    };
    const Case cases[] = {{0.2f, 2.0f, 0.1f}, {-0.5f, 0.25f, -1.0f}, {0.3f, 0.0f, 0.3f}, {0.0f, 1.5f, 0.0f}};

    for (const auto& c : cases)
    {
        tq4::HysteresisState state;
        state.averageStep = 0.01f;
        tq4::initialiseHysteresis(state, c.f, c.gain);
        EXPECT_FLOAT_EQ(state.magnetisation, c.expectedM) << c.f << " / " << c.gain;
        EXPECT_EQ(state.previousInput, c.f);
        EXPECT_EQ(state.averageStep, 0.01f); // keeps its running mean
    }
}

TEST(DriveEnvelopeCalibration, DescribesTheSameSignalWhateverTheOversampledRate)
{
    // Time constants are in seconds, so the mean envelope of the reference sine must not depend on
    // how many samples a second has.
    const auto at16 = tq4::driveEnvelopeConstants(16.0 * 48000.0);
    const auto at32 = tq4::driveEnvelopeConstants(32.0 * 44100.0);

    EXPECT_NEAR(at16.fullBandCalibration, at32.fullBandCalibration, 0.01f);
    EXPECT_NEAR(at16.lowBandCalibration, at32.lowBandCalibration, 0.005f);

    // A peak follower on |sin| settles between the sine's mean (2/π) and its peak; the 120 Hz low-pass
    // leaves roughly 120/1000 of a 1 kHz sine.
    EXPECT_GT(at16.fullBandCalibration, 0.64f);
    EXPECT_LT(at16.fullBandCalibration, 1.0f);
    EXPECT_GT(at16.lowBandCalibration, 0.07f);
    EXPECT_LT(at16.lowBandCalibration, 0.2f);

    EXPECT_GT(at16.attack, 0.0f);
    EXPECT_LT(at16.attack, at16.release);
    EXPECT_LT(at16.release, 1.0f);
    EXPECT_LT(at32.lowBandCoefficient, at16.lowBandCoefficient);
}

TEST(DriveTestSine, IsOnePeriodAtMinusEighteenDbfs)
{
    const auto sine = tq4::driveTestSine();
    EXPECT_EQ(sine[0], 0.0f);
    EXPECT_FLOAT_EQ(sine[96], 0.126f);
    EXPECT_FLOAT_EQ(sine[288], -0.126f);
    EXPECT_NEAR(sine[383], -0.126f * std::sin(6.2831853f / 384.0f), 1e-6f);
}

// The block passes the drive runs must follow the per-sample definitions up to float rounding, over
// material that takes every branch: quiet and loud, slow and fast, steps that repeat.
TEST(CurveStagePass, FollowsThePerSampleStepForEveryType)
{
    constexpr int n = 3000;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> input(n), scale(n), inverse(n), squared(n);

    for (int j = 0; j < n; ++j)
    {
        const float level = j < 1000 ? 0.01f : (j < 2000 ? 0.4f : 1.5f);
        input[static_cast<size_t>(j)] =
            j % 97 < 3 ? input[static_cast<size_t>(std::max(j - 1, 0))]
                       : level * (std::sin(0.02f * static_cast<float>(j)) + 0.3f * noise(random));
        scale[static_cast<size_t>(j)] = 0.05f + 0.02f * std::sin(0.001f * static_cast<float>(j));
        inverse[static_cast<size_t>(j)] = 1.0f / scale[static_cast<size_t>(j)];
        squared[static_cast<size_t>(j)] = scale[static_cast<size_t>(j)] * scale[static_cast<size_t>(j)];
    }

    for (int type = 0; type < 4; ++type)
    {
        const auto shape = tq4::driveVoicing(type, 0.8f).shape;
        tq4::CurveStageWorkspace workspace;
        workspace.prepare(512);
        std::array<tq4::CurveStageMemory, 3> perSample{}, block{};
        std::vector<float> expected = input, actual = input;
        std::vector<float> expectedChange(n, 0.0f), actualChange(n, 0.0f);
        float worst = 0.0f;

        for (int start = 0; start < n; start += 512)
        {
            const int len = std::min(512, n - start);
            const auto at = static_cast<size_t>(start);

            for (int s = 0; s < 3; ++s)
            {
                for (int j = start; j < start + len; ++j)
                {
                    const auto i = static_cast<size_t>(j);
                    const float change = tq4::antiAliasedStageStep(perSample[static_cast<size_t>(s)],
                                                                   expected[i], scale[i], shape);
                    expected[i] += change;
                    expectedChange[i] += change;
                }

                tq4::curveStagePass(block[static_cast<size_t>(s)], actual.data() + at,
                                    actualChange.data() + at, scale.data() + at, inverse.data() + at,
                                    squared.data() + at, len, shape, workspace);
            }
        }

        for (size_t i = 0; i < expected.size(); ++i)
            worst =
                std::max(worst, std::abs(actualChange[i] - expectedChange[i]) / (1.0f + std::abs(input[i])));

        EXPECT_LT(worst, 2.0e-5f) << "type " << type;
        EXPECT_GT(std::abs(expectedChange[2500]), 1.0e-3f) << "type " << type; // the material drives
    }
}

TEST_P(Hysteresis, BlockRunFollowsTheStepByStepModel)
{
    constexpr int n = 4000;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> input(n);

    for (int j = 0; j < n; ++j)
    {
        const float level = j < 2000 ? 0.05f : 0.6f;
        input[static_cast<size_t>(j)] =
            level * (std::sin(0.004f * static_cast<float>(j)) + 0.2f * noise(random));
    }

    input[100] = input[101] = input[102];                 // steps of zero
    input[700] = std::numeric_limits<float>::quiet_NaN(); // ignored
    input[701] = std::numeric_limits<float>::infinity();  // ignored

    tq4::HysteresisState perSample, block;
    tq4::HysteresisBlockWorkspace workspace;
    workspace.prepare(1000);
    std::vector<float> expected(n), actual(n);

    for (int j = 0; j < n; ++j)
        expected[static_cast<size_t>(j)] =
            tq4::hysteresisStep(perSample, params, input[static_cast<size_t>(j)]);

    for (int start = 0; start < n; start += 1000)
        tq4::hysteresisRun(block, params, input.data() + start, actual.data() + start, 1000, workspace);

    float worst = 0.0f;
    for (size_t i = 0; i < expected.size(); ++i)
        worst = std::max(worst, std::abs(actual[i] - expected[i]));

    EXPECT_LT(worst, 2.0e-5f);
    EXPECT_FLOAT_EQ(block.previousInput, perSample.previousInput);
    EXPECT_FLOAT_EQ(block.averageStep, perSample.averageStep);
    EXPECT_NEAR(block.magnetisation, perSample.magnetisation, 2.0e-5f);
}
