#include "dsp/CompressorEngine.h"
#include "dsp/DriveStage.h"

#include "support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace
{

using namespace tq4;

constexpr int tube = 0, transformer = 1, tape = 2, fet = 3;
constexpr int allTypes[] = {tube, transformer, tape, fet};

// Gentle compression without makeup, so the drive is the only thing that shapes the level.
EngineSettings driveSettings(int type, float percent, bool on = true)
{
    EngineSettings s;
    s.thresholdDb = -20.0f;
    s.ratio = 3.0f;
    s.autoMakeup = false;
    s.character = 3;
    s.driveOn = on;
    s.drivePercent = percent;
    s.driveType = type;
    return s;
}

// A loud, wide programme: different tones left and right over a little noise.
juce::AudioBuffer<float> programme(int channels, int length, double sampleRate)
{
    juce::AudioBuffer<float> buffer(channels, length);
    tq4test::fillNoise(buffer, 0.05f, 17);
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < length; ++i)
        {
            const double t = i / sampleRate;
            const double tone =
                0.4 * std::sin(juce::MathConstants<double>::twoPi * 110.0 * t) +
                (c == 0 ? 0.2 : -0.1) * std::sin(juce::MathConstants<double>::twoPi * 330.0 * t);
            buffer.setSample(c, i, buffer.getSample(c, i) + static_cast<float>(tone));
        }
    return buffer;
}

// Processes in place in blocks; the settings of each block come from its first sample's position.
void render(CompressorEngine& engine, juce::AudioBuffer<float>& buffer, int blockSize,
            const std::function<EngineSettings(int)>& settingsAt,
            const std::function<void(int)>& afterBlock = {})
{
    for (int start = 0; start < buffer.getNumSamples(); start += blockSize)
    {
        const int n = std::min(blockSize, buffer.getNumSamples() - start);
        juce::AudioBuffer<float> block(buffer.getArrayOfWritePointers(), buffer.getNumChannels(), start, n);
        engine.process(block, buffer.getNumChannels(), settingsAt(start));
        if (afterBlock)
            afterBlock(start + n);
    }
}

juce::AudioBuffer<float> rendered(double sampleRate, const juce::AudioBuffer<float>& input, int blockSize,
                                  const std::function<EngineSettings(int)>& settingsAt)
{
    CompressorEngine engine;
    engine.prepare(sampleRate, input.getNumChannels());
    juce::AudioBuffer<float> output(input);
    render(engine, output, blockSize, settingsAt);
    return output;
}

double rms(const float* x, int from, int to)
{
    double sum = 0.0;
    for (int i = from; i < to; ++i)
        sum += juce::square(static_cast<double>(x[i]));
    return std::sqrt(sum / std::max(1, to - from));
}

class EngineLatency : public ::testing::TestWithParam<double>
{
};

