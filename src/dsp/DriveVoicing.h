#pragma once

#include "dsp/DriveModels.h"

// The constants that turn the one drive chain into TUBE, TRANSFORMER, TAPE or FET at a given amount.
namespace tq4
{

struct DriveVoicing
{
    int type = 0;
    float amount = 0.0f;    // 0..1
    float headroom = 0.75f; // scale of the signal before the curve
    float sagDepth = 0.35f; // how much a loud envelope lowers the drive
    float sagKnee = 0.15f;  // envelope level of half sag
    float symmetry = 0.0f;  // 0 even harmonics, 1 odd only
    float tone = 0.0f;      // share of the 9 kHz low-pass in the output
    bool lowBandDetector = false;
    int stages = 2;
    float highPassHz = 80.0f;
    int oversampling = 16;
    float hysteresisAmount = 0.0f;
    HysteresisParameters hysteresis;
    float curveKnee = 2.4f;
    DriveShape shape; // curve constants from curveKnee, with amount and symmetry
};

// Any type other than 1, 2 or 3 is TUBE; the amount is clamped to 0..1.
DriveVoicing driveVoicing(int type, float amount) noexcept;

} // namespace tq4
