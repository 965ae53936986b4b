// Runs the built tq4-render as a user would, checking its refusals and a real render.

#include <juce_audio_formats/juce_audio_formats.h>

#include <gtest/gtest.h>

namespace
{

struct Run
{
    int exitCode = -1;
    juce::String output;
};

Run runTool(const juce::StringArray& args, const juce::File& directory)
{
    juce::StringArray command{TQ4_RENDER_EXE};
    command.addArray(args);
    const auto previous = juce::File::getCurrentWorkingDirectory();
    directory.setAsCurrentWorkingDirectory();
    juce::ChildProcess process;
    Run run;
    if (process.start(command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
    {
        run.output = process.readAllProcessOutput();
        process.waitForProcessToFinish(60000);
        run.exitCode = static_cast<int>(process.getExitCode());
    }
    previous.setAsCurrentWorkingDirectory();
    return run;
}

void writeSine(const juce::File& file, double sampleRate, int channels, float amplitude, double seconds)
{
    juce::AudioBuffer<float> buffer(channels, static_cast<int>(sampleRate * seconds));
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            buffer.setSample(c, i, amplitude * std::sin(static_cast<float>(i) * 0.05f));
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(
        file.createOutputStream().release(), sampleRate, static_cast<unsigned>(channels), 24, {}, 0));
    ASSERT_NE(writer, nullptr);
    writer->writeFromAudioSampleBuffer(buffer, 0, buffer.getNumSamples());
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

TEST_F(RenderTool, RefusesBadInputAndWritesNothing)
{
    writeSine(dir.getChildFile("in.wav"), 48000.0, 2, 0.5f, 0.5);
    dir.getChildFile("noise.wav").replaceWithText("this is not audio");

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
        {{"in.wav", "in.wav"}, "overwrite the input"},
        {{"--frobnicate", "in.wav"}, "unknown option"},
        {{"--state-in", "noise.wav", "in.wav", "out.wav"}, "not a TQ-4 state"},
    };
    for (const auto& c : cases)
    {
        const auto run = runTool(c.args, dir);
        SCOPED_TRACE(c.args.joinIntoString(" "));
        EXPECT_NE(run.exitCode, 0);
        EXPECT_TRUE(run.output.contains(c.expected)) << run.output;
        EXPECT_FALSE(dir.getChildFile("out.wav").exists());
    }
}

TEST_F(RenderTool, RendersAFileAndRoundTripsItsState)
{
    writeSine(dir.getChildFile("in.wav"), 44100.0, 1, 0.8f, 1.0);
    auto run = runTool({"--set", "character=FET", "--set", "threshold=-24", "--set", "knee=SOFT", "--block",
                        "300", "--state-out", "settings.tq4", "in.wav", "out.wav"},
                       dir);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(run.output.contains("character    FET")) << run.output;
    EXPECT_TRUE(run.output.contains("threshold    -24.0 dB")) << run.output;
    EXPECT_TRUE(run.output.contains("LUFS")) << run.output;

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(dir.getChildFile("out.wav")));
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->sampleRate, 44100.0);
    EXPECT_EQ(reader->numChannels, 1u);
    EXPECT_EQ(reader->bitsPerSample, 24u);
    EXPECT_EQ(reader->lengthInSamples, 44100);

    run = runTool({"--state-in", "settings.tq4", "in.wav", "again.wav"}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(run.output.contains("character    FET")) << run.output;
    EXPECT_TRUE(run.output.contains("knee         SOFT")) << run.output;
}

TEST_F(RenderTool, RendersTheDemoWithoutInput)
{
    const auto run = runTool({}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_GT(dir.getChildFile("tq4-demo.wav").getSize(), 1000000);
    EXPECT_TRUE(run.output.contains("built-in demo"));
}
