#include "dsp/DriveStage.h"

#include <juce_dsp/juce_dsp.h>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

namespace
{

constexpr int tube = 0, transformer = 1, tape = 2, fet = 3;
constexpr int allTypes[] = {tube, transformer, tape, fet};

std::vector<float> sine(int length, double sampleRate, double hz, float amplitude)
{
    std::vector<float> x(static_cast<size_t>(length));

    for (size_t i = 0; i < x.size(); ++i)
        x[i] = amplitude * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi * hz *
                                                       static_cast<double>(i) / sampleRate));

    return x;
}

std::vector<float> noise(int length, float amplitude, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    std::vector<float> x(static_cast<size_t>(length));

    for (auto& v : x)
        v = uniform(random);

    return x;
}

// Runs the signal through the stage in blocks and returns the stage's output.
std::vector<float> run(tq4::DriveStage& stage, std::vector<float> signal, int blockSize = 512)
{
    for (size_t start = 0; start < signal.size(); start += static_cast<size_t>(blockSize))
    {
        const auto n = std::min(static_cast<size_t>(blockSize), signal.size() - start);
        stage.process(signal.data() + start, static_cast<int>(n));
    }

    return signal;
}

// The driven signal itself: the dry input delayed by the latency plus the stage's difference.
std::vector<float> driven(const std::vector<float>& input, const std::vector<float>& output, int latency)
{
    std::vector<float> w(input.size(), 0.0f);

    for (size_t i = static_cast<size_t>(latency); i < input.size(); ++i)
        w[i] = input[i - static_cast<size_t>(latency)] + output[i];

    return w;
}

double rms(const std::vector<float>& x, size_t from, size_t to)
{
    double sum = 0.0;

    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(x[i]) * x[i];

    return std::sqrt(sum / static_cast<double>(to - from));
}

std::complex<double> component(const std::vector<float>& x, size_t from, size_t length,
                               double cyclesPerSample)
{
    std::complex<double> sum;

    for (size_t i = 0; i < length; ++i)
        sum += static_cast<double>(x[from + i]) *
               std::polar(1.0,
                          -2.0 * juce::MathConstants<double>::pi * cyclesPerSample * static_cast<double>(i));

    return sum;
}

} // namespace

TEST(DriveVoicing, HeadroomFallsGeometricallyFromThreeQuartersToTheTypesFullDrive)
{
    struct Case
    {
        int type;
        float fullHeadroom;
    };
    const Case cases[] = {{tube, 0.1f}, {transformer, 0.0654f}, {tape, 0.0703f}, {fet, 0.07f}};

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.type);
        EXPECT_FLOAT_EQ(tq4::driveVoicing(c.type, 0.0f).headroom, 0.75f);
        EXPECT_FLOAT_EQ(tq4::driveVoicing(c.type, 1.0f).headroom, c.fullHeadroom);
        EXPECT_FLOAT_EQ(tq4::driveVoicing(c.type, 0.5f).headroom, std::sqrt(0.75f * c.fullHeadroom));
    }
}

TEST(DriveVoicing, UnknownTypesAreTubeAndTheAmountIsClamped)
{
    const auto reference = tq4::driveVoicing(tube, 0.6f);

    for (int type : {-1, 4, 99})
    {
        const auto v = tq4::driveVoicing(type, 0.6f);
        EXPECT_EQ(v.headroom, reference.headroom);
        EXPECT_EQ(v.stages, reference.stages);
        EXPECT_EQ(v.curveKnee, reference.curveKnee);
        EXPECT_EQ(v.symmetry, reference.symmetry);
    }

    struct Case
    {
        float amount, expected;
    };
    const Case amounts[] = {{-1.0f, 0.0f}, {2.0f, 1.0f}, {std::nanf(""), 0.0f}, {0.25f, 0.25f}};

    for (const auto& c : amounts)
    {
        const auto v = tq4::driveVoicing(tape, c.amount);
        EXPECT_EQ(v.amount, c.expected);
        EXPECT_EQ(v.shape.amount, c.expected);
        EXPECT_FLOAT_EQ(v.tone, 0.6f * c.expected);
        EXPECT_FLOAT_EQ(v.hysteresisAmount, 0.85f * c.expected);
    }
}

