#include "ui/ControlDrawing.h"

#include "ui/Fonts.h"
#include "ui/Palette.h"

#include <cmath>

namespace tq4
{

namespace
{
juce::Path roundedRect(juce::Rectangle<float> rect, float corner)
{
    juce::Path path;
    path.addRoundedRectangle(rect, std::max(0.0f, corner));
    return path;
}

juce::ColourGradient horizontalBrand(float fromX, float toX, float y)
{
    juce::ColourGradient gradient(colViolet, fromX, y, colAmber, toX, y, false);
    gradient.addColour(0.55, colPink);
    return gradient;
}
} // namespace

void drawBezel(juce::Graphics& g, juce::Rectangle<float> rect, float corner)
{
    // Light falls from a little left of straight up, so the axis leans 172 degrees clockwise.
    const float angle = juce::degreesToRadians(172.0f);
    const float halfLength =
        0.5f * (std::abs(rect.getHeight() * std::cos(angle)) + std::abs(rect.getWidth() * std::sin(angle)));
    const juce::Point<float> direction(std::sin(angle), -std::cos(angle));
    const auto centre = rect.getCentre();

    juce::ColourGradient gradient(juce::Colours::white, centre - direction * halfLength,
                                  juce::Colour(0xFFFFD6C2), centre + direction * halfLength, false);
    gradient.addColour(0.14, juce::Colour(0xFFE4DCFF));
    gradient.addColour(0.34, juce::Colour(0xFF8A78C4));
    gradient.addColour(0.58, juce::Colour(0xFF2A1B52));
    gradient.addColour(0.76, juce::Colour(0xFF120A26));
    gradient.addColour(0.9, juce::Colour(0xFF6B4A7A));

    g.setGradientFill(gradient);
    g.fillPath(roundedRect(rect, corner));
}

void drawGlass(juce::Graphics& g, juce::Rectangle<float> rect, float corner, float sheen, float rimWidth,
               float rimAlpha, float ringAlpha, float shadeAlpha)
{
    juce::Graphics::ScopedSaveState saved(g);
    const auto shape = roundedRect(rect, corner);
    g.reduceClipRegion(shape);

    // The sheen is a circular gradient squashed into an ellipse high on the shape.
    const juce::Point<float> sheenCentre(rect.getCentreX(), rect.getY() + 0.12f * rect.getHeight());
    const float rx = 0.7f * rect.getWidth(), ry = 0.55f * rect.getHeight();
    if (rx > 0.0f && ry > 0.0f)
    {
        juce::FillType fill(juce::ColourGradient(whiteAt(sheen), sheenCentre, whiteAt(0.0f),
                                                 sheenCentre.translated(rx, 0.0f), true));
        fill.transform = juce::AffineTransform::scale(1.0f, ry / rx, sheenCentre.x, sheenCentre.y);
        g.setFillType(fill);
        g.fillEllipse(sheenCentre.x - rx, sheenCentre.y - ry, 2.0f * rx, 2.0f * ry);
    }

    g.setColour(juce::Colour::fromRGB(8, 4, 18).withAlpha(rimAlpha));
    g.strokePath(roundedRect(rect.reduced(0.5f * rimWidth), corner - 0.5f * rimWidth),
                 juce::PathStrokeType(rimWidth));

    g.setColour(whiteAt(ringAlpha));
    g.strokePath(roundedRect(rect.reduced(rimWidth + 0.5f), corner - rimWidth - 0.5f),
                 juce::PathStrokeType(1.0f));

    g.setGradientFill(juce::ColourGradient::vertical(blackAt(0.0f), rect.getY() + 0.55f * rect.getHeight(),
                                                     blackAt(shadeAlpha), rect.getBottom()));
    g.fillPath(shape);
}

void drawCap(juce::Graphics& g, juce::Rectangle<float> rect, float corner)
{
    const juce::Point<float> top(rect.getCentreX(), rect.getY());
    juce::ColourGradient gradient(juce::Colour(0xFF5A4794), top, juce::Colour(0xFF160E2C),
                                  top.translated(1.3f * rect.getHeight(), 0.0f), true);
    gradient.addColour(0.55, juce::Colour(0xFF2D2054));

    g.setGradientFill(gradient);
    g.fillPath(roundedRect(rect, corner));
    drawGlass(g, rect, corner, 0.28f, 2.0f, 0.65f, 0.14f, 0.5f);
}

void drawButtonDisc(juce::Graphics& g, juce::Rectangle<float> rect, float corner, float inset, bool hover,
                    bool active)
{
    drawBezel(g, rect, corner);

    const auto inner = rect.reduced(inset);
    const float innerCorner = std::max(0.0f, corner - inset);
    drawCap(g, inner, innerCorner);

    if (hover)
    {
        g.setColour(whiteAlpha(26));
        g.fillPath(roundedRect(inner, innerCorner));
    }

    if (active)
    {
        g.setColour(whiteAlpha(89));
        g.strokePath(roundedRect(rect.reduced(0.5f * inset), corner - 0.5f * inset),
                     juce::PathStrokeType(inset));
    }
}

void drawChip(juce::Graphics& g, juce::Rectangle<float> rect, const juce::String& text, bool on, bool hover,
              float fontSize, std::optional<juce::Colour> textColour)
{
    const float x = rect.getX(), y = rect.getY(), w = rect.getWidth(), h = rect.getHeight();
    const auto pill = roundedRect(rect, 0.5f * h);
    const float spanLeft = x + 0.4f * h, spanRight = x + w - 0.4f * h;

    if (on)
    {
        g.setGradientFill(horizontalBrand(x - 0.5f, x + w + 0.5f, y - 0.5f));
        g.fillPath(pill);

        if (hover)
        {
            g.setColour(whiteAlpha(36));
            g.fillPath(pill);
        }

        {
            juce::Graphics::ScopedSaveState saved(g);
            g.reduceClipRegion(pill);
            g.setGradientFill(
                juce::ColourGradient::vertical(blackAlpha(0), y + 0.55f * h, blackAlpha(64), y + h));
            g.fillPath(pill);
        }

        g.setColour(whiteAlpha(140));
        g.drawLine(spanLeft, y + 1.0f, spanRight, y + 1.0f, 1.0f);
    }
    else
    {
        const float t = hover ? 1.5f : 1.0f;
        juce::ColourGradient fill =
            juce::ColourGradient::vertical(whiteAt(0.16f * t), y, blackAlpha(46), y + h);
        fill.addColour(0.55, whiteAt(0.02f * t));
        g.setGradientFill(fill);
        g.fillPath(pill);

        g.setColour(whiteAt(hover ? 0.4f : 0.22f));
        g.strokePath(roundedRect(rect.reduced(0.5f), 0.5f * h), juce::PathStrokeType(1.0f));

        g.setColour(whiteAlpha(128));
        g.drawLine(spanLeft, y + 1.0f, spanRight, y + 1.0f, 1.0f);
        g.setColour(blackAlpha(102));
        g.drawLine(spanLeft, y + h - 1.0f, spanRight, y + h - 1.0f, 1.0f);
    }

    const auto colour = textColour.value_or(on ? juce::Colours::white : whiteAt(0.74f));
    drawText(g, text, makeFont(fontSize, true, 1.0f), colour, x + 0.5f * w, y + 0.5f * h + 0.36f * fontSize,
             TextAlign::centre);
}

} // namespace tq4
