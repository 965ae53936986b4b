#include "ui/Fonts.h"

#include <TQ4Fonts.h>

namespace tq4
{

namespace
{
juce::Typeface::Ptr loadTypeface(const char* data, int size)
{
    if (data == nullptr || size <= 0)
        return nullptr;

    return juce::Typeface::createSystemTypefaceFor(data, (size_t)size);
}
} // namespace

juce::Typeface::Ptr interTypeface(bool bold)
{
    // Held for the life of the process: every editor instance shares them.
    static const juce::Typeface::Ptr regular =
        loadTypeface(tq4fonts::InterRegular_ttf, tq4fonts::InterRegular_ttfSize);
    static const juce::Typeface::Ptr boldFace =
        loadTypeface(tq4fonts::InterBold_ttf, tq4fonts::InterBold_ttfSize);
    return bold ? boldFace : regular;
}

// The only place that builds fonts, so a framework change of the font API stays here.
juce::Font makeFont(float size, bool bold, float spacingPx)
{
    juce::Font font = [&]
    {
        if (auto typeface = interTypeface(bold))
            return juce::Font(typeface);

        return juce::Font(juce::Font::getDefaultSansSerifFontName(), size,
                          bold ? juce::Font::bold : juce::Font::plain);
    }();

    font.setHeight(size);

    if (spacingPx != 0.0f && size > 0.0f)
        font.setExtraKerningFactor(spacingPx / size);

    return font;
}

float textWidth(const juce::Font& font, const juce::String& text)
{
    if (text.isEmpty())
        return 0.0f;

    juce::GlyphArrangement glyphs;
    glyphs.addLineOfText(font, text, 0.0f, 0.0f);
    return glyphs.getBoundingBox(0, -1, true).getWidth();
}

void drawText(juce::Graphics& g, const juce::String& text, const juce::Font& font, juce::Colour colour,
              float x, float baselineY, TextAlign align)
{
    if (text.isEmpty())
        return;

    juce::GlyphArrangement glyphs;
    glyphs.addLineOfText(font, text, x, baselineY);

    if (align != TextAlign::left)
    {
        const auto width = glyphs.getBoundingBox(0, -1, true).getWidth();
        glyphs.moveRangeOfGlyphs(0, -1, align == TextAlign::right ? -width : -0.5f * width, 0.0f);
    }

    g.setColour(colour);
    glyphs.draw(g);
}

} // namespace tq4
