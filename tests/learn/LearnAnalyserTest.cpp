#include "learn/LearnAnalyser.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace
{

using namespace tq4;

using Signal = std::function<float(int64_t)>; // sample at a position

Signal sine(double sampleRate, float amplitude, double frequencyHz = 1000.0)
{
    return [=](int64_t n)
    {
        return amplitude * static_cast<float>(
                               std::sin(juce::MathConstants<double>::twoPi * frequencyHz * n / sampleRate));
    };
}

float dbToGain(float db)
{
    return std::pow(10.0f, db / 20.0f);
}

// Plays a signal the way the processor hands it over: the audio thread writes host blocks of varying
// size into a one-second FIFO, and the 40 ms control timer drains it in its one or two regions and
// stops once the run has counted enough.
class TimerFeed
{
public:
    TimerFeed(LearnAnalyser& analyserToFeed, double rate, bool stereo)
        : analyser(analyserToFeed), sampleRate(rate), capacity(std::max(static_cast<int>(rate), 8192)),
          fifo(capacity), mono(static_cast<size_t>(capacity)), left(stereo ? mono.size() : 0),
          right(stereo ? mono.size() : 0)
    {
    }

    // Returns the seconds played when the run was complete, or -1 when it never was.
    double play(const Signal& signal, double seconds)
    {
        static constexpr int hostBlocks[] = {512, 64, 1024, 333, 2048, 7, 480};
        const int tickSamples = static_cast<int>(sampleRate * 0.04);
        const auto total = static_cast<int64_t>(seconds * sampleRate);

        while (played < total)
        {
            const int block =
                static_cast<int>(std::min<int64_t>(hostBlocks[blockIndex++ % 7], total - played));
            write(signal, block);
            if (played - lastTick >= tickSamples || played == total)
            {
                lastTick = played;
                drain();
                if (analyser.countedEnough())
                    return static_cast<double>(played) / sampleRate;
            }
        }
        return -1.0;
    }

private:
    void write(const Signal& signal, int count)
    {
        int start1, size1, start2, size2;
        fifo.prepareToWrite(count, start1, size1, start2, size2);
        for (const auto& [start, size] : {std::pair{start1, size1}, std::pair{start2, size2}})
            for (int i = 0; i < size; ++i)
            {
                const float x = signal(played++);
                const auto at = static_cast<size_t>(start + i);
                mono[at] = x;
                if (!left.empty())
                {
                    left[at] = x;
                    right[at] = -0.5f * x;
                }
            }
        fifo.finishedWrite(size1 + size2);
    }

    void drain()
    {
        while (fifo.getNumReady() > 0)
        {
            int start1, size1, start2, size2;
            fifo.prepareToRead(fifo.getNumReady(), start1, size1, start2, size2);
            for (const auto& [start, size] : {std::pair{start1, size1}, std::pair{start2, size2}})
                if (size > 0)
                {
                    const auto at = static_cast<size_t>(start);
                    analyser.analyseSamples(mono.data() + at, left.empty() ? nullptr : left.data() + at,
                                            right.empty() ? nullptr : right.data() + at, size);
                }
            fifo.finishedRead(size1 + size2);
        }
    }

    LearnAnalyser& analyser;
    double sampleRate;
    int capacity;
    juce::AbstractFifo fifo;
    std::vector<float> mono, left, right;
    int64_t played = 0;
    int64_t lastTick = 0;
    size_t blockIndex = 0;
};

struct Analysis
{
    LearnAnalyser analyser;
    TimerFeed feed;

    explicit Analysis(double sampleRate, bool stereo = false) : feed(analyser, sampleRate, stereo)
    {
        analyser.prepare(sampleRate);
    }
};

} // namespace

TEST(LearnAnalyser, QuietInputIsHeardButNeverCounted)
{
    const double sr = 48000.0;
    struct Case
    {
        const char* name;
        Signal signal;
    };
    const Case cases[] = {
        {"silence", [](int64_t) { return 0.0f; }},
        {"-60 dBFS peaks", sine(sr, dbToGain(-60.0f))},
        {"-60 dBFS RMS", sine(sr, dbToGain(-57.0f))}, // a block level of -60.01 dB
    };
    for (const auto& c : cases)
    {
        Analysis a(sr);
        EXPECT_LT(a.feed.play(c.signal, 2.9), 0.0) << c.name;
        EXPECT_FALSE(a.analyser.progress().signalLow) << c.name;
        EXPECT_NEAR(a.analyser.progress().secondsHeard, 2.9f, 0.01f) << c.name;

        EXPECT_LT(a.feed.play(c.signal, 10.0), 0.0) << c.name;
        const auto progress = a.analyser.progress();
        EXPECT_EQ(progress.progress, 0.0f) << c.name;
        EXPECT_TRUE(progress.signalLow) << c.name;
        EXPECT_NEAR(progress.secondsHeard, 10.0f, 0.01f) << c.name;
        EXPECT_FALSE(a.analyser.countedEnough()) << c.name;
        EXPECT_FALSE(a.analyser.computeLearnStats().valid) << c.name;
    }
}

