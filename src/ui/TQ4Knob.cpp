#include "ui/TQ4Knob.h"

namespace tq4
{

TQ4Knob::TQ4Knob() = default;

TQ4Knob::~TQ4Knob()
{
    // The bindings go before the slider they listen to.
    attachment.reset();
    if (gestureBridge != nullptr)
        removeListener(gestureBridge.get());
    gestureBridge.reset();
}

void TQ4Knob::attach(juce::RangedAudioParameter& parameter, GestureSink* gestures)
{
    attachment.reset();
    if (gestureBridge != nullptr)
        removeListener(gestureBridge.get());

    // Listeners are told in reverse order of adding: the attachment, added last, moves the
    // parameter before the bridge asks the history whether anything changed.
    gestureBridge = std::make_unique<KnobUndoBridge>(gestures);
    addListener(gestureBridge.get());
    attachment = std::make_unique<juce::SliderParameterAttachment>(parameter, *this, nullptr);
}

void TQ4Knob::setGeometry(juce::Point<int> newCentre, int newRadius)
{
    centre = newCentre;
    radius = newRadius;
    captionAnchor = {centre.x, centre.y + radius + 24};
    getProperties().set("tq4R", radius);

    const int side = 2 * radius + 20;
    setBounds(centre.x - side / 2, centre.y - side / 2, side, side);
}

int TQ4Knob::getRadius() const noexcept
{
    return static_cast<int>(getProperties().getWithDefault("tq4R", radius));
}

void TQ4Knob::mouseDoubleClick(const juce::MouseEvent& event)
{
    if (!isEnabled())
        return;

    const auto middle = getLocalBounds().toFloat().getCentre();
    const bool onBody = event.position.getDistanceFrom(middle) < (float)getRadius() - 2.0f;

    if (onBody && getTextBoxPosition() != NoTextBox)
        showTextBox();
    else
        juce::Slider::mouseDoubleClick(event);
}

bool TQ4Knob::keyPressed(const juce::KeyPress& key)
{
    const auto mods = key.getModifiers();
    if (!isEnabled() || mods.isShiftDown() || mods.isCtrlDown() || mods.isAltDown() || mods.isCommandDown())
        return false;

    double direction = 0.0;
    if (key == juce::KeyPress::upKey || key == juce::KeyPress::rightKey)
        direction = 1.0;
    else if (key == juce::KeyPress::downKey || key == juce::KeyPress::leftKey)
        direction = -1.0;
    else
        return false;

    const double interval = getInterval();
    const double step = interval > 0.0 ? interval : 0.01 * (getMaximum() - getMinimum());

    // Reported as a drag so the step becomes one host gesture and one undo step.
    ScopedDragNotification drag(*this);
    setValue(getValue() + direction * step, juce::sendNotificationSync);
    return true;
}

void TQ4Knob::enablementChanged()
{
    if (!isEnabled())
        hideTextBox(true);

    juce::Slider::enablementChanged();
}

void TQ4Knob::parentHierarchyChanged()
{
    juce::Slider::parentHierarchyChanged();

    // Recreates the value box with the look-and-feel the new parent hierarchy provides.
    lookAndFeelChanged();
}

void setupKnob(TQ4Knob& knob, juce::RangedAudioParameter& parameter, GestureSink* gestures,
               const juce::String& caption, const juce::String& unit, int decimalsCode,
               juce::Component& parent)
{
    knob.setCaption(caption);
    knob.setSliderStyle(juce::Slider::RotaryVerticalDrag);
    knob.setRotaryParameters(1.25f * juce::MathConstants<float>::pi, 2.75f * juce::MathConstants<float>::pi,
                             true);
    knob.setTextBoxStyle(juce::Slider::TextBoxBelow, false, 60, 22);

    knob.getProperties().set("tq4Unit", unit);
    knob.getProperties().set("tq4Dec", decimalsCode);
    parent.addAndMakeVisible(knob);

    knob.attach(parameter, gestures);
}

} // namespace tq4
