#include "support/LearnDriver.h"

#include <cmath>

namespace tq4test
{

float drumHits(int channel, int64_t index, double sampleRate)
{
    const double t = static_cast<double>(index % static_cast<int64_t>(sampleRate * 0.25)) / sampleRate;
    const double hit = 0.8 * std::exp(-t * 25.0) * std::sin(2.0 * juce::MathConstants<double>::pi * 70.0 * t);
    // Cheap deterministic noise so the level never sits at exact silence.
    const auto hash =
        static_cast<uint32_t>((index * 2654435761u + static_cast<uint32_t>(channel) * 97u) >> 8);
    const double noise = 0.02 * (static_cast<double>(hash % 2001u) / 1000.0 - 1.0);
    return static_cast<float>(hit + noise);
}

LearnRun runLearn(TQ4AudioProcessor& processor, const SignalFn& signal, double maxSeconds,
                  const std::function<void(int)>& eachTick)
{
    const double rate = processor.currentSampleRate;
    const int blockSize = static_cast<int>(rate * 0.04);
    const int channels = juce::jmax(1, processor.getMainBusNumInputChannels());
    juce::AudioBuffer<float> block(channels, blockSize);
    juce::MidiBuffer midi;

    LearnRun run;
    processor.learnRequested = true;
    processor.timerCallback();
    int64_t position = 0;
    while (position < static_cast<int64_t>(maxSeconds * rate))
    {
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < blockSize; ++i)
                block.setSample(c, i, signal(c, position + i));
        position += blockSize;
        processor.processBlock(block, midi);
        if (eachTick)
            eachTick(run.ticks);
        processor.timerCallback();
        ++run.ticks;
        if (!processor.learnRequested.load())
        {
            run.finished = true;
            break;
        }
    }
    return run;
}

bool waitForDriveEq(TQ4AudioProcessor& processor, double seconds)
{
    const auto until = juce::Time::getMillisecondCounterHiRes() + seconds * 1000.0;
    while (processor.driveEqJobActive.load() && juce::Time::getMillisecondCounterHiRes() < until)
    {
        juce::Thread::sleep(40);
        processor.timerCallback();
    }
    return !processor.driveEqJobActive.load();
}

void setParameter(TQ4AudioProcessor& processor, const char* id, float value)
{
    auto* parameter = processor.apvts.getParameter(id);
    parameter->setValueNotifyingHost(parameter->convertTo0to1(value));
}

float parameterValue(TQ4AudioProcessor& processor, const char* id)
{
    return processor.apvts.getRawParameterValue(id)->load();
}

} // namespace tq4test
