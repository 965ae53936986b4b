// Loads the built TQ-4.lv2 by its URI through JUCE's LV2 hosting, the way an LV2 host does, with the
// VST3 built from the same core beside it where both formats must report the same figures.

#include "support/StateCompare.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace
{

// Hosts store this in their sessions; it never changes.
constexpr auto tq4Uri = "https://veldrane.com/plugins/tq4";
constexpr double rate = 48000.0;
constexpr int blockSize = 512;

juce::FileSearchPath builtBundleFolder()
{
    return juce::FileSearchPath(juce::File(TQ4_LV2_BUNDLE).getParentDirectory().getFullPathName());
}

// One LV2 world for the whole run, holding only the built bundle (main() gives the run an empty home).
std::unique_ptr<juce::LV2PluginFormat> sharedFormat;
juce::StringArray foundInBuildFolder;

juce::LV2PluginFormat& lv2Format()
{
    if (sharedFormat == nullptr)
    {
        sharedFormat = std::make_unique<juce::LV2PluginFormat>();
        foundInBuildFolder = sharedFormat->searchPathsForPlugins(builtBundleFolder(), false);
    }
    return *sharedFormat;
}

struct HostedLV2
{
    std::unique_ptr<juce::PluginDescription> description;
    std::unique_ptr<juce::AudioPluginInstance> instance;
    juce::String error;

    HostedLV2()
    {
        juce::OwnedArray<juce::PluginDescription> found;
        lv2Format().findAllTypesForFile(found, tq4Uri);
        if (found.size() != 1)
            return;
        description = std::make_unique<juce::PluginDescription>(*found[0]);
        instance = lv2Format().createInstanceFromDescription(*description, rate, blockSize, error);
    }

    // TQ-4's own parameter of that name; the host's bypass, also called "Bypass", is the lv2:enabled port.
    juce::AudioProcessorParameter* parameter(const juce::String& name) const
    {
        for (auto* p : instance->getParameters())
            if (p->getName(100) == name && p != instance->getBypassParameter())
                return p;
        return nullptr;
    }

    void set(const juce::String& name, const juce::String& text) const
    {
        auto* p = parameter(name);
        ASSERT_NE(p, nullptr) << name;
        p->setValueNotifyingHost(p->getValueForText(text));
    }

    // The host's own state: Turtle holding the plug-in's block in JUCE's base64 text, and port values.
    juce::String saveTurtle() const
    {
        juce::MemoryBlock block;
        instance->getStateInformation(block);
        return block.toString();
    }

    void restoreTurtle(const juce::String& turtle) const
    {
        const auto utf8 = turtle.toStdString();
        instance->setStateInformation(utf8.data(), static_cast<int>(utf8.size()));
    }
};

// The VST3 of the same build, for the figures both formats must share.
std::unique_ptr<juce::AudioPluginInstance> loadVst3()
{
    juce::VST3PluginFormat vst3;
    juce::OwnedArray<juce::PluginDescription> found;
    vst3.findAllTypesForFile(found, TQ4_VST3_BUNDLE);
    juce::String error;
    return found.size() == 1 ? vst3.createInstanceFromDescription(*found[0], rate, blockSize, error)
                             : nullptr;
}

void setVst3(juce::AudioPluginInstance& plugin, const juce::String& name, const juce::String& text)
{
    for (auto* p : plugin.getParameters())
        if (p->getName(100) == name)
            p->setValueNotifyingHost(p->getValueForText(text));
}

juce::String stateKey()
{
    return juce::String("<") + tq4Uri + ":StateString>";
}

// The quoted text that follows the plug-in's state key in a saved Turtle state.
juce::Range<int> stateLiteral(const juce::String& turtle)
{
    const int key = turtle.indexOf(stateKey());
    if (key < 0)
        return {};
    const int open = turtle.indexOfChar(key, '"');
    const int close = open < 0 ? -1 : turtle.indexOfChar(open + 1, '"');
    return close < 0 ? juce::Range<int>() : juce::Range<int>(open + 1, close);
}

juce::MemoryBlock pluginBlock(const juce::String& turtle)
{
    juce::MemoryBlock block;
    const auto literal = stateLiteral(turtle);
    if (!literal.isEmpty())
        block.fromBase64Encoding(turtle.substring(literal.getStart(), literal.getEnd()));
    return block;
}

juce::String withPluginBlock(const juce::String& turtle, const juce::MemoryBlock& block)
{
    const auto literal = stateLiteral(turtle);
    return turtle.replaceSection(literal.getStart(), literal.getLength(), block.toBase64Encoding());
}

juce::MemoryBlock learnedState()
{
    static const auto block = []
    {
        juce::MemoryBlock result;
        const auto file = juce::File::createTempFile(".state");
        juce::ChildProcess learn;
        if (learn.start(juce::StringArray{TQ4_LEARNED_STATE_EXE, file.getFullPathName()}))
        {
            const auto output = learn.readAllProcessOutput();
            if (learn.getExitCode() == 0)
                file.loadFileAsData(result);
            else
                ADD_FAILURE() << output;
        }
        file.deleteFile();
        return result;
    }();
    return block;
}

// The stored learn, every tq4Learn property with its exact text, and the parameters' values.
juce::StringPairArray learnAndParameters(const juce::MemoryBlock& block)
{
    const auto tree = tq4test::stateTree(block);
    juce::StringPairArray result;
    for (int i = 0; i < tree.getNumProperties(); ++i)
    {
        const auto name = tree.getPropertyName(i).toString();
        if (name.startsWith("tq4Learn"))
            result.set(name, tree[tree.getPropertyName(i)].toString());
    }
    for (const auto& param : tree)
        result.set(param["id"].toString(), juce::String(static_cast<double>(param["value"])));
    return result;
}

double rms(const juce::AudioBuffer<float>& buffer, int start)
{
    double sum = 0.0;
    int count = 0;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = start; i < buffer.getNumSamples(); ++i, ++count)
            sum += buffer.getSample(c, i) * buffer.getSample(c, i);
    return std::sqrt(sum / juce::jmax(1, count));
}

