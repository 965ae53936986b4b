#include "plugin/PluginProcessor.h"
#include "support/StateCompare.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

using namespace tq4;

juce::MemoryBlock save(TQ4AudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation(block);
    return block;
}

void restore(TQ4AudioProcessor& p, const juce::MemoryBlock& block)
{
    p.setStateInformation(block.getData(), static_cast<int>(block.getSize()));
}

juce::MemoryBlock blockFromXml(const juce::String& xmlText)
{
    auto xml = juce::parseXML(xmlText);
    juce::MemoryBlock block;
    if (xml != nullptr)
        juce::AudioProcessor::copyXmlToBinary(*xml, block);
    return block;
}

float value(TQ4AudioProcessor& p, const char* id)
{
    return p.apvts.getRawParameterValue(id)->load();
}

void setParameter(TQ4AudioProcessor& p, const char* id, float v)
{
    auto* parameter = p.apvts.getParameter(id);
    parameter->setValueNotifyingHost(parameter->convertTo0to1(v));
}

juce::String xmlText(const juce::MemoryBlock& block)
{
    auto xml = juce::AudioProcessor::getXmlFromBinary(block.getData(), static_cast<int>(block.getSize()));
    return xml != nullptr ? xml->toString() : juce::String("(none)");
}

juce::String histogramText()
{
    return "58:0.25:3.100 60:0.5:3.000 62:0.25:2.900";
}

juce::String curveText()
{
    juce::String curve;
    for (int i = 0; i < 13; ++i)
        curve << juce::String(i * 1.5, 4) << ":" << juce::String(i == 0 ? 0.0 : 0.25 * i, 4) << " ";
    return curve.trim();
}

// A saved state as a real session would have it: edited parameters and a stored learn.
juce::MemoryBlock realisticState()
{
    TQ4AudioProcessor p;
    setParameter(p, "threshold", -27.5f);
    setParameter(p, "character", 2.0f);
    setParameter(p, "source", 2.0f);
    setParameter(p, "nuance", 5.0f);
    setParameter(p, "autoMakeup", 1.0f);
    {
        const juce::ScopedLock lock(p.stateLock);
        auto& s = p.apvts.state;
        s.setProperty(StateProps::learnValid, true, nullptr);
        s.setProperty(StateProps::learnMkHist, histogramText(), nullptr);
        s.setProperty(StateProps::learnMkCurve, curveText() + "|" + curveText() + "|" + curveText(), nullptr);
        s.setProperty(StateProps::learnDriveEq,
                      "0=0.100,0.200,0.300,0.400 1=1.000,2.000,3.000,4.000 2=0.000,0.000,0.000,0.000 "
                      "3=-1.000,-2.000,-3.000,-4.000",
                      nullptr);
        s.setProperty(StateProps::learnId, 12345, nullptr);
        s.setProperty(StateProps::targetDb, 4.5, nullptr);
        s.setProperty("tq4LearnP50", -23.0, nullptr);
        s.setProperty("tq4LearnTrace", "48000.0:48:3:yMjI:wsLC", nullptr);
    }
    return save(p);
}

} // namespace

TEST(SavedState, FreshSaveCarriesVersionParametersAppliedAndBaseValues)
{
    TQ4AudioProcessor p;
    const auto block = save(p);
    auto xml = juce::AudioProcessor::getXmlFromBinary(block.getData(), static_cast<int>(block.getSize()));
    ASSERT_NE(xml, nullptr);
    const auto tree = juce::ValueTree::fromXml(*xml);
    EXPECT_EQ(tree.getType().toString(), "PARAMETERS");
    EXPECT_EQ(static_cast<int>(tree["tq4StateVersion"]), 1);
    EXPECT_EQ(tree.getNumChildren(), 16);
    for (const auto* id : {"tq4AppliedSource", "tq4AppliedNuance", "tq4AppliedCharacter"})
        EXPECT_TRUE(tree.hasProperty(id)) << id;
    for (const auto& entry : baseSettingsTable())
        EXPECT_TRUE(tree.hasProperty(entry.property)) << entry.property.toString();
    EXPECT_DOUBLE_EQ(static_cast<double>(tree["tq4BaseThreshold"]), -18.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(tree["tq4BaseKnee"]), 25.0);
    EXPECT_FALSE(p.apvts.state.hasProperty("tq4StateVersion")) << "the version lives only in saved copies";
}

