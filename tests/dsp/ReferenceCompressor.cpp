#include "ReferenceCompressor.h"

#include <algorithm>
#include <cmath>

namespace tq4test
{

namespace
{

constexpr int sliceLength = 8192;

struct Voicing
{
    float autoReleaseMs, rmsWindowMs, peakRmsBlend, peakReleaseMs;
    bool slowRelease, fetColour;
};

Voicing voicingOf(int character)
{
    if (character == 1) // OPTO
        return {100.0f, 30.0f, 0.0f, 50.0f, true, false};
    if (character == 2) // FET
        return {70.0f, 0.0f, 1.0f, 10.0f, false, true};
    return {100.0f, 5.0f, 0.5f, 25.0f, false, false}; // VCA, and any other index
}

float decibels(float amplitude)
{
    return amplitude > 0.0f ? std::max(20.0f * std::log10(amplitude), -100.0f) : -100.0f;
}

// 10^(db/20), 0 from -100 dB down. Ramps add their step on every sample, which turns a last-bit difference
// of a target into differences of a hundred ulps by the end of the ramp, so the targets are converted
// exactly as the engine converts them.
float gainOf(float db)
{
    return juce::Decibels::decibelsToGain(db, -100.0f);
}

float gainComputer(float over, float ratio, float knee)
{
    const float r = std::max(ratio, 1.0f);
    const float slope = 1.0f - 1.0f / r;
    if (-knee > 2.0f * over)
        return 0.0f;
    if (knee >= 2.0f * std::abs(over))
        return (over + knee / 2.0f) * (over + knee / 2.0f) * slope / (2.0f * knee);
    return slope * over;
}

float ratioScale(float fet, float opto, float over, float previousGr)
{
    return 1.0f + 0.6f * fet * std::exp(-std::max(over, 0.0f) / 6.0f) +
           0.4f * opto * std::clamp(previousGr / 10.0f, 0.0f, 1.0f);
}

float staticReduction(float level, float threshold, float ratio, float knee, int character)
{
    const float over = level - threshold;
    float gr = 0.0f;
    if (character == 1)
    {
        for (int i = 0; i < 4; ++i)
            gr = gainComputer(over, std::max(ratioScale(0.0f, 1.0f, over, gr) * ratio, 1.0f), knee);
        return gr;
    }
    const float fet = character == 2 ? 1.0f : 0.0f;
    return gainComputer(over, std::max(ratioScale(fet, 0.0f, over, 0.0f) * ratio, 1.0f), knee);
}

float histogramMakeup(const tq4::EngineSettings& s)
{
    if (!s.histogramValid)
        return 0.0f;
    const Voicing v = voicingOf(s.character);
    const float m = std::clamp(s.mix, 0.0f, 1.0f);
    const float knee = std::max(s.kneeDb, 0.01f);
    double w = 0.0, e = 0.0;
    for (int i = 0; i < tq4::EngineSettings::histogramBins; ++i)
    {
        const float weight = s.histogramWeight[i];
        if (!(weight > 0.0f))
            continue;
        const float level = v.peakRmsBlend * s.histogramCrestDb[i] + (static_cast<float>(i - 80) + 0.5f);
        const float gr = staticReduction(level, s.thresholdDb, s.ratio, knee, s.character);
        const float g = gr > 0.0f ? m * std::pow(10.0f, -gr / 20.0f) + (1.0f - m) : 1.0f;
        w += weight;
        e += static_cast<double>(weight) * g * g;
    }
    return w > 0.0 ? static_cast<float>(-10.0 * std::log10(std::max(e / w, 1.0e-30))) : 0.0f;
}

float corrected(float e, const tq4::EngineSettings& s)
{
    if (!s.makeupCorrectionValid)
        return e;
    const float* x = s.makeupCorrectionX;
    const float* y = s.makeupCorrectionY;
    if (e <= x[0])
        return e + y[0];
    if (e >= x[12])
        return e + y[12];
    for (int i = 1; i <= 12; ++i)
        if (x[i] >= e)
        {
            const float frac = x[i] - x[i - 1] > 1.0e-6f ? (e - x[i - 1]) / (x[i] - x[i - 1]) : 1.0f;
            return e + y[i - 1] + (y[i] - y[i - 1]) * frac;
        }
    return e + y[12];
}

float makeupDb(const tq4::EngineSettings& s)
{
    if (!s.autoMakeup)
        return 0.0f;
    if (s.learnProfilePresent && s.histogramValid)
        return corrected(histogramMakeup(s), s);
    return staticReduction(-10.0f, s.thresholdDb, s.ratio, std::max(s.kneeDb, 0.01f), s.character) *
           std::clamp(s.mix, 0.0f, 1.0f);
}

// The continuous antiderivative of the clamped shaper a x^2 + b x^3.
float shaperAntiderivative(float x, float a, float b)
{
    if (x > 1.0f)
        return (a + b) * x - 2.0f * a / 3.0f - 3.0f * b / 4.0f;
    if (x < -1.0f)
        return (a - b) * x + 2.0f * a / 3.0f - 3.0f * b / 4.0f;
    return a * x * x * x / 3.0f + b * x * x * x * x / 4.0f;
}

} // namespace

float ReferenceCompressor::Delay::push(float x)
{
    if (ring.empty())
        return x;
    const float out = ring[position];
    ring[position] = x;
    position = (position + 1) % ring.size();
    return out;
}

ReferenceCompressor::ReferenceCompressor(double rate, int channels, int latencySamples)
    : sampleRate(std::max(rate, 8000.0)), numChannels(std::max(channels, 1)), latency(latencySamples)
{
    for (auto* s : {&thresholdDb, &ratio, &kneeDb, &peakRmsBlend, &fetAmount, &optoAmount, &slowReleaseWeight,
                    &fetColour, &makeupGain, &outputGain, &mix})
        s->reset(sampleRate, 0.02);
    processAmount.reset(sampleRate, 0.01);
    for (auto* s : {&makeupGain, &outputGain, &mix, &processAmount})
        s->setCurrentAndTargetValue(1.0f);

    const auto ring = static_cast<size_t>(latency);
    wetDelay.assign(2, Delay{std::vector<float>(ring, 0.0f), 0});
    dryDelay.assign(static_cast<size_t>(numChannels), Delay{std::vector<float>(ring, 0.0f), 0});
    makeupDelay = Delay{std::vector<float>(ring, 0.0f), 0};
    slackDelay = Delay{std::vector<float>(ring, 0.0f), 0};
    wet.assign(2, std::vector<float>(sliceLength));
    dry.assign(static_cast<size_t>(numChannels), std::vector<float>(sliceLength));
    magnitudes.assign(2, std::vector<float>());
    makeupTrack.assign(sliceLength, 0.0f);
    slackTrack.assign(sliceLength, 0.0f);
}

void ReferenceCompressor::setProcessTarget(float target)
{
    processAmount.setTargetValue(target);
}

void ReferenceCompressor::process(juce::AudioBuffer<float>& buffer, int channelCount,
                                  const tq4::EngineSettings& settings)
{
    jassert(!settings.driveOn || settings.drivePercent <= 0.0f);
    const int n = buffer.getNumSamples();
    const int m = std::min(channelCount, buffer.getNumChannels());
    if (n <= 0 || m <= 0)
        return;
    for (auto& track : magnitudes)
        track.assign(static_cast<size_t>(n), 0.0f);
    colourSlack.assign(static_cast<size_t>(n), 0.0f);

    for (int offset = 0; offset < n; offset += sliceLength)
    {
        float* channels[16] = {};
        for (int c = 0; c < m; ++c)
            channels[c] = buffer.getWritePointer(c, offset);
        const int length = std::min(sliceLength, n - offset);
        processSlice(channels, length, m, settings);
        for (int c = 0; c < std::min(m, 2); ++c)
            std::copy(wet[static_cast<size_t>(c)].begin(), wet[static_cast<size_t>(c)].begin() + length,
                      magnitudes[static_cast<size_t>(c)].begin() + offset);
        std::copy(slackTrack.begin(), slackTrack.begin() + length, colourSlack.begin() + offset);
    }
}

float ReferenceCompressor::colour(int c, float xg, float depth, float& slack)
{
    float v = 0.0f;
    if (depth > 0.0f)
    {
        const float a = 0.06f * depth;
        const float b = 0.08f * depth;
        const float p = previousInput[c];
        if (std::abs(xg - p) < 1.0e-5f)
        {
            const float u = std::clamp((xg + p) / 2.0f, -1.0f, 1.0f);
            v = a * u * u + b * u * u * u;
        }
        else
        {
            const float fx = shaperAntiderivative(xg, a, b);
            const float fp = shaperAntiderivative(p, a, b);
            v = (fx - fp) / (xg - p);
            // Eight ulps of each antiderivative, over the step.
            slack += std::ldexp(std::abs(fx) + std::abs(fp), -20) / std::abs(xg - p);
        }
    }
    const float y =
        (1.0f - 31.415928f / static_cast<float>(sampleRate)) * dcOutput[c] + (v - previousColour[c]);
    previousInput[c] = xg;
    previousColour[c] = v;
    dcOutput[c] = y;
    return y;
}

void ReferenceCompressor::processSlice(float* const* in, int n, int m, const tq4::EngineSettings& s)
{
    const Voicing v = voicingOf(s.character);
    const int processed = std::min(m, 2);
    const int dryChannels = std::min(m, numChannels);

    for (int c = 0; c < m; ++c)
        for (int i = 0; i < n; ++i)
            if (!std::isfinite(in[c][i]))
                in[c][i] = 0.0f;
    for (int c = 0; c < dryChannels; ++c)
        std::copy(in[c], in[c] + n, dry[static_cast<size_t>(c)].begin());

    const auto sr = static_cast<float>(sampleRate);
    const auto coefficient = [sr](float seconds)
    { return std::exp(-1.0f / (std::max(seconds, 1.0e-6f) * sr)); };
    const float attackT = std::max(s.attackMs * 0.001f, 0.00005f);
    const float releaseT = std::max((s.autoRelease ? v.autoReleaseMs : s.releaseMs) * 0.001f, 0.001f);
    const float attack = coefficient(attackT);
    const float release = coefficient(releaseT);
    const float slowAttack = coefficient(std::max(0.4f, attackT));
    const float slowRelease = coefficient(std::min(6.0f * std::max(releaseT, 0.001f), 4.0f));
    const float rms = coefficient((v.rmsWindowMs > 0.0f ? v.rmsWindowMs : 5.0f) * 0.001f);
    const float peakRelease = coefficient(v.peakReleaseMs * 0.001f);

    thresholdDb.setTargetValue(s.thresholdDb);
    ratio.setTargetValue(s.ratio);
    kneeDb.setTargetValue(std::max(s.kneeDb, 0.01f));
    peakRmsBlend.setTargetValue(v.peakRmsBlend);
    fetAmount.setTargetValue(s.character == 2 ? 1.0f : 0.0f);
    optoAmount.setTargetValue(s.character == 1 ? 1.0f : 0.0f);
    slowReleaseWeight.setTargetValue(v.slowRelease || s.autoRelease ? 1.0f : 0.0f);
    // With the drive off its amount is 0, so FET colours at full depth.
    fetColour.setTargetValue(v.fetColour ? 1.0f : 0.0f);

    const bool first = !smoothersInitialised;
    if (first)
    {
        for (auto* sm : {&thresholdDb, &ratio, &kneeDb, &peakRmsBlend, &fetAmount, &optoAmount,
                         &slowReleaseWeight, &fetColour, &processAmount})
            sm->setCurrentAndTargetValue(sm->getTargetValue());
        smoothersInitialised = true;
    }

    makeupGain.setTargetValue(gainOf(makeupDb(s)));
    outputGain.setTargetValue(gainOf(s.outputDb));
    mix.setTargetValue(std::clamp(s.mix, 0.0f, 1.0f));
    if (first)
        for (auto* sm : {&makeupGain, &outputGain, &mix})
            sm->setCurrentAndTargetValue(sm->getTargetValue());

    float blockMax = 0.0f;
    for (int i = 0; i < n; ++i)
    {
        float x = 0.0f;
        for (int c = 0; c < m; ++c)
            x = std::max(x, std::abs(in[c][i]));

        if (x > peakEnvelope)
            peakEnvelope = x;
        else
            peakEnvelope = x + (peakEnvelope - x) * peakRelease;
        meanSquare = x * x * (1.0f - rms) + meanSquare * rms;

        const float b = peakRmsBlend.getNextValue();
        float level;
        if (b >= 1.0f)
            level = decibels(peakEnvelope);
        else if (b <= 0.0f)
            level = decibels(std::sqrt(meanSquare));
        else
            level = (1.0f - b) * decibels(std::sqrt(meanSquare)) + b * decibels(peakEnvelope);

        const float slowWeight = slowReleaseWeight.getNextValue();
        const float opto = optoAmount.getNextValue();
        const float fet = fetAmount.getNextValue();
        const float knee = kneeDb.getNextValue();
        const float r = ratio.getNextValue();
        const float threshold = thresholdDb.getNextValue();

        const float over = level - threshold;
        const float gr = gainComputer(over, ratioScale(fet, opto, over, gainReductionDb) * r, knee);
        fastGr = gr + (fastGr - gr) * (gr > fastGr ? attack : release);
        const float h = gr / 2.0f;
        slowGr = h + (slowGr - h) * (h > slowGr ? slowAttack : slowRelease);
        gainReductionDb = std::max(slowGr * slowWeight, fastGr);
        blockMax = std::max(blockMax, gainReductionDb);

        const float gain = -gainReductionDb > -100.0f ? std::pow(10.0f, -gainReductionDb / 20.0f) : 0.0f;
        const float depth = fetColour.getNextValue() * std::clamp(gainReductionDb / 12.0f, 0.0f, 1.0f);
        const float mk = makeupGain.getNextValue();
        float slack = 0.0f;
        for (int c = 0; c < processed; ++c)
        {
            const float xg = gain * in[c][i];
            wet[static_cast<size_t>(c)][static_cast<size_t>(i)] = (xg + colour(c, xg, depth, slack)) * mk;
        }
        makeupTrack[static_cast<size_t>(i)] = mk;
        slackTrack[static_cast<size_t>(i)] = slack * mk;
    }

    // Mid and side, delayed by the latency with the dry copy and the makeup track. With the drive off
    // the side's level follower sees the same mid on both sides and scales it by exactly 1.
    for (int i = 0; i < n; ++i)
    {
        const auto k = static_cast<size_t>(i);
        if (processed == 2)
        {
            const float l = wet[0][k];
            const float r = wet[1][k];
            wet[0][k] = (l + r) / 2.0f;
            wet[1][k] = (l - r) / 2.0f;
        }
        for (int c = 0; c < processed; ++c)
            wet[static_cast<size_t>(c)][k] =
                wetDelay[static_cast<size_t>(c)].push(wet[static_cast<size_t>(c)][k]);
        for (int c = 0; c < dryChannels; ++c)
            dry[static_cast<size_t>(c)][k] =
                dryDelay[static_cast<size_t>(c)].push(dry[static_cast<size_t>(c)][k]);
        makeupTrack[k] = makeupDelay.push(makeupTrack[k]);
        slackTrack[k] = slackDelay.push(slackTrack[k]);
    }

    for (int i = 0; i < n; ++i)
    {
        const auto k = static_cast<size_t>(i);
        const float x = mix.getNextValue();
        const float o = outputGain.getNextValue();
        const float p = processAmount.getNextValue();
        float w[2] = {wet[0][k], 0.0f};
        float size = std::abs(wet[0][k]);
        if (processed == 2)
        {
            w[0] = wet[0][k] + wet[1][k];
            w[1] = wet[0][k] - wet[1][k];
            size += std::abs(wet[1][k]);
        }
        const float mk = makeupTrack[k];
        // Mid and side share the slack of both channels.
        slackTrack[k] *= x * o * p;
        for (int c = 0; c < processed; ++c)
        {
            const float d = c < dryChannels ? dry[static_cast<size_t>(c)][k] : in[c][i];
            in[c][i] = ((x * w[c] + d * mk * (1.0f - x)) * o - d) * p + d;
            // Kept in the wet track, which is free now, until process copies it out. A wet channel decoded
            // from mid and side is as exact as the larger of the two.
            wet[static_cast<size_t>(c)][k] = std::abs(x * size * o * p) +
                                             std::abs(d * mk * (1.0f - x) * o * p) + std::abs(d * p) +
                                             std::abs(d);
        }
    }

    gainReductionMeterDb = processAmount.getCurrentValue() > 0.5f ? blockMax : 0.0f;
}

} // namespace tq4test
