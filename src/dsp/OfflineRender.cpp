#include "dsp/OfflineRender.h"

#include "dsp/CompressorEngine.h"
#include "dsp/Loudness.h"

#include <iterator>
#include <memory>
#include <utility>

namespace tq4
{
namespace
{

constexpr int renderBlockSize = 512;
constexpr int blocksPerCancelCheck = 64;

} // namespace

OfflineEnginePool::OfflineEnginePool() = default;
OfflineEnginePool::~OfflineEnginePool() = default;

OfflineEnginePool::Lease::Lease(OfflineEnginePool& owner, std::unique_ptr<CompressorEngine> engine,
                                double sampleRate, int numChannels) noexcept
    : pool(&owner), leased(std::move(engine)), rate(sampleRate), channels(numChannels)
{
}

OfflineEnginePool::Lease::Lease(Lease&& other) noexcept
    : pool(std::exchange(other.pool, nullptr)), leased(std::move(other.leased)), rate(other.rate),
      channels(other.channels)
{
}

OfflineEnginePool::Lease::~Lease()
{
    if (pool != nullptr && leased != nullptr)
        pool->giveBack(std::move(leased), rate, channels);
}

OfflineEnginePool::Lease OfflineEnginePool::acquire(double sampleRate, int numChannels,
                                                    DriveStage::Calibration driveCalibration)
{
    std::unique_ptr<CompressorEngine> engine;
    {
        const std::lock_guard<std::mutex> guard(lock);
        for (auto it = idle.rbegin(); it != idle.rend(); ++it)
            if (it->sampleRate == sampleRate && it->numChannels == numChannels)
            {
                engine = std::move(it->engine);
                idle.erase(std::next(it).base());
                break;
            }
    }

    // Prepared outside the lock: it takes milliseconds, and other threads may want their own.
    if (engine == nullptr)
        engine = std::make_unique<CompressorEngine>();
    if (!engine->prepare(sampleRate, numChannels, driveCalibration))
        engine->reset();
    return Lease(*this, std::move(engine), sampleRate, numChannels);
}

void OfflineEnginePool::giveBack(std::unique_ptr<CompressorEngine> engine, double sampleRate, int numChannels)
{
    std::unique_ptr<CompressorEngine> dropped;
    const std::lock_guard<std::mutex> guard(lock);
    if (idle.size() >= maxIdle)
    {
        // The oldest goes; destroyed after the lock is released.
        dropped = std::move(idle.front().engine);
        idle.erase(idle.begin());
    }
    idle.push_back({std::move(engine), sampleRate, numChannels});
}

OfflineRenderResult renderOffline(const float* const* channels, int numChannels, int numSamples,
                                  double sampleRate, const EngineSettings& settings,
                                  juce::AudioBuffer<float>& output, const std::function<bool()>& shouldCancel)
{
    // Off the stack: worker threads may have small ones.
    auto engine = std::make_unique<CompressorEngine>();
    return renderOffline(*engine, channels, numChannels, numSamples, sampleRate, settings, output,
                         shouldCancel);
}

OfflineRenderResult renderOffline(CompressorEngine& engine, const float* const* channels, int numChannels,
                                  int numSamples, double sampleRate, const EngineSettings& settings,
                                  juce::AudioBuffer<float>& output, const std::function<bool()>& shouldCancel)
{
    // Captures fade into silence; denormals there would make the render many times slower.
    const juce::ScopedNoDenormals noDenormals;

    numChannels = juce::jmax(0, numChannels);
    numSamples = juce::jmax(0, numSamples);
    const int engineChannels = juce::jmax(1, numChannels);

    if (!engine.prepare(sampleRate, engineChannels))
        engine.reset();
    engine.setProcessTarget(1.0f);
    const int latency = engine.getLatencySamples();

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

        engine.process(work, engineChannels, settings);

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