TEST(SavedState, RoundTripRestoresParametersAndTheLearnedProfile)
{
    const auto block = realisticState();
    TQ4AudioProcessor p;
    const int generation = p.stateGeneration.load();
    const int revision = p.learnRevision.load();
    restore(p, block);

    EXPECT_FLOAT_EQ(value(p, "threshold"), -27.5f);
    EXPECT_FLOAT_EQ(value(p, "character"), 2.0f);
    EXPECT_FLOAT_EQ(value(p, "nuance"), 5.0f);
    EXPECT_EQ(p.sharedSourceIndex->load(), 2);
    EXPECT_EQ(p.stateGeneration.load(), generation + 1);
    EXPECT_EQ(p.learnRevision.load(), revision + 1);
    EXPECT_TRUE(p.stateRestored.load());

    // The published profile reaches the engine settings on the next block.
    juce::AudioBuffer<float> buffer(2, 64);
    buffer.clear();
    juce::MidiBuffer midi;
    p.prepareToPlay(48000.0, 64);
    p.processBlock(buffer, midi);
    const auto profile = deriveLearnedProfile(p.apvts.state);
    ASSERT_TRUE(profile.present);
    EXPECT_TRUE(profile.histogram.valid);
    EXPECT_FLOAT_EQ(profile.histogram.weight[60], 0.5f);
    EXPECT_TRUE(profile.makeup[1].valid);
    EXPECT_FLOAT_EQ(profile.makeup[1].y[12], 3.0f);
    EXPECT_TRUE(profile.driveComp.valid);
    EXPECT_FLOAT_EQ(profile.driveComp.db[1][4], 4.0f);
    EXPECT_FLOAT_EQ(profile.driveComp.db[3][0], 0.0f);

    EXPECT_EQ(save(p), save(p));
    TQ4AudioProcessor again;
    restore(again, save(p));
    EXPECT_TRUE(tq4test::sameSavedState(save(again), save(p)));
}

TEST(SavedState, MigrationFillsBaseAndAppliedValuesFromTheStoredParameters)
{
    TQ4AudioProcessor p;
    restore(p, blockFromXml(R"(<PARAMETERS>
        <PARAM id="threshold" value="-30"/><PARAM id="ratio" value="6"/>
        <PARAM id="source" value="0"/><PARAM id="nuance" value="6"/>
        <PARAM id="learn" value="1"/></PARAMETERS>)"));

    const juce::ScopedLock lock(p.stateLock);
    const auto& s = p.apvts.state;
    EXPECT_DOUBLE_EQ(static_cast<double>(s["tq4BaseThreshold"]), -30.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(s["tq4BaseRatio"]), 6.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(s["tq4BaseAttack"]), 10.0) << "absent parameters give their value";
    EXPECT_FLOAT_EQ(value(p, "nuance"), 2.0f) << "Universal has three details";
    EXPECT_EQ(static_cast<int>(s["tq4AppliedNuance"]), 2);
    EXPECT_FALSE(findParamChild(s, "learn").isValid());
    EXPECT_EQ(p.resolvedCharacter.load(), 0);
}

TEST(SavedState, OldLearnChosenCharacterBecomesAutoResolvingToIt)
{
    TQ4AudioProcessor p;
    restore(p, blockFromXml(
                   R"(<PARAMETERS tq4LearnCharAuto="1"><PARAM id="character" value="2"/></PARAMETERS>)"));
    EXPECT_FLOAT_EQ(value(p, "character"), 0.0f);
    EXPECT_EQ(p.resolvedCharacter.load(), 2);
    EXPECT_EQ(p.buildEngineSettings({}).character, 2);
    const juce::ScopedLock lock(p.stateLock);
    EXPECT_FALSE(p.apvts.state.hasProperty("tq4LearnCharAuto"));
    EXPECT_DOUBLE_EQ(static_cast<double>(p.apvts.state["tq4BaseCharacter"]), 2.0);
}

TEST(SavedState, AppliedDetailIsClampedToItsSource)
{
    TQ4AudioProcessor p;
    restore(
        p,
        blockFromXml(
            R"(<PARAMETERS tq4AppliedSource="1" tq4AppliedNuance="5"><PARAM id="source" value="1"/></PARAMETERS>)"));
    const juce::ScopedLock lock(p.stateLock);
    EXPECT_EQ(static_cast<int>(p.apvts.state["tq4AppliedNuance"]), 1);
}

TEST(SavedState, DriveEqTextIsAllOrNothing)
{
    struct Case
    {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 3=1,2,3,4", true},
        {"3=1,2,3,4 2=1,2,3,4 1=1,2,3,4 0=1,2,3,4", true},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4", false},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 3=1,2,3,4,5", false},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 2=1,2,3,4", false},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 4=1,2,3,4", false},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 3=1,,3,4", false},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 3=1,2,3,4e", false},
        {"0=1,2,3,4 1=1,2,3,4 2=1,2,3,4 x=1,2,3,4", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(readDriveEqText(c.text).valid, c.valid) << c.text;

    const auto clamped = readDriveEqText("0=99,-99,0.5,1 1=0,0,0,0 2=0,0,0,0 3=0,0,0,0");
    EXPECT_FLOAT_EQ(clamped.db[0][1], 24.0f);
    EXPECT_FLOAT_EQ(clamped.db[0][2], -24.0f);
    EXPECT_EQ(writeDriveEqText(clamped),
              "0=24.000,-24.000,0.500,1.000 1=0.000,0.000,0.000,0.000 2=0.000,0.000,0.000,0.000 "
              "3=0.000,0.000,0.000,0.000");
}