TEST(LearnAnalyser, SteadySineCompletesAfterEightCountedSeconds)
{
    for (const double sr : {44100.0, 48000.0, 96000.0})
    {
        Analysis a(sr);
        const double doneAt = a.feed.play(sine(sr, dbToGain(-20.0f)), 12.0);
        EXPECT_GE(doneAt, 8.0) << sr;
        EXPECT_LT(doneAt, 8.1) << sr;
        EXPECT_EQ(a.analyser.progress().progress, 1.0f);

        const auto stats = a.analyser.computeLearnStats();
        ASSERT_TRUE(stats.valid) << sr;
        EXPECT_FLOAT_EQ(stats.seconds, 8.0f) << sr; // 160 blocks of 50 ms
        for (const float q : {stats.p50Db, stats.p75Db, stats.p90Db, stats.p95Db})
            EXPECT_NEAR(q, -23.01f, 0.02f) << sr;
        EXPECT_NEAR(stats.peakDb, -20.0f, 0.01f) << sr;
        EXPECT_NEAR(stats.crestDb, 3.01f, 0.02f) << sr;
        // The share above the one-pole 2 kHz split is that filter's high-pass response at 1 kHz.
        const double pole = std::exp(-12566.371 / sr);
        const double w = juce::MathConstants<double>::twoPi * 1000.0 / sr;
        const double highGain =
            pole * 2.0 * std::sin(w / 2.0) / std::sqrt(1.0 - 2.0 * pole * std::cos(w) + pole * pole);
        EXPECT_NEAR(stats.hfRatio, highGain * highGain, 0.002) << sr;
        EXPECT_GT(stats.sustain, 0.9f) << sr;

        // A steady tone has no transients: the lists stay empty and leave their defaults.
        EXPECT_EQ(stats.riseCount, 0) << sr;
        EXPECT_EQ(stats.riseMs, 10.0f) << sr;
        EXPECT_EQ(stats.decayCount, 0) << sr;
        EXPECT_EQ(stats.decayMs, 200.0f) << sr;
        EXPECT_EQ(stats.onsetRate, 0.0f) << sr;
        EXPECT_EQ(stats.onsetIntervalMs, 1000.0f) << sr;

        EXPECT_EQ(stats.trace.hop, static_cast<int>(std::lround(sr * 0.001))) << sr;
        EXPECT_EQ(stats.trace.peak.size(), static_cast<size_t>(std::ceil(8.0 * sr / stats.trace.hop))) << sr;
    }
}

TEST(LearnAnalyser, AlternatingLevelsCountOnlyTheLoudSeconds)
{
    const double sr = 48000.0;
    const auto quiet = sine(sr, dbToGain(-70.0f));
    const auto loud = sine(sr, dbToGain(-30.0f));
    const Signal alternating = [&](int64_t n) { return (n / 48000) % 2 == 0 ? quiet(n) : loud(n); };

    Analysis a(sr);
    EXPECT_LT(a.feed.play(alternating, 8.0), 0.0);
    EXPECT_NEAR(a.analyser.progress().progress, 0.5f, 0.01f);

    const double doneAt = a.feed.play(alternating, 20.0);
    EXPECT_GE(doneAt, 16.0);
    EXPECT_LT(doneAt, 16.1);
    const auto stats = a.analyser.computeLearnStats();
    EXPECT_NEAR(stats.p50Db, -33.01f, 0.02f);
    EXPECT_NEAR(stats.p95Db, -33.01f, 0.02f);
}

