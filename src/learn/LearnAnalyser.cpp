#include "learn/LearnAnalyser.h"

#include "learn/Quantile.h"

#include <algorithm>
#include <cmath>

namespace tq4
{

namespace
{

constexpr double countedSecondsNeeded = 8.0;
constexpr float countedBlockFloorDb = -60.0f;
constexpr size_t maxBlockLevels = 20000;
constexpr size_t maxOnsetEntries = 5000;
constexpr float onsetFloor = 0.0019952623f; // 10^-2.7, about -54 dBFS

float levelDb(double meanSquare) noexcept
{
    if (!(meanSquare > 0.0))
        return -100.0f;
    return static_cast<float>(std::max(10.0 * std::log10(meanSquare), -100.0));
}

float median(std::vector<float> values) noexcept
{
    std::sort(values.begin(), values.end());
    return sortedQuantile(values, 0.5, 0.0f);
}

LevelTrace buildTrace(const std::vector<float>& samples, double sampleRate)
{
    LevelTrace trace;
    trace.sampleRate = sampleRate;
    trace.hop = std::max(static_cast<int>(std::lround(sampleRate * 0.001)), 1);

    const size_t hop = static_cast<size_t>(trace.hop);
    const size_t frames = (samples.size() + hop - 1) / hop;
    trace.peak.reserve(frames);
    trace.rms.reserve(frames);

    for (size_t start = 0; start < samples.size(); start += hop)
    {
        const size_t end = std::min(start + hop, samples.size());
        float peak = 0.0f;
        double sum = 0.0;
        for (size_t i = start; i < end; ++i)
        {
            peak = std::max(peak, std::abs(samples[i]));
            sum += static_cast<double>(samples[i]) * samples[i];
        }
        const double peakDb =
            peak > 0.0f ? std::max(20.0 * std::log10(static_cast<double>(peak)), -100.0) : -100.0;
        const double rmsDb = 10.0 * std::log10(std::max(sum / static_cast<double>(end - start), 1.0e-12));
        trace.peak.push_back(levelCode(peakDb));
        trace.rms.push_back(levelCode(rmsDb));
    }
    return trace;
}

} // namespace

LearnAnalyser::LearnAnalyser()
{
    prepare(44100.0);
}

void LearnAnalyser::prepare(double newSampleRate)
{
    // Also catches a NaN rate.
    const double sr = newSampleRate > 8000.0 ? newSampleRate : 8000.0;
    sampleRate = sr;
    blockSize = std::max(static_cast<int>(sr * 50.0 * 0.001), 1);
    captureLimit = static_cast<uint64_t>(sr * 40.0);
    countTarget = static_cast<int64_t>(sr * countedSecondsNeeded);
    validMinimum = static_cast<int64_t>(sr * 0.5);
    minOnsetGap = static_cast<int64_t>(sr * 30.0 * 0.001);
    maxOnsetAge = static_cast<int>(sr * 0.02);
    attackCoeff = std::exp(static_cast<float>(-1.0 / (sr * 0.0005)));
    releaseCoeff = std::exp(static_cast<float>(-1.0 / (sr * 0.02)));
    lowpassCoeff = std::exp(static_cast<float>(-12566.371 / sr)); // 2 kHz split

    envelopeRing.assign(static_cast<size_t>(std::max(static_cast<int>(sr * 0.3), 1)), 0.0f);
    blockLevels.reserve(maxBlockLevels);
    riseTimes.reserve(maxOnsetEntries);
    decayTimes.reserve(maxOnsetEntries);
    onsetPositions.reserve(maxOnsetEntries);

    reset();
}

void LearnAnalyser::reset()
{
    countedSamples = 0;
    totalSamples = 0;
    peakMax = 0.0f;
    sumSquares = 0.0;
    blockSumSquares = 0.0;
    blockFill = 0;
    blockLevels.clear();

    envelope = 0.0f;
    std::fill(envelopeRing.begin(), envelopeRing.end(), 0.0f);
    ringIndex = 0;

    onsetState = 0;
    onsetPeak = 0.0f;
    onsetBaseline = 1.0e-6f;
    onsetPeakIndex = 0;
    onsetAge = 0;
    lastOnsetPosition = -1000000;

    decayActive = false;
    decayStart = 0;
    decayLevel = 0.0f;

    riseTimes.clear();
    decayTimes.clear();
    onsetPositions.clear();

    lowpass = 0.0f;
    highEnergy = 0.0;
    totalEnergy = 0.0;
    sustainSamples = 0;

    monoCapture.clear();
    leftCapture.clear();
    rightCapture.clear();
}

void LearnAnalyser::analyseSamples(const float* mono, const float* left, const float* right, int count)
{
    if (mono == nullptr)
        return;

    const bool stereo = left != nullptr && right != nullptr;
    for (int i = 0; i < count && countedSamples < countTarget; ++i)
    {
        const auto index = static_cast<size_t>(i);
        const float x = std::isfinite(mono[index]) ? mono[index] : 0.0f;
        analyseSample(x);

        if (monoCapture.size() < captureLimit)
        {
            monoCapture.push_back(x);
            if (stereo)
            {
                leftCapture.push_back(left[index]);
                rightCapture.push_back(right[index]);
            }
        }
    }
}

void LearnAnalyser::analyseSample(float x)
{
    const size_t n = envelopeRing.size();
    const float a = std::abs(x);
    envelope = a + (envelope - a) * (envelope < a ? attackCoeff : releaseCoeff);
    envelopeRing[static_cast<size_t>(ringIndex)] = envelope;

    peakMax = std::max(peakMax, a);
    const double square = static_cast<double>(x) * x;
    totalEnergy += square;
    lowpass = (lowpass - x) * lowpassCoeff + x;
    const double high = static_cast<double>(x) - lowpass;
    highEnergy += high * high;
    sumSquares += square;
    blockSumSquares += square;

    const float before = envelopeRing[(static_cast<size_t>(ringIndex) + n - 1) % n];
    trackOnset(envelope, before);
    trackDecay(envelope);

    if (++blockFill >= blockSize)
        closeBlock();

    if (peakMax > 0.0f && envelope > 0.1f * peakMax)
        ++sustainSamples;

    ++totalSamples;
    ringIndex = static_cast<int>((static_cast<size_t>(ringIndex) + 1) % n);
}

void LearnAnalyser::trackOnset(float envelopeNow, float envelopeBefore)
{
    if (onsetState == 0)
    {
        if (envelopeNow > onsetFloor && envelopeNow - envelopeBefore > 0.0005f &&
            totalSamples - lastOnsetPosition > minOnsetGap)
        {
            onsetState = 1;
            onsetBaseline = std::max(1.0e-6f, envelopeBefore);
            onsetPeak = envelopeNow;
            onsetAge = 0;
            onsetPeakIndex = ringIndex;
        }
        return;
    }

    if (envelopeNow > onsetPeak)
    {
        onsetPeak = envelopeNow;
        onsetAge = 0;
        onsetPeakIndex = ringIndex;
    }
    else if (envelopeNow < 0.95f * onsetPeak)
    {
        // A rise that is too small relative to what came before is only a wobble.
        if (onsetPeak > 1.8f * onsetBaseline)
            acceptOnset();
        onsetState = 0;
    }
    else if (++onsetAge > maxOnsetAge)
    {
        onsetState = 0;
    }
}

void LearnAnalyser::acceptOnset()
{
    measureRise();

    if (onsetPositions.size() < maxOnsetEntries)
        onsetPositions.push_back(totalSamples);
    lastOnsetPosition = totalSamples;
    decayStart = totalSamples;
    decayLevel = onsetPeak;
    decayActive = true;
}

void LearnAnalyser::measureRise()
{
    const int n = static_cast<int>(envelopeRing.size());
    int from90 = -1;
    int to10 = -1;
    for (int k = 0; k < n; ++k)
    {
        const float value = envelopeRing[static_cast<size_t>((onsetPeakIndex - k + n) % n)];
        if (from90 < 0 && value <= 0.9f * onsetPeak)
            from90 = k;
        if (value <= 0.1f * onsetPeak)
        {
            to10 = k;
            break;
        }
    }

    if (from90 < 0 || to10 <= from90)
        return;

    const auto riseMs = static_cast<float>((to10 - from90) / sampleRate * 1000.0);
    if (riseMs > 0.0f && riseMs < 300.0f && riseTimes.size() < maxOnsetEntries)
        riseTimes.push_back(riseMs);
}

void LearnAnalyser::trackDecay(float envelopeNow)
{
    if (!decayActive)
        return;

    if (decayTimes.size() >= maxOnsetEntries)
    {
        decayActive = false;
        return;
    }

    // Time to fall to 1/e of the onset's peak, capped at half a second.
    const double seconds = static_cast<double>(totalSamples - decayStart) / sampleRate;
    if (envelopeNow <= 0.368f * decayLevel)
    {
        decayTimes.push_back(static_cast<float>(seconds * 1000.0));
        decayActive = false;
    }
    else if (seconds > 0.5)
    {
        decayTimes.push_back(500.0f);
        decayActive = false;
    }
}

void LearnAnalyser::closeBlock()
{
    const float level = levelDb(blockSumSquares / blockSize);
    if (level > countedBlockFloorDb)
    {
        if (blockLevels.size() < maxBlockLevels)
            blockLevels.push_back(level);
        countedSamples += blockSize;
    }
    blockSumSquares = 0.0;
    blockFill = 0;
}

LearnProgress LearnAnalyser::progress() const noexcept
{
    LearnProgress p;
    p.progress = static_cast<float>(
        std::clamp(static_cast<double>(countedSamples) / (sampleRate * countedSecondsNeeded), 0.0, 1.0));
    const double heard = static_cast<double>(totalSamples) / sampleRate;
    p.signalLow = heard > 3.0 && p.progress < 0.05f;
    p.secondsHeard = static_cast<float>(heard);
    return p;
}

LearnStats LearnAnalyser::computeLearnStats() const
{
    LearnStats stats;
    if (countedSamples < validMinimum || blockLevels.empty())
        return stats;

    stats.valid = true;
    const double seconds = static_cast<double>(countedSamples) / sampleRate;
    stats.seconds = static_cast<float>(seconds);
    stats.peakDb = peakMax > 0.0f ? levelDb(static_cast<double>(peakMax) * peakMax) : -100.0f;
    stats.rmsDb = levelDb(sumSquares / static_cast<double>(std::max<int64_t>(totalSamples, 1)));
    stats.crestDb = std::max(stats.peakDb - stats.rmsDb, 0.0f);

    auto levels = blockLevels;
    std::sort(levels.begin(), levels.end());
    stats.p50Db = sortedQuantile(levels, 0.5, -100.0f);
    stats.p75Db = sortedQuantile(levels, 0.75, -100.0f);
    stats.p90Db = sortedQuantile(levels, 0.9, -100.0f);
    stats.p95Db = sortedQuantile(levels, 0.95, -100.0f);

    if (!riseTimes.empty())
    {
        stats.riseMs = median(riseTimes);
        stats.riseCount = static_cast<int>(riseTimes.size());
    }
    if (!decayTimes.empty())
    {
        stats.decayMs = median(decayTimes);
        stats.decayCount = static_cast<int>(decayTimes.size());
    }

    if (!onsetPositions.empty() && seconds > 0.0)
    {
        stats.onsetRate = static_cast<float>(static_cast<double>(onsetPositions.size()) / seconds);
        if (onsetPositions.size() >= 2)
        {
            std::vector<float> intervals;
            intervals.reserve(onsetPositions.size() - 1);
            for (size_t i = 1; i < onsetPositions.size(); ++i)
                intervals.push_back(static_cast<float>(
                    static_cast<double>(onsetPositions[i] - onsetPositions[i - 1]) / sampleRate * 1000.0));
            stats.onsetIntervalMs = median(std::move(intervals));
        }
        else
        {
            stats.onsetIntervalMs = 1000.0f;
        }
    }

    if (totalEnergy > 0.0)
        stats.hfRatio = static_cast<float>(std::clamp(highEnergy / totalEnergy, 0.0, 1.0));
    if (countedSamples > 0)
        stats.sustain = static_cast<float>(
            std::clamp(static_cast<double>(sustainSamples) / static_cast<double>(countedSamples), 0.0, 1.0));

    stats.trace = buildTrace(monoCapture, sampleRate);
    return stats;
}

LearnCaptures LearnAnalyser::takeCaptures()
{
    LearnCaptures captures{std::move(monoCapture), std::move(leftCapture), std::move(rightCapture)};
    monoCapture.clear();
    leftCapture.clear();
    rightCapture.clear();
    return captures;
}

} // namespace tq4
