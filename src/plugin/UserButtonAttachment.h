#pragma once

#include "plugin/GestureSink.h"

#include <juce_audio_processors/juce_audio_processors.h>

namespace tq4
{

// Binds a toggle button to a bool parameter so that each click is one history gesture and one
// complete host gesture. Updates coming from the parameter never count as clicks.
class UserButtonAttachment : public juce::Button::Listener
{
public:
    UserButtonAttachment(juce::RangedAudioParameter& parameter, juce::Button& button, GestureSink& gestures);
    ~UserButtonAttachment() override;

    void buttonClicked(juce::Button*) override;
    void buttonStateChanged(juce::Button*) override {}

private:
    void setButton(float value);

    juce::Button& button;
    GestureSink& gestures;
    juce::ParameterAttachment attachment;
    bool updating = false;
};

} // namespace tq4
