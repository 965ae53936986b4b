#pragma once

#include "plugin/PluginProcessor.h"

#include <gtest/gtest.h>

namespace tq4test
{

// The saved state of a processor after one finished learn of drumHits at 48 kHz, drive compensation
// included. It is made once per build of the test binary (and kept in a file beside it): a learn
// takes seconds, and most tests only need some learned state to work on, not the learn itself.
const juce::MemoryBlock& learnedState();

// Restores the learned state as a host would and lets one control tick take it in; false when no
// learned state could be made.
bool loadLearnedState(TQ4AudioProcessor& processor);

// A processor prepared at 48 kHz that holds the learned state, its target available. Its history is
// empty, as after any host restore.
struct LearnedProcessor : ::testing::Test
{
    TQ4AudioProcessor processor;

    void SetUp() override
    {
        processor.prepareToPlay(48000.0, 1920);
        ASSERT_TRUE(loadLearnedState(processor));
        ASSERT_TRUE(processor.targetAvailable.load());
    }

    juce::var stateProperty(const juce::Identifier& id)
    {
        const juce::ScopedLock lock(processor.stateLock);
        return processor.apvts.state[id];
    }
};

} // namespace tq4test