// Runs `seconds` of seeded noise through the instance in host-sized blocks; returns input and output.
std::pair<juce::AudioBuffer<float>, juce::AudioBuffer<float>> render(juce::AudioPluginInstance& plugin,
                                                                     float amplitude, double seconds)
{
    // Whole blocks only: a fresh juce::AudioBuffer holds garbage until written.
    const int total = static_cast<int>(rate * seconds) / blockSize * blockSize;
    juce::AudioBuffer<float> input(2, total), output(2, total);
    juce::Random random(7);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < total; ++i)
            input.setSample(c, i, amplitude * (2.0f * random.nextFloat() - 1.0f));

    juce::MidiBuffer midi;
    juce::AudioBuffer<float> block(2, blockSize);
    for (int start = 0; start + blockSize <= total; start += blockSize)
    {
        for (int c = 0; c < 2; ++c)
            block.copyFrom(c, 0, input, c, start, blockSize);
        plugin.processBlock(block, midi);
        for (int c = 0; c < 2; ++c)
            output.copyFrom(c, start, block, c, 0, blockSize);
    }
    return {std::move(input), std::move(output)};
}

} // namespace

TEST(LV2Host, LoadsByItsUriFromTheBuiltBundle)
{
    lv2Format();
    EXPECT_EQ(std::count(foundInBuildFolder.begin(), foundInBuildFolder.end(), juce::String(tq4Uri)), 1)
        << foundInBuildFolder.joinIntoString(" ");

    HostedLV2 host;
    ASSERT_NE(host.description, nullptr) << "no plug-in " << tq4Uri << " in " << TQ4_LV2_BUNDLE;
    const auto& d = *host.description;
    EXPECT_EQ(d.fileOrIdentifier, tq4Uri);
    EXPECT_EQ(d.pluginFormatName, "LV2");
    EXPECT_EQ(d.name, "TQ-4");
    EXPECT_EQ(d.manufacturerName, "Veldrane");
    EXPECT_EQ(d.category, "Compressor Plugin");
    EXPECT_FALSE(d.isInstrument);
    EXPECT_EQ(d.numInputChannels, 2);
    EXPECT_EQ(d.numOutputChannels, 2);

    ASSERT_NE(host.instance, nullptr) << host.error;
    EXPECT_EQ(host.instance->getName(), "TQ-4");
    EXPECT_FALSE(host.instance->acceptsMidi());
    EXPECT_FALSE(host.instance->producesMidi());
    EXPECT_TRUE(host.instance->hasEditor());
}

