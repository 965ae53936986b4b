#include "dsp/Makeup.h"
#include "dsp/GainComputer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

using namespace tq4;

// Threshold -18 dB, ratio 4, knee 6 dB, VCA, mix 100 %, Auto Makeup on.
EngineSettings makeupSettings()
{
    EngineSettings s;
    s.thresholdDb = -18.0f;
    s.ratio = 4.0f;
    s.kneeDb = 6.0f;
    s.character = 3;
    s.mix = 1.0f;
    s.autoMakeup = true;
    return s;
}

void setStraightCorrection(EngineSettings& s, float slope, float offsetDb)
{
    s.makeupCorrectionValid = true;
    for (int i = 0; i < EngineSettings::correctionPoints; ++i)
    {
        s.makeupCorrectionX[i] = static_cast<float>(i);
        s.makeupCorrectionY[i] = offsetDb + slope * static_cast<float>(i);
    }
}

TEST(AutomaticMakeup, StaticPathScalesWithMix)
{
    struct Case
    {
        float mix;
        bool autoMakeup;
        float expectedDb;
    };
    const Case cases[] = {
        {1.0f, true, 6.0f}, {0.5f, true, 3.0f}, {0.0f, true, 0.0f}, {1.5f, true, 6.0f}, {1.0f, false, 0.0f},
    };
    for (const auto& c : cases)
    {
        EngineSettings s = makeupSettings();
        s.mix = c.mix;
        s.autoMakeup = c.autoMakeup;
        EXPECT_NEAR(automaticMakeupDb(s), c.expectedDb, 1.0e-5f)
            << "mix " << c.mix << " auto " << c.autoMakeup;
    }
}

TEST(AutomaticMakeup, StaticPathKeepsTheKneeAboveZero)
{
    EngineSettings s = makeupSettings();
    s.kneeDb = 0.0f;
    s.thresholdDb = -10.0f; // the level sits on the threshold: a knee of 0.01 dB gives a sliver
    EXPECT_NEAR(staticMakeupDb(s), 0.005f * 0.005f * 0.75f / 0.02f, 1.0e-7f);
    EXPECT_TRUE(std::isfinite(staticMakeupDb(s)));
}

TEST(AutomaticMakeup, HistogramPathNeedsALearnedProfile)
{
    EngineSettings s = makeupSettings();
    s.histogramValid = true; // every weight 0: the estimate is 0
    s.learnProfilePresent = false;
    EXPECT_NEAR(automaticMakeupDb(s), 6.0f, 1.0e-5f);

    s.learnProfilePresent = true;
    EXPECT_EQ(automaticMakeupDb(s), 0.0f);

    s.autoMakeup = false;
    setStraightCorrection(s, 0.5f, 2.0f);
    EXPECT_EQ(automaticMakeupDb(s), 0.0f);
}

TEST(EstimateMakeup, HandMadeHistogram)
{
    // VCA with a 0.01 dB knee listens half-way between RMS and peak.
    EngineSettings s = makeupSettings();
    s.kneeDb = 0.01f;
    s.histogramValid = true;
    s.learnProfilePresent = true;

    // Bin 50: centre -29.5 dB, crest 6 -> detector -26.5 dB, below the threshold.
    s.histogramWeight[50] = 3.0f;
    s.histogramCrestDb[50] = 6.0f;
    // Bin 75: centre -4.5 dB, crest 3 -> detector -3 dB, 15 dB over: 11.25 dB of reduction.
    s.histogramWeight[75] = 1.0f;
    s.histogramCrestDb[75] = 3.0f;
    // Bin 79 carries a crest but no weight and must not count.
    s.histogramCrestDb[79] = 10.0f;

    struct Case
    {
        float mix;
    };
    for (const Case c : {Case{1.0f}, Case{0.5f}, Case{0.25f}})
    {
        s.mix = c.mix;
        const double g = c.mix * std::pow(10.0, -11.25 / 20.0) + (1.0 - c.mix);
        const double expectedDb = -10.0 * std::log10((3.0 * 1.0 + 1.0 * g * g) / 4.0);
        EXPECT_NEAR(estimateMakeupDb(s), expectedDb, 1.0e-4) << "mix " << c.mix;
        // The mix is inside the estimate: no second scaling on the way out.
        EXPECT_NEAR(automaticMakeupDb(s), expectedDb, 1.0e-4) << "mix " << c.mix;
    }

    s.mix = 0.0f;
    EXPECT_NEAR(estimateMakeupDb(s), 0.0f, 1.0e-7f);

    s.mix = 1.0f;
    s.histogramValid = false;
    EXPECT_EQ(estimateMakeupDb(s), 0.0f);
}

