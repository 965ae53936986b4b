#pragma once

#include <vector>

// A cascade of 2-times half-band FIR stages with the equiripple filters that JUCE's Oversampling designs
// (filterHalfBandFIREquiripple, without maximum quality), computed as polyphase filters over whole runs
// of samples instead of one sample at a time. Each output sums the same products in the same order as
// JUCE's stage does, so the two agree up to the rounding of fused multiply-adds.
namespace tq4
{

class HalfBandOversampler
{
public:
    // Allocates; sized for runs of up to maxInputSamples at the base rate.
    void prepare(int numStages, int maxInputSamples);
    void reset() noexcept;

    int factor() const noexcept { return 1 << static_cast<int>(stages.size()); }
    bool isPrepared() const noexcept { return !stages.empty(); }

    // JUCE's figure for the cascade: half the filter orders of each stage, at the base rate.
    float latencyInSamples() const noexcept;

    // Up to n × factor samples at the oversampled rate, valid until the next call; the caller may change
    // them in place before processDown.
    float* processUp(const float* input, int n) noexcept;
    // Brings the (changed) oversampled run of the last processUp back down into n samples.
    void processDown(float* output, int n) noexcept;

private:
    // Taps of one half-band filter: the outer pairs (every other tap, the rest are zero) and the centre.
    struct HalfBand
    {
        std::vector<float> pairs; // c[0], c[2], ..., c[2m]
        float centre = 0.0f;
        int m = 0; // the filter has 4m + 3 taps
        int order = 0;
        std::vector<float> history; // the last 2m + 1 inputs of the even phase, then the run
        std::vector<float> oddHistory;
    };

    struct Stage
    {
        HalfBand up, down;
        std::vector<float> buffer; // the stage's output at twice its input rate
    };

    static void designInto(HalfBand& filter, float transitionWidth, float stopbandDb, int maxRun);
    static void filterRun(const HalfBand& filter, const float* line, float* out, int n) noexcept;
    void upStage(Stage& stage, const float* input, int n) noexcept;
    void downStage(Stage& stage, float* output, int n) noexcept;

    std::vector<Stage> stages;
    std::vector<float> accumulator;
    int maxInput = 0;
};

} // namespace tq4
