#include "dsp/DriveVoicing.h"

#include <algorithm>
#include <cmath>

namespace tq4
{

namespace
{
struct VoicingRow
{
    float fullHeadroom; // headroom at amount 1
    float sagDepth;
    float sagKnee;
    float symmetry;
    float tonePerAmount;
    bool lowBandDetector;
    int stages;
    float highPassHz;
    int oversampling;
    float hysteresisPerAmount;
    HysteresisParameters hysteresis;
    float curveKnee;
};

constexpr VoicingRow tube{0.1f, 0.35f, 0.15f, 0.0f, 0.0f, false, 2, 80.0f, 16, 0.0f, {1.0f, 0.0f, 1.0f, 1.0f},
                          2.4f};
constexpr VoicingRow transformer{
    0.0654f, 0.9f, 0.036f, 1.0f, 0.15f, true, 3, 20.0f, 16, 0.85f, {0.14f, 0.0016f, 0.045f, 0.25f}, 1.8f};
constexpr VoicingRow tape{
    0.0703f, 0.35f, 0.15f, 0.68f, 0.6f, false, 3, 60.0f, 32, 0.85f, {0.16f, 0.0016f, 0.03f, 0.4f}, 1.8f};
constexpr VoicingRow fet{0.07f, 0.35f, 0.15f, 1.0f, 0.0f, false, 3, 20.0f, 16, 0.0f, {1.0f, 0.0f, 1.0f, 1.0f},
                         1.6f};

const VoicingRow& rowFor(int type) noexcept
{
    switch (type)
    {
    case 1:
        return transformer;
    case 2:
        return tape;
    case 3:
        return fet;
    default:
        return tube;
    }
}
} // namespace

DriveVoicing driveVoicing(int type, float amount) noexcept
{
    const VoicingRow& row = rowFor(type);
    const float a = amount > 0.0f ? std::min(amount, 1.0f) : 0.0f; // NaN gives 0 too

    DriveVoicing v;
    v.type = (type >= 1 && type <= 3) ? type : 0;
    v.amount = a;
    // Geometric from 0.75 at amount 0 to the type's headroom at amount 1.
    v.headroom = 0.75f * std::pow(row.fullHeadroom / 0.75f, a);
    v.sagDepth = std::clamp(row.sagDepth, 0.0f, 0.9f);
    v.sagKnee = std::max(row.sagKnee, 1.0e-4f);
    v.symmetry = std::clamp(row.symmetry, 0.0f, 1.0f);
    v.tone = row.tonePerAmount * a;
    v.lowBandDetector = row.lowBandDetector;
    v.stages = std::clamp(row.stages, 1, 3);
    v.highPassHz = std::clamp(row.highPassHz, 1.0f, 200.0f);
    v.oversampling = row.oversampling;
    v.hysteresisAmount = std::clamp(row.hysteresisPerAmount * a, 0.0f, 1.0f);
    v.hysteresis = row.hysteresis;
    v.curveKnee = row.curveKnee;
    v.shape.curve = driveCurveConstants(row.curveKnee);
    v.shape.block = driveCurveBlockConstants(v.shape.curve);
    v.shape.amount = a;
    v.shape.symmetry = v.symmetry;
    return v;
}

} // namespace tq4