TEST(LV2Host, ExposesTheSixteenParametersWithTheirRangesDefaultsAndTexts)
{
    HostedLV2 host;
    ASSERT_NE(host.instance, nullptr) << host.error;

    // Continuous parameters carry their plain range and default; an LV2 host writes its own texts.
    // Choices and switches carry their item names.
    struct Case
    {
        const char* name;
        float minimum, maximum, defaultValue;
        std::vector<const char*> items;
    };
    const Case cases[] = {
        {"Threshold", -60.0f, 0.0f, -18.0f, {}},
        {"Ratio", 1.0f, 20.0f, 4.0f, {}},
        {"Attack", 0.1f, 200.0f, 10.0f, {}},
        {"Release", 10.0f, 2000.0f, 200.0f, {}},
        {"Knee", 0.0f, 100.0f, 25.0f, {}},
        {"Mix", 0.0f, 100.0f, 100.0f, {}},
        {"Output", -24.0f, 24.0f, 0.0f, {}},
        {"Auto Makeup", 0.0f, 1.0f, 0.0f, {"Off", "On"}},
        {"Auto Release", 0.0f, 1.0f, 0.0f, {"Off", "On"}},
        {"Character", 0.0f, 3.0f, 0.0f, {"AUTO", "OPTO", "FET", "VCA"}},
        {"Source",
         0.0f,
         12.0f,
         0.0f,
         {"Universal", "Vocal", "Drum", "Percussion", "Bass", "Guitar", "Piano", "Keys", "Synth", "Strings",
          "Brass", "Woodwind", "MIX"}},
        {"Detail", 0.0f, 7.0f, 0.0f, {}},
        {"Bypass", 0.0f, 1.0f, 0.0f, {"Off", "On"}},
        {"Drive On", 0.0f, 1.0f, 0.0f, {"Off", "On"}},
        {"Drive", 0.0f, 100.0f, 0.0f, {}},
        {"Drive Type", 0.0f, 3.0f, 0.0f, {"TUBE", "TRANSFORMER", "TAPE", "FET"}},
    };

    // The host adds the lv2:enabled port as its own bypass. LV2 gives parameters no order: JUCE's host
    // lists them by URI, so each is found by its name.
    ASSERT_NE(host.instance->getBypassParameter(), nullptr);
    ASSERT_EQ(host.instance->getParameters().size(), static_cast<int>(std::size(cases)) + 1);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto* p = host.parameter(c.name);
        ASSERT_NE(p, nullptr);
        if (c.items.empty())
        {
            EXPECT_FLOAT_EQ(p->getText(0.0f, 100).getFloatValue(), c.minimum);
            EXPECT_FLOAT_EQ(p->getText(1.0f, 100).getFloatValue(), c.maximum);
            EXPECT_NEAR(p->getText(p->getDefaultValue(), 100).getFloatValue(), c.defaultValue, 1e-4f);
            EXPECT_NEAR(p->getCurrentValueAsText().getFloatValue(), c.defaultValue, 1e-4f);
            continue;
        }
        ASSERT_EQ(p->getNumSteps(), static_cast<int>(c.items.size()));
        EXPECT_EQ(p->getCurrentValueAsText(), c.items.front());
        for (size_t item = 0; item < c.items.size(); ++item)
        {
            const float value = static_cast<float>(item) / static_cast<float>(c.items.size() - 1);
            EXPECT_EQ(p->getText(value, 100), c.items[item]);
            EXPECT_FLOAT_EQ(p->getValueForText(c.items[item]), value);
        }
    }
}

