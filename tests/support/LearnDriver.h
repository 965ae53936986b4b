#pragma once

#include "plugin/PluginProcessor.h"

#include <functional>

// Drives a processor through a learn the way a host and the message thread do: 40 ms audio blocks,
// one control tick after each.
namespace tq4test
{

// Sample generator: channel, sample index at the processor's rate.
using SignalFn = std::function<float(int channel, int64_t index)>;

// A kick-like hit every 250 ms over low noise; loud enough to be counted.
float drumHits(int channel, int64_t index, double sampleRate);

struct LearnRun
{
    int ticks = 0;
    bool finished = false; // the request was cleared by the processor
};

// Requests a learn and plays the signal until the processor clears the request or maxSeconds pass.
LearnRun runLearn(TQ4AudioProcessor& processor, const SignalFn& signal, double maxSeconds,
                  const std::function<void(int tick)>& eachTick = {});

// Ticks the control timer until the drive compensation of the last learn has been taken; false when
// it did not arrive within the time given.
bool waitForDriveEq(TQ4AudioProcessor& processor, double seconds);

void setParameter(TQ4AudioProcessor& processor, const char* id, float value);
float parameterValue(TQ4AudioProcessor& processor, const char* id);

} // namespace tq4test
