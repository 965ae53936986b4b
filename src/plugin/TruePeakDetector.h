#pragma once

namespace tq4
{

// 4x oversampling peak detector for one channel: a windowed-sinc interpolator split into four
// 12-tap polyphase branches.
class TruePeakDetector
{
public:
    static constexpr int taps = 12;
    static constexpr int phases = 4;

    TruePeakDetector();

    // Feeds one sample and returns the largest magnitude among it and its interpolated neighbours.
    float push(float x) noexcept;

    // The largest value `push` would return over a block, computed a chunk at a time so the
    // polyphase filters vectorise across samples.
    float processBlock(const float* samples, int n) noexcept;

    // No output of processBlock exceeds this multiple of the largest magnitude among the samples it
    // reads (the block and historyPeak): the largest sum of a branch's magnitudes, with room for rounding.
    float gainBound() const noexcept { return bound; }
    float historyPeak() const noexcept;

    // What processBlock keeps of a block, without the filtering: for a block whose bound says it cannot
    // reach the level that matters.
    void skipBlock(const float* samples, int n) noexcept;

private:
    void remember(const float* samples, int n) noexcept;

    float branch[phases][taps];
    float bound = 1.0f;
    // The last twelve samples, oldest first.
    float history[taps] = {};
};

} // namespace tq4
