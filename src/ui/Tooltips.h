#pragma once

#include <juce_core/juce_core.h>

#include <utility>
#include <vector>

// Every tooltip the editor shows. A tip is a short upper-case title, a line break and one sentence;
// the undo and redo buttons carry a title only. No other control has a tooltip.
namespace tq4
{

using TooltipPairs = std::vector<std::pair<juce::String, juce::String>>;

// The two-line form the look-and-feel splits at the first line break.
juce::String tooltipText(const juce::String& title, const juce::String& text);

juce::String helpButtonTooltip();
juce::String undoTooltip();
juce::String redoTooltip();
juce::String targetMarkerTooltip();

// One (title, text) pair per chip, in chip order.
TooltipPairs characterChipTooltips();
TooltipPairs driveTypeChipTooltips();

} // namespace tq4