TEST_P(EngineLatency, IsTheLargerOversamplerLatencyPlusTwoAndHoldsForEveryType)
{
    const double rate = GetParam();
    DriveStage probe;
    probe.prepare(rate);
    const int expected =
        static_cast<int>(std::floor(std::max(probe.oversamplerLatency(0), probe.oversamplerLatency(1)))) + 2;

    CompressorEngine engine;
    engine.prepare(rate, 2);
    ASSERT_EQ(engine.getLatencySamples(), expected);

    // Quiet noise through a lightly driven stage of each type comes out best aligned at exactly L.
    juce::AudioBuffer<float> input(2, 8192);
    tq4test::fillNoise(input, 0.05f, 3);
    for (const int type : allTypes)
    {
        const auto output = rendered(rate, input, 512, [&](int) { return driveSettings(type, 20.0f); });
        int bestLag = -1;
        double best = 0.0;
        for (int lag = expected - 4; lag <= expected + 4; ++lag)
        {
            double correlation = 0.0;
            for (int i = 2048; i < 8192; ++i)
                correlation += static_cast<double>(output.getSample(0, i)) * input.getSample(0, i - lag);
            if (correlation > best)
            {
                best = correlation;
                bestLag = lag;
            }
        }
        EXPECT_EQ(bestLag, expected) << "type " << type << " at " << rate << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, EngineLatency, ::testing::Values(44100.0, 48000.0));

class EngineDriveTest : public ::testing::Test
{
protected:
    static constexpr double rate = 48000.0;
};

TEST_F(EngineDriveTest, DriveOnAtZeroPercentLeavesTheOutputAsWithoutDrive)
{
    const auto input = programme(2, 24000, rate);
    for (const int type : allTypes)
    {
        const auto atZero = rendered(rate, input, 512, [&](int) { return driveSettings(type, 0.0f); });
        const auto off = rendered(rate, input, 512, [&](int) { return driveSettings(type, 60.0f, false); });
        EXPECT_EQ(tq4test::maxAbsDifference(atZero, off), 0.0f) << "type " << type;
    }

    // Without compression the drive-off path is the input, L late, up to the mid/side round trip.
    CompressorEngine engine;
    engine.prepare(rate, 2);
    EngineSettings s = driveSettings(tube, 0.0f);
    s.thresholdDb = 0.0f;
    juce::AudioBuffer<float> quietInput(input);
    quietInput.applyGain(0.5f);
    juce::AudioBuffer<float> output(quietInput);
    render(engine, output, 512, [&](int) { return s; });
    EXPECT_FALSE(engine.activeDriveStage().isActive());

    const int latency = engine.getLatencySamples();
    float worst = 0.0f;
    for (int c = 0; c < 2; ++c)
        for (int i = latency; i < output.getNumSamples(); ++i)
            worst = std::max(worst, std::abs(output.getSample(c, i) - quietInput.getSample(c, i - latency)));
    EXPECT_LT(worst, 1.0e-7f);
}

TEST_F(EngineDriveTest, TubeToTapeSwitchFollowsTubeThenBlendsOverTwentyMilliseconds)
{
    constexpr int blockSize = 64, switchAt = 9600, length = 960; // 20 ms
    const auto input = programme(2, 19200, rate);
    const auto heldTube = rendered(rate, input, blockSize, [&](int) { return driveSettings(tube, 50.0f); });
    const auto heldTape = rendered(rate, input, blockSize, [&](int) { return driveSettings(tape, 50.0f); });

    CompressorEngine engine;
    engine.prepare(rate, 2);
    const int start = engine.getLatencySamples() + 16;
    juce::AudioBuffer<float> switching(input);
    render(
        engine, switching, blockSize,
        [&](int position) { return driveSettings(position < switchAt ? tube : tape, 50.0f); },
        [&](int end)
        {
            // The slots swap on the first block boundary at or past the end of the blend.
            const bool swapped = end - switchAt >= start + length;
            if (end > switchAt)
            {
                ASSERT_EQ(engine.activeDriveStage().voicing().type, swapped ? tape : tube) << end;
            }
        });

    // Until the blend starts the output is TUBE's, bit for bit.
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < switchAt + start; ++i)
            ASSERT_EQ(switching.getSample(c, i), heldTube.getSample(c, i)) << c << ":" << i;

    // Over short windows the output sits where the linear blend puts it between the two held engines
    // (weighted as the projection weights it). The incoming slot started fresh at the switch, so during
    // the blend it only approximates an engine that played TAPE throughout; once it has taken over the
    // envelopes it inherited keep it close.
    const auto blendWeight = [&](int i)
    { return std::clamp((i - switchAt - start + 1.0) / length, 0.0, 1.0); };
    struct Window
    {
        int offset;
        double tolerance;
    };
    const Window windows[] = {{-100, 0.0}, {0, 0.05},   {120, 0.05},   {360, 0.05},
                              {600, 0.05}, {840, 0.05}, {2000, 0.003}, {3000, 0.003}};
    for (const auto [offset, tolerance] : windows)
    {
        const int centre = switchAt + start + offset;
        double along = 0.0, span = 0.0, expected = 0.0;
        for (int c = 0; c < 2; ++c)
            for (int i = centre - 96; i < centre + 96; ++i)
            {
                const double toTape = heldTape.getSample(c, i) - heldTube.getSample(c, i);
                along += (switching.getSample(c, i) - heldTube.getSample(c, i)) * toTape;
                span += toTape * toTape;
                expected += blendWeight(i) * toTape * toTape;
            }
        EXPECT_NEAR(along / span, expected / span, tolerance) << "offset " << offset;
    }
}

TEST_F(EngineDriveTest, TypeChangeWhileTheDriveIsOffIsImmediate)
{
    // Off on TUBE, then off on TAPE for one block, then on: exactly an engine that was on TAPE all along.
    constexpr int switchAt = 4800, onAt = 5056;
    const auto input = programme(2, 14400, rate);
    CompressorEngine engine;
    engine.prepare(rate, 2);
    juce::AudioBuffer<float> switching(input);
    render(
        engine, switching, 256,
        [&](int position)
        { return driveSettings(position < switchAt ? tube : tape, 50.0f, position >= onAt); },
        [&](int) { ASSERT_FALSE(engine.isDriveCrossfading()); });

    const auto reference = rendered(
        rate, input, 256, [&](int position) { return driveSettings(tape, 50.0f, position >= onAt); });
    EXPECT_EQ(tq4test::maxAbsDifference(switching, reference), 0.0f);
}

TEST_F(EngineDriveTest, MonoBlockAddsTheDriveWithoutAnySide)
{
    const auto stereoInput = programme(2, 12000, rate);
    juce::AudioBuffer<float> monoInput(1, 12000), twinInput(2, 12000);
    for (int c = 0; c < 2; ++c)
        twinInput.copyFrom(c, 0, stereoInput, 0, 0, 12000);
    monoInput.copyFrom(0, 0, stereoInput, 0, 0, 12000);

    for (const int type : allTypes)
    {
        const auto settings = [&](int) { return driveSettings(type, 60.0f); };
        const auto mono = rendered(rate, monoInput, 512, settings);
        const auto twin = rendered(rate, twinInput, 512, settings);
        const auto dry =
            rendered(rate, monoInput, 512, [&](int) { return driveSettings(type, 60.0f, false); });

        // Identical channels have no side to rescale, so either channel is the mono result.
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 12000; ++i)
                ASSERT_EQ(twin.getSample(c, i), mono.getSample(0, i))
                    << "type " << type << " " << c << ":" << i;
        EXPECT_GT(tq4test::maxAbsDifference(mono, dry), 0.01f) << "type " << type;
    }
}

