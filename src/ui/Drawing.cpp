#include "ui/Drawing.h"

#include "ui/Palette.h"

#include <cmath>

namespace tq4
{

float glowFalloff(float r, float sigma, float d)
{
    if (sigma <= 0.0f)
        return std::abs(d) <= r ? 1.0f : 0.0f;

    // A 6-unit grid over the disc; each point stands for a 36-unit cell of a normalised Gaussian.
    const double twoSigmaSq = 2.0 * (double)sigma * (double)sigma;
    const double rr = (double)r * (double)r;
    double sum = 0.0;

    for (int j = 0;; ++j)
    {
        const double y = -(double)r + 6.0 * j;
        if (y > r)
            break;

        for (int i = 0;; ++i)
        {
            const double x = -(double)r + 6.0 * i;
            if (x > r)
                break;

            if (x * x + y * y <= rr)
                sum += std::exp(-((x - d) * (x - d) + y * y) / twoSigmaSq);
        }
    }

    return (float)std::min(1.0, sum * 36.0 / (juce::MathConstants<double>::pi * twoSigmaSq));
}

void drawGlow(juce::Graphics& g, juce::Point<float> centre, float r, juce::Colour colour, float alpha)
{
    constexpr float sigma = 70.0f;
    constexpr int steps = 24;
    const float outer = r + 210.0f;

    const auto at = [&](float d)
    { return colour.withAlpha(juce::jlimit(0.0f, 1.0f, alpha * glowFalloff(r, sigma, d))); };

    juce::ColourGradient gradient(at(0.0f), centre, colour.withAlpha(0.0f), centre.translated(outer, 0.0f),
                                  true);

    for (int i = 1; i < steps; ++i)
    {
        const double t = (double)i / steps;
        gradient.addColour(t, at((float)t * outer));
    }

    g.setGradientFill(gradient);
    g.fillEllipse(centre.x - outer, centre.y - outer, 2.0f * outer, 2.0f * outer);
}

void drawShapeShadows(juce::Graphics& g, const juce::Path& path, float opacity, const ShadowList& shadows,
                      bool outsideOnly)
{
    juce::Graphics::ScopedSaveState saved(g);

    if (outsideOnly)
    {
        juce::Path outside;
        outside.addRectangle(path.getBounds().expanded(200.0f));
        outside.addPath(path);
        outside.setUsingNonZeroWinding(false);
        g.reduceClipRegion(outside);
    }

    for (const auto& layer : shadows)
    {
        juce::Path shape(path);

        if (layer.spread > 0.0f)
        {
            // Half of a stroke twice the spread lies outside the outline: the shape grown by spread.
            juce::Path rim;
            juce::PathStrokeType(2.0f * layer.spread, juce::PathStrokeType::curved,
                                 juce::PathStrokeType::butt)
                .createStrokedPath(rim, path);
            shape.addPath(rim);
        }

        shape.applyTransform(juce::AffineTransform::translation(0.0f, layer.yOffset));
        g.setColour(blackAt(std::min(1.0f, opacity * layer.alpha)));
        g.fillPath(shape);
    }
}

void drawPanel(juce::Graphics& g, juce::Rectangle<float> rect, float corner)
{
    juce::Path path;
    path.addRoundedRectangle(rect, corner);

    drawShapeShadows(g, path, 1.0f, {{8.0f, 0.0f, 0.18f}, {18.0f, 4.0f, 0.12f}, {30.0f, 8.0f, 0.08f}}, true);

    g.setGradientFill(
        juce::ColourGradient::vertical(whiteAlpha(26), rect.getY(), whiteAlpha(9), rect.getBottom()));
    g.fillPath(path);

    juce::ColourGradient edge(whiteAlpha(115), rect.getTopLeft(), whiteAlpha(56), rect.getBottomRight(),
                              false);
    edge.addColour(0.5, whiteAlpha(20));
    g.setGradientFill(edge);
    g.strokePath(path, juce::PathStrokeType(1.2f));

    const float left = rect.getX() + corner, right = rect.getRight() - corner;
    g.setColour(whiteAlpha(87));
    g.drawLine(left, rect.getY() + 1.0f, right, rect.getY() + 1.0f, 1.5f);
    g.setColour(blackAlpha(102));
    g.drawLine(left, rect.getBottom() - 1.5f, right, rect.getBottom() - 1.5f, 1.5f);
}

juce::ColourGradient brandGradient(juce::Rectangle<float> bounds)
{
    const float x = bounds.getX() - 0.5f, y = bounds.getY() - 0.5f;
    juce::ColourGradient gradient(colViolet, x, y + std::max(bounds.getHeight() + 1.0f, 0.0f), colAmber,
                                  x + std::max(bounds.getWidth() + 1.0f, 0.0f), y, false);
    gradient.addColour(0.55, colPink);
    return gradient;
}

juce::Path arcPath(juce::Point<float> centre, float radius, float fromDegrees, float toDegrees)
{
    juce::Path path;
    path.addCentredArc(centre.x, centre.y, radius, radius, 0.0f, juce::degreesToRadians(fromDegrees),
                       juce::degreesToRadians(toDegrees), true);
    return path;
}

void strokeGlow(juce::Graphics& g, const juce::Path& path, float thickness,
                const juce::ColourGradient& gradient)
{
    const auto pass = [&](float width, float opacity)
    {
        auto faded = gradient;
        faded.multiplyOpacity(opacity);
        g.setGradientFill(faded);
        g.strokePath(
            path, juce::PathStrokeType(width, juce::PathStrokeType::curved, juce::PathStrokeType::rounded));
    };

    pass(thickness + 8.0f, 0.1f);
    pass(thickness + 4.0f, 0.18f);
    pass(thickness, 1.0f);
}

} // namespace tq4