TEST(LV2Host, CompressesReportsTheVST3LatencyAndBypassesToTheDelayedDryInput)
{
    HostedLV2 host;
    ASSERT_NE(host.instance, nullptr) << host.error;
    auto& plugin = *host.instance;

    // The latency the VST3 of the same build reports at this rate.
    int vst3Latency = -1;
    {
        auto reference = loadVst3();
        ASSERT_NE(reference, nullptr);
        reference->prepareToPlay(rate, blockSize);
        juce::MessageManager::getInstance()->runDispatchLoopUntil(200);
        vst3Latency = reference->getLatencySamples();
        reference->releaseResources();
    }
    ASSERT_GT(vst3Latency, 0);

    plugin.prepareToPlay(rate, blockSize);
    host.set("Threshold", "-30");
    host.set("Ratio", "4");
    {
        auto [input, output] = render(plugin, 0.5f, 1.0);
        const double inDb = 20.0 * std::log10(rms(input, 24000));
        const double outDb = 20.0 * std::log10(rms(output, 24000));
        EXPECT_LT(outDb, inDb - 6.0) << "in " << inDb << " dB, out " << outDb << " dB";
    }

    // An LV2 plug-in reports its latency through an output port, read after every run.
    const int latency = plugin.getLatencySamples();
    EXPECT_EQ(latency, vst3Latency);

    // The host's bypass is the lv2:enabled port; the plug-in follows it with its own bypass.
    plugin.getBypassParameter()->setValueNotifyingHost(1.0f);
    auto [input, output] = render(plugin, 0.5f, 0.5);
    EXPECT_EQ(host.parameter("Bypass")->getCurrentValueAsText(), "On");
    // Past the 10 ms crossfade the output is the input delayed by the latency, exactly.
    for (int c = 0; c < 2; ++c)
        for (int i = 4800; i + latency < input.getNumSamples() - blockSize; ++i)
            ASSERT_EQ(output.getSample(c, i + latency), input.getSample(c, i))
                << "channel " << c << " sample " << i;
    plugin.releaseResources();
}

