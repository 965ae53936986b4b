#include "dsp/Makeup.h"

#include "dsp/CharacterVoicing.h"
#include "dsp/GainComputer.h"

#include <algorithm>
#include <cmath>

namespace tq4
{

float automaticMakeupDb(const EngineSettings& settings) noexcept
{
    if (!settings.autoMakeup)
        return 0.0f;

    if (settings.learnProfilePresent && settings.histogramValid)
    {
        const float estimateDb = estimateMakeupDb(settings);
        if (!settings.makeupCorrectionValid)
            return estimateDb;
        return applyMakeupCorrectionDb(estimateDb, settings.makeupCorrectionX, settings.makeupCorrectionY);
    }

    return staticMakeupDb(settings);
}

float staticMakeupDb(const EngineSettings& settings) noexcept
{
    const float kneeDb = std::max(settings.kneeDb, 0.01f);
    return staticGainReductionDb(-10.0f, settings.thresholdDb, settings.ratio, kneeDb, settings.character) *
           std::clamp(settings.mix, 0.0f, 1.0f);
}

float estimateMakeupDb(const EngineSettings& settings) noexcept
{
    if (!settings.histogramValid)
        return 0.0f;

    const CharacterVoicing voicing = characterVoicing(settings.character);
    const float mix = std::clamp(settings.mix, 0.0f, 1.0f);
    const float kneeDb = std::max(settings.kneeDb, 0.01f);

    double weightSum = 0.0;
    double energySum = 0.0;
    for (int i = 0; i < EngineSettings::histogramBins; ++i)
    {
        const float weight = settings.histogramWeight[i];
        if (!(weight > 0.0f))
            continue;

        // The bin's centre RMS level, moved towards its peak level as far as the detector listens to peaks.
        const float levelDb = voicing.peakRmsBlend * settings.histogramCrestDb[i] +
                              (static_cast<float>(i - (EngineSettings::histogramBins - 1)) + 0.5f);
        const float grDb =
            staticGainReductionDb(levelDb, settings.thresholdDb, settings.ratio, kneeDb, settings.character);
        const float gain = grDb > 0.0f ? mix * std::pow(10.0f, -grDb / 20.0f) + (1.0f - mix) : 1.0f;

        weightSum += static_cast<double>(weight);
        energySum += static_cast<double>(weight) * static_cast<double>(gain) * static_cast<double>(gain);
    }

    if (!(weightSum > 0.0))
        return 0.0f;
    return static_cast<float>(-10.0 * std::log10(std::max(energySum / weightSum, 1.0e-30)));
}

float applyMakeupCorrectionDb(float estimateDb, const float (&x)[EngineSettings::correctionPoints],
                              const float (&y)[EngineSettings::correctionPoints]) noexcept
{
    constexpr int last = EngineSettings::correctionPoints - 1;

    if (estimateDb <= x[0])
        return estimateDb + y[0];
    if (estimateDb >= x[last])
        return estimateDb + y[last];

    for (int i = 1; i <= last; ++i)
    {
        if (x[i] >= estimateDb)
        {
            const float span = x[i] - x[i - 1];
            const float frac = span > 1.0e-6f ? (estimateDb - x[i - 1]) / span : 1.0f;
            return estimateDb + y[i - 1] + (y[i] - y[i - 1]) * frac;
        }
    }

    return estimateDb + y[last];
}

float interpolateDriveCompDb(const float (&row)[EngineSettings::driveCompAmounts],
                             float drivePercent) noexcept
{
    static constexpr float amounts[EngineSettings::driveCompAmounts] = {0.0f, 10.0f, 25.0f, 50.0f, 100.0f};

    const float t = std::clamp(drivePercent, 0.0f, 100.0f);
    int segment = 3;
    if (t <= 10.0f)
        segment = 0;
    else if (t <= 25.0f)
        segment = 1;
    else if (t <= 50.0f)
        segment = 2;

    const float frac = (t - amounts[segment]) / (amounts[segment + 1] - amounts[segment]);
    return row[segment] + (row[segment + 1] - row[segment]) * frac;
}

float driveCompensationDb(const EngineSettings& settings, int driveType) noexcept
{
    if (!(settings.driveOn && settings.autoMakeup && settings.driveCompValid))
        return 0.0f;

    const int type = std::clamp(driveType, 0, EngineSettings::driveTypes - 1);
    return interpolateDriveCompDb(settings.driveCompDb[type], settings.drivePercent);
}

} // namespace tq4
