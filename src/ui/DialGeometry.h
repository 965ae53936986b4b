#pragma once

#include "ui/DesignCanvas.h"

#include <juce_graphics/juce_graphics.h>

#include <cmath>

// Where the gain-reduction dial, the history plot and the meters sit on the design canvas, and
// the mapping between dial angles and dB. Angles are degrees clockwise from straight up.
namespace tq4
{

inline const juce::Point<float> dialCentre{480.0f, 206.0f};
inline constexpr float dialOuterRadius = 120.0f;
inline constexpr float dialArcRadius = 106.0f;
inline constexpr float dialTickRadius = 88.0f;

// The dial spans 0..20 dB over 280 degrees, 0 dB at the lower left.
inline constexpr float dialMaxDb = 20.0f;
inline constexpr float dialStartDegrees = -140.0f;
inline constexpr float dialSweepDegrees = 280.0f;

// The dial's text rows: the read-out, the target label and the breadcrumb / learn status.
inline constexpr float dialReadoutBaseline = 202.0f;
inline constexpr float dialTargetBaseline = 215.0f;
inline const juce::Rectangle<float> statusRect{380.0f, 278.0f, 200.0f, 40.0f};
inline constexpr float statusBaseline = 290.0f;
inline constexpr float statusLineStep = 14.0f;

// The history strip's plot, range tag and meters.
inline const juce::Rectangle<float> historyPlotRect{44.0f, 428.0f, 802.0f, 78.0f};
inline const juce::Rectangle<float> rangeTagRect{50.0f, 434.0f, 52.0f, 20.0f};
inline const juce::Rectangle<float> inputMeterRect{878.0f, 428.0f, 10.0f, 60.0f};
inline const juce::Rectangle<float> outputMeterRect{906.0f, 428.0f, 10.0f, 60.0f};
inline const juce::Rectangle<float> inputClipRect{878.0f, 419.0f, 10.0f, 4.0f};
inline const juce::Rectangle<float> outputClipRect{906.0f, 419.0f, 10.0f, 4.0f};
inline const juce::Point<float> inputMeterLabelAnchor{883.0f, 508.0f};
inline const juce::Point<float> outputMeterLabelAnchor{911.0f, 508.0f};

inline float dialAngleForDb(float db)
{
    return db / dialMaxDb * dialSweepDegrees + dialStartDegrees;
}

inline float dialDbForAngle(float degrees)
{
    return (degrees - dialStartDegrees) / dialSweepDegrees * dialMaxDb;
}

inline juce::Point<float> pointOnDial(juce::Point<float> centre, float radius, float degrees)
{
    const float a = juce::degreesToRadians(degrees);
    return {centre.x + std::sin(a) * radius, centre.y - std::cos(a) * radius};
}

// The angle of a pointer around the centre, -180..180.
inline float pointerAngle(juce::Point<float> centre, juce::Point<float> pointer)
{
    const auto d = pointer - centre;
    return juce::radiansToDegrees(std::atan2(d.x, -d.y));
}

} // namespace tq4