TEST(DriveVoicing, OnlyTapeAsksForThirtyTwoTimesOversampling)
{
    for (int type : allTypes)
        EXPECT_EQ(tq4::driveVoicing(type, 0.5f).oversampling, type == tape ? 32 : 16) << type;
}

TEST(DriveAlignment, SplitsTheDelayIntoRingAndLagrangeAndInterpolatesCubicsExactly)
{
    for (double d : {1.0, 1.37, 1.999, 2.0, 2.61, 3.5, 9.25, 16.8})
    {
        SCOPED_TRACE(d);
        const auto a = tq4::driveAlignment(d);

        EXPECT_GE(a.ringDelay, 0);
        EXPECT_LE(a.ringDelay, 15);
        EXPECT_GE(a.fraction, 1.0);
        EXPECT_LE(a.fraction, 2.0);
        EXPECT_NEAR(a.ringDelay + a.fraction, d, 1e-12);

        // Taps 0..3 hold samples n, n−1, n−2, n−3 of a cubic; the output is the cubic at n − h.
        const auto cubic = [](double t) { return 0.5 + 0.3 * t - 0.02 * t * t + 0.001 * t * t * t; };
        const double n = 10.0;
        double y = 0.0;

        for (int tap = 0; tap < 4; ++tap)
            y += a.weights[static_cast<size_t>(tap)] * cubic(n - tap);

        EXPECT_NEAR(y, cubic(n - a.fraction), 1e-5);
    }

    // Beyond the ring the remainder is clamped rather than read out of range.
    const auto far = tq4::driveAlignment(40.0);
    EXPECT_EQ(far.ringDelay, 15);
    EXPECT_EQ(far.fraction, 2.0);
}

class DriveStageAtRate : public testing::TestWithParam<double>
{
protected:
    void SetUp() override { stage.prepare(GetParam()); }

    double sampleRate() const { return GetParam(); }

    tq4::DriveStage stage;
};

TEST_P(DriveStageAtRate, LatencyIsTheLargerMeasuredOversamplerLatencyPlusTwoForEveryType)
{
    const float latency16 = stage.oversamplerLatency(0);
    const float latency32 = stage.oversamplerLatency(1);
    const int expected = static_cast<int>(std::floor(std::max(latency16, latency32))) + 2;

    EXPECT_GT(latency16, 1.0f);
    EXPECT_GT(latency32, latency16); // the fifth stage adds a little at the top rate
    EXPECT_EQ(stage.latency(), expected);

    for (int type : allTypes)
        for (float amount : {0.0f, 0.3f, 1.0f})
        {
            stage.setVoicing(type, amount);
            EXPECT_EQ(stage.latency(), expected) << type << " @ " << amount;
            EXPECT_EQ(stage.oversamplerInUse(), type == tape ? 1 : 0);
        }

    // A second slot prepared beside the first shares its measurements.
    tq4::DriveStage second;
    second.prepare(sampleRate(), &stage);
    EXPECT_EQ(second.latency(), stage.latency());
    EXPECT_EQ(second.oversamplerLatency(1), latency32);
}

TEST_P(DriveStageAtRate, MeasuredLatencyAgreesWithTheFiltersOwnFigure)
{
    // Linear-phase filters: the energy centroid is their group delay, which JUCE also reports.
    juce::dsp::Oversampling<float> reference(
        1, 4, juce::dsp::Oversampling<float>::filterHalfBandFIREquiripple, false, false);
    EXPECT_NEAR(stage.oversamplerLatency(0), reference.getLatencyInSamples(), 0.05);
}

TEST_P(DriveStageAtRate, InactiveStageOutputsZero)
{
    for (float amount : {0.0f, 0.5e-4f})
    {
        stage.setVoicing(tube, amount);
        ASSERT_FALSE(stage.isActive());
        const auto out = run(stage, noise(4000, 0.8f, 3));

        for (float v : out)
            ASSERT_EQ(v, 0.0f);
    }
}

