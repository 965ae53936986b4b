#pragma once

#include <juce_graphics/juce_graphics.h>

// The window's ground of glows and vignette, rendered once at the window's physical pixel size
// and reused until that size changes: the glows are far too costly to paint every frame.
namespace tq4
{

class BackgroundImage
{
public:
    // Draws the image onto the design canvas mapped through contentTransform, rendering it first
    // when the physical size (canvas × contentScale × the context's pixel scale) has changed.
    void draw(juce::Graphics& g, float contentScale, const juce::AffineTransform& contentTransform,
              float opacity = 1.0f);

    void release() { image = {}; }

    // The cached image; invalid before the first draw or after an empty size.
    const juce::Image& getImage() const noexcept { return image; }

    // A fresh opaque width × height rendering of the design canvas's ground.
    static juce::Image render(int width, int height);

private:
    juce::Image image;
};

} // namespace tq4
