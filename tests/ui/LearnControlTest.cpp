#include "ui/LearnControl.h"
#include "plugin/PluginProcessor.h"
#include "support/LearnDriver.h"
#include "ui/DialGeometry.h"
#include "ui/GainReductionView.h"
#include "ui/Palette.h"
#include "ui/TQ4LookAndFeel.h"

#include <gtest/gtest.h>

namespace
{

constexpr double rate = 48000.0;
constexpr int blockSize = 1920; // 40 ms, one control tick per block

// Clicks the way the framework does after a mouse-up, without a message loop.
struct ClickableButton : juce::TextButton
{
    ClickableButton() : juce::TextButton("LEARN") {}
    void click() { internalClickCallback({}); }
};

struct Learn : ::testing::Test
{
    TQ4AudioProcessor processor;
    ClickableButton button;
    tq4::LearnControl control{processor, button};

    void SetUp() override
    {
        processor.prepareToPlay(rate, blockSize);
        button.getProperties().set("tq4Learn", true);
        button.setBounds(415, 221, 130, 48);
    }

    // One editor tick in the order of the editor's timer.
    void editorTick()
    {
        control.updateLearnButton();
        control.updateLearnStatus();
    }

    // One 40 ms block of a sine at the given amplitude, then the control tick and an editor tick.
    void playBlock(float amplitude)
    {
        juce::AudioBuffer<float> block(2, blockSize);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < blockSize; ++i)
                block.setSample(c, i,
                                amplitude *
                                    std::sin(2.0f * juce::MathConstants<float>::pi * 220.0f *
                                             static_cast<float>(position + i) / static_cast<float>(rate)));
        position += blockSize;
        juce::MidiBuffer midi;
        processor.processBlock(block, midi);
        processor.timerCallback();
        editorTick();
    }

    juce::Image renderDial()
    {
        juce::Image image(juce::Image::RGB, 960, 540, true);
        juce::Graphics g(image);
        g.fillAll(tq4::colBackground);
        tq4::GainReductionView view(processor);
        view.paintDialBase(g);
        view.paintDialContents(g, control.isActive());
        {
            juce::Graphics::ScopedSaveState saved(g);
            g.setOrigin(button.getPosition());
            button.setLookAndFeel(&lookAndFeel);
            button.paintEntireComponent(g, true);
            button.setLookAndFeel(nullptr);
        }
        control.paintOverChildren(g);
        return image;
    }

    int64_t position = 0;
    tq4::TQ4LookAndFeel lookAndFeel;
};

void savePng(const juce::Image& image, const juce::String& name)
{
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile(name);
    file.deleteFile();
    juce::FileOutputStream stream(file);
    juce::PNGImageFormat().writeImageToStream(image, stream);
}

bool isColourful(juce::Colour c)
{
    return c.getSaturation() > 0.4f && c.getBrightness() > 0.3f;
}

int brightIn(const juce::Image& image, juce::Rectangle<int> area)
{
    int count = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            count += image.getPixelAt(x, y).getBrightness() > 0.5f ? 1 : 0;
    return count;
}

} // namespace

TEST(LearnStatusText, FollowsHeardTimeSignalLevelAndProgress)
{
    struct Case
    {
        float heard;
        bool low;
        float progress;
        const char* text;
        bool warning;
    };
    const Case cases[] = {
        {0.0f, false, 0.0f, "Waiting for audio - start playback", true},
        {0.19f, true, 0.0f, "Waiting for audio - start playback", true},
        {3.5f, true, 0.01f, "Signal too low - Learn only counts audio above -60 dBFS", true},
        {0.2f, false, 0.0f, "Listening... 8.0 s left", false},
        {1.0f, false, 0.125f, "Listening... 7.0 s left", false},
        {9.0f, false, 1.4f, "Listening... 0.0 s left", false},
        {0.5f, false, -0.3f, "Listening... 8.0 s left", false},
    };
    for (const auto& c : cases)
    {
        const auto status = tq4::learnStatusFor(c.heard, c.low, c.progress);
        EXPECT_EQ(status.text, c.text) << c.heard << " s, progress " << c.progress;
        EXPECT_EQ(status.warning, c.warning) << c.text;
    }
}

TEST(LearnPercent, RoundsHalvesToTheEvenNeighbour)
{
    struct Case
    {
        float progress;
        int percent;
    };
    for (const auto& c : {Case{0.125f, 12}, Case{0.375f, 38}, Case{0.625f, 62}, Case{0.0f, 0}, Case{-0.2f, 0},
                          Case{1.3f, 100}, Case{0.126f, 13}, Case{0.004f, 0}})
        EXPECT_EQ(tq4::learnPercent(c.progress), c.percent) << c.progress;

    EXPECT_EQ(tq4::roundHalfToEven(2.5), 2.0);
    EXPECT_EQ(tq4::roundHalfToEven(3.5), 4.0);
    EXPECT_EQ(tq4::roundHalfToEven(-2.5), -2.0);
    EXPECT_EQ(tq4::roundHalfToEven(2.6), 3.0);
}

