#include "ui/Fonts.h"

#include <gtest/gtest.h>

namespace
{

// Horizontal and vertical extent of every pixel brighter than the black ground.
struct Ink
{
    int left = -1, right = -1, top = -1, bottom = -1;
};

Ink findInk(const juce::Image& image)
{
    Ink ink;
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (image.getPixelAt(x, y).getBrightness() > 0.5f)
            {
                ink.left = ink.left < 0 ? x : std::min(ink.left, x);
                ink.right = std::max(ink.right, x);
                ink.top = ink.top < 0 ? y : std::min(ink.top, y);
                ink.bottom = std::max(ink.bottom, y);
            }
    return ink;
}

Ink drawAndFindInk(tq4::TextAlign align)
{
    juce::Image image(juce::Image::RGB, 240, 60, true);
    juce::Graphics g(image);
    tq4::drawText(g, "HIH", tq4::makeFont(20.0f, true, 0.0f), juce::Colours::white, 120.0f, 40.0f, align);
    return findInk(image);
}

} // namespace

TEST(Fonts, BothWeightsLoadFromTheEmbeddedData)
{
    for (const bool bold : {false, true})
    {
        const auto typeface = tq4::interTypeface(bold);
        ASSERT_NE(typeface, nullptr);
        EXPECT_EQ(typeface->getName(), "Inter");
        EXPECT_EQ(typeface->getStyle(), bold ? "Bold" : "Regular");
        // Created once: every call hands out the same object.
        EXPECT_EQ(typeface.get(), tq4::interTypeface(bold).get());
    }
}

TEST(Fonts, MakeFontSetsTypefaceHeightAndSpacingInPixels)
{
    struct Case
    {
        float size;
        bool bold;
        float spacingPx;
    };
    const Case cases[] = {{13.0f, true, 5.0f},
                          {12.0f, true, 1.5f},
                          {18.0f, false, 0.0f},
                          {46.0f, false, 0.0f},
                          {11.0f, true, 0.5f}};

    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.size) + (c.bold ? " bold " : " regular ") + juce::String(c.spacingPx));
        const auto font = tq4::makeFont(c.size, c.bold, c.spacingPx);
        EXPECT_EQ(font.getTypefaceName(), "Inter");
        EXPECT_EQ(font.getTypefacePtr().get(), tq4::interTypeface(c.bold).get());
        EXPECT_FLOAT_EQ(font.getHeight(), c.size);
        EXPECT_FLOAT_EQ(font.getExtraKerningFactor(), c.spacingPx / c.size);
    }
}

TEST(Fonts, SpacingAddsThatManyPixelsPerGlyph)
{
    const float plain = tq4::textWidth(tq4::makeFont(12.0f, true, 0.0f), "ABCD");
    const float spaced = tq4::textWidth(tq4::makeFont(12.0f, true, 3.0f), "ABCD");
    EXPECT_NEAR(spaced - plain, 4 * 3.0f, 0.05f);
}

TEST(Fonts, TextWidthIsZeroForEmptyTextAndGrowsWithText)
{
    const auto font = tq4::makeFont(13.0f, true, 0.0f);
    EXPECT_EQ(tq4::textWidth(font, ""), 0.0f);
    EXPECT_GT(tq4::textWidth(font, "V"), 0.0f);
    EXPECT_GT(tq4::textWidth(font, "VELDRANE"), tq4::textWidth(font, "VELD"));
    EXPECT_GT(tq4::textWidth(tq4::makeFont(18.0f, true, 0.0f), "TQ-4"),
              tq4::textWidth(tq4::makeFont(9.0f, true, 0.0f), "TQ-4"));
}

TEST(Fonts, DrawTextPlacesTheInkByAlignmentOnTheBaseline)
{
    const float width = tq4::textWidth(tq4::makeFont(20.0f, true, 0.0f), "HIH");

    const auto left = drawAndFindInk(tq4::TextAlign::left);
    const auto right = drawAndFindInk(tq4::TextAlign::right);
    const auto centre = drawAndFindInk(tq4::TextAlign::centre);

    for (const auto& ink : {left, right, centre})
    {
        ASSERT_GE(ink.left, 0);
        // Capitals sit on the baseline; Inter's cap height is 0.6 of the framework's font height
        // (ascent plus descent, 1.21 em).
        EXPECT_NEAR(ink.bottom, 39, 1);
        EXPECT_NEAR(ink.top, 40 - 0.6 * 20, 1.5);
    }

    // Side bearings keep the ink a pixel or two inside the advance box.
    EXPECT_GE(left.left, 120);
    EXPECT_LE(left.left, 123);
    EXPECT_LE(right.right, 120);
    EXPECT_GE(right.right, 116);
    EXPECT_NEAR(0.5 * (centre.left + centre.right), 120.0, 1.5);
    EXPECT_NEAR(left.left - right.left, width, 1.5);
}
