#include "support/LearnedState.h"

#include "support/LearnDriver.h"

namespace tq4test
{

namespace
{
juce::MemoryBlock makeLearnedState()
{
    constexpr double rate = 48000.0;
    TQ4AudioProcessor processor;
    processor.prepareToPlay(rate, 1920);
    juce::MemoryBlock state;
    if (runLearn(
            processor, [](int c, int64_t i) { return drumHits(c, i, rate); }, 20.0)
            .finished &&
        waitForDriveEq(processor, 240.0))
        processor.getStateInformation(state);
    return state;
}
} // namespace

const juce::MemoryBlock& learnedState()
{
    static const juce::MemoryBlock state = makeLearnedState();
    return state;
}

bool loadLearnedState(TQ4AudioProcessor& processor)
{
    const auto& state = learnedState();
    if (state.isEmpty())
        return false;
    processor.setStateInformation(state.getData(), static_cast<int>(state.getSize()));
    processor.timerCallback();
    return true;
}

} // namespace tq4test
