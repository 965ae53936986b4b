#pragma once

#include "adapt/SourceCatalogue.h"
#include "dsp/GainComputer.h"
#include "learn/LearnStats.h"

#include <array>
#include <cstdint>
#include <vector>

namespace tq4
{

// Turns learned statistics and a source profile into compressor settings. The threshold is found by
// simulating the compressor at 1 ms frames over the stored level trace; the target control reuses that
// simulation. Pure functions: numbers in, numbers out.

struct LearnSolution
{
    bool valid = false;
    float thresholdDb = -18.0f;
    float ratio = 4.0f;
    float attackMs = 10.0f;
    float releaseMs = 200.0f;
    float kneeDb = 6.0f; // the knee parameter is kneeDb / 24 * 100 percent
    float mixPercent = 100.0f;
    int character = 3; // 1 OPTO, 2 FET, 3 VCA
    bool autoRelease = false;
    float drivePercent = 0.0f;
    int driveType = 0;
};

struct RatioKnee
{
    float ratio = 4.0f;
    float kneeDb = 6.0f;
};

struct TargetSettings
{
    float ratio = 4.0f;
    float kneeDb = 6.0f;
    float thresholdDb = -18.0f;
};

// What the simulation needs: the trace, the solution's ballistics and one detector level per frame.
struct SimulationContext
{
    double sampleRate = 0.0;
    int hop = 0;
    std::vector<uint8_t> peak;
    std::vector<uint8_t> rms;
    float attackMs = 10.0f;
    float releaseMs = 200.0f;
    int character = 3;
    bool autoRelease = false;
    std::vector<float> detectorLevels; // dBFS
};

// How a character stretches the learned attack, release and knee.
struct CharacterFactors
{
    float attack = 1.0f;
    float release = 1.0f;
    float knee = 1.0f;
};

CharacterFactors characterFactors(int character) noexcept;

// Drive level in dB at drive amounts 5 %, 10 %, ... 100 % for one drive type (clamped to 0..3).
const std::array<float, 20>& driveLevelCurveDb(int driveType) noexcept;

// Inverse of the drive-level curve: the drive amount in percent that gives levelDb; below the 5 % point
// it extrapolates linearly towards 0 %.
float drivePercentForLevel(int driveType, float levelDb) noexcept;

// Round half away from zero onto a grid step.
float roundToStep(float value, float step) noexcept;

// A trace the solver can simulate: statistics marked valid with a consistent, non-empty trace.
bool isUsableForSolving(const LearnStats& stats) noexcept;

// forcedCharacter 0 lets the solver choose; 1 to 3 impose it. Unusable statistics give the defaults,
// not valid.
LearnSolution solveLearn(const LearnStats& stats, int source, int detail, int forcedCharacter);

// The character solveLearn(stats, source, detail, 0) chooses, without solving anything else.
int solvedCharacter(const LearnStats& stats, int source, int detail);

// solveLearn with ratio, knee and threshold re-derived for the profile's default target and put on the
// parameter grids: what a finished learn applies.
LearnSolution solveLearnRounded(const LearnStats& stats, int source, int detail, int forcedCharacter);

// 1, 2 or 3; departs from the profile's character only for a clearly better score.
int chooseCharacter(const LearnStats& stats, const SourceProfile& profile) noexcept;

// Ratio and knee scaled with the square root of the target relative to the profile's default target,
// on the ratio (0.01) and knee (whole percent) grids.
RatioKnee ratioKneeForTarget(const LearnSolution& solution, const SourceProfile& profile,
                             float targetDb) noexcept;

// The threshold at which the simulated gain reduction meets targetDb: -60 when even that is not
// enough, -1 without detector levels.
float solveThreshold(const LearnStats& stats, const LearnSolution& solution, float targetDb, float ratio,
                     float kneeDb);

TargetSettings solveForTarget(const LearnStats& stats, const LearnSolution& solution,
                              const SourceProfile& profile, float targetDb);

SimulationContext buildSimulation(const LearnStats& stats, const LearnSolution& solution);

// The character's detector run over the trace frames; empty for an unusable trace.
std::vector<float> detectorLevels(const LevelTrace& trace, int character);

// The compressor run at the trace's frame rate: the engine's gain computer, character ratio scale and
// two-path ballistics, one step per frame. Shared by the threshold solver and the makeup learning.
class TraceCompressor
{
public:
    TraceCompressor(double sampleRate, int hop, float attackMs, float releaseMs, int character,
                    bool autoRelease, float thresholdDb, float ratio, float kneeDb) noexcept;

    // Gain reduction in dB after the frame whose detector level is given. Inline and without branches:
    // the simulations run it for every frame of a trace, many settings at a time.
    float step(float detectorLevelDb) noexcept { return follow(target(detectorLevelDb, out)); }

    // Only with OPTO does the curve follow the reduction; without, targets can run ahead as a pass.
    bool curveFollowsReduction() const noexcept { return opto != 0.0f; }

    // The curve's reduction for a detector level, after the frame whose reduction was previousOut.
    float target(float detectorLevelDb, float previousOut) const noexcept
    {
        // The curve is slope * shape(level), and only the slope's ratio follows the reduction (OPTO): the
        // shape and the FET share stay off the recursion from one frame's reduction to the next. The FET
        // share takes the engine's own exp, which is inline.
        const float over = detectorLevelDb - thresholdDb;
        const float shape = gainComputerShapeDb(over, knee);
        const float ratioBase = fet != 0.0f ? fetScaledRatio(over, fet, ratio) : ratio;
        // 0.4 * opto * clamp(out / 10, 0, 1) of the scale; a reduction is never negative. With a ratio of
        // at least 1 the floor at 1 never acts and the clamp becomes a cap, one step fewer.
        const float r = opto == 0.0f ? std::max(ratioBase, 1.0f)
                        : ratioAtLeastOne
                            ? std::min(ratioBase + optoPerDb * previousOut, ratioBase + optoPerDb * 10.0f)
                            : std::max(ratioBase + optoPerDb * std::min(10.0f, previousOut), 1.0f);
        return shape - shape / r;
    }

    // The two-path ballistics towards a target; the reduction after the frame.
    float follow(float gr) noexcept
    {
        fast = (fast - gr) * selectWithoutBranch(fast < gr, attackCoeff, releaseCoeff) + gr;
        const float half = gr * 0.5f;
        slow = (slow - half) * selectWithoutBranch(slow < half, slowAttackCoeff, slowReleaseCoeff) + half;
        out = std::max(slowWeight * slow, fast);
        return out;
    }

    // The reductions of n frames in turn. Without OPTO the curve runs first as a pass of its own over
    // the levels, built for each target (into `reductions`), and the ballistics after it.
    void run(const float* detectorLevelsDb, float* reductions, size_t n) noexcept;

private:
    float attackCoeff, releaseCoeff, slowAttackCoeff, slowReleaseCoeff, slowWeight;
    float fet, opto, thresholdDb, ratio, knee;
    float optoPerDb;
    bool ratioAtLeastOne;
    float fast = 0.0f, slow = 0.0f, out = 0.0f;
};

// The 0.95 quantile of the 512-sample window maxima of the simulated gain reduction, in dB; 0 for an
// inconsistent context or non-finite settings.
float simulateGainReduction(const SimulationContext& context, float thresholdDb, float ratio, float kneeDb);

} // namespace tq4
