#pragma once

#include "plugin/LearnedProfile.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <array>

namespace tq4
{

// Names of the plug-in's own properties on the "PARAMETERS" state tree.
namespace StateProps
{
inline const juce::Identifier stateVersion{"tq4StateVersion"};
inline const juce::Identifier appliedSource{"tq4AppliedSource"};
inline const juce::Identifier appliedNuance{"tq4AppliedNuance"};
inline const juce::Identifier appliedCharacter{"tq4AppliedCharacter"};
inline const juce::Identifier targetDb{"tq4TargetDb"};
inline const juce::Identifier learnValid{"tq4LearnValid"};
inline const juce::Identifier learnMkHist{"tq4LearnMkHist"};
inline const juce::Identifier learnMkCurve{"tq4LearnMkCurve"};
inline const juce::Identifier learnDriveEq{"tq4LearnDriveEq"};
inline const juce::Identifier learnId{"tq4LearnId"};
inline const juce::Identifier learnCharAuto{"tq4LearnCharAuto"};
inline const juce::Identifier learnThrCorr{"tq4LearnThrCorr"};
inline const juce::Identifier baseCharacter{"tq4BaseCharacter"};
} // namespace StateProps

inline constexpr int currentStateVersion = 1;

// A parameter the adaptation writes, paired with the property that remembers its base value.
struct BaseSetting
{
    const char* parameterId;
    juce::Identifier property;
    bool discrete;
};

// In the order the migration and the adaptation visit them.
const std::array<BaseSetting, 11>& baseSettingsTable();
const BaseSetting* findBaseSetting(const juce::String& parameterId);

// "PARAM" children: the stored plain value of a parameter.
juce::ValueTree findParamChild(const juce::ValueTree& state, const juce::String& parameterId);
bool hasParamValue(const juce::ValueTree& state, const juce::String& parameterId);
double paramValue(const juce::ValueTree& state, const juce::String& parameterId, double fallback);
void setParamValue(juce::ValueTree& state, const juce::String& parameterId, double value);

// The stored base value of a parameter through the base-settings table; fallback when absent.
double baseValue(const juce::ValueTree& state, const juce::String& parameterId, double fallback);

// Fills the base properties the tree lacks from its parameter values, folding the old "character
// chosen by learn" flag into an AUTO character. `current` gives a parameter's live value.
void captureBaseSettings(juce::ValueTree& state, const std::function<double(const juce::String&)>& current);

// Makes every stored parameter value a finite value inside its range and drops base properties that
// are not finite numbers, so a damaged block can never drive the engine with nonsense.
void sanitiseStoredValues(juce::ValueTree& state, const juce::AudioProcessorValueTreeState& apvts);

// The XML of a state block written by copyXmlToBinary; null for anything truncated, mislabelled or
// not well-formed, so a damaged block is refused whole instead of being applied in part.
std::unique_ptr<juce::XmlElement> readStateXml(const void* data, int sizeInBytes);

// Drive compensation table text: "0=a,b,c,d 1=… 2=… 3=…" for drive 10, 25, 50 and 100 %.
juce::String writeDriveEqText(const LearnedProfile::DriveCompensation& table);
LearnedProfile::DriveCompensation readDriveEqText(const juce::String& text);

// The learned profile the stored learn texts describe; empty when there is no usable learn.
LearnedProfile deriveLearnedProfile(const juce::ValueTree& state);

} // namespace tq4
