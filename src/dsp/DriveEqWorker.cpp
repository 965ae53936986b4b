#include "dsp/DriveEqWorker.h"

#include "dsp/CompressorEngine.h"
#include "dsp/OfflineRender.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <climits>
#include <cmath>

namespace tq4
{

namespace
{

constexpr float driveAmountsPercent[EngineSettings::driveCompAmounts] = {0.0f, 10.0f, 25.0f, 50.0f, 100.0f};
constexpr float silentLufs = -99.0f;

float peakDb(float peak) noexcept
{
    return std::max(20.0f * std::log10(peak), -120.0f);
}

// The learned compressor at full mix with its own makeup, and no compensation from an earlier learn.
EngineSettings referenceSettings(EngineSettings settings)
{
    settings.driveCompValid = false;
    for (auto& row : settings.driveCompDb)
        std::fill(std::begin(row), std::end(row), 0.0f);
    settings.mix = 1.0f;
    settings.outputDb = 0.0f;
    settings.autoMakeup = true;
    settings.driveOn = false;
    return settings;
}

} // namespace

float driveCompensationEntryDb(float referenceLufs, float referencePeak, float drivenLufs,
                               float drivenPeak) noexcept
{
    if (!(referenceLufs > silentLufs && drivenLufs > silentLufs))
        return 0.0f;

    float db = referenceLufs - drivenLufs;
    if (drivenPeak > 0.0f && referencePeak > 0.0f)
        db = std::min(db, peakDb(referencePeak) - peakDb(drivenPeak) + 1.0f);
    return db;
}

DriveEqWorker::DriveEqWorker() : juce::Thread("TQ4 drive eq table") {}

DriveEqWorker::~DriveEqWorker()
{
    stopThread(stopTimeoutMs);
}

bool DriveEqWorker::start(std::vector<float> monoCapture, double sampleRate, int learnId,
                          const EngineSettings& settings, std::vector<std::vector<float>> channelCaptures)
{
    stop();

    mono = std::move(monoCapture);
    channels = std::move(channelCaptures);
    jobSampleRate = sampleRate;
    jobLearnId = learnId;
    jobSettings = settings;

    return startThread(juce::Thread::Priority::background);
}

void DriveEqWorker::stop()
{
    stopThread(stopTimeoutMs);

    std::vector<float>().swap(mono);
    std::vector<std::vector<float>>().swap(channels);
    jobSettings = {};
    clearResult();
}

DriveEqHandOff DriveEqWorker::takeResult()
{
    const juce::ScopedLock lock(resultLock);
    DriveEqHandOff handOff;
    if (!resultReady)
        return handOff;

    handOff = {true, result, resultLearnId};
    result = {};
    resultReady = false;
    return handOff;
}

void DriveEqWorker::clearResult()
{
    const juce::ScopedLock lock(resultLock);
    result = {};
    resultReady = false;
    resultLearnId = 0;
}

void DriveEqWorker::run()
{
    if (threadShouldExit())
        return;

    std::vector<const float*> pointers;
    size_t length = channels.empty() ? mono.size() : channels.front().size();
    if (channels.empty())
        pointers.push_back(mono.data());
    for (const auto& channel : channels)
    {
        pointers.push_back(channel.data());
        // A shorter channel would be read past its end.
        length = std::min(length, channel.size());
    }
    const int numChannels = static_cast<int>(pointers.size());
    const int numSamples = static_cast<int>(std::min<size_t>(length, static_cast<size_t>(INT_MAX)));

    const EngineSettings base = referenceSettings(jobSettings);
    const auto cancel = [this] { return threadShouldExit(); };
    juce::AudioBuffer<float> output;

    DriveEqResult table;
    if (jobSampleRate > 0.0 && std::isfinite(jobSampleRate))
    {
        // One engine, reset before each render: preparing builds the drive's oversamplers, which
        // would otherwise be built seventeen times.
        const auto lease = enginePool->acquire(jobSampleRate, std::max(1, numChannels));
        CompressorEngine& engine = lease.engine();
        const OfflineRenderResult reference = renderOffline(engine, pointers.data(), numChannels, numSamples,
                                                            jobSampleRate, base, output, cancel);

        if (!reference.cancelled && reference.loudnessLufs > silentLufs)
        {
            table.valid = true;
            for (int type = 0; type < EngineSettings::driveTypes && table.valid; ++type)
                for (int amount = 1; amount < EngineSettings::driveCompAmounts; ++amount)
                {
                    EngineSettings driven = base;
                    driven.driveOn = true;
                    driven.driveType = type;
                    driven.drivePercent = driveAmountsPercent[amount];

                    const OfflineRenderResult render =
                        renderOffline(engine, pointers.data(), numChannels, numSamples, jobSampleRate, driven,
                                      output, cancel);
                    if (render.cancelled)
                    {
                        table = {};
                        break;
                    }
                    table.compDb[type][amount] = driveCompensationEntryDb(
                        reference.loudnessLufs, reference.peak, render.loudnessLufs, render.peak);
                }
        }
    }

    // Up to 40 s per channel: not kept a moment longer than the renders need it.
    pointers.clear();
    std::vector<std::vector<float>>().swap(channels);
    std::vector<float>().swap(mono);

    if (threadShouldExit())
        return;

    const juce::ScopedLock lock(resultLock);
    result = table;
    resultReady = true;
    resultLearnId = jobLearnId;
}

} // namespace tq4
