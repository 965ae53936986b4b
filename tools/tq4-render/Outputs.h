#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <vector>

namespace tq4render
{

// Every output of a run is written beside its target first and moved into place only when all of
// them were written, so a failed run leaves none of them behind.
class StagedOutputs
{
public:
    // Refuses a target that could not be written (missing folder, a folder in its place) before
    // anything runs.
    static void checkWritable(const juce::File& target, const juce::String& what);

    // Writes the target's content into a file beside it; write returns false on failure.
    void stage(const juce::File& target, const juce::String& what,
               const std::function<bool(const juce::File& temporary)>& write);

    // Moves every staged file into place; if one cannot be moved, those already moved are removed.
    void commit();

private:
    struct Staged
    {
        std::unique_ptr<juce::TemporaryFile> file;
        juce::String what;
    };
    std::vector<Staged> staged; // unmoved files are deleted with them
};

} // namespace tq4render
