#pragma once

#include <juce_graphics/juce_graphics.h>

#include <optional>

// The controls' surfaces: a metallic bezel, a violet glass cap, the disc buttons made of both,
// and the pill-shaped chips. Shared by the look-and-feel and the editor's own controls.
namespace tq4
{

void drawBezel(juce::Graphics& g, juce::Rectangle<float> rect, float corner);

// Sheen, inner rim, ring and bottom shade over a rounded shape.
void drawGlass(juce::Graphics& g, juce::Rectangle<float> rect, float corner, float sheen, float rimWidth,
               float rimAlpha, float ringAlpha, float shadeAlpha);

void drawCap(juce::Graphics& g, juce::Rectangle<float> rect, float corner);

// A bezel with a cap inset into it; active draws a ring on the bezel.
void drawButtonDisc(juce::Graphics& g, juce::Rectangle<float> rect, float corner, float inset, bool hover,
                    bool active);

// A pill with centred text: the brand gradient when on, dim glass when off.
void drawChip(juce::Graphics& g, juce::Rectangle<float> rect, const juce::String& text, bool on, bool hover,
              float fontSize, std::optional<juce::Colour> textColour = std::nullopt);

} // namespace tq4
