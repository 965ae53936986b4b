#pragma once

#include "plugin/ParameterLayout.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <memory>

namespace tq4test
{

// The real parameter set without a processor around it: any concrete processor can own the tree, and
// the graph's I/O node is the smallest.
struct ParameterSet
{
    std::shared_ptr<std::atomic<int>> sourceIndex = std::make_shared<std::atomic<int>>(0);
    juce::AudioProcessorGraph::AudioGraphIOProcessor owner{
        juce::AudioProcessorGraph::AudioGraphIOProcessor::audioOutputNode};
    juce::AudioProcessorValueTreeState state{owner, nullptr, "PARAMETERS",
                                             tq4::createParameterLayout(sourceIndex)};

    juce::RangedAudioParameter& operator[](const char* id) { return *state.getParameter(id); }

    float plain(const char* id) { return (*this)[id].convertFrom0to1((*this)[id].getValue()); }
    void set(const char* id, float value)
    {
        (*this)[id].setValueNotifyingHost((*this)[id].convertTo0to1(value));
    }
};

} // namespace tq4test
