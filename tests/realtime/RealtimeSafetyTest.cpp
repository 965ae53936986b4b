// The audio callback must never allocate: every operator new in this binary is counted while armed.

#include "plugin/PluginProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace
{
std::atomic<bool> counting { false };
std::atomic<long> allocations { 0 };

void* countedAllocate (std::size_t size)
{
    if (counting.load (std::memory_order_relaxed))
        allocations.fetch_add (1, std::memory_order_relaxed);
    if (void* p = std::malloc (size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

struct CountAllocations
{
    CountAllocations() { counting = true; }
    ~CountAllocations() { counting = false; }
};
} // namespace

void* operator new (std::size_t size) { return countedAllocate (size); }
void* operator new[] (std::size_t size) { return countedAllocate (size); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept
{
    if (counting.load (std::memory_order_relaxed))
        allocations.fetch_add (1, std::memory_order_relaxed);
    return std::malloc (size == 0 ? 1 : size);
}
void operator delete (void* p) noexcept { std::free (p); }
void operator delete[] (void* p) noexcept { std::free (p); }
void operator delete (void* p, std::size_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::size_t) noexcept { std::free (p); }

namespace
{

// Moves every parameter to a new value, spread over its range, so each block sees changes.
void moveEveryParameter (TQ4AudioProcessor& processor, int step)
{
    for (auto* p : processor.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (p))
            if (ranged != processor.getBypassParameter())
                ranged->setValueNotifyingHost (std::fmod (0.37f * static_cast<float> (step + ranged->getParameterIndex()), 1.0f));
}

void fillHostile (juce::AudioBuffer<float>& buffer, int step)
{
    juce::Random random (step);
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
        {
            float x = 0.9f * (2.0f * random.nextFloat() - 1.0f);
            switch ((i + step) % 97)
            {
                case 0: x = std::numeric_limits<float>::quiet_NaN(); break;
                case 1: x = std::numeric_limits<float>::infinity(); break;
                case 2: x = -std::numeric_limits<float>::infinity(); break;
                case 3: x = std::numeric_limits<float>::denorm_min(); break;
                default: break;
            }
            buffer.setSample (c, i, x);
        }
}

void runBlocks (TQ4AudioProcessor& processor, int channels)
{
    const int blockSizes[] = { 1, 2, 3, 17, 64, 511, 512, 1024, 4096, 8192, 8193, 10000 };
    juce::MidiBuffer midi;
    int step = 0;
    for (int round = 0; round < 3; ++round)
        for (const int n : blockSizes)
        {
            juce::AudioBuffer<float> buffer (channels, n);
            fillHostile (buffer, step);
            moveEveryParameter (processor, step);
            processor.getBypassParameter()->setValueNotifyingHost ((step / 5) % 2 == 0 ? 0.0f : 1.0f);
            processor.learnRequested = (step % 7) == 3;
            processor.captureState = (step % 11) == 0 ? 1 : processor.captureState.load();
            ++step;

            const long before = allocations.load();
            {
                CountAllocations armed;
                processor.processBlock (buffer, midi);
            }
            ASSERT_EQ (allocations.load() - before, 0) << "block of " << n << " samples allocated";
            for (int c = 0; c < channels; ++c)
                for (int i = 0; i < n; ++i)
                    ASSERT_TRUE (std::isfinite (buffer.getSample (c, i)));
        }
}

} // namespace

TEST (RealtimeSafety, ProcessBlockNeverAllocatesStereo)
{
    TQ4AudioProcessor processor;
    processor.prepareToPlay (48000.0, 512);
    processor.captureState = 1;
    runBlocks (processor, 2);
}

TEST (RealtimeSafety, ProcessBlockNeverAllocatesMono)
{
    TQ4AudioProcessor processor;
    juce::AudioProcessor::BusesLayout mono;
    mono.inputBuses.add (juce::AudioChannelSet::mono());
    mono.outputBuses.add (juce::AudioChannelSet::mono());
    ASSERT_TRUE (processor.setBusesLayout (mono));
    processor.prepareToPlay (44100.0, 512);
    processor.captureState = 1;
    runBlocks (processor, 1);
}

TEST (RealtimeSafety, CounterSeesAllocations)
{
    const long before = allocations.load();
    {
        CountAllocations armed;
        std::unique_ptr<int> p (new int (1));
    }
    EXPECT_EQ (allocations.load() - before, 1);
}

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
