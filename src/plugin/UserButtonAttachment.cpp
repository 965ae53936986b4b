#include "plugin/UserButtonAttachment.h"

namespace tq4
{

UserButtonAttachment::UserButtonAttachment(juce::RangedAudioParameter& parameter, juce::Button& b,
                                           GestureSink& g)
    : button(b), gestures(g), attachment(parameter, [this](float value) { setButton(value); })
{
    button.addListener(this);
    attachment.sendInitialUpdate();
}

UserButtonAttachment::~UserButtonAttachment()
{
    button.removeListener(this);
}

void UserButtonAttachment::setButton(float value)
{
    const juce::ScopedValueSetter<bool> guard(updating, true);
    button.setToggleState(value >= 0.5f, juce::sendNotificationSync);
}

void UserButtonAttachment::buttonClicked(juce::Button*)
{
    if (updating)
        return;
    gestures.beginGesture();
    attachment.setValueAsCompleteGesture(button.getToggleState() ? 1.0f : 0.0f);
    gestures.commitPending();
    gestures.endGesture();
}

} // namespace tq4
