#pragma once

#include "dsp/EngineSettings.h"

namespace tq4
{

// Automatic makeup and drive level compensation, computed once per block from the settings.

// Makeup in dB: 0 with Auto Makeup off; the corrected histogram estimate when a learned profile with a
// valid histogram is present; otherwise the static reduction of a steady -10 dBFS level, scaled by the mix.
float automaticMakeupDb(const EngineSettings& settings) noexcept;

// The static reduction of a steady -10 dBFS level times the mix.
float staticMakeupDb(const EngineSettings& settings) noexcept;

// The energy the compressor removes from material with the learned level histogram, mix included;
// 0 without a valid histogram or without weight.
float estimateMakeupDb(const EngineSettings& settings) noexcept;

// The estimate plus the learned correction, interpolated linearly between breakpoints (x ascending)
// and held beyond the ends.
float applyMakeupCorrectionDb(float estimateDb, const float (&x)[EngineSettings::correctionPoints],
                              const float (&y)[EngineSettings::correctionPoints]) noexcept;

// A row of the drive compensation table (at 0, 10, 25, 50 and 100 % drive) read at drivePercent.
float interpolateDriveCompDb(const float (&row)[EngineSettings::driveCompAmounts],
                             float drivePercent) noexcept;

// Compensation target for the drive type in use; 0 unless Drive On, Auto Makeup and a valid table.
float driveCompensationDb(const EngineSettings& settings, int driveType) noexcept;

} // namespace tq4
