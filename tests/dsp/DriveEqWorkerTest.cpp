#include "dsp/DriveEqWorker.h"

#include "dsp/OfflineRender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace
{

using namespace tq4;
using Clock = std::chrono::steady_clock;

constexpr double rate = 44100.0;

std::vector<float> sine(double seconds, float amplitude, double frequencyHz = 440.0)
{
    std::vector<float> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = amplitude * static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi *
                                                             frequencyHz * static_cast<double>(i) / rate));
    return samples;
}

constexpr float minus20Dbfs = 0.1f;

DriveEqHandOff waitForResult(DriveEqWorker& worker, double timeoutSeconds = 120.0)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (Clock::now() < deadline)
    {
        const DriveEqHandOff handOff = worker.takeResult();
        if (handOff.ready)
            return handOff;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void expectAllZero(const DriveEqResult& r, const char* name)
{
    for (const auto& row : r.compDb)
        for (float v : row)
            EXPECT_EQ(v, 0.0f) << name;
}

// What the worker must render with, whatever the settings it was handed.
EngineSettings cleanReference()
{
    EngineSettings s;
    s.mix = 1.0f;
    s.outputDb = 0.0f;
    s.autoMakeup = true;
    return s;
}

} // namespace

TEST(DriveEqWorker, EntryIsLoudnessDifferenceLimitedByThePeaks)
{
    struct Case
    {
        const char* name;
        float referenceLufs, referencePeak, drivenLufs, drivenPeak;
        float expectedDb;
    };
    const Case cases[] = {
        {"louder drive is pulled down", -20.0f, 0.5f, -17.0f, 0.5f, -3.0f},
        {"quieter drive within the peak limit", -20.0f, 0.1f, -25.0f, 0.05f, 5.0f},
        {"peak allows 1 dB over the reference", -20.0f, 0.5f, -26.0f, 0.5f, 1.0f},
        {"peak levels floor at -120 dB", -20.0f, 0.001f, -90.0f, 1.0e-9f, 61.0f},
        {"silent driven peak lifts the limit", -20.0f, 0.5f, -26.0f, 0.0f, 6.0f},
        {"silent reference peak lifts the limit", -20.0f, 0.0f, -26.0f, 0.5f, 6.0f},
        {"driven render too quiet", -20.0f, 0.5f, -99.0f, 0.5f, 0.0f},
        {"reference too quiet", -99.0f, 0.5f, -20.0f, 0.5f, 0.0f},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(driveCompensationEntryDb(c.referenceLufs, c.referencePeak, c.drivenLufs, c.drivenPeak),
                    c.expectedDb, 1.0e-3f)
            << c.name;
}

TEST(DriveEqWorker, SineJobGivesTheTableOfTheLearnedCompressorAtFullMix)
{
    const auto capture = sine(1.0, minus20Dbfs);

    // Mix, output, makeup and an earlier table must not reach the renders.
    EngineSettings handed;
    handed.mix = 0.3f;
    handed.outputDb = 6.0f;
    handed.autoMakeup = false;
    handed.driveOn = true;
    handed.driveType = 2;
    handed.drivePercent = 70.0f;
    handed.driveCompValid = true;
    for (auto& row : handed.driveCompDb)
        for (auto& v : row)
            v = 5.0f;

    DriveEqWorker worker;
    EXPECT_EQ(worker.getThreadName(), "TQ4 drive eq table");
    ASSERT_TRUE(worker.start(capture, rate, 1234, handed));
    const DriveEqHandOff handOff = waitForResult(worker);
    ASSERT_TRUE(handOff.ready);
    EXPECT_EQ(handOff.learnId, 1234);
    ASSERT_TRUE(handOff.result.valid);
    EXPECT_FALSE(worker.takeResult().ready) << "taking the result clears the slot";

    const float* channels[] = {capture.data()};
    juce::AudioBuffer<float> out;
    const EngineSettings reference = cleanReference();
    const OfflineRenderResult dry =
        renderOffline(channels, 1, static_cast<int>(capture.size()), rate, reference, out);
    ASSERT_GT(dry.loudnessLufs, -40.0f);

    for (int type = 0; type < EngineSettings::driveTypes; ++type)
    {
        EXPECT_EQ(handOff.result.compDb[type][0], 0.0f) << "type " << type;
        for (int amount = 1; amount < EngineSettings::driveCompAmounts; ++amount)
            EXPECT_TRUE(std::isfinite(handOff.result.compDb[type][amount]));

        EngineSettings driven = reference;
        driven.driveOn = true;
        driven.driveType = type;
        driven.drivePercent = 100.0f;
        const OfflineRenderResult wet =
            renderOffline(channels, 1, static_cast<int>(capture.size()), rate, driven, out);
        EXPECT_NEAR(handOff.result.compDb[type][4],
                    driveCompensationEntryDb(dry.loudnessLufs, dry.peak, wet.loudnessLufs, wet.peak), 1.0e-4f)
            << "type " << type;
    }
}

TEST(DriveEqWorker, ChannelCapturesAreRenderedInsteadOfTheMono)
{
    // A silent mono capture alone would give no table.
    DriveEqWorker worker;
    ASSERT_TRUE(worker.start(std::vector<float>(22050, 0.0f), rate, 7, EngineSettings{},
                             {sine(0.5, minus20Dbfs), sine(0.5, minus20Dbfs, 660.0)}));
    const DriveEqHandOff handOff = waitForResult(worker);
    ASSERT_TRUE(handOff.ready);
    EXPECT_TRUE(handOff.result.valid);
}

TEST(DriveEqWorker, QuietOrShortCaptureGivesNoCompensation)
{
    const struct
    {
        const char* name;
        std::vector<float> mono;
        std::vector<std::vector<float>> channels;
        double sampleRate;
    } cases[] = {
        {"digital silence", std::vector<float>(44100, 0.0f), {}, rate},
        {"shorter than one loudness block", sine(0.2, minus20Dbfs), {}, rate},
        {"empty", {}, {}, rate},
        {"empty channel captures", {}, {{}, {}}, rate},
        {"no sample rate", sine(1.0, minus20Dbfs), {}, 0.0},
        {"a channel shorter than the first", {}, {sine(1.0, minus20Dbfs), sine(0.01, minus20Dbfs)}, rate},
    };

    DriveEqWorker worker;
    int id = 1;
    for (const auto& c : cases)
    {
        ASSERT_TRUE(worker.start(c.mono, c.sampleRate, id, EngineSettings{}, c.channels)) << c.name;
        const DriveEqHandOff handOff = waitForResult(worker);
        ASSERT_TRUE(handOff.ready) << c.name;
        EXPECT_EQ(handOff.learnId, id) << c.name;
        EXPECT_FALSE(handOff.result.valid) << c.name;
        expectAllZero(handOff.result, c.name);
        ++id;
    }
}

TEST(DriveEqWorker, StopDuringAJobReturnsPromptlyAndPublishesNothing)
{
    DriveEqWorker worker;
    ASSERT_TRUE(worker.start(sine(30.0, minus20Dbfs), rate, 3, EngineSettings{}));

    // The result lock is never held across a render, so the timer's look never waits for one.
    double longestTakeSeconds = 0.0;
    const auto polling = Clock::now();
    while (secondsSince(polling) < 0.3)
    {
        const auto before = Clock::now();
        EXPECT_FALSE(worker.takeResult().ready);
        longestTakeSeconds = std::max(longestTakeSeconds, secondsSince(before));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_LT(longestTakeSeconds, 0.05);
    ASSERT_TRUE(worker.isThreadRunning()) << "the job must still be rendering when it is stopped";

    const auto stopping = Clock::now();
    worker.stop();
    EXPECT_LT(secondsSince(stopping), 2.0);
    EXPECT_FALSE(worker.isThreadRunning());
    EXPECT_FALSE(worker.takeResult().ready);
}

TEST(DriveEqWorker, SecondStartPublishesOnlyTheSecondJob)
{
    DriveEqWorker worker;
    ASSERT_TRUE(worker.start(sine(30.0, minus20Dbfs), rate, 1, EngineSettings{}));
    ASSERT_TRUE(worker.start(std::vector<float>(44100, 0.0f), rate, 2, EngineSettings{}));

    const DriveEqHandOff handOff = waitForResult(worker);
    ASSERT_TRUE(handOff.ready);
    EXPECT_EQ(handOff.learnId, 2);
    EXPECT_FALSE(handOff.result.valid) << "the second job's silent capture";

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(worker.isThreadRunning());
    EXPECT_FALSE(worker.takeResult().ready);
}

TEST(DriveEqWorker, DestroyingWhileAJobRunsIsSafe)
{
    const auto capture = sine(5.0, minus20Dbfs);
    for (int round = 0; round < 24; ++round)
    {
        auto worker = std::make_unique<DriveEqWorker>();
        worker->start(capture, rate, round, EngineSettings{},
                      round % 2 == 0 ? std::vector<std::vector<float>>{}
                                     : std::vector<std::vector<float>>{capture, capture});
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 6 * 4));
        if (round % 3 == 0)
            worker->takeResult();
        const auto destroying = Clock::now();
        worker.reset();
        EXPECT_LT(secondsSince(destroying), 2.0) << "round " << round;
    }
}