TEST(LearnAnalyser, ClickTrainGivesOnsetRateAndInterval)
{
    const double sr = 48000.0;
    // Clicks decaying in 5 ms over a tone quiet enough never to look like an onset itself but loud
    // enough (about -53 dBFS RMS) that every block counts.
    const auto bed = sine(sr, 0.003f);
    const auto clickAt = [sr](int64_t n, int64_t start)
    {
        return n >= start ? 0.8f * std::exp(-static_cast<float>(n - start) / static_cast<float>(sr * 0.005))
                          : 0.0f;
    };

    struct Case
    {
        const char* name;
        int secondClickMs; // 0: none
        float rate;
    };
    const Case cases[] = {
        {"single clicks", 0, 4.0f},
        {"second click inside 30 ms", 20, 4.0f},
        {"second click after 30 ms", 40, 8.0f},
    };
    for (const auto& c : cases)
    {
        const int64_t period = 12000; // 4 per second
        const int64_t second = c.secondClickMs * 48;
        const Signal clicks = [&](int64_t n)
        {
            const int64_t start = n / period * period;
            float x = bed(n) + clickAt(n, start);
            if (second > 0)
                x += clickAt(n, start + second);
            return x;
        };

        Analysis a(sr);
        ASSERT_GT(a.feed.play(clicks, 12.0), 0.0) << c.name;
        const auto stats = a.analyser.computeLearnStats();
        EXPECT_NEAR(stats.onsetRate, c.rate, 0.01f) << c.name;
        // Every onset also measured its rise and its decay. A second click rides on the first one's
        // envelope, which stretches both measures, so their values are checked on single clicks.
        const auto onsets = static_cast<int>(std::lround(stats.onsetRate * stats.seconds));
        EXPECT_EQ(stats.riseCount, onsets) << c.name;
        EXPECT_EQ(stats.decayCount, onsets) << c.name;
        if (second == 0)
        {
            EXPECT_NEAR(stats.onsetIntervalMs, 250.0f, 1.0f) << c.name;
            EXPECT_GT(stats.riseMs, 0.0f) << c.name;
            EXPECT_LT(stats.riseMs, 3.0f) << c.name;
            // The envelope releases in 20 ms, slower than the click: it sets the decay.
            EXPECT_GT(stats.decayMs, 15.0f) << c.name;
            EXPECT_LT(stats.decayMs, 25.0f) << c.name;
        }
    }
}

TEST(LearnAnalyser, OnsetsNeedAPeakAboveWhatCameBefore)
{
    // 10 ms bursts four times a second on a steady tone: counted only when the burst's envelope
    // rises more than 1.8 times above the tone's.
    const double sr = 48000.0;
    struct Case
    {
        float toneAmplitude, burstAmplitude, rate;
    };
    for (const Case c : {Case{0.4f, 0.6f, 0.0f}, Case{0.3f, 0.6f, 4.0f}})
    {
        const auto tone = sine(sr, c.toneAmplitude);
        const auto burst = sine(sr, c.burstAmplitude);
        const Signal signal = [&](int64_t n) { return (n + 6000) % 12000 < 480 ? burst(n) : tone(n); };

        Analysis a(sr);
        ASSERT_GT(a.feed.play(signal, 12.0), 0.0);
        EXPECT_NEAR(a.analyser.computeLearnStats().onsetRate, c.rate, 0.01f)
            << c.toneAmplitude << " -> " << c.burstAmplitude;
    }
}

TEST(LearnAnalyser, TraceCodesAFullScaleSineAndSilence)
{
    const double sr = 48000.0;
    const auto full = sine(sr, 1.0f);
    const int64_t silentSamples = 4800; // 100 frames
    const Signal signal = [&](int64_t n) { return n < silentSamples ? 0.0f : full(n); };

    Analysis a(sr);
    ASSERT_GT(a.feed.play(signal, 10.0), 0.0);
    const auto trace = a.analyser.computeLearnStats().trace;
    ASSERT_TRUE(isValidTrace(trace));
    EXPECT_EQ(trace.sampleRate, sr);
    EXPECT_EQ(trace.hop, 48);

    const size_t silentFrames = static_cast<size_t>(silentSamples / 48);
    for (size_t i = 0; i < trace.peak.size(); ++i)
    {
        const int peak = i < silentFrames ? 0 : 200;
        const int rms = i < silentFrames ? 0 : 194;
        ASSERT_EQ(trace.peak[i], peak) << "frame " << i;
        ASSERT_EQ(trace.rms[i], rms) << "frame " << i;
    }
}

