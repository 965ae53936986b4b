#include "learn/LearnStats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{

using namespace tq4;

using Bytes = std::vector<uint8_t>;

LevelTrace sampleTrace()
{
    LevelTrace trace;
    trace.sampleRate = 48000.0;
    trace.hop = 48;
    // Runs of zeros longer than 255 and single codes next to them exercise the run-length coding.
    trace.peak.assign(600, 0);
    trace.rms.assign(600, 0);
    for (size_t i = 300; i < 600; ++i)
    {
        trace.peak[i] = static_cast<uint8_t>(100 + i % 100);
        trace.rms[i] = i % 7 == 0 ? 0 : static_cast<uint8_t>(90 + i % 50);
    }
    return trace;
}

LearnStats sampleStats()
{
    LearnStats stats;
    stats.valid = true;
    stats.peakDb = -1.25f;
    stats.rmsDb = -14.5f;
    stats.crestDb = 13.25f;
    stats.p50Db = -18.1f;
    stats.p75Db = -16.3f;
    stats.p90Db = -15.2f;
    stats.p95Db = -14.9f;
    stats.riseMs = 3.7f;
    stats.riseCount = 41;
    stats.onsetRate = 4.2f;
    stats.onsetIntervalMs = 238.0f;
    stats.decayMs = 87.5f;
    stats.decayCount = 39;
    stats.hfRatio = 0.31f;
    stats.sustain = 0.44f;
    stats.seconds = 8.0f;
    stats.trace = sampleTrace();
    return stats;
}

void expectDefaults(const LearnStats& stats)
{
    const LearnStats d;
    EXPECT_FALSE(stats.valid);
    EXPECT_EQ(stats.peakDb, d.peakDb);
    EXPECT_EQ(stats.rmsDb, d.rmsDb);
    EXPECT_EQ(stats.crestDb, d.crestDb);
    EXPECT_EQ(stats.p50Db, d.p50Db);
    EXPECT_EQ(stats.p95Db, d.p95Db);
    EXPECT_EQ(stats.riseMs, d.riseMs);
    EXPECT_EQ(stats.riseCount, d.riseCount);
    EXPECT_EQ(stats.onsetIntervalMs, d.onsetIntervalMs);
    EXPECT_EQ(stats.decayMs, d.decayMs);
    EXPECT_EQ(stats.decayCount, d.decayCount);
    EXPECT_EQ(stats.seconds, d.seconds);
    EXPECT_EQ(stats.trace.sampleRate, 0.0);
    EXPECT_EQ(stats.trace.hop, 0);
    EXPECT_TRUE(stats.trace.peak.empty());
    EXPECT_TRUE(stats.trace.rms.empty());
}

juce::String base64(const Bytes& bytes)
{
    return juce::Base64::toBase64(bytes.data(), bytes.size());
}

} // namespace

