// The whole audio callback with the drive on, per drive type: 48 kHz stereo, 512-sample blocks, compressing
// (threshold -30 dB, ratio 4), drive at a steady 50 %.

#include "plugin/PluginProcessor.h"

#include <benchmark/benchmark.h>

namespace
{

constexpr double sampleRate = 48000.0;
constexpr int blockSize = 512;

void setParameter(TQ4AudioProcessor& p, const char* id, float value)
{
    auto* parameter = p.apvts.getParameter(id);
    parameter->setValueNotifyingHost(parameter->convertTo0to1(value));
}

// arg: drive type (0 TUBE, 1 TRANSFORMER, 2 TAPE, 3 FET).
void driveProcessBlock(benchmark::State& state)
{
    TQ4AudioProcessor processor;
    setParameter(processor, "threshold", -30.0f);
    setParameter(processor, "ratio", 4.0f);
    setParameter(processor, "driveOn", 1.0f);
    setParameter(processor, "drive", 50.0f);
    setParameter(processor, "driveType", static_cast<float>(state.range(0)));
    processor.prepareToPlay(sampleRate, blockSize);

    // A second of loud noise, played in a loop.
    juce::AudioBuffer<float> source(2, 48000);
    juce::Random random(1);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < source.getNumSamples(); ++i)
            source.setSample(c, i, 0.7f * (2.0f * random.nextFloat() - 1.0f));

    juce::AudioBuffer<float> block(2, blockSize);
    juce::MidiBuffer midi;
    int position = 0;
    const auto next = [&]
    {
        if (position + blockSize > source.getNumSamples())
            position = 0;
        for (int c = 0; c < 2; ++c)
            block.copyFrom(c, 0, source, c, position, blockSize);
        position += blockSize;
        processor.processBlock(block, midi);
        benchmark::DoNotOptimize(block.getReadPointer(0));
    };

    // Half a second lets the drive amount and the makeup settle, so every timed block is steady.
    for (int k = 0; k < 48; ++k)
        next();

    for (auto _ : state)
        next();

    const auto samples = static_cast<double>(state.iterations()) * blockSize;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    // Seconds of stereo audio per second of processing (CPU) time.
    state.counters["realtime"] = benchmark::Counter(samples / sampleRate, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(driveProcessBlock)->ArgName("driveType")->DenseRange(0, 3);
