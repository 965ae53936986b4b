#pragma once

#include "Report.h"

#include <juce_graphics/juce_graphics.h>

namespace tq4render
{

// One picture of a render: input and output level over the file's time, the gain reduction hanging
// from the top as in the editor's history, the threshold, and a caption with the main settings.
juce::Image drawPlot(const Figures& figures, const juce::String& title, const juce::AudioBuffer<float>& input,
                     const juce::AudioBuffer<float>& output, const RenderOutcome& render);

bool writePng(const juce::Image& image, const juce::File& file);

} // namespace tq4render
