#pragma once

#include "dsp/EngineSettings.h"
#include "dsp/Loudness.h"
#include "learn/LearnSolver.h"
#include "learn/LearnStats.h"
#include "plugin/LearnedProfile.h"

#include <juce_core/juce_core.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <future>
#include <vector>

namespace tq4
{

// Calibrates the automatic makeup after a learn: the level histogram it predicts from, and per
// character a curve that corrects the prediction towards the loudness the compressor really takes
// from the learned audio. Pure functions of their arguments.

struct MakeupLearnResult
{
    bool valid = false;
    juce::String histogramText; // tq4LearnMkHist
    juce::String curveText;     // tq4LearnMkCurve
};

// x: the histogram's makeup estimate in dB, non-decreasing; y: the correction added there.
using MakeupCorrectionCurve = LearnedProfile::MakeupCorrection;

// Threshold offsets from the learned threshold at which curve points 1 to 12 are measured.
inline constexpr std::array<float, 12> makeupCurveOffsetsDb{-18.0f, -12.0f, -9.0f, -6.0f, -4.0f, -2.0f,
                                                            0.0f,   2.0f,   4.0f,  6.0f,  9.0f,  12.0f};

// A quick loudness model of the learned audio: the 1 ms level trace drives the compressor's
// ballistics, the K-weighted power of each trace frame carries the loudness.
struct LoudnessSimulation
{
    LevelTrace trace;
    std::vector<double> framePowers;   // one per trace frame
    std::vector<float> detectorLevels; // empty when the trace is unusable
    int character = 3;
    // The gated loudness of the frame powers, the same for every setting: measured once when built.
    bool inputMeasured = false;
    float inputLufs = -100.0f;
};

// What one K-weighted pass over the capture yields for all three curves: the same as
// buildLevelHistogram, traceFramePowers and measureIntegratedLoudness of the capture.
struct CaptureMeasures
{
    LevelHistogram histogram;
    std::vector<double> framePowers; // per trace frame
    float loudnessLufs = -100.0f;
};

CaptureMeasures measureCapture(const std::vector<float>& monoCapture, double sampleRate, int hop);

// The read-only inputs the three curves share.
struct MakeupLearnContext
{
    const LearnSolution& solution;
    const std::vector<float>& monoCapture;
    double sampleRate;
    const LearnStats& learnedStats;
    const LevelHistogram& histogram;
    // Frame powers and input loudness measured once for all curves; without them each curve
    // measures its own.
    const CaptureMeasures* measures = nullptr;
};

struct MakeupNeed
{
    bool success = false;
    float db = 0.0f;
};

// The histogram and the three curves: the three renders on worker threads, joined before it returns,
// the rest on the calling thread. Not valid, with empty texts, when the histogram is not valid.
MakeupLearnResult learnMakeup(const LearnSolution& solution, const std::vector<float>& monoCapture,
                              double sampleRate, const LearnStats& learnedStats);

// measureCapture on a thread of its own where one can be started, else when its result is asked for:
// the measures need no solution, so they can run while the learn is solved. The capture must outlive
// the future.
std::future<CaptureMeasures> startMeasuringCapture(const std::vector<float>& monoCapture, double sampleRate,
                                                   int hop);

// The same with the capture's measures from startMeasuringCapture (with the trace's hop); the renders
// start before they are waited for.
MakeupLearnResult learnMakeup(const LearnSolution& solution, const std::vector<float>& monoCapture,
                              double sampleRate, const LearnStats& learnedStats,
                              std::future<CaptureMeasures> measures);

// The curve of one character (1 OPTO, 2 FET, 3 VCA).
MakeupCorrectionCurve learnMakeupCurve(const MakeupLearnContext& context, int character);

// The solution as engine settings for one character, carrying the histogram the estimate reads.
EngineSettings makeupLearnSettings(const LearnSolution& solution, int character,
                                   const LevelHistogram& histogram);

// The integrated loudness a real engine takes from the capture with the solution's settings; fails
// for less than a second of audio or a loudness at or below -99 LUFS.
MakeupNeed measureMakeupNeed(double sampleRate, const LearnSolution& solution,
                             const std::vector<float>& monoCapture);

// The same with the capture's own integrated loudness already measured.
MakeupNeed measureMakeupNeed(double sampleRate, const LearnSolution& solution,
                             const std::vector<float>& monoCapture, float inputLufs);

// Mean K-weighted power of every run of hop samples; a shorter last run counts too.
std::vector<double> traceFramePowers(const std::vector<float>& monoCapture, double sampleRate, int hop);

// Pairs the frame powers with the character's detector levels; without enough powers for every
// trace frame the detector levels stay empty.
LoudnessSimulation buildLoudnessSimulation(const LevelTrace& trace, std::vector<double> framePowers,
                                           int character);

// Gated loudness in minus out, in dB, of the simulated compressor with these settings; 0 when the
// simulation does not fit them.
float measureLoudnessReduction(const LoudnessSimulation& simulation, const EngineSettings& settings);

// e^x for x from -700 to 0, within two units in the last place of std::exp, without branches or calls so
// that loops over it vectorise: the octaves come off exactly in two parts, a degree-13 polynomial
// takes the rest. Below -700 it gives e^-700.
inline double expOfNonPositive(double x) noexcept
{
    constexpr double log2e = 1.4426950408889634074;
    constexpr double ln2High = 6.93147180369123816490e-01; // whole multiples of it up to 2^20 are exact
    constexpr double ln2Low = 1.90821492927058770002e-10;
    constexpr double shift = 6755399441055744.0; // 1.5 * 2^52: its units are whole numbers
    constexpr int64_t shiftBits = 0x4338000000000000;
    x = std::max(x, -700.0);
    const double shifted = x * log2e + shift;
    const double k = shifted - shift;
    const double r = (x - k * ln2High) - k * ln2Low;
    double p = 1.0 / 6227020800.0;
    for (const double inverseFactorial :
         {1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0, 1.0 / 5040.0,
          1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5, 1.0, 1.0})
        p = p * r + inverseFactorial;
    int64_t shiftedBits = 0;
    std::memcpy(&shiftedBits, &shifted, sizeof shiftedBits);
    const int64_t scaleBits = (shiftedBits - shiftBits + 1023) << 52;
    double scale = 0.0;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return p * scale;
}

// The same for count settings at once, into reductions[0..count).
void measureLoudnessReductions(const LoudnessSimulation& simulation, const EngineSettings* settings,
                               size_t count, float* reductions);

} // namespace tq4