TEST_F(Learn, ClickStartsAndLightsAtOnceSecondClickCancels)
{
    EXPECT_FALSE(button.getClickingTogglesState());
    EXPECT_FALSE(control.isActive());

    button.click();
    EXPECT_TRUE(processor.learnRequested.load());
    EXPECT_TRUE(button.getToggleState()) << "lit before the next editor tick";
    EXPECT_TRUE(control.isActive());

    editorTick();
    EXPECT_EQ(button.getButtonText(), "LEARNING");
    EXPECT_EQ(control.getStatusText(), "Waiting for audio - start playback");
    EXPECT_TRUE(control.isStatusWarning());

    button.click();
    EXPECT_FALSE(processor.learnRequested.load());
    EXPECT_FALSE(button.getToggleState());
    editorTick();
    EXPECT_EQ(button.getButtonText(), "LEARN");
    EXPECT_TRUE(control.getStatusText().isEmpty());
}

TEST_F(Learn, ClickWhileACancelIsPendingDoesNotStartAnotherRun)
{
    button.click();
    processor.timerCallback(); // the processor arms the capture
    playBlock(0.5f);
    ASSERT_TRUE(processor.learnRunning);

    button.click();
    EXPECT_FALSE(processor.learnRequested.load());
    EXPECT_TRUE(button.getToggleState()) << "still running until the processor acts";

    button.click();
    EXPECT_FALSE(processor.learnRequested.load()) << "a second click cancels again";
    EXPECT_TRUE(button.getToggleState());

    processor.timerCallback();
    editorTick();
    EXPECT_FALSE(processor.learnRunning);
    EXPECT_FALSE(button.getToggleState());
    EXPECT_EQ(button.getButtonText(), "LEARN");
}

TEST_F(Learn, StatusFollowsARunToItsEnd)
{
    button.click();
    processor.timerCallback();
    editorTick();
    EXPECT_EQ(control.getStatusText(), "Waiting for audio - start playback");

    bool sawListening = false;
    for (int block = 0; block < 400 && processor.learnRequested.load(); ++block)
    {
        playBlock(0.5f);
        if (!control.isActive())
            break;
        // The status always matches the published values of this tick.
        const auto expected =
            tq4::learnStatusFor(processor.learnSecondsHeard.load(), processor.learnSignalLow.load(),
                                processor.learnProgress.load());
        EXPECT_EQ(control.getStatusText(), expected.text);
        sawListening = sawListening || control.getStatusText().startsWith("Listening... ");
    }
    editorTick();

    EXPECT_TRUE(sawListening);
    EXPECT_FALSE(control.isActive());
    EXPECT_EQ(button.getButtonText(), "LEARN");
    EXPECT_TRUE(control.getStatusText().isEmpty());
}

TEST_F(Learn, QuietInputWarnsThatTheSignalIsTooLow)
{
    button.click();
    processor.timerCallback();
    for (int block = 0; block < 100; ++block) // 4 s at -66 dBFS
        playBlock(0.0005f);

    EXPECT_EQ(control.getStatusText(), "Signal too low - Learn only counts audio above -60 dBFS");
    EXPECT_TRUE(control.isStatusWarning());

    // Drawn in amber on two lines in the status rectangle.
    const auto image = renderDial();
    savePng(image, "learn-signal-low.png");
    const auto amberIn = [&](juce::Rectangle<int> area)
    {
        int count = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
            {
                const auto c = image.getPixelAt(x, y);
                count += c.getRed() > 150 && c.getRed() > c.getBlue() + 60 ? 1 : 0;
            }
        return count;
    };
    EXPECT_GT(amberIn({380, 280, 200, 12}), 20);
    EXPECT_GT(amberIn({380, 294, 200, 12}), 20);
}

TEST_F(Learn, ProgressDisplayShowsArcPercentageAndStatus)
{
    {
        juce::Image idle(juce::Image::RGB, 960, 540, true);
        juce::Graphics g(idle);
        control.paintOverChildren(g);
        EXPECT_EQ(brightIn(idle, {0, 0, 960, 540}), 0) << "idle: nothing over the children";
    }

    button.click();
    editorTick();
    const auto waiting = renderDial();
    savePng(waiting, "learn-waiting.png");
    const auto arcStart = tq4::pointOnDial(tq4::dialCentre, tq4::dialArcRadius, -130.0f).toInt();
    EXPECT_FALSE(isColourful(waiting.getPixelAt(arcStart.x, arcStart.y))) << "no arc at 0 %";
    EXPECT_GT(brightIn(waiting, {420, 160, 120, 48}), 100) << "the percentage shows 0 %";

    processor.timerCallback();
    for (int block = 0; block < 60; ++block) // about 2.4 s counted
        playBlock(0.5f);
    ASSERT_GT(processor.learnProgress.load(), 0.2f);
    const auto running = renderDial();
    savePng(running, "learn-running.png");
    EXPECT_TRUE(isColourful(running.getPixelAt(arcStart.x, arcStart.y)));
    const auto pastProgress = tq4::pointOnDial(tq4::dialCentre, tq4::dialArcRadius, 100.0f).toInt();
    EXPECT_FALSE(isColourful(running.getPixelAt(pastProgress.x, pastProgress.y)));
    EXPECT_TRUE(control.getStatusText().startsWith("Listening... "));
    EXPECT_GT(brightIn(running, {380, 280, 200, 12}), 10);
}
