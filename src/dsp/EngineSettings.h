#pragma once

#include <cstdint>

namespace tq4
{

// The plain per-block record of settings the engine reads. Built by the processor, the learn solver
// and the offline renders; the engine never keeps it beyond a `process` call.
struct EngineSettings
{
    static constexpr int histogramBins = 81;
    static constexpr int correctionPoints = 13;
    static constexpr int driveTypes = 4;
    static constexpr int driveCompAmounts = 5;

    float thresholdDb = -18.0f;
    float ratio = 4.0f;
    float attackMs = 10.0f;
    float releaseMs = 200.0f; // ignored while autoRelease is set
    float kneeDb = 6.0f;
    float mix = 1.0f; // 0..1
    float outputDb = 0.0f;
    bool autoMakeup = true;
    bool autoRelease = false;
    int32_t character = 3; // 1 OPTO, 2 FET, anything else VCA

    bool learnProfilePresent = false;

    bool histogramValid = false;
    float histogramWeight[histogramBins] = {};
    float histogramCrestDb[histogramBins] = {};

    bool makeupCorrectionValid = false;
    float makeupCorrectionX[correctionPoints] = {}; // estimated makeup, dB, ascending
    float makeupCorrectionY[correctionPoints] = {}; // correction added at each breakpoint, dB

    bool driveOn = false;
    float drivePercent = 0.0f;
    int32_t driveType = 0; // 0 TUBE, 1 TRANSFORMER, 2 TAPE, 3 FET

    bool driveCompValid = false;
    float driveCompDb[driveTypes][driveCompAmounts] = {}; // per type, at 0, 10, 25, 50 and 100 % drive
};

} // namespace tq4
