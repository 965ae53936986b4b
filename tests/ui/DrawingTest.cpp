#include "ui/Drawing.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

juce::Image filledImage(int w, int h, juce::Colour colour)
{
    juce::Image image(juce::Image::ARGB, w, h, false);
    image.clear(image.getBounds(), colour);
    return image;
}

} // namespace

TEST(GlowFalloff, SinglePointDiscWeighsOneGridCell)
{
    EXPECT_NEAR(tq4::glowFalloff(0.0f, 70.0f, 0.0f), 36.0 / (2.0 * juce::MathConstants<double>::pi * 4900.0),
                1e-7);
}

TEST(GlowFalloff, MatchesAFinelyIntegratedBlurredDisc)
{
    // The same convolution of a disc with a normalised Gaussian, on a grid twelve times finer.
    const auto reference = [](double r, double sigma, double d)
    {
        double sum = 0.0;
        for (double y = -r; y <= r; y += 0.5)
            for (double x = -r; x <= r; x += 0.5)
                if (x * x + y * y <= r * r)
                    sum += std::exp(-((x - d) * (x - d) + y * y) / (2.0 * sigma * sigma));
        return std::min(1.0, sum * 0.25 / (2.0 * juce::MathConstants<double>::pi * sigma * sigma));
    };

    struct Case
    {
        float r, d;
    };
    const Case cases[] = {
        {130.0f, 0.0f}, {60.0f, 0.0f}, {230.0f, 100.0f}, {190.0f, 190.0f}, {130.0f, 250.0f}};

    for (const auto& c : cases)
        EXPECT_NEAR(tq4::glowFalloff(c.r, 70.0f, c.d), reference(c.r, 70.0, c.d), 0.01)
            << "r " << c.r << " d " << c.d;
}

TEST(GlowFalloff, NearlyOneInsideALargeDiscAndZeroFarAway)
{
    EXPECT_NEAR(tq4::glowFalloff(260.0f, 70.0f, 0.0f), 1.0f, 0.002f);
    EXPECT_LE(tq4::glowFalloff(260.0f, 70.0f, 0.0f), 1.0f);
    EXPECT_LT(tq4::glowFalloff(100.0f, 70.0f, 1000.0f), 1e-9f);
    EXPECT_EQ(tq4::glowFalloff(-5.0f, 70.0f, 0.0f), 0.0f);
}

TEST(GlowFalloff, FallsMonotonicallyWithDistance)
{
    for (const float r : {0.0f, 130.0f, 230.0f})
    {
        float previous = tq4::glowFalloff(r, 70.0f, 0.0f);
        for (float d = 5.0f; d <= 500.0f; d += 5.0f)
        {
            const float value = tq4::glowFalloff(r, 70.0f, d);
            EXPECT_LE(value, previous) << "r " << r << " d " << d;
            previous = value;
        }
    }
}

TEST(DrawGlow, IsBrightestAtTheCentreAndGoneBeyondItsReach)
{
    auto image = filledImage(800, 800, juce::Colours::black);
    {
        juce::Graphics g(image);
        tq4::drawGlow(g, {400.0f, 400.0f}, 150.0f, juce::Colours::white, 0.8f);
    }

    // 0.8 of the blurred disc's centre intensity, about 0.9.
    const float centre = image.getPixelAt(400, 400).getBrightness();
    EXPECT_NEAR(centre, 0.8f * tq4::glowFalloff(150.0f, 70.0f, 0.0f), 0.03f);
    EXPECT_GT(centre, image.getPixelAt(550, 400).getBrightness());
    EXPECT_GT(image.getPixelAt(550, 400).getBrightness(), image.getPixelAt(680, 400).getBrightness());
    EXPECT_EQ(image.getPixelAt(0, 0).getBrightness(), 0.0f); // beyond r + 210
}

TEST(DrawShapeShadows, OutsideOnlyLeavesTheShapeUntouched)
{
    juce::Path square;
    square.addRectangle(40.0f, 40.0f, 40.0f, 40.0f);
    const tq4::ShadowList layers = {{6.0f, 0.0f, 0.5f}, {0.0f, 8.0f, 0.5f}};

    for (const bool outsideOnly : {true, false})
    {
        SCOPED_TRACE(outsideOnly ? "outside only" : "whole shape");
        auto image = filledImage(120, 120, juce::Colours::white);
        {
            juce::Graphics g(image);
            tq4::drawShapeShadows(g, square, 1.0f, layers, outsideOnly);
        }

        const auto inside = image.getPixelAt(60, 60);
        EXPECT_EQ(inside == juce::Colours::white, outsideOnly);
        EXPECT_LT(image.getPixelAt(60, 83).getBrightness(), 0.5f);  // the offset layer below the shape
        EXPECT_LT(image.getPixelAt(35, 60).getBrightness(), 0.75f); // the spread layer beside it
        EXPECT_EQ(image.getPixelAt(60, 110), juce::Colours::white); // beyond every layer
    }
}

TEST(DrawPanel, RendersAtSeveralScales)
{
    for (const float scale : {0.75f, 1.0f, 1.5f, 2.0f})
    {
        SCOPED_TRACE(scale);
        const auto black = juce::Colours::black;
        auto image = filledImage(juce::roundToInt(400 * scale), juce::roundToInt(300 * scale), black);
        {
            juce::Graphics g(image);
            g.addTransform(juce::AffineTransform::scale(scale));
            tq4::drawPanel(g, {50.0f, 40.0f, 300.0f, 200.0f}, 22.0f);
        }

        const auto at = [&](float x, float y)
        { return image.getPixelAt(juce::roundToInt(x * scale), juce::roundToInt(y * scale)); };
        EXPECT_GT(at(200.0f, 140.0f).getBrightness(), 0.0f);                              // glass fill
        EXPECT_GT(at(200.0f, 41.0f).getBrightness(), at(200.0f, 140.0f).getBrightness()); // top highlight
        EXPECT_EQ(at(10.0f, 10.0f), black);
    }
}

TEST(BrandGradient, RunsFromVioletBottomLeftToAmberTopRight)
{
    const auto gradient = tq4::brandGradient({10.0f, 20.0f, 100.0f, 50.0f});
    EXPECT_EQ(gradient.point1, juce::Point<float>(9.5f, 70.5f));
    EXPECT_EQ(gradient.point2, juce::Point<float>(110.5f, 19.5f));
    EXPECT_EQ(gradient.getColour(0), juce::Colour(0xFF8B5CF6));
    EXPECT_EQ(gradient.getColourAtPosition(0.55), juce::Colour(0xFFFF4F8B));
    EXPECT_EQ(gradient.getColour(gradient.getNumColours() - 1), juce::Colour(0xFFFFA53D));
}

TEST(ArcPath, AnglesAreClockwiseFromStraightUp)
{
    const auto arc = tq4::arcPath({100.0f, 100.0f}, 50.0f, 0.0f, 90.0f);
    const auto bounds = arc.getBounds();
    // From the top point round to the right-hand point.
    EXPECT_NEAR(bounds.getX(), 100.0f, 0.5f);
    EXPECT_NEAR(bounds.getY(), 50.0f, 0.5f);
    EXPECT_NEAR(bounds.getRight(), 150.0f, 0.5f);
    EXPECT_NEAR(bounds.getBottom(), 100.0f, 0.5f);
}