TEST_F(EngineDriveTest, SideKeepsItsLevelWhenTheMidIsNearSilent)
{
    // A loud side against an exactly silent mid, or one far below the floor of the side scale.
    struct Case
    {
        float midAmplitude;
        float toleranceDb;
    };
    const Case cases[] = {{0.0f, 0.0f}, {1.0e-12f, 0.01f}, {1.0e-9f, 0.01f}};
    juce::AudioBuffer<float> side(1, 24000);
    tq4test::fillSine(side, rate, 440.0, 0.3f);
    juce::AudioBuffer<float> mid(1, 24000);
    tq4test::fillNoise(mid, 1.0f, 5);

    for (const auto& c : cases)
    {
        juce::AudioBuffer<float> input(2, 24000);
        for (int i = 0; i < 24000; ++i)
        {
            const float m = c.midAmplitude * mid.getSample(0, i);
            input.setSample(0, i, m + side.getSample(0, i));
            input.setSample(1, i, m - side.getSample(0, i));
        }
        for (const int type : allTypes)
        {
            CompressorEngine engine;
            engine.prepare(rate, 2);
            EngineSettings s = driveSettings(type, 100.0f);
            s.thresholdDb = 0.0f;
            juce::AudioBuffer<float> output(input);
            render(engine, output, 512, [&](int) { return s; });

            const int latency = engine.getLatencySamples();
            std::vector<float> outSide(24000), inSide(24000);
            for (int i = 0; i < 24000; ++i)
            {
                ASSERT_TRUE(std::isfinite(output.getSample(0, i)) && std::isfinite(output.getSample(1, i)));
                outSide[static_cast<size_t>(i)] = 0.5f * (output.getSample(0, i) - output.getSample(1, i));
                inSide[static_cast<size_t>(i)] = i >= latency ? side.getSample(0, i - latency) : 0.0f;
            }
            const double gainDb =
                20.0 * std::log10(rms(outSide.data(), 4800, 24000) / rms(inSide.data(), 4800, 24000));
            EXPECT_NEAR(gainDb, 0.0, c.toleranceDb + 1.0e-6) << "mid " << c.midAmplitude << " type " << type;
        }
    }
}

TEST_F(EngineDriveTest, StageSleepsAfterThreeSecondsOfZerosAndWakesOnSignal)
{
    constexpr int blockSize = 480; // 3 s are exactly 300 blocks
    CompressorEngine engine;
    engine.prepare(rate, 2);
    const EngineSettings s = driveSettings(tape, 50.0f);

    auto input = programme(2, 4800, rate);
    render(engine, input, blockSize, [&](int) { return s; });
    ASSERT_TRUE(engine.activeDriveStage().isActive());

    juce::AudioBuffer<float> zeros(2, blockSize);
    for (int block = 1; block <= 301; ++block)
    {
        zeros.clear();
        engine.process(zeros, 2, s);
        ASSERT_EQ(engine.activeDriveStage().isSleeping(), block == 301) << "after block " << block;
    }
    zeros.clear();
    engine.process(zeros, 2, s);
    EXPECT_EQ(zeros.getMagnitude(0, blockSize), 0.0f);

    // One non-zero sample wakes it, and the driven signal comes back.
    auto signal = programme(2, blockSize, rate);
    engine.process(signal, 2, s);
    EXPECT_FALSE(engine.activeDriveStage().isSleeping());
    EXPECT_GT(signal.getMagnitude(0, blockSize), 0.0f);
}

} // namespace

TEST_F(EngineDriveTest, AnEngineCalibratingAtFirstUseDrivesAsOneCalibratedAtPrepare)
{
    // The drive comes on half-way, after blocks without it, and a second engine is prepared again
    // for full calibration after a first-use preparation: each must sound as the eager engine does.
    const auto input = programme(2, 24000, rate);
    for (const int type : allTypes)
    {
        const auto settingsAt = [type](int position)
        { return driveSettings(type, 60.0f, position >= 12000); };
        const auto expected = rendered(rate, input, 512, settingsAt);

        CompressorEngine lazy, reprepared;
        lazy.prepare(rate, 2, DriveStage::Calibration::atFirstUse);
        reprepared.prepare(rate, 2, DriveStage::Calibration::atFirstUse);
        EXPECT_FALSE(reprepared.prepare(rate, 2));
        for (CompressorEngine* engine : {&lazy, &reprepared})
        {
            juce::AudioBuffer<float> output(input);
            render(*engine, output, 512, settingsAt);
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < output.getNumSamples(); ++i)
                    ASSERT_EQ(output.getSample(c, i), expected.getSample(c, i))
                        << "type " << type << ", channel " << c << ", sample " << i
                        << (engine == &lazy ? " (first use)" : " (prepared again)");
        }
    }
}
