#include "plugin/ParameterLayout.h"

#include "adapt/SourceCatalogue.h"

namespace tq4
{

namespace
{

juce::ParameterID idFor(const char* id)
{
    return juce::ParameterID(id, 1);
}

juce::NormalisableRange<float> skewedRange(float start, float end, float interval, float centre)
{
    juce::NormalisableRange<float> range(start, end, interval);
    range.setSkewForCentre(centre);
    return range;
}

juce::AudioParameterFloatAttributes floatAttributes(std::function<juce::String(float)> toText)
{
    return juce::AudioParameterFloatAttributes().withStringFromValueFunction(
        [toText = std::move(toText)](float value, int) { return toText(value); });
}

juce::String oneDecimal(float value, const char* unit)
{
    return juce::String(value, 1) + unit;
}

juce::String rounded(float value, const char* unit)
{
    return juce::String(juce::roundToInt(value)) + unit;
}

} // namespace

const juce::StringArray& parameterIds()
{
    static const juce::StringArray ids{
        ParamIds::threshold,   ParamIds::ratio,     ParamIds::attack, ParamIds::release,
        ParamIds::knee,        ParamIds::mix,       ParamIds::output, ParamIds::autoMakeup,
        ParamIds::autoRelease, ParamIds::character, ParamIds::source, ParamIds::nuance,
        ParamIds::bypass,      ParamIds::driveOn,   ParamIds::drive,  ParamIds::driveType};
    return ids;
}

juce::String timeText(float ms)
{
    return ms < 10.0f ? oneDecimal(ms, " ms") : rounded(ms, " ms");
}

juce::String kneeText(float percent)
{
    if (percent <= 0.5f)
        return "HARD";
    if (percent >= 99.5f)
        return "SOFT";
    return juce::String(juce::roundToInt(percent));
}

float kneeFromText(const juce::String& text)
{
    const auto trimmed = text.trim();
    if (trimmed.equalsIgnoreCase("HARD"))
        return 0.0f;
    if (trimmed.equalsIgnoreCase("SOFT"))
        return 100.0f;
    return trimmed.getFloatValue();
}

juce::AudioProcessorValueTreeState::ParameterLayout
createParameterLayout(std::shared_ptr<std::atomic<int>> sharedSourceIndex)
{
    using namespace juce;
    AudioProcessorValueTreeState::ParameterLayout layout;

    const auto dbText = [](float v) { return oneDecimal(v, " dB"); };
    const auto percentText = [](float v) { return rounded(v, " %"); };

    layout.add(std::make_unique<AudioParameterFloat>(idFor(ParamIds::threshold), "Threshold",
                                                     NormalisableRange<float>(-60.0f, 0.0f, 0.1f), -18.0f,
                                                     floatAttributes(dbText)));
    layout.add(std::make_unique<AudioParameterFloat>(
        idFor(ParamIds::ratio), "Ratio", skewedRange(1.0f, 20.0f, 0.01f, 4.0f), 4.0f,
        floatAttributes([](float v) { return oneDecimal(v, " :1"); })));
    layout.add(std::make_unique<AudioParameterFloat>(idFor(ParamIds::attack), "Attack",
                                                     skewedRange(0.1f, 200.0f, 0.01f, 10.0f), 10.0f,
                                                     floatAttributes(timeText)));
    layout.add(std::make_unique<AudioParameterFloat>(idFor(ParamIds::release), "Release",
                                                     skewedRange(10.0f, 2000.0f, 0.1f, 200.0f), 200.0f,
                                                     floatAttributes(timeText)));
    layout.add(std::make_unique<AudioParameterFloat>(
        idFor(ParamIds::knee), "Knee", NormalisableRange<float>(0.0f, 100.0f, 1.0f), 25.0f,
        floatAttributes(kneeText).withValueFromStringFunction(kneeFromText)));
    layout.add(std::make_unique<AudioParameterFloat>(idFor(ParamIds::mix), "Mix",
                                                     NormalisableRange<float>(0.0f, 100.0f, 0.1f), 100.0f,
                                                     floatAttributes(percentText)));
    layout.add(std::make_unique<AudioParameterFloat>(idFor(ParamIds::output), "Output",
                                                     NormalisableRange<float>(-24.0f, 24.0f, 0.1f), 0.0f,
                                                     floatAttributes(dbText)));
    layout.add(std::make_unique<AudioParameterBool>(idFor(ParamIds::autoMakeup), "Auto Makeup", false));
    layout.add(std::make_unique<AudioParameterBool>(idFor(ParamIds::autoRelease), "Auto Release", false));
    layout.add(
        std::make_unique<AudioParameterChoice>(idFor(ParamIds::character), "Character", characterNames(), 0));
    layout.add(std::make_unique<AudioParameterChoice>(idFor(ParamIds::source), "Source", sourceNames(), 0));

    auto nuanceAttributes =
        AudioParameterIntAttributes()
            .withStringFromValueFunction(
                [sharedSourceIndex](int value, int)
                { return detailName(sharedSourceIndex->load(std::memory_order_relaxed), value); })
            .withValueFromStringFunction(
                [sharedSourceIndex](const String& text)
                { return detailIndex(sharedSourceIndex->load(std::memory_order_relaxed), text); });
    layout.add(std::make_unique<AudioParameterInt>(idFor(ParamIds::nuance), "Detail", 0, 7, 0,
                                                   std::move(nuanceAttributes)));

    layout.add(std::make_unique<AudioParameterBool>(idFor(ParamIds::bypass), "Bypass", false));
    layout.add(std::make_unique<AudioParameterBool>(idFor(ParamIds::driveOn), "Drive On", false));
    layout.add(std::make_unique<AudioParameterFloat>(idFor(ParamIds::drive), "Drive",
                                                     NormalisableRange<float>(0.0f, 100.0f, 0.1f), 0.0f,
                                                     floatAttributes(percentText)));
    layout.add(std::make_unique<AudioParameterChoice>(idFor(ParamIds::driveType), "Drive Type",
                                                      StringArray{"TUBE", "TRANSFORMER", "TAPE", "FET"}, 0));
    return layout;
}

} // namespace tq4
