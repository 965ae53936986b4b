// Writes the state block TQ-4 saves after a finished learn and its drive compensation, for the LV2
// state test: a host cannot press LEARN, so the learn runs here on the plug-in's own processor.

#include "support/LearnDriver.h"

#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: tq4_lv2_learned_state OUTPUT\n";
        return 2;
    }

    const juce::ScopedJuceInitialiser_GUI juce;
    TQ4AudioProcessor processor;
    const double rate = 22050.0;
    processor.prepareToPlay(rate, 882);

    const auto run = tq4test::runLearn(
        processor, [rate](int channel, int64_t index) { return tq4test::drumHits(channel, index, rate); },
        20.0);
    if (!run.finished || !tq4test::waitForDriveEq(processor, 240.0))
    {
        std::cerr << "the learn did not finish\n";
        return 1;
    }

    juce::MemoryBlock state;
    processor.getStateInformation(state);
    if (!juce::File(juce::String(argv[1])).replaceWithData(state.getData(), state.getSize()))
    {
        std::cerr << "cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
