#pragma once

#include "dsp/EngineSettings.h"

#include <type_traits>

namespace tq4
{

// What a stored learn contributes to every block: derived on the message thread from the state,
// copied whole by the audio thread.
struct LearnedProfile
{
    struct MakeupCorrection
    {
        bool valid = false;
        float x[EngineSettings::correctionPoints] = {};
        float y[EngineSettings::correctionPoints] = {};
    };

    struct Histogram
    {
        bool valid = false;
        float weight[EngineSettings::histogramBins] = {};
        float crestDb[EngineSettings::histogramBins] = {};
    };

    struct DriveCompensation
    {
        bool valid = false;
        float db[EngineSettings::driveTypes][EngineSettings::driveCompAmounts] = {};
    };

    bool present = false;
    MakeupCorrection makeup[3]; // OPTO, FET, VCA
    Histogram histogram;
    DriveCompensation driveComp;
};

static_assert(std::is_trivially_copyable_v<LearnedProfile>);

} // namespace tq4
