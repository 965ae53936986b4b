#include "plugin/PluginProcessor.h"

#include <gtest/gtest.h>

namespace
{

// The text conversions are reached through the host-facing base class, as a host does.
juce::RangedAudioParameter& floatParameter(TQ4AudioProcessor& p, const char* id)
{
    return *p.apvts.getParameter(id);
}

} // namespace

TEST(ParameterLayout, HasSixteenParametersInHostOrderWithDefaults)
{
    TQ4AudioProcessor processor;
    struct Case
    {
        const char* id;
        const char* name;
        float defaultValue;
    };
    const Case cases[] = {
        {"threshold", "Threshold", -18.0f},
        {"ratio", "Ratio", 4.0f},
        {"attack", "Attack", 10.0f},
        {"release", "Release", 200.0f},
        {"knee", "Knee", 25.0f},
        {"mix", "Mix", 100.0f},
        {"output", "Output", 0.0f},
        {"autoMakeup", "Auto Makeup", 0.0f},
        {"autoRelease", "Auto Release", 0.0f},
        {"character", "Character", 0.0f},
        {"source", "Source", 0.0f},
        {"nuance", "Detail", 0.0f},
        {"bypass", "Bypass", 0.0f},
        {"driveOn", "Drive On", 0.0f},
        {"drive", "Drive", 0.0f},
        {"driveType", "Drive Type", 0.0f},
    };

    const auto& params = processor.getParameters();
    ASSERT_EQ(params.size(), 16);
    for (int i = 0; i < params.size(); ++i)
    {
        auto* ranged = dynamic_cast<juce::RangedAudioParameter*>(params[i]);
        ASSERT_NE(ranged, nullptr);
        SCOPED_TRACE(cases[i].id);
        EXPECT_EQ(ranged->getParameterID(), cases[i].id);
        EXPECT_EQ(ranged->getName(100), cases[i].name);
        EXPECT_EQ(ranged->getVersionHint(), 1);
        EXPECT_TRUE(ranged->isAutomatable());
        EXPECT_FALSE(ranged->isMetaParameter());
        EXPECT_EQ(ranged->getLabel(), "");
        EXPECT_FLOAT_EQ(ranged->convertFrom0to1(ranged->getDefaultValue()), cases[i].defaultValue);
        EXPECT_FLOAT_EQ(processor.apvts.getRawParameterValue(cases[i].id)->load(), cases[i].defaultValue);
    }
    EXPECT_EQ(processor.getBypassParameter(), processor.apvts.getParameter("bypass"));
}

TEST(ParameterLayout, SkewedRangesPutTheirCentreAtMidTravel)
{
    TQ4AudioProcessor processor;
    struct Case
    {
        const char* id;
        float centre, start, end;
    };
    for (const auto& c : {Case{"ratio", 4.0f, 1.0f, 20.0f}, Case{"attack", 10.0f, 0.1f, 200.0f},
                          Case{"release", 200.0f, 10.0f, 2000.0f}})
    {
        auto& p = floatParameter(processor, c.id);
        EXPECT_NEAR(p.convertFrom0to1(0.5f), c.centre, 0.011f) << c.id;
        EXPECT_FLOAT_EQ(p.getNormalisableRange().start, c.start);
        EXPECT_FLOAT_EQ(p.getNormalisableRange().end, c.end);
    }
}

TEST(ParameterLayout, ValueTexts)
{
    TQ4AudioProcessor processor;
    struct Case
    {
        const char* id;
        float value;
        const char* text;
    };
    const Case cases[] = {
        {"threshold", -18.0f, "-18.0 dB"},
        {"output", -24.0f, "-24.0 dB"},
        {"output", 3.26f, "3.3 dB"},
        {"ratio", 4.0f, "4.0 :1"},
        {"ratio", 20.0f, "20.0 :1"},
        {"attack", 9.5f, "9.5 ms"},
        {"attack", 9.96f, "10.0 ms"},
        {"attack", 10.4f, "10 ms"},
        {"release", 200.0f, "200 ms"},
        {"release", 1234.6f, "1235 ms"},
        {"knee", 0.0f, "HARD"},
        {"knee", 0.4f, "HARD"},
        {"knee", 0.6f, "1"},
        {"knee", 50.0f, "50"},
        {"knee", 99.6f, "SOFT"},
        {"knee", 100.0f, "SOFT"},
        {"mix", 55.5f, "56 %"},
        {"drive", 0.0f, "0 %"},
    };
    for (const auto& c : cases)
    {
        auto& p = floatParameter(processor, c.id);
        EXPECT_EQ(p.getText(p.convertTo0to1(c.value), 100), c.text) << c.id << " " << c.value;
    }

    struct ChoiceCase
    {
        const char* id;
        int index;
        const char* text;
    };
    for (const auto& c : {ChoiceCase{"character", 2, "FET"}, ChoiceCase{"source", 12, "MIX"},
                          ChoiceCase{"driveType", 1, "TRANSFORMER"}, ChoiceCase{"autoMakeup", 1, "On"}})
    {
        auto* p = processor.apvts.getParameter(c.id);
        EXPECT_EQ(p->getText(p->convertTo0to1(static_cast<float>(c.index)), 100), c.text) << c.id;
    }
}

