// Loads the built TQ-4.vst3 through JUCE's VST3 hosting, the way a DAW does.

#include <juce_audio_processors/juce_audio_processors.h>

#include <gtest/gtest.h>

#include <cmath>

namespace
{

struct HostedPlugin
{
    juce::VST3PluginFormat format;
    std::unique_ptr<juce::PluginDescription> description;
    std::unique_ptr<juce::AudioPluginInstance> instance;
    juce::String error;

    HostedPlugin()
    {
        juce::OwnedArray<juce::PluginDescription> found;
        format.findAllTypesForFile(found, TQ4_VST3_BUNDLE);
        if (found.size() != 1)
            return;
        description = std::make_unique<juce::PluginDescription>(*found[0]);
        instance = format.createInstanceFromDescription(*description, 48000.0, 512, error);
    }

    juce::AudioProcessorParameter* parameter(const juce::String& name) const
    {
        for (auto* p : instance->getParameters())
            if (p->getName(100) == name)
                return p;
        return nullptr;
    }

    void set(const juce::String& name, const juce::String& text) const
    {
        auto* p = parameter(name);
        ASSERT_NE(p, nullptr) << name;
        p->setValueNotifyingHost(p->getValueForText(text));
    }
};

double rms(const juce::AudioBuffer<float>& buffer, int start)
{
    double sum = 0.0;
    int count = 0;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = start; i < buffer.getNumSamples(); ++i, ++count)
            sum += buffer.getSample(c, i) * buffer.getSample(c, i);
    return std::sqrt(sum / juce::jmax(1, count));
}

// Runs `seconds` of seeded noise through the instance in 512-sample blocks and returns input and output.
std::pair<juce::AudioBuffer<float>, juce::AudioBuffer<float>> render(juce::AudioPluginInstance& plugin,
                                                                     float amplitude, double seconds)
{
    // Whole blocks only, so no sample of the output is left unwritten.
    const int total = static_cast<int>(48000.0 * seconds) / 512 * 512;
    juce::AudioBuffer<float> input(2, total), output(2, total);
    juce::Random random(7);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < total; ++i)
            input.setSample(c, i, amplitude * (2.0f * random.nextFloat() - 1.0f));

    juce::MidiBuffer midi;
    juce::AudioBuffer<float> block(2, 512);
    for (int start = 0; start + 512 <= total; start += 512)
    {
        for (int c = 0; c < 2; ++c)
            block.copyFrom(c, 0, input, c, start, 512);
        plugin.processBlock(block, midi);
        for (int c = 0; c < 2; ++c)
            output.copyFrom(c, start, block, c, 0, 512);
    }
    return {std::move(input), std::move(output)};
}

} // namespace

TEST(VST3Host, ReportsIdentity)
{
    HostedPlugin host;
    ASSERT_NE(host.description, nullptr) << "bundle not found or not one plug-in: " << TQ4_VST3_BUNDLE;
    const auto& d = *host.description;
    EXPECT_EQ(d.name, "TQ-4");
    EXPECT_EQ(d.manufacturerName, "Veldrane");
    EXPECT_EQ(d.version, "1.0.0");
    EXPECT_EQ(d.category, "Fx|Dynamics");
    EXPECT_FALSE(d.isInstrument);
    EXPECT_EQ(d.numInputChannels, 2);
    EXPECT_EQ(d.numOutputChannels, 2);
    ASSERT_NE(host.instance, nullptr) << host.error;
    EXPECT_FALSE(host.instance->acceptsMidi());
    EXPECT_FALSE(host.instance->producesMidi());
    EXPECT_TRUE(host.instance->hasEditor());
    // A single program is not published as a program list; if a host sees one, it has a name.
    EXPECT_LE(host.instance->getNumPrograms(), 1);
    if (host.instance->getNumPrograms() == 1)
    {
        EXPECT_EQ(host.instance->getProgramName(0), "Default");
    }
    EXPECT_FALSE(host.instance->supportsDoublePrecisionProcessing());
}

