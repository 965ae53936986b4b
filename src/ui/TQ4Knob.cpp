#include "ui/TQ4Knob.h"

namespace tq4
{

namespace
{
bool isStepKey(const juce::KeyPress& key)
{
    return key == juce::KeyPress::upKey || key == juce::KeyPress::rightKey ||
           key == juce::KeyPress::downKey || key == juce::KeyPress::leftKey;
}

bool anyStepKeyDown()
{
    for (const int code :
         {juce::KeyPress::upKey, juce::KeyPress::rightKey, juce::KeyPress::downKey, juce::KeyPress::leftKey})
        if (juce::KeyPress::isKeyCurrentlyDown(code))
            return true;
    return false;
}
} // namespace

TQ4Knob::TQ4Knob()
{
    // The framework's sliders refuse focus; a clicked knob takes it so its arrow keys work.
    setWantsKeyboardFocus(true);
}

TQ4Knob::~TQ4Knob()
{
    cancelPendingUpdate();
    keyGesture.reset();

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

void TQ4Knob::mouseDown(const juce::MouseEvent& event)
{
    // The mouse starts a gesture of its own; the key steps still on their way become part of it.
    endKeyGesture();
    juce::Slider::mouseDown(event);
}

void TQ4Knob::mouseWheelMove(const juce::MouseEvent& event, const juce::MouseWheelDetails& wheel)
{
    endKeyGesture();
    juce::Slider::mouseWheelMove(event, wheel);
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

    if (!isStepKey(key))
        return false;
    const double direction = key == juce::KeyPress::upKey || key == juce::KeyPress::rightKey ? 1.0 : -1.0;

    const double interval = getInterval();
    const double step = interval > 0.0 ? interval : 0.01 * (getMaximum() - getMinimum());

    // Auto-repeat steps arrive inside the gesture the first one opened; a release already on its way
    // is called off.
    cancelPendingUpdate();
    if (keyGesture == nullptr)
        keyGesture = std::make_unique<ScopedDragNotification>(*this);
    setValue(getValue() + direction * step, juce::sendNotificationAsync);
    return true;
}

bool TQ4Knob::keyStateChanged(bool isKeyDown)
{
    if (!isKeyDown && keyGesture != nullptr && !anyStepKeyDown())
        triggerAsyncUpdate();
    return false;
}

void TQ4Knob::focusLost(FocusChangeType cause)
{
    if (keyGesture != nullptr)
        triggerAsyncUpdate();
    juce::Slider::focusLost(cause);
}

void TQ4Knob::handleAsyncUpdate()
{
    keyGesture.reset();
}

void TQ4Knob::endKeyGesture()
{
    cancelPendingUpdate();
    keyGesture.reset();
}

void TQ4Knob::enablementChanged()
{
    if (!isEnabled())
    {
        hideTextBox(true);
        if (keyGesture != nullptr)
            triggerAsyncUpdate();
    }

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
