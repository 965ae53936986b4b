// The engine alone at 48 kHz stereo: per character, with and without Auto Makeup, compressing loud noise;
// and with the drive on at 50 % for each drive type.
#include "dsp/CompressorEngine.h"

#include <benchmark/benchmark.h>
#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <cstdint>

namespace
{

constexpr double benchRate = 48000.0;

void engineBlock(benchmark::State& state)
{
    const int blockSize = static_cast<int>(state.range(0));
    tq4::EngineSettings settings;
    settings.character = static_cast<int32_t>(state.range(1));
    settings.autoMakeup = state.range(2) != 0;
    settings.thresholdDb = -30.0f;
    settings.ratio = 4.0f;
    // -1 leaves the drive off.
    settings.driveOn = state.range(3) >= 0;
    settings.drivePercent = 50.0f;
    settings.driveType = static_cast<int32_t>(std::max<int64_t>(state.range(3), 0));

    tq4::CompressorEngine engine;
    engine.prepare(benchRate, 2);

    // One second of loud noise, played through in blocks.
    juce::AudioBuffer<float> source(2, 48000);
    juce::Random random(42);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < source.getNumSamples(); ++i)
            source.setSample(c, i, 0.9f * (2.0f * random.nextFloat() - 1.0f));
    juce::AudioBuffer<float> block(2, blockSize);

    juce::ScopedNoDenormals noDenormals;
    int position = 0;
    for (auto _ : state)
    {
        if (position + blockSize > source.getNumSamples())
            position = 0;
        for (int c = 0; c < 2; ++c)
            block.copyFrom(c, 0, source, c, position, blockSize);
        position += blockSize;

        engine.process(block, 2, settings);
        benchmark::DoNotOptimize(block.getReadPointer(0));
        benchmark::ClobberMemory();
    }

    const auto samples = static_cast<double>(state.iterations()) * blockSize;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    // Seconds of stereo audio per second of processing (CPU) time, and the cost of one stereo sample.
    state.counters["realtime"] = benchmark::Counter(samples / benchRate, benchmark::Counter::kIsRate);
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void engineArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"block", "character", "autoMakeup", "driveType"});
    for (const int character : {1, 2, 3})
        for (const int autoMakeup : {1, 0})
            for (const int blockSize : {64, 512, 4096})
                b->Args({blockSize, character, autoMakeup, -1});
    for (const int driveType : {0, 1, 2, 3})
        b->Args({512, 3, 1, driveType});
}

} // namespace

BENCHMARK(engineBlock)->Apply(engineArguments);
