#include "dsp/OfflineRender.h"

#include "dsp/CompressorEngine.h"
#include "dsp/Loudness.h"

#include <memory>

namespace tq4
{
namespace
{

constexpr int renderBlockSize = 512;
constexpr int blocksPerCancelCheck = 64;

} // namespace

OfflineRenderResult renderOffline(const float* const* channels, int numChannels, int numSamples,
                                  double sampleRate, const EngineSettings& settings,
                                  juce::AudioBuffer<float>& output, const std::function<bool()>& shouldCancel)
{
    // Captures fade into silence; denormals there would make the render many times slower.
    const juce::ScopedNoDenormals noDenormals;

    numChannels = juce::jmax(0, numChannels);
    numSamples = juce::jmax(0, numSamples);
    const int engineChannels = juce::jmax(1, numChannels);

    // Off the stack: worker threads may have small ones.
    auto engine = std::make_unique<CompressorEngine>();
    engine->prepare(sampleRate, engineChannels);
    engine->setProcessTarget(1.0f);
    const int latency = engine->getLatencySamples();

    if (output.getNumChannels() != numChannels || output.getNumSamples() != numSamples)
        output.setSize(numChannels, numSamples);
    juce::AudioBuffer<float> work(engineChannels, renderBlockSize);

    // The input is followed by `latency` samples of silence so that its tail comes out too.
    const int64_t renderLength = static_cast<int64_t>(numSamples) + latency;
    int block = 0;
    for (int64_t start = 0; start < renderLength; start += renderBlockSize, ++block)
    {
        if (shouldCancel && (block + 1) % blocksPerCancelCheck == 0 && shouldCancel())
            return {-100.0f, 0.0f, true};

        const int inputCount =
            static_cast<int>(juce::jlimit<int64_t>(0, renderBlockSize, numSamples - start));
        work.clear();
        for (int c = 0; c < numChannels; ++c)
            if (channels != nullptr && channels[c] != nullptr && inputCount > 0)
                work.copyFrom(c, 0, channels[c] + start, inputCount);

        engine->process(work, engineChannels, settings);

        // Output position = render position - latency, kept inside the capture.
        const int64_t outStart = start - latency;
        const int first = static_cast<int>(juce::jmax<int64_t>(0, -outStart));
        const int last = static_cast<int>(juce::jmin<int64_t>(renderBlockSize, numSamples - outStart));
        if (last > first)
            for (int c = 0; c < numChannels; ++c)
                output.copyFrom(c, static_cast<int>(outStart + first), work, c, first, last - first);
    }

    OfflineRenderResult result;
    result.peak = numSamples > 0 ? output.getMagnitude(0, numSamples) : 0.0f;
    result.loudnessLufs =
        measureIntegratedLoudness(output.getArrayOfReadPointers(), numChannels, numSamples, sampleRate);
    return result;
}

} // namespace tq4