TEST(LearnAnalyser, TooLittleCountedAudioIsNotValid)
{
    const double sr = 48000.0;
    struct Case
    {
        double loudSeconds;
        bool valid;
    };
    for (const Case c : {Case{0.0, false}, Case{0.45, false}, Case{0.55, true}})
    {
        const auto tone = sine(sr, 0.5f);
        const auto loud = static_cast<int64_t>(c.loudSeconds * sr);
        Analysis a(sr);
        a.feed.play([&](int64_t n) { return n < loud ? tone(n) : 0.0f; }, 3.0);

        const auto stats = a.analyser.computeLearnStats();
        EXPECT_EQ(stats.valid, c.valid) << c.loudSeconds;
        if (!c.valid)
        {
            EXPECT_EQ(stats.p50Db, -100.0f);
            EXPECT_EQ(stats.seconds, 0.0f);
            EXPECT_FALSE(isValidTrace(stats.trace));
        }
    }
}

TEST(LearnAnalyser, ResetStartsTheMeasurementFromZero)
{
    const double sr = 48000.0;
    const auto tone = sine(sr, 0.1f);

    Analysis a(sr);
    a.feed.play(tone, 5.0);
    EXPECT_NEAR(a.analyser.progress().progress, 5.0f / 8.0f, 0.01f);

    a.analyser.reset();
    const auto cleared = a.analyser.progress();
    EXPECT_EQ(cleared.progress, 0.0f);
    EXPECT_EQ(cleared.secondsHeard, 0.0f);
    EXPECT_FALSE(cleared.signalLow);
    EXPECT_TRUE(a.analyser.takeCaptures().mono.empty());

    // The feed keeps its position; the run needs eight more seconds.
    const double doneAt = a.feed.play(tone, 20.0);
    EXPECT_GE(doneAt, 13.0);
    EXPECT_LT(doneAt, 13.1);
}

TEST(LearnAnalyser, CapturesFollowTheAnalysedSamples)
{
    const double sr = 48000.0;
    const auto tone = sine(sr, 0.25f);

    for (const bool stereo : {false, true})
    {
        Analysis a(sr, stereo);
        ASSERT_GT(a.feed.play(tone, 10.0), 0.0);
        const auto stats = a.analyser.computeLearnStats();
        const auto captures = a.analyser.takeCaptures();

        // Analysis stops at exactly eight counted seconds, in the middle of a FIFO region.
        ASSERT_EQ(captures.mono.size(), static_cast<size_t>(8.0 * sr)) << stereo;
        for (size_t i = 0; i < captures.mono.size(); i += 997)
            ASSERT_EQ(captures.mono[i], tone(static_cast<int64_t>(i))) << i;
        EXPECT_EQ(captures.left.size(), stereo ? captures.mono.size() : 0u);
        EXPECT_EQ(captures.right.size(), stereo ? captures.mono.size() : 0u);
        if (stereo)
        {
            EXPECT_EQ(captures.left[1234], captures.mono[1234]);
            EXPECT_EQ(captures.right[1234], -0.5f * captures.mono[1234]);
        }
        EXPECT_TRUE(stats.valid);
        EXPECT_TRUE(a.analyser.takeCaptures().mono.empty());
    }
}

TEST(LearnAnalyser, CaptureStopsAtFortySecondsAndLowRatesAnalyseAt8k)
{
    LearnAnalyser analyser;
    analyser.prepare(4000.0);
    EXPECT_EQ(analyser.getSampleRate(), 8000.0);

    // Silence never completes, so the capture runs into its limit.
    TimerFeed feed(analyser, 8000.0, false);
    feed.play([](int64_t) { return 0.0f; }, 50.0);
    EXPECT_EQ(analyser.takeCaptures().mono.size(), 40u * 8000u);
    EXPECT_NEAR(analyser.progress().secondsHeard, 50.0f, 0.01f);
}

TEST(LearnAnalyser, NonFiniteSamplesAreAnalysedAsSilence)
{
    const float samples[] = {0.5f, std::nanf(""), INFINITY, -0.5f};
    LearnAnalyser analyser;
    analyser.prepare(48000.0);
    analyser.analyseSamples(samples, nullptr, nullptr, 4);
    analyser.analyseSamples(nullptr, nullptr, nullptr, 4);

    const auto captures = analyser.takeCaptures();
    ASSERT_EQ(captures.mono.size(), 4u);
    EXPECT_EQ(captures.mono[1], 0.0f);
    EXPECT_EQ(captures.mono[2], 0.0f);
    EXPECT_NEAR(analyser.progress().secondsHeard, 4.0f / 48000.0f, 1.0e-9f);
}
