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
    float push (float x) noexcept;

    // Largest value of `push` over a block.
    float processBlock (const float* samples, int n) noexcept;

private:
    float branch[phases][taps];
    // Each sample is stored twice so the newest twelve are always contiguous, newest first.
    float history[2 * taps] = {};
    int position = 0;
};

} // namespace tq4
