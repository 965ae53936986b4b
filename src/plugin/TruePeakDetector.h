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

private:
    float branch[phases][taps];
    // The last twelve samples, oldest first.
    float history[taps] = {};
};

} // namespace tq4
