#pragma once

#include "dsp/Loudness.h"
#include "plugin/LearnedProfile.h"

#include <juce_core/juce_core.h>

namespace tq4
{

// The stored makeup-learning texts: the level histogram "bin:weight:crest …" and the three
// correction curves "x:y … | … | …". Unusable input degrades to "not valid", never throws.

// Bins with weight above 0, ascending; empty for an invalid histogram.
juce::String writeMakeupHistogramText(const LevelHistogram& histogram);

// Curves in the order OPTO, FET, VCA; empty unless all three are valid.
juce::String writeMakeupCurveText(const LearnedProfile::MakeupCorrection (&curves)[3]);

LearnedProfile::Histogram readMakeupHistogramText(const juce::String& text);

// Curves in the order OPTO, FET, VCA; one curve stands for all three.
void readMakeupCurveText(const juce::String& text, LearnedProfile::MakeupCorrection (&curves)[3]);

} // namespace tq4
