#include "learn/LearnStats.h"

#include <algorithm>
#include <cmath>

namespace tq4
{

namespace
{

const juce::Identifier validId{"tq4LearnValid"};
const juce::Identifier traceId{"tq4LearnTrace"};
const juce::Identifier riseCountId{"tq4LearnRiseN"};
const juce::Identifier decayCountId{"tq4LearnDecayN"};

// The stored numbers, in the order they are written.
struct NumberField
{
    juce::Identifier name;
    float LearnStats::*field;
};

const NumberField numberFields[] = {
    {"tq4LearnP50", &LearnStats::p50Db},
    {"tq4LearnP75", &LearnStats::p75Db},
    {"tq4LearnP90", &LearnStats::p90Db},
    {"tq4LearnP95", &LearnStats::p95Db},
    {"tq4LearnPeak", &LearnStats::peakDb},
    {"tq4LearnRms", &LearnStats::rmsDb},
    {"tq4LearnCrest", &LearnStats::crestDb},
    {"tq4LearnRise", &LearnStats::riseMs},
    {"tq4LearnDecay", &LearnStats::decayMs},
    {"tq4LearnOnsetRate", &LearnStats::onsetRate},
    {"tq4LearnOnsetIvl", &LearnStats::onsetIntervalMs},
    {"tq4LearnHf", &LearnStats::hfRatio},
    {"tq4LearnSustain", &LearnStats::sustain},
    {"tq4LearnSeconds", &LearnStats::seconds},
};

constexpr double minTraceRate = 8000.0;
constexpr double maxTraceRate = 768000.0;
constexpr juce::int64 maxTraceHop = 1048576;
constexpr juce::int64 maxTraceFrames = 16777216;

bool isDigit(juce::juce_wchar c) noexcept
{
    return c >= '0' && c <= '9';
}

// Only plain digits: the writer never produces signs, exponents or spaces, so anything else is damage.
bool parseCount(const juce::String& field, juce::int64& value)
{
    if (field.isEmpty() || field.length() > 10)
        return false;
    for (auto p = field.getCharPointer(); !p.isEmpty(); ++p)
        if (!isDigit(*p))
            return false;
    value = field.getLargeIntValue();
    return true;
}

bool parseRate(const juce::String& field, double& value)
{
    if (field.isEmpty() || field.length() > 24)
        return false;
    int digits = 0, points = 0;
    for (auto p = field.getCharPointer(); !p.isEmpty(); ++p)
    {
        if (isDigit(*p))
            ++digits;
        else if (*p == '.' && ++points == 1)
            continue;
        else
            return false;
    }
    if (digits == 0)
        return false;
    value = field.getDoubleValue();
    return std::isfinite(value);
}

bool decodeList(const juce::String& field, size_t frames, std::vector<uint8_t>& list)
{
    juce::MemoryOutputStream coded;
    if (!juce::Base64::convertFromBase64(coded, field))
        return false;
    return runLengthDecode(static_cast<const uint8_t*>(coded.getData()), coded.getDataSize(), frames, list);
}

juce::String encodeList(const std::vector<uint8_t>& list)
{
    const auto coded = runLengthEncode(list);
    return juce::Base64::toBase64(coded.data(), coded.size());
}

const LevelTrace& decodeCached(const juce::String& text, LearnTraceCache& cache)
{
    const bool sameText =
        cache.filled && (text.getCharPointer() == cache.text.getCharPointer() || text == cache.text);
    if (!sameText)
    {
        cache.filled = true;
        cache.text = text;
        traceFromText(text, cache.trace);
    }
    return cache.trace;
}

} // namespace

uint8_t levelCode(double levelDb) noexcept
{
    if (!std::isfinite(levelDb) || levelDb <= -100.0)
        return 0;
    const double code = std::round((levelDb + 100.0) * 2.0);
    return static_cast<uint8_t>(std::clamp(code, 0.0, 255.0));
}

bool isValidTrace(const LevelTrace& trace) noexcept
{
    return trace.sampleRate > 0.0 && trace.hop > 0 && !trace.peak.empty() &&
           trace.peak.size() == trace.rms.size();
}

std::vector<uint8_t> runLengthEncode(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> coded;
    coded.reserve(bytes.size());

    for (size_t i = 0; i < bytes.size();)
    {
        if (bytes[i] != 0)
        {
            coded.push_back(bytes[i++]);
            continue;
        }

        size_t run = 0;
        while (i < bytes.size() && bytes[i] == 0 && run < 255)
        {
            ++run;
            ++i;
        }
        coded.push_back(0);
        coded.push_back(static_cast<uint8_t>(run));
    }
    return coded;
}

bool runLengthDecode(const uint8_t* coded, size_t codedSize, size_t expectedCount, std::vector<uint8_t>& out)
{
    out.clear();
    const auto reject = [&out]
    {
        out.clear();
        return false;
    };

    for (size_t i = 0; i < codedSize; ++i)
    {
        const uint8_t b = coded[i];
        if (b != 0)
        {
            if (out.size() >= expectedCount)
                return reject();
            out.push_back(b);
            continue;
        }

        if (i + 1 >= codedSize)
            return reject();
        const size_t run = coded[++i];
        if (run == 0 || out.size() + run > expectedCount)
            return reject();
        out.insert(out.end(), run, uint8_t{0});
    }

    if (out.size() != expectedCount)
        return reject();
    return true;
}

juce::String traceToText(const LevelTrace& trace)
{
    if (!isValidTrace(trace))
        return {};

    return juce::String(trace.sampleRate, 1) + ":" + juce::String(trace.hop) + ":" +
           juce::String(static_cast<juce::int64>(trace.peak.size())) + ":" + encodeList(trace.peak) + ":" +
           encodeList(trace.rms);
}

bool traceFromText(const juce::String& text, LevelTrace& trace)
{
    trace = {};

    const auto fields = juce::StringArray::fromTokens(text, ":", "");
    if (fields.size() != 5)
        return false;

    double sampleRate = 0.0;
    juce::int64 hop = 0, frames = 0;
    if (!parseRate(fields[0], sampleRate) || sampleRate < minTraceRate || sampleRate > maxTraceRate)
        return false;
    if (!parseCount(fields[1], hop) || hop < 1 || hop > maxTraceHop)
        return false;
    if (!parseCount(fields[2], frames) || frames < 1 || frames > maxTraceFrames)
        return false;

    LevelTrace read;
    const auto frameCount = static_cast<size_t>(frames);
    if (!decodeList(fields[3], frameCount, read.peak) || !decodeList(fields[4], frameCount, read.rms))
        return false;

    read.sampleRate = sampleRate;
    read.hop = static_cast<int>(hop);
    trace = std::move(read);
    return true;
}

bool readLearnStats(const juce::ValueTree& state, LearnStats& stats, LearnTraceCache* cache)
{
    stats = {};
    if (!static_cast<bool>(state.getProperty(validId, false)))
        return false;

    stats.valid = true;
    for (const auto& number : numberFields)
        stats.*number.field = static_cast<float>(static_cast<double>(state.getProperty(number.name, 0.0)));
    stats.riseCount = static_cast<int>(state.getProperty(riseCountId, 0));
    stats.decayCount = static_cast<int>(state.getProperty(decayCountId, 0));

    const juce::String text = state.getProperty(traceId).toString();
    if (cache != nullptr)
        stats.trace = decodeCached(text, *cache);
    else
        traceFromText(text, stats.trace);

    if (!isValidTrace(stats.trace))
    {
        stats = {};
        return false;
    }
    return true;
}

void writeLearnStats(juce::ValueTree& state, const LearnStats& stats)
{
    state.setProperty(validId, stats.valid, nullptr);
    for (const auto& number : numberFields)
        state.setProperty(number.name, static_cast<double>(stats.*number.field), nullptr);
    state.setProperty(riseCountId, stats.riseCount, nullptr);
    state.setProperty(decayCountId, stats.decayCount, nullptr);

    const auto text = traceToText(stats.trace);
    if (text.isEmpty())
        state.removeProperty(traceId, nullptr);
    else
        state.setProperty(traceId, text, nullptr);
}

} // namespace tq4
