// The audio callback must never allocate: every operator new in this binary is counted while armed.

#include "plugin/PluginProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace
{
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* countedAllocate(std::size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

struct CountAllocations
{
    CountAllocations() { counting = true; }
    ~CountAllocations() { counting = false; }
};
} // namespace

void* operator new(std::size_t size)
{
    return countedAllocate(size);
}
void* operator new[](std::size_t size)
{
    return countedAllocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

// Moves every parameter to a new value, spread over its range, so each block sees changes.
void moveEveryParameter(TQ4AudioProcessor& processor, int step)
{
    for (auto* p : processor.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*>(p))
            if (ranged != processor.getBypassParameter())
                ranged->setValueNotifyingHost(
                    std::fmod(0.37f * static_cast<float>(step + ranged->getParameterIndex()), 1.0f));
}

void fillHostile(juce::AudioBuffer<float>& buffer, int step)
{
    juce::Random random(step);
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
        {
            float x = 0.9f * (2.0f * random.nextFloat() - 1.0f);
            switch ((i + step) % 97)
            {
            case 0:
                x = std::numeric_limits<float>::quiet_NaN();
                break;
            case 1:
                x = std::numeric_limits<float>::infinity();
                break;
            case 2:
                x = -std::numeric_limits<float>::infinity();
                break;
            case 3:
                x = std::numeric_limits<float>::denorm_min();
                break;
            default:
                break;
            }
            buffer.setSample(c, i, x);
        }
}

void runBlocks(TQ4AudioProcessor& processor, int channels)
{
    const int blockSizes[] = {1, 2, 3, 17, 64, 511, 512, 1024, 4096, 8192, 8193, 10000};
    juce::MidiBuffer midi;
    int step = 0;
    for (int round = 0; round < 3; ++round)
        for (const int n : blockSizes)
        {
            juce::AudioBuffer<float> buffer(channels, n);
            fillHostile(buffer, step);
            moveEveryParameter(processor, step);
            processor.getBypassParameter()->setValueNotifyingHost((step / 5) % 2 == 0 ? 0.0f : 1.0f);
            processor.learnRequested = (step % 7) == 3;
            processor.captureState = (step % 11) == 0 ? 1 : processor.captureState.load();
            ++step;

            const long before = allocations.load();
            {
                CountAllocations armed;
                processor.processBlock(buffer, midi);
            }
            ASSERT_EQ(allocations.load() - before, 0) << "block of " << n << " samples allocated";
            for (int c = 0; c < channels; ++c)
                for (int i = 0; i < n; ++i)
                    ASSERT_TRUE(std::isfinite(buffer.getSample(c, i)));
        }
}

void setParameter(TQ4AudioProcessor& processor, const char* id, float value)
{
    auto* parameter = processor.apvts.getParameter(id);
    parameter->setValueNotifyingHost(parameter->convertTo0to1(value));
}

// Drive on and off, every type, moving amounts, type changes during a running crossfade and a silence
// long enough for the stage to sleep, with every type taking every role in turn.
void runDriveBlocks(TQ4AudioProcessor& processor, int channels)
{
    struct Step
    {
        bool on;
        float percent;
        int type, samples;
        bool silent;
    };
    const Step steps[] = {
        {true, 50.0f, 0, 512, false},   {true, 50.0f, 2, 64, false},    {true, 80.0f, 1, 64, false},
        {true, 10.0f, 3, 1024, false},  {false, 10.0f, 3, 512, false},  {false, 0.0f, 0, 256, false},
        {true, 100.0f, 0, 8193, false}, {true, 0.0f, 1, 17, false},     {true, 35.0f, 2, 4096, false},
        {true, 35.0f, 3, 1, false},     {true, 70.0f, 0, 10000, false}, {true, 70.0f, 1, 8192, true},
        {true, 70.0f, 1, 8192, true},   {true, 20.0f, 2, 3, false},     {false, 20.0f, 3, 511, false},
    };
    juce::MidiBuffer midi;
    processor.getBypassParameter()->setValueNotifyingHost(0.0f);
    processor.learnRequested = false;

    int step = 0, crossfadingBlocks = 0, sleepingBlocks = 0;
    for (int round = 0; round < 4; ++round)
        for (const auto& s : steps)
        {
            setParameter(processor, "driveOn", s.on ? 1.0f : 0.0f);
            setParameter(processor, "drive", s.percent);
            setParameter(processor, "driveType", static_cast<float>((s.type + round) % 4));

            // Silent steps repeat until the stage has slept for a while (3 s plus a block).
            for (int repeat = 0; repeat < (s.silent ? 10 : 1); ++repeat)
            {
                juce::AudioBuffer<float> buffer(channels, s.samples);
                if (s.silent)
                    buffer.clear();
                else
                    fillHostile(buffer, step);
                ++step;

                const long before = allocations.load();
                {
                    CountAllocations armed;
                    processor.processBlock(buffer, midi);
                }
                ASSERT_EQ(allocations.load() - before, 0)
                    << "drive block of " << s.samples << " samples allocated";
                for (int c = 0; c < channels; ++c)
                    for (int i = 0; i < s.samples; ++i)
                        ASSERT_TRUE(std::isfinite(buffer.getSample(c, i)));

                // The steps must really reach the stage, or the test proves nothing about it.
                const auto& engine = processor.getEngine();
                if (s.on && s.percent > 0.0f)
                {
                    ASSERT_TRUE(engine.activeDriveStage().isActive()) << "step " << step;
                }
                crossfadingBlocks += engine.isDriveCrossfading() ? 1 : 0;
                sleepingBlocks += engine.activeDriveStage().isSleeping() ? 1 : 0;
            }
        }
    EXPECT_GT(crossfadingBlocks, 0);
    EXPECT_GT(sleepingBlocks, 0);
}

} // namespace

TEST(RealtimeSafety, ProcessBlockNeverAllocatesStereo)
{
    TQ4AudioProcessor processor;
    processor.prepareToPlay(48000.0, 512);
    processor.captureState = 1;
    runBlocks(processor, 2);
}

TEST(RealtimeSafety, ProcessBlockNeverAllocatesMono)
{
    TQ4AudioProcessor processor;
    juce::AudioProcessor::BusesLayout mono;
    mono.inputBuses.add(juce::AudioChannelSet::mono());
    mono.outputBuses.add(juce::AudioChannelSet::mono());
    ASSERT_TRUE(processor.setBusesLayout(mono));
    processor.prepareToPlay(44100.0, 512);
    processor.captureState = 1;
    runBlocks(processor, 1);
}

TEST(RealtimeSafety, DriveNeverAllocatesWhileItsSettingsMove)
{
    for (const int channels : {2, 1})
    {
        TQ4AudioProcessor processor;
        if (channels == 1)
        {
            juce::AudioProcessor::BusesLayout mono;
            mono.inputBuses.add(juce::AudioChannelSet::mono());
            mono.outputBuses.add(juce::AudioChannelSet::mono());
            ASSERT_TRUE(processor.setBusesLayout(mono));
        }
        processor.prepareToPlay(48000.0, 512);
        runDriveBlocks(processor, channels);
    }
}

TEST(RealtimeSafety, CounterSeesAllocations)
{
    const long before = allocations.load();
    {
        CountAllocations armed;
        std::unique_ptr<int> p(new int(1));
    }
    EXPECT_EQ(allocations.load() - before, 1);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