TEST(LevelCode, HalfDecibelStepsFromMinus100)
{
    struct Case
    {
        double levelDb;
        int code;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {-100.0, 0}, {-150.0, 0},    {-99.5, 1},  {-99.76, 0}, // rounds down to the silence code
        {0.0, 200},  {-3.0103, 194}, {27.5, 255}, {40.0, 255}, {std::nan(""), 0}, {inf, 0}, {-inf, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(levelCode(c.levelDb), c.code) << c.levelDb;
}

TEST(RunLengthCoding, ZeroRunsBecomeCountedPairs)
{
    struct Case
    {
        const char* name;
        Bytes plain;
        Bytes coded;
    };
    const Case cases[] = {
        {"short run", {5, 0, 0, 0, 7}, {5, 0, 3, 7}},
        {"300 zeros", Bytes(300, 0), {0, 255, 0, 45}},
        {"255 zeros", Bytes(255, 0), {0, 255}},
        {"256 zeros", Bytes(256, 0), {0, 255, 0, 1}},
        {"no zeros", {1, 2, 255}, {1, 2, 255}},
        {"trailing zero", {9, 0}, {9, 0, 1}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(runLengthEncode(c.plain), c.coded) << c.name;

        Bytes decoded{42};
        EXPECT_TRUE(runLengthDecode(c.coded.data(), c.coded.size(), c.plain.size(), decoded)) << c.name;
        EXPECT_EQ(decoded, c.plain) << c.name;
    }
}

TEST(RunLengthCoding, DecodeRejectsDamage)
{
    struct Case
    {
        const char* name;
        Bytes coded;
        size_t expected;
    };
    const Case cases[] = {
        {"zero run count", {5, 0, 0, 7}, 2}, {"missing run count", {5, 7, 0}, 3},
        {"one byte short", {5, 0, 3, 7}, 6}, {"one byte long", {5, 0, 3, 7}, 4},
        {"run past the end", {0, 200}, 100},
    };
    for (const auto& c : cases)
    {
        Bytes decoded{1, 2, 3};
        EXPECT_FALSE(runLengthDecode(c.coded.data(), c.coded.size(), c.expected, decoded)) << c.name;
        EXPECT_TRUE(decoded.empty()) << c.name;
    }
}

TEST(TraceText, RoundTripsThroughItsTextForm)
{
    const auto trace = sampleTrace();
    const auto text = traceToText(trace);
    EXPECT_TRUE(text.startsWith("48000.0:48:600:")) << text;

    LevelTrace read;
    ASSERT_TRUE(traceFromText(text, read));
    EXPECT_EQ(read.sampleRate, trace.sampleRate);
    EXPECT_EQ(read.hop, trace.hop);
    EXPECT_EQ(read.peak, trace.peak);
    EXPECT_EQ(read.rms, trace.rms);

    // The stored lists are the run-length coded bytes in Base64.
    const auto fields = juce::StringArray::fromTokens(text, ":", "");
    EXPECT_EQ(fields[3], base64(runLengthEncode(trace.peak)));

    EXPECT_TRUE(traceToText(LevelTrace{}).isEmpty());
}

TEST(TraceText, MalformedTextsAreRejected)
{
    const juce::String two = base64({5, 7}); // two frames
    struct Case
    {
        const char* name;
        juce::String text;
    };
    const Case cases[] = {
        {"four fields", "48000.0:48:2:" + two},
        {"six fields", "48000.0:48:2:" + two + ":" + two + ":"},
        {"rate below 8000", "7999.0:48:2:" + two + ":" + two},
        {"rate above 768000", "768000.5:48:2:" + two + ":" + two},
        {"rate not a number", "fast:48:2:" + two + ":" + two},
        {"signed rate", "-48000.0:48:2:" + two + ":" + two},
        {"hop zero", "48000.0:0:2:" + two + ":" + two},
        {"hop too large", "48000.0:1048577:2:" + two + ":" + two},
        {"hop not an integer", "48000.0:4.8:2:" + two + ":" + two},
        {"no frames", "48000.0:48:0:" + two + ":" + two},
        {"list one byte short", "48000.0:48:3:" + two + ":" + base64({5, 7, 9})},
        {"bad Base64", "48000.0:48:2:" + two + ":BQc*"},
        {"truncated Base64", "48000.0:48:2:" + two + ":BQ"},
        {"zero run count", "48000.0:48:2:" + two + ":" + base64({0, 0, 5, 7})},
        {"empty list", "48000.0:48:2:" + two + ":"},
        {"empty", ""},
    };
    for (const auto& c : cases)
    {
        LevelTrace trace = sampleTrace();
        EXPECT_FALSE(traceFromText(c.text, trace)) << c.name;
        EXPECT_FALSE(isValidTrace(trace)) << c.name;
        EXPECT_TRUE(trace.peak.empty() && trace.rms.empty()) << c.name;
    }

    LevelTrace trace;
    EXPECT_TRUE(traceFromText("8000.0:1:2:" + two + ":" + two, trace)) << "lowest legal rate";
}

TEST(LearnStatsState, WritesThePropertiesInOrderAndReadsThemBack)
{
    const auto stats = sampleStats();
    juce::ValueTree state("PARAMETERS");
    writeLearnStats(state, stats);

    const char* expected[] = {"tq4LearnValid",  "tq4LearnP50",     "tq4LearnP75",       "tq4LearnP90",
                              "tq4LearnP95",    "tq4LearnPeak",    "tq4LearnRms",       "tq4LearnCrest",
                              "tq4LearnRise",   "tq4LearnDecay",   "tq4LearnOnsetRate", "tq4LearnOnsetIvl",
                              "tq4LearnHf",     "tq4LearnSustain", "tq4LearnSeconds",   "tq4LearnRiseN",
                              "tq4LearnDecayN", "tq4LearnTrace"};
    ASSERT_EQ(state.getNumProperties(), static_cast<int>(std::size(expected)));
    for (int i = 0; i < state.getNumProperties(); ++i)
        EXPECT_EQ(state.getPropertyName(i).toString(), juce::String(expected[i])) << i;
    EXPECT_TRUE(state.getProperty("tq4LearnP50").isDouble());
    EXPECT_TRUE(state.getProperty("tq4LearnRiseN").isInt());

    // Straight from the tree, and through the XML a host saves, where every value becomes text.
    const auto restored = juce::ValueTree::fromXml(*state.createXml());
    for (const auto& tree : {state, restored})
    {
        LearnStats read;
        ASSERT_TRUE(readLearnStats(tree, read));
        EXPECT_TRUE(read.valid);
        EXPECT_EQ(read.p50Db, stats.p50Db);
        EXPECT_EQ(read.p95Db, stats.p95Db);
        EXPECT_EQ(read.peakDb, stats.peakDb);
        EXPECT_EQ(read.crestDb, stats.crestDb);
        EXPECT_EQ(read.riseMs, stats.riseMs);
        EXPECT_EQ(read.riseCount, stats.riseCount);
        EXPECT_EQ(read.onsetRate, stats.onsetRate);
        EXPECT_EQ(read.onsetIntervalMs, stats.onsetIntervalMs);
        EXPECT_EQ(read.decayMs, stats.decayMs);
        EXPECT_EQ(read.decayCount, stats.decayCount);
        EXPECT_EQ(read.hfRatio, stats.hfRatio);
        EXPECT_EQ(read.sustain, stats.sustain);
        EXPECT_EQ(read.seconds, stats.seconds);
        EXPECT_EQ(read.trace.sampleRate, stats.trace.sampleRate);
        EXPECT_EQ(read.trace.peak, stats.trace.peak);
        EXPECT_EQ(read.trace.rms, stats.trace.rms);
    }
}

TEST(LearnStatsState, AnInvalidTraceRemovesTheStoredText)
{
    juce::ValueTree state("PARAMETERS");
    writeLearnStats(state, sampleStats());
    ASSERT_TRUE(state.hasProperty("tq4LearnTrace"));

    auto stats = sampleStats();
    stats.trace.rms.pop_back();
    writeLearnStats(state, stats);
    EXPECT_FALSE(state.hasProperty("tq4LearnTrace"));

    LearnStats read;
    EXPECT_FALSE(readLearnStats(state, read));
    expectDefaults(read);
}

TEST(LearnStatsState, NoLearnOrACorruptTraceReadsAsNoLearn)
{
    const juce::String two = base64({5, 7});
    struct Case
    {
        const char* name;
        juce::var valid;
        juce::var trace; // void: property absent
    };
    const Case cases[] = {
        {"valid flag missing", {}, "48000.0:48:2:" + two + ":" + two},
        {"valid flag false", false, "48000.0:48:2:" + two + ":" + two},
        {"trace missing", true, {}},
        {"four fields", true, "48000.0:48:2:" + two},
        {"rate 7999.0", true, "7999.0:48:2:" + two + ":" + two},
        {"list one byte short", true, "48000.0:48:3:" + two + ":" + base64({5, 7, 9})},
        {"bad Base64", true, "48000.0:48:2:" + two + ":!!!!"},
        {"zero run count", true, "48000.0:48:2:" + two + ":" + base64({0, 0, 5, 7})},
    };
    for (const auto& c : cases)
    {
        juce::ValueTree state("PARAMETERS");
        writeLearnStats(state, sampleStats());
        if (c.valid.isVoid())
            state.removeProperty("tq4LearnValid", nullptr);
        else
            state.setProperty("tq4LearnValid", c.valid, nullptr);
        if (c.trace.isVoid())
            state.removeProperty("tq4LearnTrace", nullptr);
        else
            state.setProperty("tq4LearnTrace", c.trace, nullptr);

        LearnTraceCache cache;
        for (LearnTraceCache* usedCache : {static_cast<LearnTraceCache*>(nullptr), &cache})
        {
            LearnStats read = sampleStats();
            EXPECT_FALSE(readLearnStats(state, read, usedCache)) << c.name;
            SCOPED_TRACE(c.name);
            expectDefaults(read);
        }
    }
}

TEST(LearnStatsState, MissingNumbersReadAsZero)
{
    juce::ValueTree state("PARAMETERS");
    state.setProperty("tq4LearnValid", true, nullptr);
    state.setProperty("tq4LearnTrace", traceToText(sampleTrace()), nullptr);

    LearnStats read;
    ASSERT_TRUE(readLearnStats(state, read));
    EXPECT_EQ(read.p50Db, 0.0f);
    EXPECT_EQ(read.riseMs, 0.0f);
    EXPECT_EQ(read.onsetIntervalMs, 0.0f);
    EXPECT_EQ(read.decayCount, 0);
}

TEST(LearnStatsState, TheCacheDecodesEachTextOnce)
{
    juce::ValueTree state("PARAMETERS");
    writeLearnStats(state, sampleStats());

    // A cache already holding this text is used as it is: its lists come back although they differ
    // from what the text would decode to.
    LearnTraceCache cache;
    cache.filled = true;
    cache.text = state.getProperty("tq4LearnTrace").toString();
    cache.trace.sampleRate = 44100.0;
    cache.trace.hop = 44;
    cache.trace.peak = {1, 2, 3};
    cache.trace.rms = {4, 5, 6};

    LearnStats read;
    ASSERT_TRUE(readLearnStats(state, read, &cache));
    EXPECT_EQ(read.trace.hop, 44);
    EXPECT_EQ(read.trace.peak, Bytes({1, 2, 3}));

    // Equal text in another string object is still a hit.
    state.setProperty("tq4LearnTrace", juce::String(cache.text.toRawUTF8()), nullptr);
    ASSERT_TRUE(readLearnStats(state, read, &cache));
    EXPECT_EQ(read.trace.hop, 44);

    // A new text is decoded and replaces the cache.
    auto other = sampleTrace();
    other.hop = 96;
    state.setProperty("tq4LearnTrace", traceToText(other), nullptr);
    ASSERT_TRUE(readLearnStats(state, read, &cache));
    EXPECT_EQ(read.trace.hop, 96);
    EXPECT_EQ(read.trace.peak, other.peak);
    EXPECT_EQ(cache.trace.hop, 96);
    EXPECT_EQ(cache.text, state.getProperty("tq4LearnTrace").toString());
}
