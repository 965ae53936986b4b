#pragma once

#include <juce_core/juce_core.h>

namespace tq4
{

// The fixed catalogue behind the Character, Source and Detail choices: names, the rule that keeps a
// detail inside its source's list, and the profile of constants each source/detail pair carries.
// Pure data; callable from any thread.

// The constants the learn solver, the adaptation and the target control read for one source/detail
// pair. Units are those of the compressor parameters.
struct SourceProfile
{
    float defaultTargetDb = 0.0f;
    float ratioBase = 0.0f;
    float ratioSpread = 0.0f; // added as the level spread grows from 2 to 14 dB
    float ratioMax = 0.0f;
    float attackRiseFactor = 0.0f; // times the measured median rise time
    float attackMinMs = 0.0f;
    float attackMaxMs = 0.0f;
    float releaseBaseMs = 0.0f;
    float releaseDecaySpanMs = 0.0f; // added as the measured decay grows from 30 to 300 ms
    float releaseMinMs = 0.0f;
    float kneeBaseDb = 0.0f;
    float mixCeiling = 0.0f; // percent
    float mixFloor = 0.0f;   // percent
    bool autoRelease = false;
    int character = 3; // 1 OPTO, 2 FET, 3 VCA
    float driveLevelDb = 0.0f;
    int driveType = 0; // 0 TUBE, 1 TRANSFORMER, 2 TAPE, 3 FET
};

juce::StringArray characterNames();
juce::StringArray sourceNames();

// A source index outside the list gets the "Universal" details; never empty.
juce::StringArray detailNames(int source);

// The detail index every consumer uses: inside the source's list, 0 for a negative index.
int clampDetail(int source, int detail);

juce::String detailName(int source, int detail);

// First entry of the source's list equal to the text ignoring case, else 0.
int detailIndex(int source, const juce::String& text);

// The profile of (source, clamped detail); a source outside the list gets the fallback profile.
SourceProfile sourceProfile(int source, int detail);

} // namespace tq4
