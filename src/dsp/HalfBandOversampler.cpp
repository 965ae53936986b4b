#include "dsp/HalfBandOversampler.h"

#include "dsp/VectorClones.h"

#include <juce_dsp/juce_dsp.h>

#include <algorithm>

namespace tq4
{

namespace
{
// out[i] = sum over q of (line[i + q] + line[i + 2m + 1 - q]) * pairs[q], summed from q = 0 up as JUCE's
// stage sums its taps; the loop runs across outputs so that it vectorises.
TQ4_VECTOR_CLONES
void pairSums(const float* __restrict line, const float* __restrict pairs, int m, float* __restrict out,
              int n) noexcept
{
    const int span = 2 * m + 1;
    const float c0 = pairs[0];

    for (int i = 0; i < n; ++i)
        out[i] = (line[i] + line[i + span]) * c0;

    for (int q = 1; q <= m; ++q)
    {
        const float c = pairs[q];
        const float* older = line + q;
        const float* newer = line + span - q;

        for (int i = 0; i < n; ++i)
            out[i] += (older[i] + newer[i]) * c;
    }
}

TQ4_VECTOR_CLONES
void interleave(const float* __restrict even, const float* __restrict centreLine, float centre,
                float* __restrict out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        out[2 * i] = even[i];
        out[2 * i + 1] = centreLine[i] * centre;
    }
}

TQ4_VECTOR_CLONES
void deinterleave(const float* __restrict in, float* __restrict even, float* __restrict odd, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        even[i] = in[2 * i];
        odd[i] = in[2 * i + 1];
    }
}

TQ4_VECTOR_CLONES
void addCentre(float* __restrict out, const float* __restrict centreLine, float centre, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        out[i] += centreLine[i] * centre;
}

TQ4_VECTOR_CLONES
void doubled(const float* __restrict in, float* __restrict out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        out[i] = 2.0f * in[i];
}
} // namespace

void HalfBandOversampler::designInto(HalfBand& filter, float transitionWidth, float stopbandDb, int maxRun)
{
    const auto coefficients =
        juce::dsp::FilterDesign<float>::designFIRLowpassHalfBandEquirippleMethod(transitionWidth, stopbandDb);
    const auto taps = static_cast<int>(coefficients->getFilterOrder()) + 1;
    const float* c = coefficients->getRawCoefficients();

    // The equiripple half-band design always has 4m + 3 taps: pairs at even indices, the centre at 2m + 1.
    jassert((taps - 3) % 4 == 0);
    filter.m = (taps - 3) / 4;
    filter.order = taps - 1;
    filter.pairs.assign(static_cast<size_t>(filter.m + 1), 0.0f);

    for (int q = 0; q <= filter.m; ++q)
        filter.pairs[static_cast<size_t>(q)] = c[2 * q];

    filter.centre = c[2 * filter.m + 1];
    filter.history.assign(static_cast<size_t>(2 * filter.m + 1 + maxRun), 0.0f);
    filter.oddHistory.assign(static_cast<size_t>(filter.m + 1 + maxRun), 0.0f);
}

void HalfBandOversampler::prepare(int numStages, int maxInputSamples)
{
    stages.clear();
    stages.resize(static_cast<size_t>(std::max(numStages, 1)));
    maxInput = std::max(maxInputSamples, 1);

    int run = maxInput;

    for (size_t n = 0; n < stages.size(); ++n)
    {
        // The widths and attenuations JUCE's constructor picks per stage.
        const float widthScale = n == 0 ? 0.5f : 1.0f;
        const float index = static_cast<float>(n);
        auto& stage = stages[n];
        designInto(stage.up, 0.12f * widthScale, -70.0f + 8.0f * index, run);
        designInto(stage.down, 0.15f * widthScale, -60.0f + 8.0f * index, run);
        stage.buffer.assign(static_cast<size_t>(2 * run), 0.0f);
        run *= 2;
    }

    accumulator.assign(static_cast<size_t>(run / 2), 0.0f);
}

void HalfBandOversampler::reset() noexcept
{
    for (auto& stage : stages)
    {
        std::fill(stage.up.history.begin(), stage.up.history.end(), 0.0f);
        std::fill(stage.up.oddHistory.begin(), stage.up.oddHistory.end(), 0.0f);
        std::fill(stage.down.history.begin(), stage.down.history.end(), 0.0f);
        std::fill(stage.down.oddHistory.begin(), stage.down.oddHistory.end(), 0.0f);
        std::fill(stage.buffer.begin(), stage.buffer.end(), 0.0f);
    }
}

float HalfBandOversampler::latencyInSamples() const noexcept
{
    float latency = 0.0f;
    float order = 1.0f;

    for (const auto& stage : stages)
    {
        order *= 2.0f;
        latency += static_cast<float>(stage.up.order + stage.down.order) * 0.5f / order;
    }

    return latency;
}

void HalfBandOversampler::upStage(Stage& stage, const float* input, int n) noexcept
{
    HalfBand& f = stage.up;
    const int span = 2 * f.m + 1;
    float* line = f.history.data();

    // The stage takes twice its input, as JUCE's does, so that the cascade keeps unit gain.
    doubled(input, line + span, n);
    pairSums(line, f.pairs.data(), f.m, accumulator.data(), n);
    interleave(accumulator.data(), line + span - f.m, f.centre, stage.buffer.data(), n);
    std::copy(line + n, line + n + span, line);
}

void HalfBandOversampler::downStage(Stage& stage, float* output, int n) noexcept
{
    HalfBand& f = stage.down;
    const int span = 2 * f.m + 1;
    const int oddSpan = f.m + 1;
    float* line = f.history.data();
    float* odd = f.oddHistory.data();

    deinterleave(stage.buffer.data(), line + span, odd + oddSpan, n);
    pairSums(line, f.pairs.data(), f.m, output, n);
    // The odd phase meets the centre tap last, m + 1 samples late.
    addCentre(output, odd, f.centre, n);
    std::copy(line + n, line + n + span, line);
    std::copy(odd + n, odd + n + oddSpan, odd);
}

float* HalfBandOversampler::processUp(const float* input, int n) noexcept
{
    const float* in = input;
    int length = n;

    for (auto& stage : stages)
    {
        upStage(stage, in, length);
        in = stage.buffer.data();
        length *= 2;
    }

    return stages.back().buffer.data();
}

void HalfBandOversampler::processDown(float* output, int n) noexcept
{
    int length = n << (static_cast<int>(stages.size()) - 1);

    for (size_t s = stages.size(); s-- > 1;)
    {
        downStage(stages[s], stages[s - 1].buffer.data(), length);
        length /= 2;
    }

    downStage(stages.front(), output, n);
}

} // namespace tq4
