#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// Saved states compared by content: the same properties with the same texts and the same children in
// order. The order of attributes is the framework's business, not part of the state.
namespace tq4test
{

inline bool sameContent(const juce::ValueTree& a, const juce::ValueTree& b)
{
    if (a.getType() != b.getType() || a.getNumProperties() != b.getNumProperties() ||
        a.getNumChildren() != b.getNumChildren())
        return false;
    for (int i = 0; i < a.getNumProperties(); ++i)
    {
        const auto name = a.getPropertyName(i);
        if (!b.hasProperty(name) || a[name].toString() != b[name].toString())
            return false;
    }
    for (int i = 0; i < a.getNumChildren(); ++i)
        if (!sameContent(a.getChild(i), b.getChild(i)))
            return false;
    return true;
}

inline juce::ValueTree stateTree(const juce::MemoryBlock& block)
{
    auto xml = juce::AudioProcessor::getXmlFromBinary(block.getData(), static_cast<int>(block.getSize()));
    return xml != nullptr ? juce::ValueTree::fromXml(*xml) : juce::ValueTree();
}

inline bool sameSavedState(const juce::MemoryBlock& a, const juce::MemoryBlock& b)
{
    return sameContent(stateTree(a), stateTree(b));
}

} // namespace tq4test