TEST_P(DriveStageAtRate, AnInactiveStageHandsOnTheSameDryDelayWhateverItsBlockSizes)
{
    // What an inactive stage keeps (its dry delay, the tone filter's resting level) must not depend on how
    // its input was cut into blocks: one sample at a time is the reference. Waking up replays it.
    auto quiet = noise(3001, 0.5f, 31);
    quiet[2990] = std::numeric_limits<float>::quiet_NaN(); // kept as 0
    quiet[2995] = std::numeric_limits<float>::infinity();
    const auto loud = noise(2000, 0.4f, 32);

    const auto wakeAfter = [&](int blockSize)
    {
        tq4::DriveStage s;
        s.prepare(sampleRate(), &stage);
        s.setVoicing(tape, 0.0f);
        for (const float v : run(s, quiet, blockSize))
            EXPECT_EQ(v, 0.0f);
        s.setVoicing(tape, 0.8f);
        return run(s, loud);
    };

    const auto reference = wakeAfter(1);
    const int latency = stage.latency();
    for (const int blockSize : {2, 7, latency - 1, latency, latency + 1, 300, 3001, 4096})
    {
        const auto woken = wakeAfter(blockSize);
        for (size_t i = 0; i < reference.size(); ++i)
            ASSERT_EQ(woken[i], reference[i]) << "blocks of " << blockSize << " at " << i;
    }
}

TEST_P(DriveStageAtRate, OutputIsABoundedFiniteDifferenceForASineAtEveryType)
{
    const int length = static_cast<int>(0.25 * sampleRate());

    for (int type : allTypes)
        for (float amount : {0.1f, 0.5f, 1.0f})
            for (float amplitude : {0.05f, 0.5f, 1.0f})
            {
                SCOPED_TRACE(testing::Message()
                             << "type " << type << " amount " << amount << " amp " << amplitude);
                stage.reset();
                stage.setVoicing(type, amount);
                const auto out = run(stage, sine(length, sampleRate(), 220.0, amplitude), 480);

                float peak = 0.0f;

                for (float v : out)
                {
                    ASSERT_TRUE(std::isfinite(v));
                    peak = std::max(peak, std::abs(v));
                }

                // The drive changes the signal, but never by more than a few times its level.
                EXPECT_GT(rms(out, out.size() / 2, out.size()), 1e-5 * amplitude);
                EXPECT_LT(peak, 3.0f * amplitude);

                // Nothing can come out before the latency has passed.
                for (int i = 0; i < stage.latency() - 8; ++i)
                    ASSERT_LT(std::abs(out[static_cast<size_t>(i)]), 1e-3f * amplitude) << i;
            }
}

TEST_P(DriveStageAtRate, DrivenSignalKeepsTheReferenceSineLevel)
{
    // At the calibration level (−18 dBFS peak) the drive should add colour, not loudness.
    const int length = static_cast<int>(1.0 * sampleRate());
    const auto input = sine(length, sampleRate(), 1000.0, tq4::driveTestSineAmplitude);
    const double dry = rms(input, 0, input.size());

    for (int type : allTypes)
        for (float amount : {0.5f, 1.0f})
        {
            SCOPED_TRACE(testing::Message() << "type " << type << " amount " << amount);
            stage.reset();
            stage.setVoicing(type, amount);
            const auto w = driven(input, run(stage, input), stage.latency());
            const double levelDb = 20.0 * std::log10(rms(w, w.size() / 2, w.size()) / dry);
            EXPECT_NEAR(levelDb, 0.0, 1.0);
        }
}

