// Runs the built tq4-render as a user would, checking its refusals, a render and a learn.

#include "support/LearnDriver.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <gtest/gtest.h>

namespace
{

struct Run
{
    int exitCode = -1;
    juce::String out, err;
};

// Runs the tool in directory with stdout and stderr kept apart; stderr goes to a file outside it.
// The shell stays in between so that a crash shows as its exit status (128 + signal), not as 0.
Run runTool(const juce::StringArray& args, const juce::File& directory)
{
    const juce::TemporaryFile errors(".txt");
    juce::StringArray command{
        "/bin/sh",     "-c", "f=$1; shift; \"$@\" 2>\"$f\"", "sh", errors.getFile().getFullPathName(),
        TQ4_RENDER_EXE};
    command.addArray(args);
    const auto previous = juce::File::getCurrentWorkingDirectory();
    directory.setAsCurrentWorkingDirectory();
    juce::ChildProcess process;
    Run run;
    if (process.start(command, juce::ChildProcess::wantStdOut))
    {
        run.out = process.readAllProcessOutput();
        process.waitForProcessToFinish(300000);
        run.exitCode = static_cast<int>(process.getExitCode());
    }
    previous.setAsCurrentWorkingDirectory();
    run.err = errors.getFile().loadFileAsString();
    return run;
}

void writeWav(const juce::File& file, const juce::AudioBuffer<float>& buffer, double sampleRate)
{
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer(
        wav.createWriterFor(file.createOutputStream().release(), sampleRate,
                            static_cast<unsigned>(buffer.getNumChannels()), 24, {}, 0));
    ASSERT_NE(writer, nullptr);
    writer->writeFromAudioSampleBuffer(buffer, 0, buffer.getNumSamples());
}

void writeSignal(const juce::File& file, double sampleRate, int channels, double seconds,
                 const std::function<float(int channel, int index)>& signal)
{
    juce::AudioBuffer<float> buffer(channels, static_cast<int>(sampleRate * seconds));
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            buffer.setSample(c, i, signal(c, i));
    writeWav(file, buffer, sampleRate);
}

void writeSine(const juce::File& file, double sampleRate, int channels, float amplitude, double seconds)
{
    writeSignal(file, sampleRate, channels, seconds,
                [amplitude](int, int i) { return amplitude * std::sin(static_cast<float>(i) * 0.05f); });
}

// A state block as the plug-in's format frames it: magic, length, the text's bytes and a terminator;
// missingBytes claims more text than the block holds.
void writeStateBlock(const juce::File& file, const std::string& text, int missingBytes = 0)
{
    juce::MemoryOutputStream block;
    block.writeInt(0x21324356);
    block.writeInt(static_cast<int>(text.size() + 1) + missingBytes);
    block.write(text.c_str(), text.size() + 1);
    ASSERT_TRUE(file.replaceWithData(block.getData(), block.getDataSize()));
}

juce::StringArray listing(const juce::File& directory)
{
    juce::StringArray names;
    // Hidden files too: outputs are staged as hidden files beside their targets.
    for (const auto& entry :
         juce::RangedDirectoryIterator(directory, true, "*", juce::File::findFilesAndDirectories))
        names.add(entry.getFile().getRelativePathFrom(directory));
    names.sort(false);
    return names;
}

class RenderTool : public ::testing::Test
{
protected:
    juce::TemporaryFile scratch{"tq4-render-test"};
    juce::File dir;

    void SetUp() override
    {
        dir = scratch.getFile();
        ASSERT_TRUE(dir.createDirectory());
    }
    void TearDown() override { dir.deleteRecursively(); }
};

} // namespace