TEST(VST3Host, ExposesSixteenParametersInOrderWithTheirTexts)
{
    HostedPlugin host;
    ASSERT_NE(host.instance, nullptr) << host.error;

    struct Case
    {
        const char* name;
        const char* defaultText;
    };
    const Case cases[] = {
        {"Threshold", "-18.0 dB"}, {"Ratio", "4.0 :1"},     {"Attack", "10 ms"},
        {"Release", "200 ms"},     {"Knee", "25"},          {"Mix", "100 %"},
        {"Output", "0.0 dB"},      {"Auto Makeup", "Off"},  {"Auto Release", "Off"},
        {"Character", "AUTO"},     {"Source", "Universal"}, {"Detail", "Gentle"},
        {"Bypass", "Off"},         {"Drive On", "Off"},     {"Drive", "0 %"},
        {"Drive Type", "TUBE"},
    };

    const auto& params = host.instance->getParameters();
    ASSERT_EQ(params.size(), static_cast<int>(std::size(cases)));
    for (int i = 0; i < params.size(); ++i)
    {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(params[i]->getName(100), cases[i].name);
        EXPECT_EQ(params[i]->getCurrentValueAsText(), cases[i].defaultText);
    }

    auto* knee = host.parameter("Knee");
    EXPECT_EQ(knee->getText(0.0f, 100), "HARD");
    EXPECT_EQ(knee->getText(1.0f, 100), "SOFT");
    EXPECT_FLOAT_EQ(knee->getValueForText("soft"), 1.0f);

    ASSERT_NE(host.instance->getBypassParameter(), nullptr);
    EXPECT_EQ(host.instance->getBypassParameter()->getName(100), "Bypass");
}

TEST(VST3Host, AcceptsOnlyMatchingMonoOrStereoLayouts)
{
    HostedPlugin host;
    ASSERT_NE(host.instance, nullptr) << host.error;

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
        {Set::create5point1(), Set::create5point1(), false},
    };
    for (const auto& c : cases)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add(c.in);
        layout.outputBuses.add(c.out);
        EXPECT_EQ(host.instance->checkBusesLayoutSupported(layout), c.accepted)
            << c.in.getDescription() << " -> " << c.out.getDescription();
    }
}

TEST(VST3Host, CompressesALoudSignalAndBypassReturnsTheDryInput)
{
    HostedPlugin host;
    ASSERT_NE(host.instance, nullptr) << host.error;
    auto& plugin = *host.instance;

    host.set("Threshold", "-30");
    host.set("Ratio", "4");
    plugin.prepareToPlay(48000.0, 512);
    // The plug-in announces its latency through the host's message loop, as a DAW would see it.
    juce::MessageManager::getInstance()->runDispatchLoopUntil(200);

    const int latency = plugin.getLatencySamples();
    EXPECT_GT(latency, 0) << "the drive stage's oversampling delays every path";
    EXPECT_GE(latency, 0);
    EXPECT_NEAR(plugin.getTailLengthSeconds(), 2.0 * latency / 48000.0, 1e-3);

    {
        auto [input, output] = render(plugin, 0.5f, 1.0);
        const double inDb = 20.0 * std::log10(rms(input, 24000));
        const double outDb = 20.0 * std::log10(rms(output, 24000));
        EXPECT_LT(outDb, inDb - 6.0) << "in " << inDb << " dB, out " << outDb << " dB";
    }

    host.set("Bypass", "On");
    auto [input, output] = render(plugin, 0.5f, 0.5);
    // Past the 10 ms crossfade the output is the input delayed by the latency, exactly.
    for (int c = 0; c < 2; ++c)
        for (int i = 4800; i + latency < input.getNumSamples() - 512; ++i)
            ASSERT_EQ(output.getSample(c, i + latency), input.getSample(c, i))
                << "channel " << c << " sample " << i;
    plugin.releaseResources();
}

TEST(VST3Host, OpensItsEditor)
{
    HostedPlugin host;
    ASSERT_NE(host.instance, nullptr) << host.error;
    std::unique_ptr<juce::AudioProcessorEditor> editor(host.instance->createEditorIfNeeded());
    ASSERT_NE(editor, nullptr);
    EXPECT_GE(editor->getWidth(), 720);
    EXPECT_LE(editor->getWidth(), 1280);
    EXPECT_NEAR(editor->getHeight(), editor->getWidth() * 9 / 16, 1);
    juce::MessageManager::getInstance()->runDispatchLoopUntil(100);
    editor.reset();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
