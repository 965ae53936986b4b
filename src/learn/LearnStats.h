#pragma once

#include <juce_data_structures/juce_data_structures.h>

#include <cstdint>
#include <vector>

namespace tq4
{

// The measured result of a learn run, its compact 1 ms level trace, and their stored form under the
// tq4Learn properties of the state tree.

// Per-frame peak and RMS level codes of the learned audio: 0 is -100 dBFS or below, otherwise a code
// b stands for b * 0.5 - 100 dBFS.
struct LevelTrace
{
    double sampleRate = 0.0;
    int hop = 0; // samples per frame
    std::vector<uint8_t> peak;
    std::vector<uint8_t> rms;
};

struct LearnStats
{
    bool valid = false;
    float peakDb = -100.0f;
    float rmsDb = -100.0f;
    float crestDb = 0.0f;
    float p50Db = -100.0f;
    float p75Db = -100.0f;
    float p90Db = -100.0f;
    float p95Db = -100.0f;
    float riseMs = 10.0f;
    int riseCount = 0;
    float onsetRate = 0.0f; // onsets per counted second
    float onsetIntervalMs = 1000.0f;
    float decayMs = 200.0f;
    int decayCount = 0;
    float hfRatio = 0.0f; // energy share above 2 kHz
    float sustain = 0.0f; // share of counted samples whose envelope stays above a tenth of the peak
    float seconds = 0.0f; // counted seconds
    LevelTrace trace;
};

// Half a decibel per code step from -100 dBFS; non-finite levels code 0.
uint8_t levelCode(double levelDb) noexcept;

bool isValidTrace(const LevelTrace& trace) noexcept;

// A non-zero byte stands for itself; a zero byte is followed by the length (1 to 255) of its run.
std::vector<uint8_t> runLengthEncode(const std::vector<uint8_t>& bytes);

// Strict inverse of runLengthEncode: false, with out emptied, for a zero count, a missing count or a
// result that is not exactly expectedCount bytes long.
bool runLengthDecode(const uint8_t* coded, size_t codedSize, size_t expectedCount, std::vector<uint8_t>& out);

// "rate:hop:frames:peak:rms" with both lists run-length coded and in Base64; empty for an invalid
// trace.
juce::String traceToText(const LevelTrace& trace);

// Any malformed field leaves the trace empty and returns false.
bool traceFromText(const juce::String& text, LevelTrace& trace);

// The last trace text readLearnStats decoded: the target control reads the stored learn on every timer
// tick, and the text rarely changes.
struct LearnTraceCache
{
    bool filled = false;
    juce::String text;
    LevelTrace trace; // empty when the text was rejected
};

// True only when tq4LearnValid is set and a valid trace was read; otherwise stats holds the defaults.
// Callers hold the state lock.
bool readLearnStats(const juce::ValueTree& state, LearnStats& stats, LearnTraceCache* cache = nullptr);

// Writes every stored field; an invalid trace removes tq4LearnTrace.
void writeLearnStats(juce::ValueTree& state, const LearnStats& stats);

} // namespace tq4