TEST_F(RenderTool, RefusesBadInvocationsAndLeavesNothingBehind)
{
    writeSine(dir.getChildFile("in.wav"), 48000.0, 2, 0.5f, 0.5);
    dir.getChildFile("noise.wav").replaceWithText("this is not audio");
    ASSERT_TRUE(dir.getChildFile("folder").createDirectory());
    writeStateBlock(dir.getChildFile("wrong-root.tq4"),
                    "<PRESET><PARAM id=\"threshold\" value=\"-30\"/></PRESET>");
    writeStateBlock(dir.getChildFile("repeated.tq4"), "<PARAMETERS tq4TargetDb=\"4\" tq4TargetDb=\"9\"/>");
    writeStateBlock(dir.getChildFile("bad-byte.tq4"), "<PARAMETERS tq4TargetDb=\"4\xc0\xaf\"/>");
    writeStateBlock(dir.getChildFile("truncated.tq4"), "<PARAMETERS tq4TargetDb=\"4\"/>", 40);
    // 0.4 s above -60 dBFS in every 10 s: six passes of the file give the learn 2.4 s.
    writeSignal(dir.getChildFile("quiet.wav"), 48000.0, 1, 10.0,
                [](int, int i)
                { return (i < 19200 ? 0.5f : 0.0005f) * std::sin(static_cast<float>(i) * 0.05f); });
    writeSine(dir.getChildFile("short.wav"), 48000.0, 2, 0.5f, 0.002);

    const juce::StringArray everyOutput{"--state-out", "state.tq4", "--report",
                                        "report.json", "--plot",    "plot.png"};
    struct Case
    {
        juce::StringArray args;
        const char* expected;
    };
    const Case cases[] = {
        {{"missing.wav", "out.wav"}, "no such file"},
        {{"noise.wav", "out.wav"}, "not a readable"},
        {{"--set", "loudness=3", "in.wav", "out.wav"}, "unknown parameter ID"},
        {{"--set", "threshold=-80", "in.wav", "out.wav"}, "out of range"},
        {{"--set", "threshold=abc", "in.wav", "out.wav"}, "not a number"},
        {{"--set", "character=LOUD", "in.wav", "out.wav"}, "expected one of"},
        {{"--set", "threshold", "in.wav", "out.wav"}, "id=value"},
        {{"--block", "0", "in.wav", "out.wav"}, "--block"},
        {{"--frobnicate", "in.wav"}, "unknown option"},
        {{"--target", "30", "in.wav", "out.wav"}, "--target"},
        // Sources and details by the catalogue's names; a detail beyond the source's list is refused.
        {{"--source", "Drumz", "in.wav", "out.wav"}, "sources are Universal, Vocal, Drum"},
        {{"--source", "drum", "--detail", "Lead", "in.wav", "out.wav"}, "its details are Kick, Snare"},
        {{"--set", "source=Vocal", "--set", "nuance=5", "in.wav", "out.wav"}, "not a detail of Vocal"},
        // Blocks the plug-in refuses are errors, not silently rendered defaults.
        {{"--state-in", "noise.wav", "in.wav", "out.wav"}, "not a TQ-4 state"},
        {{"--state-in", "wrong-root.tq4", "in.wav", "out.wav"}, "refused"},
        {{"--state-in", "repeated.tq4", "in.wav", "out.wav"}, "refused"},
        {{"--state-in", "bad-byte.tq4", "in.wav", "out.wav"}, "refused"},
        {{"--state-in", "truncated.tq4", "in.wav", "out.wav"}, "refused"},
        // Outputs that would overwrite an input or each other, or cannot be written.
        {{"in.wav", "in.wav"}, "would overwrite the input"},
        {{"--state-out", "in.wav", "in.wav", "out.wav"}, "would overwrite the input"},
        {{"--state-in", "s.tq4", "--state-out", "s.tq4", "in.wav", "out.wav"},
         "would overwrite the --state-in"},
        {{"--plot", "in.wav", "in.wav", "out.wav"}, "would overwrite the input"},
        {{"--report", "out.wav", "in.wav", "out.wav"}, "are the same file"},
        {{"--report", "p.png", "--plot", "p.png", "in.wav", "out.wav"}, "are the same file"},
        {{"--state-out", "no-such-folder/s.tq4", "in.wav", "out.wav"}, "no folder"},
        {{"--state-out", "folder", "in.wav", "out.wav"}, "is a folder"},
        // Failures found only once the plug-in runs leave nothing either.
        {{"--target", "5", "in.wav", "out.wav"}, "needs a stored learn"},
        {{"--learn", "quiet.wav", "out.wav"},
         "heard only 2.4 s above -60 dBFS in 60.0 s of audio; it needs 8 s"},
        {{"--learn", "short.wav", "out.wav"}, "shorter than one block"},
    };
    const auto before = listing(dir);
    for (const auto& c : cases)
    {
        auto args = c.args;
        if (!args.contains("--state-out") && !args.contains("--report") && !args.contains("--plot"))
        {
            args = everyOutput;
            args.addArray(c.args);
        }
        SCOPED_TRACE(args.joinIntoString(" "));
        const auto run = runTool(args, dir);
        EXPECT_NE(run.exitCode, 0);
        EXPECT_TRUE(run.out.isEmpty()) << run.out;
        EXPECT_TRUE(run.err.contains(c.expected)) << run.err;
        EXPECT_EQ(listing(dir).joinIntoString(" "), before.joinIntoString(" "));
    }
}

TEST_F(RenderTool, RendersAFileAndRoundTripsItsState)
{
    writeSine(dir.getChildFile("in.wav"), 44100.0, 1, 0.8f, 1.0);
    auto run = runTool({"--set", "character=FET", "--set", "threshold=-24", "--set", "knee=SOFT", "--set",
                        "nuance=backing", "--set", "source=vocal", "--block", "300", "--state-out",
                        "settings.tq4", "in.wav", "out.wav"},
                       dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.contains("character    FET")) << run.out;
    EXPECT_TRUE(run.out.contains("threshold    -24.0 dB")) << run.out;
    EXPECT_TRUE(run.out.contains("nuance       Backing")) << run.out;
    EXPECT_TRUE(run.out.contains("LUFS")) << run.out;

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(dir.getChildFile("out.wav")));
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->sampleRate, 44100.0);
    EXPECT_EQ(reader->numChannels, 1u);
    EXPECT_EQ(reader->bitsPerSample, 24u);
    EXPECT_EQ(reader->lengthInSamples, 44100);

    run = runTool({"--state-in", "settings.tq4", "in.wav", "again.wav"}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.contains("character    FET")) << run.out;
    EXPECT_TRUE(run.out.contains("knee         SOFT")) << run.out;
    EXPECT_TRUE(run.out.contains("nuance       Backing")) << run.out;
}