TEST(ParameterLayout, KneeReadsItsWordsInAnyCase)
{
    TQ4AudioProcessor processor;
    auto& knee = floatParameter(processor, "knee");
    struct Case
    {
        const char* text;
        float value;
    };
    for (const auto& c : {Case{"soft", 100.0f}, Case{" SOFT ", 100.0f}, Case{"Hard", 0.0f}, Case{"42", 42.0f},
                          Case{"junk", 0.0f}})
        EXPECT_FLOAT_EQ(knee.convertFrom0to1(knee.getValueForText(c.text)), c.value) << c.text;
}

TEST(ParameterLayout, DetailNamesFollowTheSharedSource)
{
    TQ4AudioProcessor processor;
    auto* nuance = processor.apvts.getParameter("nuance");
    ASSERT_NE(dynamic_cast<juce::AudioParameterInt*>(nuance), nullptr);
    EXPECT_EQ(nuance->getNormalisableRange().start, 0.0f);
    EXPECT_EQ(nuance->getNormalisableRange().end, 7.0f);

    const auto textAt = [&](int value)
    { return nuance->getText(nuance->convertTo0to1(static_cast<float>(value)), 100); };

    processor.sharedSourceIndex->store(0); // Universal: three details
    EXPECT_EQ(textAt(0), "Gentle");
    EXPECT_EQ(textAt(7), "Strong");
    EXPECT_FLOAT_EQ(nuance->convertFrom0to1(nuance->getValueForText("Kick")), 0.0f);

    processor.sharedSourceIndex->store(2); // Drum
    EXPECT_EQ(textAt(1), "Snare");
    EXPECT_FLOAT_EQ(nuance->convertFrom0to1(nuance->getValueForText("hi-hat")), 2.0f);
}

TEST(ProcessorIdentity, OneUnnamedProgramAndNoMidi)
{
    TQ4AudioProcessor processor;
    EXPECT_EQ(processor.getName(), "TQ-4");
    EXPECT_EQ(processor.getNumPrograms(), 1);
    processor.setCurrentProgram(3);
    EXPECT_EQ(processor.getCurrentProgram(), 0);
    EXPECT_EQ(processor.getProgramName(0), "Default");
    EXPECT_FALSE(processor.acceptsMidi());
    EXPECT_FALSE(processor.producesMidi());
    EXPECT_FALSE(processor.isMidiEffect());
    EXPECT_TRUE(processor.hasEditor());
    EXPECT_FALSE(processor.supportsDoublePrecisionProcessing());
}

TEST(ProcessorIdentity, AcceptsOnlyEqualMonoOrStereoBuses)
{
    TQ4AudioProcessor processor;
    using Set = juce::AudioChannelSet;
    struct Case
    {
        Set in, out;
        bool accepted;
    };
    const Case cases[] = {
        {Set::stereo(), Set::stereo(), true},
        {Set::mono(), Set::mono(), true},
        {Set::mono(), Set::stereo(), false},
        {Set::stereo(), Set::mono(), false},
        {Set::create5point1(), Set::create5point1(), false},
        {Set::disabled(), Set::stereo(), false},
    };
    for (const auto& c : cases)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add(c.in);
        layout.outputBuses.add(c.out);
        EXPECT_EQ(processor.checkBusesLayoutSupported(layout), c.accepted)
            << c.in.getDescription() << " -> " << c.out.getDescription();
    }
}
