#include "ui/FramePainter.h"
#include "ui/Fonts.h"

#include <gtest/gtest.h>

namespace
{

struct FrameFlags
{
    bool bypassed = false;
    bool driveOn = false;
};

// The frame as the editor paints it on a 960 x 540 window, the dial and history left out.
juce::Image paintFrame(FrameFlags flags)
{
    juce::Image image(juce::Image::RGB, 960, 540, true);
    juce::Graphics g(image);
    tq4::BackgroundImage background;
    const juce::Rectangle<int> bounds(960, 540);

    tq4::paintGround(g, bounds);
    tq4::paintBackdrop(g, background, bounds, 1.0f, {}, flags.bypassed);
    tq4::paintHeader(g);
    tq4::beginBypassDim(g, flags.bypassed);
    tq4::paintDriveOutline(g, flags.driveOn);
    tq4::paintPanels(g);
    tq4::paintSectionTitles(g);
    tq4::paintKnobCaption(g, "THRESHOLD", {88.0f, 262.0f}, false);
    tq4::paintKnobCaption(g, "AMOUNT", {700.0f, 224.0f}, !flags.driveOn);
    tq4::paintHistoryStripPanel(g);
    tq4::endBypassDim(g, flags.bypassed);
    return image;
}

float brightest(const juce::Image& image, juce::Rectangle<int> area)
{
    float best = 0.0f;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            best = std::max(best, image.getPixelAt(x, y).getBrightness());
    return best;
}

const juce::Rectangle<int> brandArea{30, 28, 140, 18};
const juce::Rectangle<int> titleArea{380, 26, 200, 22};
const juce::Rectangle<int> sectionTitleArea{42, 90, 120, 14};
const juce::Rectangle<int> amountCaptionArea{660, 212, 80, 14};

} // namespace

TEST(FramePainter, BypassDimsEverythingButTheHeader)
{
    const auto normal = paintFrame({false, true});
    const auto bypassed = paintFrame({true, true});

    // The header text loses only what the darker ground under it takes; the rest drops to 40 %.
    EXPECT_GT(brightest(bypassed, brandArea), 0.85f * brightest(normal, brandArea));
    EXPECT_GT(brightest(bypassed, titleArea), 0.85f * brightest(normal, titleArea));
    EXPECT_LT(brightest(bypassed, sectionTitleArea), 0.6f * brightest(normal, sectionTitleArea));

    // The ground glows are darker too.
    EXPECT_LT(bypassed.getPixelAt(170, 60).getBrightness(), normal.getPixelAt(170, 60).getBrightness());
}

TEST(FramePainter, DriveOutlineAndAmountCaptionFollowDrive)
{
    const auto on = paintFrame({false, true});
    const auto off = paintFrame({false, false});

    const auto outlineOn = on.getPixelAt(634, 240);
    const auto outlineOff = off.getPixelAt(634, 240);
    EXPECT_GT(outlineOn.getRed(), outlineOff.getRed() + 60);
    EXPECT_GT(outlineOn.getRed(), outlineOn.getBlue());

    EXPECT_LT(brightest(off, amountCaptionArea), 0.8f * brightest(on, amountCaptionArea));
}

TEST(FramePainter, TitleIsCentredOnTheCanvas)
{
    const auto frame = paintFrame({});
    // The brightest ink of "TQ-4 Adaptive Compressor" spreads about x = 480.
    int left = -1, right = -1;
    for (int x = 300; x < 660; ++x)
        for (int y = 28; y < 46; ++y)
            if (frame.getPixelAt(x, y).getBrightness() > 0.6f)
            {
                left = left < 0 ? x : left;
                right = x;
            }

    ASSERT_GE(left, 0);
    EXPECT_NEAR(0.5 * (left + right), 480.0, 3.0);
}