TEST_F(RenderTool, RendersTheDemoWithoutInput)
{
    const auto run = runTool({}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_GT(dir.getChildFile("tq4-demo.wav").getSize(), 1000000);
    EXPECT_TRUE(run.out.contains("built-in demo"));
}

// One learn, shared by the checks: six seconds of kick-like hits, looped until eight are heard.
TEST_F(RenderTool, LearnsDrumHitsAndItsStateReproducesTheRender)
{
    const double rate = 48000.0;
    writeSignal(dir.getChildFile("hits.wav"), rate, 2, 6.0,
                [rate](int c, int i) { return tq4test::drumHits(c, i, rate); });

    // The target and the drive switch come after the learn, as the user's own moves.
    auto run = runTool({"--learn", "--source", "drum", "--detail", "full kit", "--target", "6", "--set",
                        "driveOn=1", "--bits", "32", "--state-out", "learned.tq4", "--report", "learned.json",
                        "--plot", "learned.png", "hits.wav", "learned.wav"},
                       dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out.contains("Drum / Full Kit")) << run.out;
    EXPECT_TRUE(run.out.contains("drive compensation")) << run.out;

    const auto report = juce::JSON::parse(dir.getChildFile("learned.json"));
    const auto& learn = report["learn"];
    ASSERT_TRUE(learn.isObject()) << dir.getChildFile("learned.json").loadFileAsString();
    EXPECT_GT(static_cast<double>(learn["secondsFed"]), 6.0); // the file was looped
    EXPECT_GE(static_cast<double>(learn["secondsCounted"]), 8.0);
    EXPECT_GT(static_cast<double>(learn["finishTickMs"]), 0.0);

    // Short hits, four a second, with a high crest: against the parameters' defaults (attack 10 ms,
    // release 200 ms, mix 100 %, knee 25 %) the learn asks for a faster attack, a release that
    // recovers between hits and a parallel mix, and picks the profile's FET.
    const auto& learned = learn["settings"];
    EXPECT_EQ(learned["source"].toString(), "Drum");
    EXPECT_EQ(learned["detail"].toString(), "Full Kit");
    EXPECT_LT(static_cast<double>(learned["attackMs"]), 10.0);
    EXPECT_LT(static_cast<double>(learned["releaseMs"]), 200.0);
    EXPECT_LT(static_cast<double>(learned["mixPercent"]), 100.0);
    EXPECT_EQ(learned["characterResolved"].toString(), "FET");
    EXPECT_TRUE(static_cast<bool>(learned["autoMakeup"]));
    EXPECT_NE(static_cast<double>(learned["thresholdDb"]), -18.0);

    EXPECT_NEAR(static_cast<double>(learn["targetDb"]), 6.0, 1e-6);
    EXPECT_GE(static_cast<double>(learn["targetMaxDb"]), 6.0);
    EXPECT_FALSE(static_cast<bool>(learned["driveOn"]));
    const auto& rendered = report["settings"];
    EXPECT_TRUE(static_cast<bool>(rendered["driveOn"]));
    EXPECT_EQ(static_cast<double>(rendered["drivePercent"]), static_cast<double>(learned["drivePercent"]));
    EXPECT_EQ(static_cast<double>(rendered["ratio"]), static_cast<double>(learned["ratio"]));

    const auto& table = learn["driveCompensationDb"];
    for (const auto* type : {"TUBE", "TRANSFORMER", "TAPE", "FET"})
    {
        ASSERT_TRUE(table[type].isArray()) << type;
        EXPECT_EQ(table[type].size(), 4) << type;
    }
    const double in = report["input"]["integratedLufs"], out = report["output"]["integratedLufs"];
    EXPECT_NEAR(static_cast<double>(report["loudnessChangeLu"]), out - in, 0.011);
    EXPECT_GT(static_cast<double>(report["gainReduction"]["largestDb"]), 0.0);

    const auto picture = juce::ImageFileFormat::loadFrom(dir.getChildFile("learned.png"));
    EXPECT_EQ(picture.getWidth(), 1200);
    EXPECT_EQ(picture.getHeight(), 500);

    run = runTool({"--state-in", "learned.tq4", "--bits", "32", "hits.wav", "again.wav"}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    juce::MemoryBlock first, second;
    ASSERT_TRUE(dir.getChildFile("learned.wav").loadFileAsData(first));
    ASSERT_TRUE(dir.getChildFile("again.wav").loadFileAsData(second));
    EXPECT_GT(first.getSize(), 6u * 48000u * 2u * 4u);
    EXPECT_TRUE(first == second) << "the restored state renders differently";
}
