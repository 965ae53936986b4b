#pragma once

#include "dsp/EngineSettings.h"
#include "dsp/OfflineRender.h"

#include <juce_core/juce_core.h>

#include <vector>

namespace tq4
{

// Measures after a learn how much louder each drive type and amount makes the learned audio: a
// background thread renders the capture once dry and sixteen times driven, and leaves the drive
// compensation table in a locked slot for the control timer.

struct DriveEqResult
{
    bool valid = false;
    // Drive type x drive amount 0, 10, 25, 50 and 100 %; the 0 % column stays 0.
    float compDb[EngineSettings::driveTypes][EngineSettings::driveCompAmounts] = {};
};

// What the control timer takes from the slot; ready is false while nothing was published.
struct DriveEqHandOff
{
    bool ready = false;
    DriveEqResult result;
    int learnId = 0;
};

class DriveEqWorker : private juce::Thread
{
public:
    static constexpr int stopTimeoutMs = 30000;

    DriveEqWorker();
    ~DriveEqWorker() override;

    // Stops a running job, forgets its result and starts the thread on the new capture; false when
    // no thread could be started. Without channel captures the mono capture is rendered as one channel.
    bool start(std::vector<float> monoCapture, double sampleRate, int learnId, const EngineSettings& settings,
               std::vector<std::vector<float>> channelCaptures = {});

    // Returns once the thread has left (a render notices within 64 blocks); nothing is published.
    void stop();

    // Copies a published result and clears the slot.
    DriveEqHandOff takeResult();

    using juce::Thread::getThreadName;
    using juce::Thread::isThreadRunning;

private:
    void run() override;
    void clearResult();

    // Job inputs: written by start and stop only while the thread is not running.
    std::vector<float> mono;
    std::vector<std::vector<float>> channels;
    double jobSampleRate = 44100.0;
    int jobLearnId = 0;
    EngineSettings jobSettings;

    // Held for the processor's life, so that its renders and the makeup learning's find engines
    // already prepared.
    juce::SharedResourcePointer<OfflineEnginePool> enginePool;

    juce::CriticalSection resultLock;
    DriveEqResult result;
    bool resultReady = false;
    int resultLearnId = 0;
};

// One table entry: the gain that brings a driven render back to the reference loudness, with the
// driven peak allowed 1 dB above the reference peak at most. 0 when either loudness is at or below
// -99 LUFS; a peak of 0 lifts the limit. Peaks are linear.
float driveCompensationEntryDb(float referenceLufs, float referencePeak, float drivenLufs,
                               float drivenPeak) noexcept;

} // namespace tq4
