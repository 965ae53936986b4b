#include "ui/BackgroundImage.h"

#include "ui/DesignCanvas.h"
#include "ui/Drawing.h"
#include "ui/Palette.h"

#include <cmath>

namespace tq4
{

void BackgroundImage::draw(juce::Graphics& g, float contentScale,
                           const juce::AffineTransform& contentTransform, float opacity)
{
    const float pixelScale = g.getInternalContext().getPhysicalPixelScaleFactor();
    const int width = juce::roundToInt(canvasWidth * contentScale * pixelScale);
    const int height = juce::roundToInt(canvasHeight * contentScale * pixelScale);

    if (width <= 0 || height <= 0)
    {
        release();
        return;
    }

    if (!image.isValid() || image.getWidth() != width || image.getHeight() != height)
        image = render(width, height);

    juce::Graphics::ScopedSaveState saved(g);
    g.setOpacity(opacity);
    g.drawImageTransformed(
        image, juce::AffineTransform::scale(canvasWidth / (float)width, canvasHeight / (float)height)
                   .followedBy(contentTransform));
}

juce::Image BackgroundImage::render(int width, int height)
{
    juce::Image result(juce::Image::RGB, std::max(1, width), std::max(1, height), false);
    juce::Graphics g(result);
    g.addTransform(juce::AffineTransform::scale((float)result.getWidth() / canvasWidth,
                                                (float)result.getHeight() / canvasHeight));

    g.setColour(colBackground);
    g.fillRect(juce::Rectangle<float>(canvasWidth, canvasHeight));

    struct Glow
    {
        float x, y, r;
        juce::uint32 colour;
        float alpha;
    };
    static constexpr Glow glows[] = {
        {480.0f, -10.0f, 260.0f, 0xFFFFD6F0, 0.16f}, {170.0f, 130.0f, 230.0f, 0xFF5A35C8, 0.8f},
        {900.0f, 560.0f, 190.0f, 0xFF9C2E63, 0.42f}, {660.0f, 30.0f, 130.0f, 0xFFC9792F, 0.42f},
        {420.0f, 580.0f, 200.0f, 0xFF2D2290, 0.7f},
    };

    for (const auto& glow : glows)
        drawGlow(g, {glow.x, glow.y}, glow.r, juce::Colour(glow.colour), glow.alpha);

    // A circle of radius 720 squeezed to 405 high: the canvas's own 16:9 ellipse.
    juce::ColourGradient vignette(blackAt(0.0f), 0.0f, 0.0f, blackAt(0.45f), 720.0f, 0.0f, true);
    vignette.addColour(0.55, blackAt(0.0f));
    juce::FillType fill(vignette);
    fill.transform = juce::AffineTransform(1.0f, 0.0f, 432.0f, 0.0f, 0.5625f, 216.0f);
    g.setFillType(fill);
    g.fillRect(juce::Rectangle<float>(canvasWidth, canvasHeight));

    return result;
}

} // namespace tq4
