#pragma once

#include "plugin/GestureSink.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tq4test
{

// Stands in for the edit history. It records every call in order ("b" begin, "c" commit, "e" end)
// and, when a probe is set, the probed value at each commit. Given the processor whose parameters
// make up the state, it also keeps the history's own rules: the outermost gesture's before-state
// becomes an entry at the first commit that sees a change.
struct RecordingGestures : tq4::GestureSink
{
    RecordingGestures() = default;
    explicit RecordingGestures(juce::AudioProcessor& p) : processor(&p) {}

    std::vector<float> snapshot() const
    {
        std::vector<float> values;
        if (processor != nullptr)
            for (auto* parameter : processor->getParameters())
                values.push_back(parameter->getValue());
        return values;
    }

    void beginGesture() override
    {
        calls += "b";
        if (depth++ == 0 && !pending && processor != nullptr)
            pending = snapshot();
    }
    void commitPending() override
    {
        calls += "c";
        if (probe)
            valuesAtCommit.push_back(probe());
        if (pending && *pending != snapshot())
        {
            entries.push_back(*pending);
            pending.reset();
        }
    }
    void endGesture() override
    {
        calls += "e";
        if (depth > 0 && --depth == 0)
            pending.reset();
    }

    juce::AudioProcessor* processor = nullptr;
    std::string calls;
    std::function<float()> probe;
    std::vector<float> valuesAtCommit;
    int depth = 0;
    std::optional<std::vector<float>> pending;
    std::vector<std::vector<float>> entries;
};

// Counts the host gestures a parameter reports.
struct HostGestures : juce::AudioProcessorParameter::Listener
{
    void parameterValueChanged(int, float) override {}
    void parameterGestureChanged(int, bool starting) override { (starting ? begun : ended) += 1; }
    int begun = 0, ended = 0;
};

} // namespace tq4test
