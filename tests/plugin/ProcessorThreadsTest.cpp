#include "plugin/PluginProcessor.h"
#include "support/LearnDriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

// The processor as a host drives it: an audio thread that never stops while the message thread ticks,
// edits, restores and learns. Its value is under ThreadSanitizer (the sanitizer build runs it); here it
// also checks that the learn survives the traffic.
namespace
{

constexpr double sampleRate = 48000.0;
constexpr int blockSize = 480;

// The drive analysis renders its capture seventeen times: about ten seconds here, over a dozen times that
// under a sanitizer, which instruments every access of the drive's oversampled loops.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double driveAnalysisSeconds = 900.0;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr double driveAnalysisSeconds = 900.0;
#else
constexpr double driveAnalysisSeconds = 120.0;
#endif
#else
constexpr double driveAnalysisSeconds = 120.0;
#endif

class AudioThread
{
public:
    explicit AudioThread(TQ4AudioProcessor& p) : processor(p), thread([this] { run(); }) {}

    ~AudioThread()
    {
        stop = true;
        thread.join();
    }

    int64_t blocks() const { return blockCount.load(); }
    bool allFinite() const { return finite.load(); }

private:
    void run()
    {
        juce::AudioBuffer<float> block(2, blockSize);
        juce::MidiBuffer midi;
        int64_t position = 0;
        while (!stop.load())
        {
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < blockSize; ++i)
                    block.setSample(c, i, tq4test::drumHits(c, position + i, sampleRate));
            position += blockSize;
            processor.processBlock(block, midi);
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < blockSize; ++i)
                    if (!std::isfinite(block.getSample(c, i)))
                        finite = false;
            ++blockCount;
            // About five times real time: fast enough to learn in seconds, slow enough that the
            // ticks keep the capture drained.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    TQ4AudioProcessor& processor;
    std::atomic<bool> stop{false}, finite{true};
    std::atomic<int64_t> blockCount{0};
    std::thread thread;
};

void tickFor(TQ4AudioProcessor& processor, double seconds, const std::function<bool(int)>& eachTick)
{
    const auto until = juce::Time::getMillisecondCounterHiRes() + seconds * 1000.0;
    for (int tick = 0; juce::Time::getMillisecondCounterHiRes() < until; ++tick)
    {
        processor.timerCallback();
        if (eachTick && !eachTick(tick))
            return;
        // A tick every 40 ms of audio at the audio thread's pace.
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
}

} // namespace

TEST(ProcessorThreads, AudioKeepsRunningWhileTheMessageThreadEditsRestoresAndLearns)
{
    TQ4AudioProcessor processor;
    processor.setPlayConfigDetails(2, 2, sampleRate, blockSize);
    processor.prepareToPlay(sampleRate, blockSize);

    juce::MemoryBlock saved;
    tq4test::setParameter(processor, "character", 1.0f);
    processor.getStateInformation(saved);

    AudioThread audio(processor);

    // Edits, restores and learns that the restores cut short.
    processor.learnRequested = true;
    tickFor(processor, 1.5,
            [&](int tick)
            {
                tq4test::setParameter(processor, "threshold", -10.0f - static_cast<float>(tick % 30));
                tq4test::setParameter(processor, "driveOn", (tick / 10) % 2 == 0 ? 1.0f : 0.0f);
                tq4test::setParameter(processor, "character", static_cast<float>(tick % 4));
                if (tick % 20 == 19)
                {
                    processor.setStateInformation(saved.getData(), static_cast<int>(saved.getSize()));
                    processor.learnRequested = true;
                }
                return true;
            });

    // A learn left to finish while the parameters keep moving; the one still running belongs to an
    // earlier restore and would not be written, so it is cancelled first.
    processor.learnRequested = false;
    processor.timerCallback();
    processor.setStateInformation(saved.getData(), static_cast<int>(saved.getSize()));
    tq4test::setParameter(processor, "driveOn", 1.0f);
    processor.learnRequested = true;
    tickFor(processor, 120.0,
            [&](int tick)
            {
                tq4test::setParameter(processor, "mix", 50.0f + static_cast<float>(tick % 50));
                return processor.learnRequested.load();
            });
    EXPECT_FALSE(processor.learnRequested.load());
    EXPECT_TRUE(processor.learnSnapshot().valid);

    // The drive analysis runs beside the audio; a restore in the middle of it, then its result.
    juce::MemoryBlock learned;
    processor.getStateInformation(learned);
    tickFor(processor, 0.2, nullptr);
    processor.setStateInformation(learned.getData(), static_cast<int>(learned.getSize()));
    EXPECT_TRUE(tq4test::waitForDriveEq(processor, driveAnalysisSeconds));
    EXPECT_TRUE(processor.learnSnapshot().valid);

    EXPECT_GT(audio.blocks(), 100);
    EXPECT_TRUE(audio.allFinite());
}