TEST(LV2Host, AcceptsItsStereoLayoutOnly)
{
    HostedLV2 host;
    ASSERT_NE(host.instance, nullptr) << host.error;

    using Set = juce::AudioChannelSet;
    struct Case
    {
        Set in, out;
        bool accepted;
    };
    const Case cases[] = {
        {Set::stereo(), Set::stereo(), true},
        {Set::mono(), Set::mono(), false},
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

// The LV2 has stereo ports only; a host plays a mono source through both, which must sound exactly as
// the VST3 in its mono layout.
TEST(LV2Host, AMonoSourceOnBothInputsSoundsAsTheVST3InMono)
{
    auto mono = loadVst3();
    ASSERT_NE(mono, nullptr);
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add(juce::AudioChannelSet::mono());
    layout.outputBuses.add(juce::AudioChannelSet::mono());
    ASSERT_TRUE(mono->setBusesLayout(layout));
    mono->prepareToPlay(rate, blockSize);
    juce::MessageManager::getInstance()->runDispatchLoopUntil(200);

    HostedLV2 host;
    ASSERT_NE(host.instance, nullptr) << host.error;
    host.instance->prepareToPlay(rate, blockSize);

    const std::pair<const char*, const char*> settings[] = {
        {"Threshold", "-30"}, {"Drive On", "On"}, {"Drive", "40"}};
    for (const auto& [name, text] : settings)
    {
        host.set(name, text);
        setVst3(*mono, name, text);
    }

    juce::Random random(3);
    juce::MidiBuffer midi;
    juce::AudioBuffer<float> stereo(2, blockSize), single(1, blockSize);
    for (int b = 0; b < 100; ++b)
    {
        for (int i = 0; i < blockSize; ++i)
        {
            const float x = 0.5f * (2.0f * random.nextFloat() - 1.0f);
            stereo.setSample(0, i, x);
            stereo.setSample(1, i, x);
            single.setSample(0, i, x);
        }
        host.instance->processBlock(stereo, midi);
        mono->processBlock(single, midi);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < blockSize; ++i)
                ASSERT_EQ(stereo.getSample(c, i), single.getSample(0, i))
                    << "block " << b << " channel " << c;
    }
    mono->releaseResources();
}

TEST(LV2Host, StateRestoresIntoAFreshInstanceWithTheLearnedProfile)
{
    const auto learned = learnedState();
    ASSERT_GT(learned.getSize(), 0u);
    const auto learnedTree = tq4test::stateTree(learned);
    ASSERT_TRUE(static_cast<bool>(learnedTree.getProperty("tq4LearnValid", false)));
    ASSERT_TRUE(learnedTree.hasProperty("tq4LearnMkHist"));
    ASSERT_TRUE(learnedTree.hasProperty("tq4LearnDriveEq"));

    HostedLV2 first;
    ASSERT_NE(first.instance, nullptr) << first.error;
    first.instance->prepareToPlay(rate, blockSize);
    const auto freshTurtle = first.saveTurtle();
    ASSERT_FALSE(stateLiteral(freshTurtle).isEmpty()) << freshTurtle;
    first.restoreTurtle(withPluginBlock(freshTurtle, learned));

    const auto saved = first.saveTurtle();
    EXPECT_EQ(learnAndParameters(pluginBlock(saved)), learnAndParameters(learned))
        << tq4test::stateTree(pluginBlock(saved)).toXmlString();

    HostedLV2 second;
    ASSERT_NE(second.instance, nullptr) << second.error;
    second.instance->prepareToPlay(rate, blockSize);
    second.restoreTurtle(saved);
    EXPECT_TRUE(tq4test::sameSavedState(pluginBlock(second.saveTurtle()), pluginBlock(saved)));
    for (int i = 0; i < first.instance->getParameters().size(); ++i)
        EXPECT_EQ(second.instance->getParameters()[i]->getValue(),
                  first.instance->getParameters()[i]->getValue())
            << first.instance->getParameters()[i]->getName(100);

    // The same learn, without its profile: the same parameters and a different sound.
    HostedLV2 unlearned;
    ASSERT_NE(unlearned.instance, nullptr) << unlearned.error;
    unlearned.instance->prepareToPlay(rate, blockSize);
    {
        auto tree = learnedTree.createCopy();
        tree.setProperty("tq4LearnValid", false, nullptr);
        juce::MemoryBlock block;
        juce::AudioProcessor::copyXmlToBinary(*tree.createXml(), block);
        unlearned.restoreTurtle(withPluginBlock(freshTurtle, block));
    }

    // Auto makeup and the drive compensation read the learned profile.
    for (auto* host : {&first, &second, &unlearned})
    {
        host->set("Auto Makeup", "On");
        host->set("Drive On", "On");
        host->set("Drive", "50");
    }
    const auto a = render(*first.instance, 0.5f, 1.0).second;
    const auto b = render(*second.instance, 0.5f, 1.0).second;
    const auto c = render(*unlearned.instance, 0.5f, 1.0).second;
    bool identical = true, differs = false;
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < a.getNumSamples(); ++i)
        {
            identical = identical && a.getSample(ch, i) == b.getSample(ch, i);
            differs = differs || a.getSample(ch, i) != c.getSample(ch, i);
        }
    EXPECT_TRUE(identical) << "the restored instance sounds different";
    EXPECT_TRUE(differs) << "the learned profile has no effect";
}