TEST(SavedState, MalformedLearnTextsDegradeToNoProfile)
{
    struct Case
    {
        const char* histogram;
        const char* curve;
        bool present, curvesValid;
    };
    const Case cases[] = {
        {"60:1:3", "", true, false},
        {"60:1:3 junk 61:x:1 62:1:300 90:1:1", "", true, false},
        {"60:0:3", "", false, false},
        {"60:-1:3", "", false, false},
        {"", "", false, false},
        {"60:1e999:3", "", false, false},
        {"60:1:3", "0:0 1:1 2:2 3:3 4:4 5:5 6:6 7:7 8:8 9:9 10:10 11:11 12:12", true, true},
        {"60:1:3", "0:0 1:1 2:2 3:3 4:4 5:5 6:6 7:7 8:8 9:9 10:10 11:11", true, false},
        {"60:1:3", "0:1 1:1 2:2 3:3 4:4 5:5 6:6 7:7 8:8 9:9 10:10 11:11 12:12", true, false},
        {"60:1:3", "0:0 1:1 0.5:2 3:3 4:4 5:5 6:6 7:7 8:8 9:9 10:10 11:11 12:12", true, false},
        {"60:1:3", "0:0 1:1 2:2 3:3 4:4 5:5 6:6 7:7 8:8 9:9 10:10 11:11 12:12|0:0", true, false},
    };
    for (const auto& c : cases)
    {
        juce::ValueTree state("PARAMETERS");
        state.setProperty(StateProps::learnValid, true, nullptr);
        state.setProperty(StateProps::learnMkHist, c.histogram, nullptr);
        state.setProperty(StateProps::learnMkCurve, c.curve, nullptr);
        const auto profile = deriveLearnedProfile(state);
        SCOPED_TRACE(juce::String(c.histogram) + " / " + c.curve);
        EXPECT_EQ(profile.present, c.present);
        for (const auto& curve : profile.makeup)
            EXPECT_EQ(curve.valid, c.curvesValid);
    }

    juce::ValueTree notLearned("PARAMETERS");
    notLearned.setProperty(StateProps::learnMkHist, "60:1:3", nullptr);
    EXPECT_FALSE(deriveLearnedProfile(notLearned).present);

    juce::ValueTree clampedCurve("PARAMETERS");
    clampedCurve.setProperty(StateProps::learnValid, true, nullptr);
    clampedCurve.setProperty(StateProps::learnMkHist, "60:2:3 61:2:3", nullptr);
    clampedCurve.setProperty(StateProps::learnMkCurve,
                             "0:0 1:30 2:-30 3:3 4:4 5:5 6:6 7:7 8:8 9:9 10:10 11:11 12:12", nullptr);
    const auto profile = deriveLearnedProfile(clampedCurve);
    EXPECT_FLOAT_EQ(profile.histogram.weight[61], 0.5f);
    EXPECT_FLOAT_EQ(profile.makeup[2].y[1], 12.0f);
    EXPECT_FLOAT_EQ(profile.makeup[0].y[2], -12.0f);
}

