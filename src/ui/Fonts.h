#pragma once

#include <juce_graphics/juce_graphics.h>

// The editor's typeface (Inter, Regular and Bold, compiled in) and its text helpers. Letter
// spacing is given in pixels at the font's size; positions are baselines in design units.
namespace tq4
{

// The embedded Inter typeface in the given weight, created once per process; null if the font
// data could not be read.
juce::Typeface::Ptr interTypeface(bool bold);

// Inter at the given height, with spacingPx of extra space after each glyph. Falls back to the
// platform's sans-serif face when the embedded data cannot be used.
juce::Font makeFont(float size, bool bold, float spacingPx);

// Width of one line of text laid out with the font; 0 for an empty string.
float textWidth(const juce::Font& font, const juce::String& text);

enum class TextAlign
{
    left = 1,   // x is the left end
    right = 2,  // x is the right end
    centre = 4, // x is the centre
};

void drawText(juce::Graphics& g, const juce::String& text, const juce::Font& font, juce::Colour colour,
              float x, float baselineY, TextAlign align);

} // namespace tq4
