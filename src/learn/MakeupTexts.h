#pragma once

#include "plugin/LearnedProfile.h"

#include <juce_core/juce_core.h>

namespace tq4
{

// Readers of the stored makeup-learning texts: the level histogram "bin:weight:crest …" and the
// three correction curves "x:y … | … | …". Unusable input degrades to "not valid", never throws.
LearnedProfile::Histogram readMakeupHistogramText(const juce::String& text);

// Curves in the order OPTO, FET, VCA; one curve stands for all three.
void readMakeupCurveText(const juce::String& text, LearnedProfile::MakeupCorrection (&curves)[3]);

} // namespace tq4
