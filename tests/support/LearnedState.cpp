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

// ctest runs every test in a process of its own, so the state is also kept beside the binary, named
// after the binary's build: a rebuilt binary learns afresh.
juce::File cacheFile()
{
    const auto binary = juce::File::getSpecialLocation(juce::File::currentExecutableFile);
    return binary.getSiblingFile(binary.getFileName() + "-learned-" +
                                 juce::String(binary.getLastModificationTime().toMilliseconds()) + "-" +
                                 juce::String(binary.getSize()) + ".state");
}

juce::MemoryBlock loadOrMakeLearnedState()
{
    const auto file = cacheFile();
    juce::MemoryBlock state;
    if (file.loadFileAsData(state) && !state.isEmpty())
        return state;

    state = makeLearnedState();
    if (state.isEmpty())
        return state;
    for (const auto& stale : file.getParentDirectory().findChildFiles(
             juce::File::findFiles, false,
             file.getFileName().upToLastOccurrenceOf("-learned-", true, false) + "*.state"))
        stale.deleteFile();
    // Written aside and moved into place, so a test running alongside never reads half a state.
    juce::TemporaryFile temporary(file);
    if (temporary.getFile().replaceWithData(state.getData(), state.getSize()))
        temporary.overwriteTargetFileWithTemporary();
    return state;
}
} // namespace

const juce::MemoryBlock& learnedState()
{
    static const juce::MemoryBlock state = loadOrMakeLearnedState();
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
