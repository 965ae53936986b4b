#include "ui/Tooltips.h"

namespace tq4
{

juce::String tooltipText(const juce::String& title, const juce::String& text)
{
    return title + "\n" + text;
}

juce::String helpButtonTooltip()
{
    return tooltipText("HELP", "Send feedback, open the manual, contact support, or see the version.");
}

juce::String undoTooltip()
{
    return "Undo";
}

juce::String redoTooltip()
{
    return "Redo";
}

juce::String targetMarkerTooltip()
{
    return tooltipText("TARGET", "How much gain reduction you aim for (1-20 dB). Drag to make it gentler or "
                                 "deeper - RATIO, KNEE and THRESHOLD follow. Double-click to return to the "
                                 "Learn value.");
}

TooltipPairs characterChipTooltips()
{
    return {
        {"AUTO", "Let Learn choose. The type it picked lights up and AUTO keeps a thin ring; it picks again "
                 "when SOURCE changes. Acts as VCA until Learn finishes."},
        {"OPTO", "Slow and smooth, recovery adapts to the material - flatters vocals, bass and strings."},
        {"FET", "Fast and punchy, catches every peak - drums and rock guitar."},
        {"VCA", "Clean and neutral, no coloring of its own - buses and mixes."},
    };
}

TooltipPairs driveTypeChipTooltips()
{
    // The chip reads "XFMR" for lack of room; its tip uses the parameter's own name.
    return {
        {"TUBE", "Warm and thick, mostly even harmonics - vocals and bass."},
        {"TRANSFORMER",
         "Lows saturate a little harder and the top is rounded slightly - bass, kick and mixes."},
        {"TAPE", "Soft peaks and gently rounded highs - drum buses and harsh sources."},
        {"FET", "Bright and hard, odd harmonics - drums and rock guitar."},
    };
}

} // namespace tq4