TEST_P(DriveStageAtRate, DrivenSignalStaysInPhaseWithTheDryPath)
{
    // Heavy drive pulls the fundamental down to about a third, in phase with the dry signal. A
    // misalignment of the oversampled path by one sample would turn it by about 25 degrees; the
    // anti-aliased curve stages themselves lag by half an oversampled sample each (a few degrees).
    const double cyclesPerSample = 1.0 / 32.0;
    const int length = static_cast<int>(0.5 * sampleRate()) / 32 * 32;
    const auto input = sine(length, sampleRate(), cyclesPerSample * sampleRate(), 0.5f);

    for (int type : {tube, fet})
    {
        SCOPED_TRACE(type);
        stage.reset();
        stage.setVoicing(type, 1.0f);
        auto out = run(stage, input);

        // The output's DC blocker turns the phase of the difference on purpose; undo it.
        const double dcR =
            1.0 - 2.0 * juce::MathConstants<double>::pi * stage.voicing().highPassHz / sampleRate();
        double z = 0.0, previous = 0.0;

        for (auto& o : out)
        {
            z += o - dcR * previous;
            previous = o;
            o = static_cast<float>(z);
        }

        const auto w = driven(input, out, stage.latency());
        const auto from = static_cast<size_t>(length / 2);
        const auto span = static_cast<size_t>(length / 4);
        const auto wet = component(w, from, span, cyclesPerSample);
        const auto dry = component(input, from - static_cast<size_t>(stage.latency()), span, cyclesPerSample);
        const double degrees = std::arg(wet / dry) * 180.0 / juce::MathConstants<double>::pi;

        EXPECT_LT(std::abs(wet) / std::abs(dry), 0.5) << "the curve should compress the fundamental";
        EXPECT_NEAR(degrees, 0.0, 5.0);
    }
}

TEST_P(DriveStageAtRate, SleepsAfterThreeSecondsOfSilenceAndWakesOnTheFirstSample)
{
    stage.setVoicing(tube, 1.0f);
    const int block = static_cast<int>(sampleRate() / 100.0); // divides 3 s exactly
    run(stage, sine(block * 10, sampleRate(), 440.0, 0.5f), block);

    std::vector<float> zeros(static_cast<size_t>(block), 0.0f);
    auto tail = zeros;
    stage.process(tail.data(), block);
    EXPECT_FALSE(stage.isSleeping());
    EXPECT_GT(rms(tail, 0, tail.size()), 1e-4) << "the drive's own output is still L late";

    for (int done = block; done < 3 * static_cast<int>(sampleRate()); done += block)
    {
        auto buffer = zeros;
        stage.process(buffer.data(), block);
    }

    EXPECT_FALSE(stage.isSleeping()) << "exactly 3 s of zeros still processes";

    auto asleep = zeros;
    stage.process(asleep.data(), block);
    EXPECT_TRUE(stage.isSleeping());

    for (float v : asleep)
        ASSERT_EQ(v, 0.0f);

    // One non-zero sample wakes the whole block.
    auto wake = zeros;
    wake[0] = 0.5f;
    stage.process(wake.data(), block);
    EXPECT_FALSE(stage.isSleeping());
    EXPECT_GT(rms(wake, 0, wake.size()), 1e-6);

    // Waking up sounds like a fresh start: nothing of the old signal is left to come out.
    tq4::DriveStage fresh;
    fresh.prepare(sampleRate());
    fresh.setVoicing(tube, 1.0f);
    auto reference = zeros;
    reference[0] = 0.5f;
    fresh.process(reference.data(), block);

    for (size_t i = 0; i < reference.size(); ++i)
        EXPECT_NEAR(wake[i], reference[i], 1e-4f) << i;
}

TEST_P(DriveStageAtRate, ResetGivesTheSameOutputAsAFreshStage)
{
    const auto input = noise(6000, 0.4f, 11);

    for (int type : allTypes)
    {
        SCOPED_TRACE(type);
        stage.setVoicing(type, 0.8f);
        run(stage, noise(5000, 0.9f, 5));
        stage.reset();
        stage.setVoicing(type, 0.8f);

        tq4::DriveStage fresh;
        fresh.prepare(sampleRate());
        fresh.setVoicing(type, 0.8f);

        const auto a = run(stage, input);
        const auto b = run(fresh, input);

        for (size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(a[i], b[i]) << i;
    }
}

TEST_P(DriveStageAtRate, StagePreparedBesideAnotherBehavesIdentically)
{
    tq4::DriveStage second;
    second.prepare(sampleRate(), &stage);
    stage.setVoicing(transformer, 0.7f);
    second.setVoicing(transformer, 0.7f);

    const auto input = sine(8000, sampleRate(), 150.0, 0.3f);
    const auto a = run(stage, input);
    const auto b = run(second, input);

    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], b[i]) << i;
}

