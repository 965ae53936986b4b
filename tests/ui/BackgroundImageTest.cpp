#include "ui/BackgroundImage.h"
#include "ui/Palette.h"

#include <gtest/gtest.h>

namespace
{

// Paints into a window-sized image whose context reports the given physical pixel scale, as a
// high-density display does.
void drawOnDisplay(tq4::BackgroundImage& background, float contentScale, float pixelScale)
{
    const int w = juce::roundToInt(960 * contentScale * pixelScale);
    const int h = juce::roundToInt(540 * contentScale * pixelScale);
    juce::Image target(juce::Image::RGB, std::max(1, w), std::max(1, h), true);
    juce::Graphics g(target);
    g.addTransform(juce::AffineTransform::scale(pixelScale));
    background.draw(g, contentScale, juce::AffineTransform::scale(contentScale));
}

} // namespace

TEST(BackgroundImage, RendersAtThePhysicalPixelSize)
{
    struct Case
    {
        float contentScale, pixelScale;
        int width, height;
    };
    const Case cases[] = {{1.0f, 1.0f, 960, 540},
                          {1.0f, 2.0f, 1920, 1080},
                          {0.75f, 2.0f, 1440, 810},
                          {1280.0f / 960.0f, 1.0f, 1280, 720},
                          {0.75f, 1.5f, 1080, 608}};

    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.contentScale) + " x " + juce::String(c.pixelScale));
        tq4::BackgroundImage background;
        drawOnDisplay(background, c.contentScale, c.pixelScale);
        EXPECT_EQ(background.getImage().getWidth(), c.width);
        EXPECT_EQ(background.getImage().getHeight(), c.height);
    }
}

TEST(BackgroundImage, RerendersOnlyWhenThePixelSizeChanges)
{
    tq4::BackgroundImage background;
    drawOnDisplay(background, 1.0f, 2.0f);
    const auto* first = background.getImage().getPixelData();

    drawOnDisplay(background, 1.0f, 2.0f);
    EXPECT_EQ(background.getImage().getPixelData(), first);

    // Resizing to 720 x 405 on the same display.
    drawOnDisplay(background, 0.75f, 2.0f);
    EXPECT_NE(background.getImage().getPixelData(), first);
    EXPECT_EQ(background.getImage().getWidth(), 1440);
}

TEST(BackgroundImage, AnEmptySizeDropsTheCache)
{
    tq4::BackgroundImage background;
    drawOnDisplay(background, 1.0f, 1.0f);
    ASSERT_TRUE(background.getImage().isValid());

    drawOnDisplay(background, 0.0f, 1.0f);
    EXPECT_FALSE(background.getImage().isValid());
}

TEST(BackgroundImage, GlowsLightTheGroundAndTheVignetteDarkensItsEdge)
{
    const auto image = tq4::BackgroundImage::render(960, 540);
    ASSERT_FALSE(image.hasAlphaChannel());

    const auto base = tq4::colBackground;
    const auto violetGlow = image.getPixelAt(170, 130);
    EXPECT_GT(violetGlow.getBrightness(), base.getBrightness() + 0.1f);
    EXPECT_GT(violetGlow.getBlue(), violetGlow.getGreen());

    // The bottom-left corner is far from every glow and deep in the vignette.
    EXPECT_LE(image.getPixelAt(0, 539).getBrightness(), base.getBrightness() + 0.02f);
}
