#include "ui/TQ4LookAndFeel.h"

#include "ui/ControlDrawing.h"
#include "ui/Drawing.h"
#include "ui/Fonts.h"
#include "ui/Palette.h"

#include <cmath>

namespace tq4
{

namespace
{
juce::PathStrokeType roundStroke(float thickness)
{
    return juce::PathStrokeType(thickness, juce::PathStrokeType::curved, juce::PathStrokeType::rounded);
}

juce::ColourGradient horizontalBrand(float fromX, float toX, float y)
{
    juce::ColourGradient gradient(colViolet, fromX, y, colAmber, toX, y, false);
    gradient.addColour(0.55, colPink);
    return gradient;
}

juce::Path roundedRect(juce::Rectangle<float> rect, float corner)
{
    juce::Path path;
    path.addRoundedRectangle(rect, std::max(0.0f, corner));
    return path;
}

bool hasFlag(const juce::Component& c, const char* name)
{
    return static_cast<bool>(c.getProperties()[name]);
}

int intProperty(const juce::Component& c, const char* name)
{
    return static_cast<int>(c.getProperties()[name]);
}

float chipFontSize(const juce::Component& c)
{
    return static_cast<float>(c.getProperties().getWithDefault("tq4Chip", 11.0));
}

float knobRadius(const juce::Component& c)
{
    return static_cast<float>(c.getProperties().getWithDefault("tq4R", 24));
}

juce::String formatDecimals(double value, int decimals)
{
    // Anything that rounds to zero prints as zero, never as "-0.0".
    if (std::abs(value) < 0.5 * std::pow(10.0, -decimals))
        value = 0.0;

    if (decimals <= 0)
        return juce::String(static_cast<juce::int64>(std::llround(value)));

    return juce::String(value, decimals);
}
} // namespace

juce::String knobValueText(juce::Slider& slider)
{
    if (!slider.isEnabled())
        return "AUTO";

    const double value = slider.getValue();
    const int code = static_cast<int>(slider.getProperties().getWithDefault("tq4Dec", -1));

    if (code == -1)
        return slider.getTextFromValue(value);

    if (code == -2)
        return formatDecimals(value, value < 10.0 ? 1 : 0);

    return formatDecimals(value, std::max(0, code));
}

juce::TextLayout layoutTooltip(const juce::String& text)
{
    const int newline = text.indexOf("\n");
    const auto title = newline < 0 ? text : text.substring(0, newline);
    const auto rest = newline < 0 ? juce::String() : text.substring(newline + 1);

    juce::AttributedString attributed;
    attributed.setJustification(juce::Justification::topLeft);
    attributed.append(title, makeFont(12.0f, true, 0.0f), juce::Colour(0xFFC9A8FF));
    if (rest.isNotEmpty())
        attributed.append("\n" + rest, makeFont(12.0f, false, 0.0f), juce::Colour(0xFFE4DFF2));

    juce::TextLayout layout;
    layout.createLayout(attributed, 260.0f);
    return layout;
}

TQ4LookAndFeel::TQ4LookAndFeel()
{
    const auto white = juce::Colours::white;

    setColour(juce::ResizableWindow::backgroundColourId, colBackground);
    setColour(juce::Label::textColourId, whiteAt(0.52f));
    setColour(juce::Slider::textBoxTextColourId, white);
    setColour(juce::Slider::textBoxBackgroundColourId, colPanel);
    setColour(juce::Slider::textBoxOutlineColourId, whiteAlpha(64));
    setColour(juce::Slider::textBoxHighlightColourId, colViolet.withAlpha((juce::uint8)115));
    setColour(juce::Label::backgroundWhenEditingColourId, colPanel);
    setColour(juce::Label::textWhenEditingColourId, white);
    setColour(juce::Label::outlineWhenEditingColourId, colViolet);
    setColour(juce::TextEditor::textColourId, white);
    setColour(juce::TextEditor::backgroundColourId, colPanel);
    setColour(juce::TextEditor::highlightColourId, colViolet.withAlpha((juce::uint8)115));
    setColour(juce::TextEditor::focusedOutlineColourId, colViolet);
    setColour(juce::CaretComponent::caretColourId, colPink);
    setColour(juce::PopupMenu::backgroundColourId, colPanel.withAlpha((juce::uint8)240));
    setColour(juce::PopupMenu::textColourId, whiteAlpha(189));
    setColour(juce::PopupMenu::headerTextColourId, whiteAt(0.52f));
    setColour(juce::PopupMenu::highlightedBackgroundColourId, whiteAlpha(36));
    setColour(juce::PopupMenu::highlightedTextColourId, white);
    setColour(juce::BubbleComponent::backgroundColourId, colPanel);
    setColour(juce::BubbleComponent::outlineColourId, whiteAlpha(76));
}

//==============================================================================
void TQ4LookAndFeel::drawRotarySlider(juce::Graphics& g, int x, int y, int width, int height, float sliderPos,
                                      float rotaryStartAngle, float rotaryEndAngle, juce::Slider& slider)
{
    const juce::Point<float> centre((float)x + 0.5f * (float)width, (float)y + 0.5f * (float)height);
    const float r = knobRadius(slider);
    const bool enabled = slider.isEnabled();
    const float angle = rotaryStartAngle + sliderPos * (rotaryEndAngle - rotaryStartAngle);

    if (!enabled)
        g.beginTransparencyLayer(0.38f);

    g.setColour(whiteAlpha(41));
    g.strokePath(
        arcPath(centre, r, juce::radiansToDegrees(rotaryStartAngle), juce::radiansToDegrees(rotaryEndAngle)),
        roundStroke(4.0f));

    if (sliderPos > 0.005f)
    {
        const auto arc =
            arcPath(centre, r, juce::radiansToDegrees(rotaryStartAngle), juce::radiansToDegrees(angle));
        strokeGlow(g, arc, 4.0f, brandGradient(arc.getBounds()));
    }

    const float b = r - 9.0f;
    const juce::Rectangle<float> body(centre.x - b, centre.y - b, 2.0f * b, 2.0f * b);
    juce::Path bodyCircle;
    bodyCircle.addEllipse(body);
    drawShapeShadows(g, bodyCircle, 0.9f, {{3.0f, 1.0f, 0.2f}, {6.0f, 3.0f, 0.12f}, {10.0f, 5.0f, 0.06f}},
                     false);
    drawBezel(g, body, b);
    drawCap(g, body.reduced(2.5f), b - 2.5f);

    const juce::Point<float> pointer(centre.x + std::sin(angle) * r, centre.y - std::cos(angle) * r);
    for (auto [diameter, colour] : {std::pair{20.0f, whiteAlpha(31)}, std::pair{14.0f, whiteAlpha(64)},
                                    std::pair{9.0f, whiteAlpha(255)}})
    {
        g.setColour(colour);
        g.fillEllipse(juce::Rectangle<float>(diameter, diameter).withCentre(pointer));
    }

    const juce::String unit = enabled ? slider.getProperties()["tq4Unit"].toString() : juce::String();
    const auto text = knobValueText(slider);
    auto font = makeFont(r >= 30.0f ? 14.0f : 12.5f, true, 0.0f);
    const float room = 2.0f * b - 8.0f;
    const float width0 = textWidth(font, text);
    if (width0 > room && room > 0.0f)
        font.setHeight(font.getHeight() * room / width0);

    drawText(g, text, font, juce::Colours::white, centre.x, centre.y + (unit.isNotEmpty() ? 3.0f : 5.0f),
             TextAlign::centre);
    if (unit.isNotEmpty())
        drawText(g, unit, makeFont(9.0f, true, 0.0f), whiteAt(0.52f), centre.x, centre.y + 15.0f,
                 TextAlign::centre);

    if (!enabled)
        g.endTransparencyLayer();
}

juce::Slider::SliderLayout TQ4LookAndFeel::getSliderLayout(juce::Slider& slider)
{
    if (!slider.isRotary())
        return LookAndFeel_V4::getSliderLayout(slider);

    // The value box sits invisibly over the knob's centre and shows only while typing.
    juce::Slider::SliderLayout layout;
    layout.sliderBounds = slider.getLocalBounds();
    const int w = slider.getWidth(), h = slider.getHeight();
    layout.textBoxBounds = knobRadius(slider) >= 30.0f ? juce::Rectangle<int>(w / 2 - 30, h / 2 - 11, 60, 22)
                                                       : juce::Rectangle<int>(w / 2 - 22, h / 2 - 11, 44, 22);
    return layout;
}

juce::Label* TQ4LookAndFeel::createSliderTextBox(juce::Slider& slider)
{
    auto* label = LookAndFeel_V4::createSliderTextBox(slider);
    label->setFont(makeFont(13.0f, true, 0.0f));
    label->setJustificationType(juce::Justification::centred);
    // Clicks pass to the knob; only the text editor, while open, takes them.
    label->setInterceptsMouseClicks(false, true);
    return label;
}

void TQ4LookAndFeel::drawLabel(juce::Graphics& g, juce::Label& label)
{
    if (dynamic_cast<juce::Slider*>(label.getParentComponent()) != nullptr && !label.isBeingEdited())
        return;

    LookAndFeel_V4::drawLabel(g, label);
}

//==============================================================================
void TQ4LookAndFeel::drawToggleButton(juce::Graphics& g, juce::ToggleButton& button, bool highlighted, bool)
{
    if (hasFlag(button, "tq4Switch"))
    {
        drawSwitch(g, button, highlighted);
        return;
    }

    drawChip(g, button.getLocalBounds().toFloat(), button.getButtonText(), button.getToggleState(),
             highlighted, chipFontSize(button));
}

void TQ4LookAndFeel::drawSwitch(juce::Graphics& g, juce::Button& button, bool highlighted)
{
    const float w = (float)button.getWidth(), h = (float)button.getHeight();
    const bool on = button.getToggleState();

    drawBezel(g, {w, h}, 0.5f * h);

    const auto track = roundedRect({1.5f, 1.5f, w - 3.0f, h - 3.0f}, 0.5f * (h - 3.0f));
    if (on)
    {
        g.setGradientFill(horizontalBrand(1.0f, w - 1.0f, 1.0f));
        g.fillPath(track);
    }

    g.setGradientFill(on ? juce::ColourGradient::vertical(blackAt(0.3f), 1.5f, blackAt(0.0f), h - 1.5f)
                         : juce::ColourGradient::vertical(blackAt(0.45f), 1.5f, blackAlpha(51), h - 1.5f));
    g.fillPath(track);

    if (highlighted)
    {
        g.setColour(whiteAlpha(26));
        g.fillPath(track);
    }

    const float diameter = h - 8.0f;
    const auto thumb =
        juce::Rectangle<float>(diameter, diameter).withCentre({on ? w - 0.5f * h : 0.5f * h, 0.5f * h});
    drawCap(g, thumb, 0.5f * diameter);

    if (!on)
    {
        g.setColour(blackAlpha(64));
        g.fillEllipse(thumb);
    }
}

void TQ4LookAndFeel::drawButtonBackground(juce::Graphics& g, juce::Button& button, const juce::Colour&,
                                          bool highlighted, bool down)
{
    const auto bounds = button.getLocalBounds().toFloat();
    const float w = bounds.getWidth();
    const bool enabled = button.isEnabled();

    if (hasFlag(button, "tq4Learn"))
    {
        drawLearnButtonBackground(g, button, highlighted);
        return;
    }

    if (hasFlag(button, "tq4Help"))
    {
        drawButtonDisc(g, bounds, 0.5f * w, 1.5f, highlighted || down, false);
        return;
    }

    if (const int pill = intProperty(button, "tq4Pill"); pill >= 1 && pill <= 3)
    {
        if (!enabled)
            g.beginTransparencyLayer(0.5f);

        drawChip(g, bounds, button.getButtonText(), pill == 2, highlighted && enabled, chipFontSize(button),
                 pill == 3 ? std::optional<juce::Colour>(colAmber) : std::nullopt);

        if (!enabled)
            g.endTransparencyLayer();
        return;
    }

    if (const int arrow = intProperty(button, "tq4Arrow"); arrow == 1 || arrow == 2)
    {
        if (!enabled)
            g.beginTransparencyLayer(0.5f);

        drawButtonDisc(g, bounds, 0.5f * w, 1.5f, enabled && highlighted, false);
        drawUndoRedoArrow(g, button, arrow == 2, enabled && highlighted);

        if (!enabled)
            g.endTransparencyLayer();
        return;
    }

    if (hasFlag(button, "tq4Drop"))
    {
        const bool open = hasFlag(button, "tq4Open");
        drawButtonDisc(g, bounds, 12.0f, 1.5f, highlighted || open, open);
        return;
    }

    drawChip(g, bounds, {}, button.getToggleState(), highlighted, 11.0f);
}

void TQ4LookAndFeel::drawUndoRedoArrow(juce::Graphics& g, juce::Button& button, bool redo, bool highlighted)
{
    const float w = (float)button.getWidth(), h = (float)button.getHeight();
    const juce::Point<float> centre(0.5f * w, 0.5f * h + 0.5f);
    const float radius = 0.25f * h;

    auto arc = arcPath(centre, radius, -95.0f, 70.0f);

    // The arrowhead points back along the arc from its start, tangent to it.
    const float theta = juce::degreesToRadians(-95.0f);
    const juce::Point<float> start(centre.x + radius * std::sin(theta), centre.y - radius * std::cos(theta));
    const float s = 0.13f * h;
    const juce::Point<float> d(-s * std::cos(theta), -s * std::sin(theta));
    const juce::Point<float> half(s * std::sin(theta), -s * std::cos(theta));
    const auto tip = start + d * 1.15f;
    const auto base = start - d * 0.3f;

    juce::Path head;
    head.addTriangle(tip, base + half, base - half);

    if (redo)
    {
        const auto mirror = juce::AffineTransform(-1.0f, 0.0f, w, 0.0f, 1.0f, 0.0f);
        arc.applyTransform(mirror);
        head.applyTransform(mirror);
    }

    g.setColour(!button.isEnabled() ? whiteAt(0.5f) : highlighted ? juce::Colours::white : whiteAt(0.74f));
    g.strokePath(arc, juce::PathStrokeType(1.8f, juce::PathStrokeType::curved, juce::PathStrokeType::butt));
    g.fillPath(head);
}

void TQ4LookAndFeel::drawLearnButtonBackground(juce::Graphics& g, juce::Button& button, bool highlighted)
{
    const float w = (float)button.getWidth(), h = (float)button.getHeight();
    const float u = std::max(0.0f, h - 6.0f), v = std::max(0.0f, u - 5.0f);
    const float c = std::max(0.0f, w - 6.0f), k = std::max(0.0f, c - 5.0f);
    const juce::Rectangle<float> outer(3.0f, 3.0f, c, u);
    const auto inner = roundedRect({5.5f, 5.5f, k, v}, 0.5f * v);
    const auto innerGradient = horizontalBrand(5.0f, k + 6.0f, 5.0f);

    if (button.getToggleState())
    {
        drawBezel(g, outer, 0.5f * u);
        g.setColour(juce::Colour(0xFF150D2A));
        g.fillPath(inner);

        const float ringH = std::max(0.0f, v - 3.0f);
        const auto ring = roundedRect({7.0f, 7.0f, std::max(0.0f, k - 3.0f), ringH}, 0.5f * ringH);
        auto faint = innerGradient;
        faint.multiplyOpacity(0.25f);
        g.setGradientFill(faint);
        g.strokePath(ring, juce::PathStrokeType(5.0f));
        g.setGradientFill(innerGradient);
        g.strokePath(ring, juce::PathStrokeType(2.0f));
        return;
    }

    auto halo = horizontalBrand(2.5f, c + 3.5f, 2.5f);
    halo.multiplyOpacity(0.28f);
    g.setGradientFill(halo);
    g.fillPath(roundedRect({w, h}, 0.5f * h));

    drawBezel(g, outer, 0.5f * u);
    g.setGradientFill(innerGradient);
    g.fillPath(inner);

    juce::Graphics::ScopedSaveState saved(g);
    g.reduceClipRegion(inner);

    g.setGradientFill(juce::ColourGradient::vertical(whiteAlpha(128), 7.5f, whiteAlpha(0), 7.5f + 0.46f * v));
    g.fillPath(roundedRect({0.1f * k + 5.5f, 7.5f, 0.8f * k, 0.46f * v}, 0.23f * v));

    g.setGradientFill(
        juce::ColourGradient::vertical(blackAlpha(0), 0.5f * v + 5.5f, blackAlpha(56), v + 5.5f));
    g.fillPath(inner);

    if (highlighted)
    {
        g.setColour(whiteAlpha(36));
        g.fillPath(inner);
    }
}

void TQ4LookAndFeel::drawButtonText(juce::Graphics& g, juce::TextButton& button, bool highlighted, bool)
{
    const float w = (float)button.getWidth(), h = (float)button.getHeight();

    if (hasFlag(button, "tq4Learn"))
        drawLearnButtonText(g, button);
    else if (hasFlag(button, "tq4Help"))
        drawText(g, "?", makeFont(10.5f, true, 0.0f), highlighted ? juce::Colours::white : whiteAt(0.74f),
                 0.5f * w, 0.5f * h + 4.0f, TextAlign::centre);
    else if (hasFlag(button, "tq4Drop"))
        drawSourceButtonText(g, button);
}

void TQ4LookAndFeel::drawLearnButtonText(juce::Graphics& g, juce::TextButton& button)
{
    const float w = (float)button.getWidth(), h = (float)button.getHeight();
    const bool on = button.getToggleState();
    drawText(g, button.getButtonText(), on ? makeFont(14.0f, true, 3.0f) : makeFont(16.0f, true, 4.0f),
             juce::Colours::white, 0.5f * w + (on ? 1.5f : 2.0f), 0.5f * h + 6.0f, TextAlign::centre);
}

void TQ4LookAndFeel::drawSourceButtonText(juce::Graphics& g, juce::TextButton& button)
{
    const float w = (float)button.getWidth(), h = (float)button.getHeight();
    drawText(g, button.getButtonText(), makeFont(15.0f, true, 0.0f), juce::Colours::white, 16.0f,
             0.5f * h + 6.0f, TextAlign::left);

    const bool open = hasFlag(button, "tq4Open");
    const float s = open ? 0.5f * h + 4.0f : 0.5f * h - 2.0f;
    const float u = open ? -5.0f : 5.0f;

    juce::Path chevron;
    chevron.startNewSubPath(w - 26.0f, s);
    chevron.lineTo(w - 21.0f, s + u);
    chevron.lineTo(w - 16.0f, s);
    g.setColour(whiteAt(0.74f));
    g.strokePath(chevron, roundStroke(1.8f));
}

juce::Font TQ4LookAndFeel::getTextButtonFont(juce::TextButton&, int)
{
    return makeFont(12.0f, true, 0.0f);
}

//==============================================================================
juce::Font TQ4LookAndFeel::getPopupMenuFont()
{
    return makeFont(13.0f, false, 0.0f);
}

int TQ4LookAndFeel::getPopupMenuBorderSize()
{
    return 6;
}

void TQ4LookAndFeel::drawPopupMenuBackground(juce::Graphics& g, int width, int height)
{
    const juce::Rectangle<float> bounds((float)width, (float)height);
    g.setColour(colPanel.withAlpha((juce::uint8)240));
    g.fillRoundedRectangle(bounds, 14.0f);
    g.setColour(whiteAlpha(13));
    g.fillRoundedRectangle(bounds, 14.0f);
    g.setColour(whiteAlpha(76));
    g.drawRoundedRectangle(bounds.reduced(0.5f), 14.0f, 1.0f);
}

void TQ4LookAndFeel::getIdealPopupMenuItemSize(const juce::String& text, bool isSeparator, int,
                                               int& idealWidth, int& idealHeight)
{
    if (isSeparator)
    {
        idealWidth = 50;
        idealHeight = 8;
        return;
    }

    // Measured in the bold weight so an item does not grow when it is highlighted.
    idealHeight = 24;
    idealWidth = std::max(96, juce::roundToInt(textWidth(makeFont(13.0f, true, 0.0f), text)) + 64);
}

void TQ4LookAndFeel::drawPopupMenuItem(juce::Graphics& g, const juce::Rectangle<int>& area, bool isSeparator,
                                       bool isActive, bool isHighlighted, bool isTicked, bool hasSubMenu,
                                       const juce::String& text, const juce::String&, const juce::Drawable*,
                                       const juce::Colour*)
{
    const float x = (float)area.getX(), y = (float)area.getY(), w = (float)area.getWidth();

    if (isSeparator)
    {
        g.setColour(whiteAlpha(31));
        g.fillRect(area.getX() + 8, area.getY() + (area.getHeight() - 1) / 2, area.getWidth() - 16, 1);
        return;
    }

    const bool emphasised = (isHighlighted && isActive) || isTicked;

    if (emphasised)
    {
        if (hasSubMenu)
        {
            auto gradient = horizontalBrand(x - 0.5f, x + w + 0.5f, y);
            gradient.multiplyOpacity(0.9f);
            g.setGradientFill(gradient);
        }
        else
        {
            g.setColour(whiteAlpha(36));
        }
        g.fillRoundedRectangle(area.toFloat(), 8.0f);
    }

    auto colour = emphasised ? juce::Colours::white : whiteAlpha(189);
    if (!isActive)
        colour = colour.withMultipliedAlpha(0.5f);
    drawText(g, text, makeFont(13.0f, emphasised, 0.0f), colour, x + (hasSubMenu ? 14.0f : 26.0f), y + 16.5f,
             TextAlign::left);

    if (hasSubMenu)
    {
        juce::Path arrow;
        arrow.startNewSubPath(x + w - 14.0f, y + 8.0f);
        arrow.lineTo(x + w - 10.0f, y + 12.0f);
        arrow.lineTo(x + w - 14.0f, y + 16.0f);
        g.setColour(emphasised ? juce::Colours::white : whiteAlpha(76));
        g.strokePath(arrow, roundStroke(1.5f));
    }
    else if (isTicked)
    {
        juce::Path tick;
        tick.startNewSubPath(x + 8.0f, y + 12.0f);
        tick.lineTo(x + 12.0f, y + 16.0f);
        tick.lineTo(x + 19.0f, y + 8.0f);
        g.setColour(juce::Colours::white);
        g.strokePath(tick, roundStroke(1.8f));
    }
}

//==============================================================================
juce::Rectangle<int> TQ4LookAndFeel::getTooltipBounds(const juce::String& tipText, juce::Point<int> screenPos,
                                                      juce::Rectangle<int> parentArea)
{
    const auto layout = layoutTooltip(tipText);
    const int textW = (int)std::ceil(layout.getWidth());
    const int textH = (int)std::ceil(layout.getHeight());
    const int w = textW + 18, h = textH + 18;

    // Open away from the nearer edges, so a tip near the bottom-right goes above and to the left.
    const bool rightHalf =
        (float)screenPos.x > (float)parentArea.getX() + 0.5f * (float)parentArea.getWidth();
    const bool lowerHalf =
        (float)screenPos.y > (float)parentArea.getY() + 0.5f * (float)parentArea.getHeight();
    int x = rightHalf ? screenPos.x - w - 12 : screenPos.x + 16;
    int y = lowerHalf ? screenPos.y - textH - 26 : screenPos.y + 18;

    x = juce::jlimit(parentArea.getX(), parentArea.getX() + std::max(0, parentArea.getWidth() - w), x);
    y = juce::jlimit(parentArea.getY(), parentArea.getY() + std::max(0, parentArea.getHeight() - h), y);
    return {x, y, std::min(parentArea.getWidth(), w), std::min(parentArea.getHeight(), h)};
}

void TQ4LookAndFeel::drawTooltip(juce::Graphics& g, const juce::String& text, int width, int height)
{
    g.setColour(colPanel);
    g.fillRect(0, 0, width, height);
    g.setColour(whiteAlpha(13));
    g.fillRect(0, 0, width, height);
    g.setColour(whiteAlpha(76));
    g.drawRect(0, 0, width, height, 1);

    layoutTooltip(text).draw(g, juce::Rectangle<float>(9.0f, 9.0f, (float)std::max(0, width - 18),
                                                       (float)std::max(0, height - 18)));
}

} // namespace tq4
