#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

// JUCE's message manager and singletons exist for the whole run, as in a host.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
