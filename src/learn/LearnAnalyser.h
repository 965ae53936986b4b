#pragma once

#include "learn/LearnStats.h"

#include <cstdint>
#include <vector>

namespace tq4
{

// The message-thread side of a learn run: analyses the captured input sample by sample, counts the
// 50 ms blocks above -60 dBFS until eight seconds are heard, and turns what it measured into
// LearnStats. It knows nothing of the processor or its FIFO.

// What the editor shows while a learn listens.
struct LearnProgress
{
    float progress = 0.0f;     // counted seconds / 8, 0..1
    bool signalLow = false;    // over 3 s heard with hardly anything counted
    float secondsHeard = 0.0f; // silent or not
};

// The analysed audio, kept for the makeup learning and the drive EQ analysis; left and right are
// empty unless the input was captured in stereo.
struct LearnCaptures
{
    std::vector<float> mono;
    std::vector<float> left;
    std::vector<float> right;
};

class LearnAnalyser
{
public:
    LearnAnalyser();

    // Rates at or below 8000 Hz are analysed as 8000 Hz. Also resets.
    void prepare(double sampleRate);
    void reset();

    // One contiguous region of captured samples; left and right are null for a mono capture.
    void analyseSamples(const float* mono, const float* left, const float* right, int count);

    bool countedEnough() const noexcept { return countedSamples >= countTarget; }
    LearnProgress progress() const noexcept;

    // Call before takeCaptures: the level trace is built from the mono capture.
    LearnStats computeLearnStats() const;
    LearnCaptures takeCaptures();

    double getSampleRate() const noexcept { return sampleRate; }

private:
    void analyseSample(float x);
    void trackOnset(float envelopeNow, float envelopeBefore);
    void acceptOnset();
    void measureRise();
    void trackDecay(float envelopeNow);
    void closeBlock();

    // Rate-dependent constants, set by prepare.
    double sampleRate = 8000.0;
    int blockSize = 1;
    uint64_t captureLimit = 0;
    int64_t countTarget = 0;
    int64_t validMinimum = 0;
    int64_t minOnsetGap = 0;
    int maxOnsetAge = 0;
    float attackCoeff = 0.0f;
    float releaseCoeff = 0.0f;
    float lowpassCoeff = 0.0f;

    int64_t countedSamples = 0;
    int64_t totalSamples = 0; // also the running sample position
    float peakMax = 0.0f;
    double sumSquares = 0.0;
    double blockSumSquares = 0.0;
    int blockFill = 0;
    std::vector<float> blockLevels;

    float envelope = 0.0f;
    std::vector<float> envelopeRing;
    int ringIndex = 0;

    int onsetState = 0;
    float onsetPeak = 0.0f;
    float onsetBaseline = 1.0e-6f;
    int onsetPeakIndex = 0;
    int onsetAge = 0;
    int64_t lastOnsetPosition = -1000000;

    bool decayActive = false;
    int64_t decayStart = 0;
    float decayLevel = 0.0f;

    std::vector<float> riseTimes;
    std::vector<float> decayTimes;
    std::vector<int64_t> onsetPositions;

    float lowpass = 0.0f;
    double highEnergy = 0.0;
    double totalEnergy = 0.0;
    int64_t sustainSamples = 0;

    std::vector<float> monoCapture;
    std::vector<float> leftCapture;
    std::vector<float> rightCapture;
};

} // namespace tq4