TEST_P(DriveStageAtRate, BlocksLongerThanTheLimitAreProcessedInSlices)
{
    const auto input = noise(20000, 0.5f, 9);

    tq4::DriveStage sliced;
    sliced.prepare(sampleRate(), &stage);
    stage.setVoicing(fet, 0.6f);
    sliced.setVoicing(fet, 0.6f);

    const auto whole = run(stage, input, 20000);
    const auto pieces = run(sliced, input, tq4::DriveStage::maxBlockSize);

    for (size_t i = 0; i < whole.size(); ++i)
        ASSERT_EQ(whole[i], pieces[i]) << i;
}

TEST_P(DriveStageAtRate, NonFiniteInputNeverReachesTheOutput)
{
    stage.setVoicing(tape, 1.0f);
    auto input = sine(4096, sampleRate(), 300.0, 0.4f);
    input[100] = std::nanf("");
    input[2000] = std::numeric_limits<float>::infinity();
    input[3000] = -std::numeric_limits<float>::infinity();

    for (int pass = 0; pass < 3; ++pass)
        for (float v : run(stage, input))
            ASSERT_TRUE(std::isfinite(v));
}

INSTANTIATE_TEST_SUITE_P(CommonRates, DriveStageAtRate, testing::Values(44100.0, 48000.0));

TEST(DriveStage, TypeChangeOnTheSameOversamplerRecalibratesTheHysteresis)
{
    tq4::DriveStage stage;
    stage.prepare(48000.0);
    stage.setVoicing(tube, 0.5f);
    EXPECT_EQ(stage.hysteresisCalibration(), 1.0f);

    stage.setVoicing(transformer, 0.5f); // still 16 times
    ASSERT_EQ(stage.oversamplerInUse(), 0);

    tq4::DriveStage direct;
    direct.prepare(48000.0, &stage);
    direct.setVoicing(transformer, 0.5f);

    EXPECT_NE(stage.hysteresisCalibration(), 1.0f);
    EXPECT_EQ(stage.hysteresisCalibration(), direct.hysteresisCalibration());
    EXPECT_EQ(stage.outputNormalisation(), direct.outputNormalisation());
}

TEST(DriveStage, NormalisationFollowsTheAmount)
{
    tq4::DriveStage stage;
    stage.prepare(48000.0);
    stage.setVoicing(tube, 0.0f);
    EXPECT_EQ(stage.outputNormalisation(), 1.0f);

    stage.setVoicing(tube, 0.2f);
    const float light = stage.outputNormalisation();
    stage.setVoicing(tube, 1.0f);
    const float heavy = stage.outputNormalisation();

    // The driven reference sine grows with the drive, so the gain that undoes it falls.
    EXPECT_LT(light, 1.0f);
    EXPECT_LT(heavy, light);
}

TEST(DriveStage, TakingOverCarriesTheDryDelayAcross)
{
    // A freshly reset stage given another's running state must emit, over its first L samples,
    // exactly what that stage's dry delay holds (normalised, DC-blocked), in order.
    const double sampleRate = 48000.0;
    tq4::DriveStage playing, incoming;
    playing.prepare(sampleRate);
    incoming.prepare(sampleRate, &playing);
    playing.setVoicing(tube, 1.0f);

    const auto input = noise(1000, 0.3f, 21);
    run(playing, input);

    incoming.reset();
    incoming.copyRunningStateFrom(playing);
    incoming.setVoicing(tube, 1.0f);

    const int latency = incoming.latency();
    std::vector<float> silence(static_cast<size_t>(latency), 0.0f);
    auto out = silence;
    out[0] = 1e-30f; // not all zero, so the stage does not count it as digital silence
    incoming.process(out.data(), latency);

    const float gain = incoming.outputNormalisation();
    const float dcR = static_cast<float>(1.0 - 2.0 * juce::MathConstants<double>::pi * 80.0 / sampleRate);
    float zPrev = 0.0f, oPrev = 0.0f;

    for (int k = 0; k < latency; ++k)
    {
        const float dry = input[input.size() - static_cast<size_t>(latency) + static_cast<size_t>(k)];
        const float z = dry * gain - dry;
        oPrev = dcR * oPrev + (z - zPrev);
        zPrev = z;
        // The oversampled path has not produced anything yet, so only the dry share remains.
        EXPECT_NEAR(out[static_cast<size_t>(k)], oPrev, 1e-5f) << k;
    }
}