TEST(EstimateMakeup, DetectorLevelFollowsTheCharacter)
{
    // One bin at -9.5 dB RMS with a 9 dB crest: OPTO hears -9.5 dB, FET -0.5 dB, VCA -5 dB.
    EngineSettings s = makeupSettings();
    s.kneeDb = 0.01f;
    s.histogramValid = true;
    s.histogramWeight[70] = 1.0f;
    s.histogramCrestDb[70] = 9.0f;

    struct Case
    {
        int character;
        float detectorDb;
    };
    for (const Case c : {Case{1, -9.5f}, Case{2, -0.5f}, Case{3, -5.0f}})
    {
        s.character = c.character;
        const float grDb = staticGainReductionDb(c.detectorDb, -18.0f, 4.0f, 0.01f, c.character);
        EXPECT_NEAR(estimateMakeupDb(s), grDb, 1.0e-4f) << "character " << c.character;
    }
}

TEST(MakeupCorrection, PiecewiseLinearCurve)
{
    float x[EngineSettings::correctionPoints];
    float y[EngineSettings::correctionPoints];
    for (int i = 0; i < EngineSettings::correctionPoints; ++i)
    {
        x[i] = 2.0f * static_cast<float>(i); // 0, 2, ... 24 dB
        y[i] = static_cast<float>(i) * 0.25f - 1.0f;
    }
    // Two breakpoints closer than 1e-6 dB: between them the later one's correction applies.
    x[6] = std::nextafter(x[5], 100.0f);
    y[6] = 3.0f;

    struct Case
    {
        float estimateDb, expectedDb;
    };
    const Case cases[] = {
        {-3.0f, -3.0f - 1.0f}, // below the first point: held
        {0.0f, -1.0f},         // on the first point
        {1.0f, 1.0f - 0.875f}, // half-way between points 0 and 1
        {3.5f, 3.5f + (-0.75f + 0.25f * 0.75f)},
        {10.0f, 10.0f + 0.25f}, // exactly on point 5
        {x[6], x[6] + 3.0f},    // inside the near-empty segment 5..6
        {11.0f, 11.0f + 3.0f + (0.75f - 3.0f) * 0.25f},
        {24.0f, 24.0f + 2.0f}, // on the last point
        {40.0f, 40.0f + 2.0f}, // beyond: held
    };
    for (const auto& c : cases)
        EXPECT_NEAR(applyMakeupCorrectionDb(c.estimateDb, x, y), c.expectedDb, 1.0e-5f) << c.estimateDb;
}

TEST(MakeupCorrection, StillAppliedToAnEmptyHistogram)
{
    EngineSettings s = makeupSettings();
    s.learnProfilePresent = true;
    s.histogramValid = true;
    setStraightCorrection(s, 0.5f, 1.25f);
    EXPECT_NEAR(automaticMakeupDb(s), 1.25f, 1.0e-6f);

    s.makeupCorrectionValid = false;
    EXPECT_EQ(automaticMakeupDb(s), 0.0f);
}

TEST(DriveCompensation, InterpolatesTheTableRow)
{
    const float row[EngineSettings::driveCompAmounts] = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f};
    struct Case
    {
        float drivePercent, expectedDb;
    };
    const Case cases[] = {
        {17.5f, 1.5f}, {100.0f, 4.0f}, {250.0f, 4.0f}, {0.0f, 0.0f},  {-5.0f, 0.0f},
        {5.0f, 0.5f},  {10.0f, 1.0f},  {25.0f, 2.0f},  {37.5f, 2.5f}, {75.0f, 3.5f},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(interpolateDriveCompDb(row, c.drivePercent), c.expectedDb, 1.0e-6f) << c.drivePercent;
}

TEST(DriveCompensation, NeedsDriveAutoMakeupAndATable)
{
    EngineSettings s = makeupSettings();
    s.driveOn = true;
    s.drivePercent = 50.0f;
    s.driveCompValid = true;
    for (int type = 0; type < EngineSettings::driveTypes; ++type)
        for (int j = 0; j < EngineSettings::driveCompAmounts; ++j)
            s.driveCompDb[type][j] = static_cast<float>(10 * (type + 1) + j);

    struct Case
    {
        bool driveOn, autoMakeup, valid;
        int type;
        float expectedDb;
    };
    const Case cases[] = {
        {true, true, true, 0, 13.0f},  {true, true, true, 2, 33.0f}, {true, true, true, 9, 43.0f},
        {true, true, true, -3, 13.0f}, {false, true, true, 1, 0.0f}, {true, false, true, 1, 0.0f},
        {true, true, false, 1, 0.0f},
    };
    for (const auto& c : cases)
    {
        s.driveOn = c.driveOn;
        s.autoMakeup = c.autoMakeup;
        s.driveCompValid = c.valid;
        EXPECT_NEAR(driveCompensationDb(s, c.type), c.expectedDb, 1.0e-5f)
            << "on " << c.driveOn << " auto " << c.autoMakeup << " valid " << c.valid << " type " << c.type;
    }
}

} // namespace
