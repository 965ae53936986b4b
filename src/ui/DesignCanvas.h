#pragma once

#include <juce_graphics/juce_graphics.h>

// The 960 × 540 design canvas every editor coordinate is given on, and the painted frame's fixed
// rectangles on it.
namespace tq4
{

inline constexpr float canvasWidth = 960.0f;
inline constexpr float canvasHeight = 540.0f;

inline constexpr float panelCorner = 22.0f;
inline const juce::Rectangle<float> compressorPanelRect{24.0f, 72.0f, 300.0f, 330.0f};
inline const juce::Rectangle<float> driveOutputPanelRect{636.0f, 72.0f, 300.0f, 330.0f};
inline const juce::Rectangle<float> historyStripRect{24.0f, 414.0f, 912.0f, 106.0f};

} // namespace tq4