TEST(LV2Host, RefusesAForeignOrDamagedStateWhole)
{
    const auto learned = learnedState();
    ASSERT_GT(learned.getSize(), 0u);

    HostedLV2 host;
    ASSERT_NE(host.instance, nullptr) << host.error;
    host.instance->prepareToPlay(rate, blockSize);
    const auto freshTurtle = host.saveTurtle();
    host.restoreTurtle(withPluginBlock(freshTurtle, learned));
    const auto before = host.saveTurtle();
    ASSERT_EQ(learnAndParameters(pluginBlock(before)), learnAndParameters(learned));

    const auto withBlock = [&](const juce::MemoryBlock& block) { return withPluginBlock(before, block); };
    const auto withText = [&](const juce::String& text)
    {
        const auto literal = stateLiteral(before);
        return before.replaceSection(literal.getStart(), literal.getLength(), text);
    };
    const auto xmlBlock = [](const juce::String& xml)
    {
        juce::MemoryBlock block;
        juce::AudioProcessor::copyXmlToBinary(*juce::parseXML(xml), block);
        return block;
    };

    const auto learnedXml =
        juce::AudioProcessor::getXmlFromBinary(learned.getData(), static_cast<int>(learned.getSize()));
    ASSERT_NE(learnedXml, nullptr);
    juce::MemoryBlock cutShort;
    {
        // A block whose XML stops halfway, with a length field that matches what is left.
        const auto text = learnedXml->toString().toStdString();
        const auto half = text.substr(0, text.size() / 2);
        const uint32_t header[2] = {juce::ByteOrder::littleEndianInt("VC2!"),
                                    static_cast<uint32_t>(half.size() + 1)};
        cutShort.append(header, sizeof header);
        cutShort.append(half.data(), half.size() + 1);
    }
    juce::MemoryBlock badLength = learned;
    static_cast<uint8_t*>(badLength.getData())[7] = 0x7f;

    struct Case
    {
        const char* what;
        juce::String turtle;
    };
    const Case cases[] = {
        {"another plug-in's block under TQ-4's key",
         withBlock(xmlBlock(R"(<OTHERSTATE gain="3"><PARAM id="threshold" value="-50"/></OTHERSTATE>)"))},
        {"a block whose XML is cut short", withBlock(cutShort)},
        {"a block whose length field is wrong", withBlock(badLength)},
        {"the first half of a block", withBlock(juce::MemoryBlock(learned.getData(), learned.getSize() / 2))},
        {"text that is not base64", withText("%%% not a state %%%")},
        {"an empty block", withText("")},
        {"a number where the block belongs",
         before.replace(stateKey() + " \"",
                        stateKey() + " \"7\"^^<http://www.w3.org/2001/XMLSchema#int> ; <urn:x> \"")},
        {"another plug-in's whole state", before.replace(tq4Uri, "urn:example:other-plugin")},
        {"a preset that names a program",
         before.replace(stateKey(), juce::String("<") + tq4Uri + ":Program> 3 ; <urn:x>")},
        {"text that is not Turtle", "this is not a state"},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        host.restoreTurtle(c.turtle);
        const auto after = host.saveTurtle();
        EXPECT_TRUE(tq4test::sameSavedState(pluginBlock(after), pluginBlock(before)))
            << tq4test::stateTree(pluginBlock(after)).toXmlString();
    }

    // And a good block is still taken afterwards.
    host.restoreTurtle(freshTurtle);
    EXPECT_TRUE(tq4test::sameSavedState(pluginBlock(host.saveTurtle()), pluginBlock(freshTurtle)));
}

int main(int argc, char** argv)
{
    // An empty home keeps an installed ~/.lv2/TQ-4.lv2 out: the host sees only the built bundle.
    const auto home =
        juce::File::getSpecialLocation(juce::File::tempDirectory).getNonexistentChildFile("tq4-lv2-home", "");
    home.createDirectory();
    setenv("HOME", home.getFullPathName().toRawUTF8(), 1);

    ::testing::InitGoogleTest(&argc, argv);
    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juce;
        result = RUN_ALL_TESTS();
        sharedFormat.reset();
    }
    home.deleteRecursively();
    return result;
}
