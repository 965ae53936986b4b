#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <memory>

namespace tq4
{

// The sixteen host parameters, in host order. Indices into rawParams follow this order.
namespace ParamIds
{
inline constexpr const char* threshold = "threshold";
inline constexpr const char* ratio = "ratio";
inline constexpr const char* attack = "attack";
inline constexpr const char* release = "release";
inline constexpr const char* knee = "knee";
inline constexpr const char* mix = "mix";
inline constexpr const char* output = "output";
inline constexpr const char* autoMakeup = "autoMakeup";
inline constexpr const char* autoRelease = "autoRelease";
inline constexpr const char* character = "character";
inline constexpr const char* source = "source";
inline constexpr const char* nuance = "nuance";
inline constexpr const char* bypass = "bypass";
inline constexpr const char* driveOn = "driveOn";
inline constexpr const char* drive = "drive";
inline constexpr const char* driveType = "driveType";
} // namespace ParamIds

enum ParamIndex
{
    thresholdIndex,
    ratioIndex,
    attackIndex,
    releaseIndex,
    kneeIndex,
    mixIndex,
    outputIndex,
    autoMakeupIndex,
    autoReleaseIndex,
    characterIndex,
    sourceIndex,
    nuanceIndex,
    bypassIndex,
    driveOnIndex,
    driveIndex,
    driveTypeIndex,
    numParameters
};

// IDs in host order.
const juce::StringArray& parameterIds();

// The `nuance` texts name the details of the source held in sharedSourceIndex, so they keep it alive.
juce::AudioProcessorValueTreeState::ParameterLayout
createParameterLayout(std::shared_ptr<std::atomic<int>> sharedSourceIndex);

// Value texts, exposed for the editor and the command-line tool.
juce::String timeText(float ms);
juce::String kneeText(float percent);
float kneeFromText(const juce::String& text);

} // namespace tq4
