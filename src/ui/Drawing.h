#pragma once

#include <juce_graphics/juce_graphics.h>

#include <vector>

// The editor's shared drawing vocabulary: Gaussian glows, stacked drop shadows, glass panels and
// the brand-gradient arcs. All sizes are design units.
namespace tq4
{

// One hard-edged shadow: the shape grown by spread, moved down by yOffset, black at alpha.
struct ShadowLayer
{
    float yOffset = 0.0f;
    float spread = 0.0f;
    float alpha = 0.0f;
};

using ShadowList = std::vector<ShadowLayer>;

// Intensity, at distance d from its centre, of a uniform disc of radius r blurred by a Gaussian
// of standard deviation sigma; 0..1.
float glowFalloff(float r, float sigma, float d);

// A soft disc of radius r whose blur reaches 210 units beyond its edge.
void drawGlow(juce::Graphics& g, juce::Point<float> centre, float r, juce::Colour colour, float alpha);

// The shadow layers of a shape, in order; outsideOnly keeps them off the shape itself.
void drawShapeShadows(juce::Graphics& g, const juce::Path& path, float opacity, const ShadowList& shadows,
                      bool outsideOnly);

// A rounded glass panel with its drop shadow.
void drawPanel(juce::Graphics& g, juce::Rectangle<float> rect, float corner);

// Violet at the bottom-left through pink to amber at the top-right of the bounds.
juce::ColourGradient brandGradient(juce::Rectangle<float> bounds);

// A circular arc, angles in degrees clockwise from straight up, as a new sub-path.
juce::Path arcPath(juce::Point<float> centre, float radius, float fromDegrees, float toDegrees);

// A stroke with two faint wider passes under it, so the line seems to glow.
void strokeGlow(juce::Graphics& g, const juce::Path& path, float thickness,
                const juce::ColourGradient& gradient);

} // namespace tq4
