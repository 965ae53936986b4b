#include "ui/FramePainter.h"

#include "ui/DesignCanvas.h"
#include "ui/Drawing.h"
#include "ui/Fonts.h"
#include "ui/Palette.h"
#include "ui/TQ4Knob.h"

namespace tq4
{

void paintGround(juce::Graphics& g, juce::Rectangle<int> editorBounds)
{
    g.setColour(colBackground);
    g.fillRect(editorBounds);
}

void paintBackdrop(juce::Graphics& g, BackgroundImage& background, juce::Rectangle<int> editorBounds,
                   float contentScale, const juce::AffineTransform& contentTransform, bool bypassed)
{
    background.draw(g, contentScale, contentTransform, bypassed ? 0.45f : 1.0f);

    if (bypassed)
    {
        g.setColour(colBackground.withAlpha(0.35f));
        g.fillRect(editorBounds);
    }
}

void paintHeader(juce::Graphics& g)
{
    drawText(g, "VELDRANE", makeFont(13.0f, true, 5.0f), whiteAt(0.74f), 32.0f, 42.0f, TextAlign::left);

    const auto titleFont = makeFont(18.0f, true, 0.0f);
    const auto subtitleFont = makeFont(18.0f, false, 0.0f);
    const juce::String title("TQ-4"), subtitle("Adaptive Compressor");
    const float titleWidth = textWidth(titleFont, title);
    const float x0 = 480.0f - (titleWidth + 10.0f + textWidth(subtitleFont, subtitle)) * 0.5f;

    drawText(g, title, titleFont, juce::Colours::white, x0, 43.0f, TextAlign::left);
    drawText(g, subtitle, subtitleFont, whiteAt(0.7f), x0 + titleWidth + 10.0f, 43.0f, TextAlign::left);
}

void beginBypassDim(juce::Graphics& g, bool bypassed)
{
    if (bypassed)
        g.beginTransparencyLayer(0.4f);
}

void endBypassDim(juce::Graphics& g, bool bypassed)
{
    if (bypassed)
        g.endTransparencyLayer();
}

void paintDriveOutline(juce::Graphics& g, bool driveOn)
{
    if (!driveOn)
        return;

    juce::Path outline;
    outline.addRoundedRectangle(juce::Rectangle<float>(634.0f, 70.0f, 304.0f, 334.0f), 23.0f);

    // Wide and faint first, so the narrow bright stroke sits on top of its own glow.
    for (auto [thickness, alpha] : {std::pair{9.0f, 0.07f}, std::pair{6.0f, 0.12f}, std::pair{3.0f, 0.55f}})
    {
        g.setColour(colOrange.withAlpha(alpha));
        g.strokePath(outline, juce::PathStrokeType(thickness));
    }
}

void paintPanels(juce::Graphics& g)
{
    drawPanel(g, compressorPanelRect, panelCorner);
    drawPanel(g, driveOutputPanelRect, panelCorner);
}

void paintSectionTitles(juce::Graphics& g)
{
    const auto font = makeFont(12.0f, true, 3.0f);
    const auto colour = whiteAt(0.52f);
    drawText(g, "COMPRESSOR", font, colour, 44.0f, 102.0f, TextAlign::left);
    drawText(g, "DRIVE", font, colour, 656.0f, 102.0f, TextAlign::left);
    drawText(g, "OUTPUT", font, colour, 656.0f, 270.0f, TextAlign::left);

    g.setColour(whiteAt(0.15f));
    g.drawLine(656.0f, 242.0f, 916.0f, 242.0f, 1.0f);
}

void paintKnobCaption(juce::Graphics& g, const juce::String& caption, juce::Point<float> anchor, bool dimmed)
{
    drawText(g, caption, makeFont(12.0f, true, 1.5f), whiteAt(0.52f * (dimmed ? 0.5f : 1.0f)), anchor.x,
             anchor.y, TextAlign::centre);
}

void paintKnobCaption(juce::Graphics& g, const TQ4Knob& knob, bool dimmed)
{
    paintKnobCaption(g, knob.getCaption(), knob.getCaptionAnchor().toFloat(), dimmed);
}

void paintHistoryStripPanel(juce::Graphics& g)
{
    drawPanel(g, historyStripRect, panelCorner);
}

} // namespace tq4
