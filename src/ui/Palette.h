#pragma once

#include <juce_graphics/juce_graphics.h>

// The editor's seven colours over a near-black violet ground; white and black are used with alpha.
namespace tq4
{

inline const juce::Colour colBackground{0xFF0D0A19};
inline const juce::Colour colPanel{0xFF1A1430};
inline const juce::Colour colViolet{0xFF8B5CF6};
inline const juce::Colour colAmber{0xFFFFA53D};
inline const juce::Colour colOrange{0xFFFF8A3D};
inline const juce::Colour colPink{0xFFFF4F8B};
inline const juce::Colour colRed{0xFFFF3B2A};

// White or black with the alpha byte JUCE derives from a float alpha.
inline juce::Colour whiteAt(float alpha)
{
    return juce::Colours::white.withAlpha(alpha);
}
inline juce::Colour blackAt(float alpha)
{
    return juce::Colours::black.withAlpha(alpha);
}

// White or black with an exact alpha byte.
inline juce::Colour whiteAlpha(int alphaByte)
{
    return juce::Colours::white.withAlpha((juce::uint8)alphaByte);
}
inline juce::Colour blackAlpha(int alphaByte)
{
    return juce::Colours::black.withAlpha((juce::uint8)alphaByte);
}

} // namespace tq4
