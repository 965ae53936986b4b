#include "ui/ChoiceChips.h"

#include "ui/ControlDrawing.h"
#include "ui/Palette.h"

namespace tq4
{

ChoiceChips::ChoiceChips(GestureSink* gestureSink, juce::RangedAudioParameter& parameter,
                         const juce::StringArray& chipLabels, float chipFontSize)
    : gestures(gestureSink), labels(chipLabels), fontSize(chipFontSize),
      attachment(
          parameter,
          [this](float value)
          {
              selected = juce::roundToInt(value);
              repaint();
          },
          nullptr)
{
    setWantsKeyboardFocus(true);
    setTitle(parameter.getName(100));
    attachment.sendInitialUpdate();
}

void ChoiceChips::setTooltips(const std::vector<std::pair<juce::String, juce::String>>& titlesAndTexts)
{
    tooltips.clear();
    for (const auto& [title, text] : titlesAndTexts)
        tooltips.add(title + "\n" + text);
}

void ChoiceChips::setChipRects(const std::vector<juce::Rectangle<int>>& rectsInParent)
{
    juce::Rectangle<int> area;
    bool first = true;
    for (const auto& r : rectsInParent)
    {
        if (r.isEmpty())
            continue;
        area = first ? r : area.getUnion(r);
        first = false;
    }

    rects.clear();
    for (const auto& r : rectsInParent)
        rects.push_back(r - area.getPosition());

    setBounds(area);
    repaint();
}

void ChoiceChips::setPickedIndex(int index)
{
    if (picked == index)
        return;

    picked = index;
    repaint();
}

void ChoiceChips::select(int index)
{
    if (gestures != nullptr)
        gestures->beginGesture();

    attachment.setValueAsCompleteGesture((float)index);

    if (gestures != nullptr)
    {
        gestures->commitPending();
        gestures->endGesture();
    }
}

juce::String ChoiceChips::getTooltip()
{
    return juce::isPositiveAndBelow(hover, tooltips.size()) ? tooltips[hover] : juce::String();
}

int ChoiceChips::chipCount() const noexcept
{
    return std::min(labels.size(), (int)rects.size());
}

int ChoiceChips::chipAt(juce::Point<int> position) const
{
    for (int i = 0; i < chipCount(); ++i)
        if (rects[(size_t)i].contains(position))
            return i;

    return -1;
}

void ChoiceChips::paint(juce::Graphics& g)
{
    const int count = chipCount();

    // While the first choice (AUTO) is selected, the choice it resolved to is lit instead and the
    // first chip only keeps a ring.
    const bool showPicked = selected == 0 && picked >= 1 && picked < count;
    const int lit = showPicked ? picked : selected;

    for (int i = 0; i < count; ++i)
        drawChip(g, rects[(size_t)i].toFloat(), labels[i], i == lit, i == hover, fontSize);

    const auto ring = [&](juce::Colour colour)
    {
        const auto r = rects[(size_t)selected].toFloat().reduced(0.5f);
        g.setColour(colour);
        g.drawRoundedRectangle(r, 0.5f * ((float)rects[(size_t)selected].getHeight() - 1.0f), 1.0f);
    };

    if (showPicked)
        ring(whiteAlpha(140));

    if (hasKeyboardFocus(false) && juce::isPositiveAndBelow(selected, count))
        ring(whiteAlpha(178));
}

void ChoiceChips::mouseMove(const juce::MouseEvent& event)
{
    const int index = chipAt(event.getPosition());
    if (index != hover)
    {
        hover = index;
        repaint();
    }
}

void ChoiceChips::mouseExit(const juce::MouseEvent&)
{
    hover = -1;
    repaint();
}

void ChoiceChips::mouseDown(const juce::MouseEvent& event)
{
    if (event.mods.isRightButtonDown())
        return;

    if (const int index = chipAt(event.getPosition()); index >= 0)
        select(index);
}

bool ChoiceChips::keyPressed(const juce::KeyPress& key)
{
    const int n = chipCount();
    if (n < 1)
        return false;

    const int current = std::max(0, selected);

    if (key == juce::KeyPress::leftKey || key == juce::KeyPress::upKey)
    {
        select(current < 1 ? n - 1 : std::min(current - 1, n - 1));
        return true;
    }

    if (key == juce::KeyPress::rightKey || key == juce::KeyPress::downKey)
    {
        select((current + 1) % n);
        return true;
    }

    return false;
}

} // namespace tq4
