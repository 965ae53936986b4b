#include "dsp/GainComputer.h"
#include "dsp/CharacterVoicing.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

using namespace tq4;

TEST(GainComputer, KneeAndSlopeCases)
{
    struct Case
    {
        float overDb, ratio, kneeDb, expectedDb;
    };
    const Case cases[] = {
        {0.0f, 4.0f, 6.0f, 0.5625f}, // threshold: middle of the quadratic knee
        {-3.0f, 4.0f, 6.0f, 0.0f},   // knee start
        {3.0f, 4.0f, 6.0f, 2.25f},   // knee end meets the straight line
        {8.0f, 4.0f, 6.0f, 6.0f},    // above the knee
        {-10.0f, 4.0f, 6.0f, 0.0f},  // below the knee
        {10.0f, 20.0f, 0.01f, 9.5f}, // hard knee, 0.95 dB per dB
        {-0.1f, 20.0f, 0.01f, 0.0f},
        {30.0f, 1.0f, 6.0f, 0.0f}, // ratio 1 never reduces
        {30.0f, 0.5f, 6.0f, 0.0f}, // ratios below 1 act as 1
        {1.0f, 2.0f, 12.0f, 49.0f * 0.5f / 24.0f},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(gainComputerDb(c.overDb, c.ratio, c.kneeDb), c.expectedDb, 1.0e-5f)
            << "over " << c.overDb << " ratio " << c.ratio << " knee " << c.kneeDb;
}

TEST(GainComputer, IsContinuousAndNeverNegative)
{
    for (const float kneeDb : {0.01f, 6.0f, 24.0f})
    {
        float previous = gainComputerDb(-60.0f, 4.0f, kneeDb);
        for (float over = -60.0f; over <= 60.0f; over += 0.01f)
        {
            const float gr = gainComputerDb(over, 4.0f, kneeDb);
            EXPECT_GE(gr, 0.0f);
            EXPECT_LE(std::abs(gr - previous), 0.0076f) << "jump at over " << over << " knee " << kneeDb;
            previous = gr;
        }
    }
}

TEST(CharacterRatioScale, FetAndOptoTerms)
{
    struct Case
    {
        float fet, opto, overDb, previousGrDb, expected;
    };
    const float fetAtSix = 1.0f + 0.6f * std::exp(-1.0f);
    const Case cases[] = {
        {1.0f, 0.0f, -5.0f, 0.0f, 1.6f},
        {1.0f, 0.0f, -5.0f, 30.0f, 1.6f},
        {1.0f, 0.0f, 0.0f, 3.0f, 1.6f},
        {1.0f, 0.0f, 6.0f, 0.0f, fetAtSix},
        {1.0f, 0.0f, 6.0f, 12.0f, fetAtSix},
        {0.0f, 1.0f, -20.0f, 5.0f, 1.2f},
        {0.0f, 1.0f, 20.0f, 5.0f, 1.2f},
        {0.0f, 1.0f, 3.0f, 25.0f, 1.4f},
        {0.0f, 1.0f, 3.0f, 10.0f, 1.4f},
        {0.0f, 1.0f, 3.0f, -4.0f, 1.0f},
        {0.0f, 0.0f, 3.0f, 8.0f, 1.0f},
        {0.5f, 0.5f, 0.0f, 5.0f, 1.4f}, // half-way through a character change
    };
    for (const auto& c : cases)
        EXPECT_NEAR(characterRatioScale(c.fet, c.opto, c.overDb, c.previousGrDb), c.expected, 1.0e-6f)
            << "fet " << c.fet << " opto " << c.opto << " over " << c.overDb << " prevGr " << c.previousGrDb;
}

TEST(StaticGainReduction, PerCharacterAtMinusTenDb)
{
    // Threshold -18 dB, ratio 4, knee 6 dB, level -10 dB: 8 dB above the knee.
    const double fetRatio = 4.0 * (1.0 + 0.6 * std::exp(-8.0 / 6.0));
    const double fetDb = (1.0 - 1.0 / fetRatio) * 8.0;

    struct Case
    {
        int character;
        double expectedDb, tolerance;
    };
    const Case cases[] = {
        {3, 6.0, 1.0e-5},   {0, 6.0, 1.0e-5}, {4, 6.0, 1.0e-5}, {-1, 6.0, 1.0e-5},
        {2, fetDb, 1.0e-4}, {2, 6.27, 0.005}, {1, 6.41, 0.005},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(staticGainReductionDb(-10.0f, -18.0f, 4.0f, 6.0f, c.character), c.expectedDb, c.tolerance)
            << "character " << c.character;
}

TEST(StaticGainReduction, OptoIteratesItsGainDependentRatio)
{
    // Four fixed-point steps of gr = slope(ratio * (1 + 0.4 * clamp(gr / 10))) * over, from gr = 0.
    double gr = 0.0;
    for (int i = 0; i < 4; ++i)
    {
        const double ratio = 4.0 * (1.0 + 0.4 * std::clamp(gr / 10.0, 0.0, 1.0));
        gr = (1.0 - 1.0 / ratio) * 20.0;
    }
    EXPECT_NEAR(staticGainReductionDb(0.0f, -20.0f, 4.0f, 0.01f, 1), gr, 1.0e-4);
    EXPECT_FLOAT_EQ(staticGainReductionDb(-40.0f, -20.0f, 4.0f, 6.0f, 1), 0.0f);
}

TEST(CharacterVoicing, RowsPerIndex)
{
    struct Case
    {
        int character;
        float autoReleaseMs, rmsWindowMs, peakRmsBlend, peakReleaseMs;
        bool slowRelease, fetColour;
    };
    const Case cases[] = {
        {1, 100.0f, 30.0f, 0.0f, 50.0f, true, false}, {2, 70.0f, 0.0f, 1.0f, 10.0f, false, true},
        {3, 100.0f, 5.0f, 0.5f, 25.0f, false, false}, {0, 100.0f, 5.0f, 0.5f, 25.0f, false, false},
        {4, 100.0f, 5.0f, 0.5f, 25.0f, false, false},
    };
    for (const auto& c : cases)
    {
        const CharacterVoicing v = characterVoicing(c.character);
        EXPECT_EQ(v.autoReleaseMs, c.autoReleaseMs) << c.character;
        EXPECT_EQ(v.rmsWindowMs, c.rmsWindowMs) << c.character;
        EXPECT_EQ(v.peakRmsBlend, c.peakRmsBlend) << c.character;
        EXPECT_EQ(v.peakReleaseMs, c.peakReleaseMs) << c.character;
        EXPECT_EQ(v.slowRelease, c.slowRelease) << c.character;
        EXPECT_EQ(v.fetColour, c.fetColour) << c.character;
    }
}

TEST(FetColour, AntiAliasedShaperMatchesTheCurve)
{
    // Over a small step the anti-aliased value is the shaper at the midpoint; over a long step it is the
    // mean of the clamped shaper: from -2 to 2 the odd part cancels and (2a + 2a/3) / 4 = 2a/3 remains.
    const float depth = 1.0f;
    const float a = 0.06f, b = 0.08f;
    const auto shaper = [&](float x) { return a * x * x + b * x * x * x; };

    EXPECT_NEAR(fetColourValue(0.5f, 0.5f, depth), shaper(0.5f), 1.0e-7f);
    EXPECT_NEAR(fetColourValue(0.3000001f, 0.3f, depth), shaper(0.30000005f), 1.0e-6f);
    EXPECT_NEAR(fetColourValue(0.6f, 0.4f, depth),
                (a * (0.216f - 0.064f) / 3.0f + b * (0.1296f - 0.0256f) / 4.0f) / 0.2f, 1.0e-5f);
    EXPECT_NEAR(fetColourValue(2.0f, -2.0f, depth), 2.0f * a / 3.0f, 1.0e-6f);
    EXPECT_NEAR(fetColourValue(3.0f, 2.0f, depth), a + b, 1.0e-6f); // clamped at +1 on both sides
    EXPECT_EQ(fetColourValue(0.7f, 0.2f, 0.0f), 0.0f);
    EXPECT_NEAR(fetColourValue(0.7f, 0.2f, 0.5f), 0.5f * fetColourValue(0.7f, 0.2f, 1.0f), 1.0e-7f);
}

} // namespace