TEST(SavedState, UnreadableOrForeignBlocksChangeNothing)
{
    TQ4AudioProcessor p;
    setParameter(p, "threshold", -33.0f);
    const auto before = save(p);
    const int generation = p.stateGeneration.load();

    const auto valid = realisticState();
    juce::MemoryBlock truncated(valid.getData(), valid.getSize() / 2);
    juce::MemoryBlock garbage("hello world, definitely not a state", 35);
    juce::MemoryBlock lengthLies(valid);
    static_cast<uint8_t*>(lengthLies.getData())[5] ^= 0x40; // claims more text than the block holds
    juce::MemoryBlock unclosed =
        blockFromXml("<PARAMETERS><PARAM id=\"threshold\" value=\"-3\"/></PARAMETERS>");
    unclosed.setSize(unclosed.getSize() - 15);
    static_cast<uint32_t*>(unclosed.getData())[1] = static_cast<uint32_t>(unclosed.getSize() - 8);

    const auto repeated = blockFromXml(
        "<PARAMETERS tq4BaseMix=\"50\" tq4BaseMix=\"20\"><PARAM id=\"mix\" value=\"5\"/></PARAMETERS>");
    // An overlong UTF-8 form of "O" in a property name.
    auto overlong = blockFromXml("<PARAMETERS tq4XXpliedSource=\"1\"/>");
    auto* text = static_cast<uint8_t*>(overlong.getData()) + 8;
    for (size_t i = 0; i + 1 < overlong.getSize() - 8; ++i)
        if (text[i] == 'X' && text[i + 1] == 'X')
        {
            text[i] = 0xc1;
            text[i + 1] = 0x8f;
            break;
        }
    for (const auto& block : {truncated, garbage, lengthLies, unclosed, repeated, overlong,
                              blockFromXml("<SOMETHINGELSE threshold=\"-3\"/>"), juce::MemoryBlock()})
    {
        restore(p, block);
        EXPECT_EQ(save(p), before);
    }
    p.setStateInformation(nullptr, 100);
    EXPECT_EQ(save(p), before);
    EXPECT_EQ(p.stateGeneration.load(), generation);
}

TEST(SavedState, DamagedValuesAreHeldInsideTheirRanges)
{
    TQ4AudioProcessor p;
    const juce::String longText = juce::String::repeatedString("9", 100000);
    restore(p, blockFromXml(
                   "<PARAMETERS tq4BaseThreshold=\"nan\" tq4AppliedSource=\"" + longText +
                   "\" tq4TargetDb=\"inf\">"
                   "<PARAM id=\"threshold\" value=\"-1e30\"/><PARAM id=\"ratio\" value=\"banana\"/>"
                   "<PARAM id=\"attack\" value=\"nan\"/><PARAM id=\"mix\" value=\"" +
                   longText +
                   "\"/>"
                   "<PARAM id=\"character\" value=\"17\"/><PARAM id=\"source\" value=\"-4\"/></PARAMETERS>"));
    EXPECT_FLOAT_EQ(value(p, "threshold"), -60.0f);
    EXPECT_FLOAT_EQ(value(p, "ratio"), 4.0f) << "unreadable values fall back to the default";
    EXPECT_FLOAT_EQ(value(p, "attack"), 10.0f);
    EXPECT_FLOAT_EQ(value(p, "mix"), 100.0f);
    EXPECT_FLOAT_EQ(value(p, "character"), 3.0f);
    EXPECT_FLOAT_EQ(value(p, "source"), 0.0f);
    const juce::ScopedLock lock(p.stateLock);
    EXPECT_DOUBLE_EQ(static_cast<double>(p.apvts.state["tq4BaseThreshold"]), -60.0);
    EXPECT_FALSE(p.apvts.state.hasProperty("tq4TargetDb"));
    EXPECT_TRUE(std::isfinite(static_cast<double>(p.apvts.state["tq4AppliedSource"])));
}

TEST(SavedState, SurvivesThousandsOfMutatedAndTruncatedStates)
{
    const auto original = realisticState();
    juce::Random random(20261210);
    TQ4AudioProcessor p;

    for (int round = 0; round < 3000; ++round)
    {
        juce::MemoryBlock block(original);
        auto* bytes = static_cast<uint8_t*>(block.getData());
        const int flips = 1 + random.nextInt(8);
        for (int i = 0; i < flips; ++i)
        {
            const int at = 8 + random.nextInt(static_cast<int>(block.getSize()) - 8);
            switch (random.nextInt(3))
            {
            case 0:
                bytes[at] ^= static_cast<uint8_t>(1 << random.nextInt(8));
                break;
            case 1:
                bytes[at] = static_cast<uint8_t>("0123456789-.e\" <>/=x"[random.nextInt(20)]);
                break;
            default:
                bytes[at] = static_cast<uint8_t>(random.nextInt(256));
                break;
            }
        }
        if (random.nextInt(4) == 0)
            block.setSize(static_cast<size_t>(random.nextInt(static_cast<int>(block.getSize()))));

        restore(p, block);

        for (auto* parameter : p.getParameters())
        {
            const float v = parameter->getValue();
            ASSERT_TRUE(std::isfinite(v) && v >= 0.0f && v <= 1.0f) << "round " << round;
        }
        const auto saved = save(p);
        TQ4AudioProcessor copy;
        restore(copy, saved);
        const auto again = save(copy);
        ASSERT_TRUE(tq4test::sameSavedState(again, saved)) << "round " << round << "\n"
                                                           << xmlText(saved) << "\n"
                                                           << xmlText(again);
    }
}
