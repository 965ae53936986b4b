#include "adapt/SourceCatalogue.h"

#include <gtest/gtest.h>

namespace
{

using tq4::SourceProfile;

void expectSameProfile(const SourceProfile& a, const SourceProfile& b)
{
    EXPECT_EQ(a.defaultTargetDb, b.defaultTargetDb);
    EXPECT_EQ(a.ratioBase, b.ratioBase);
    EXPECT_EQ(a.ratioSpread, b.ratioSpread);
    EXPECT_EQ(a.ratioMax, b.ratioMax);
    EXPECT_EQ(a.attackRiseFactor, b.attackRiseFactor);
    EXPECT_EQ(a.attackMinMs, b.attackMinMs);
    EXPECT_EQ(a.attackMaxMs, b.attackMaxMs);
    EXPECT_EQ(a.releaseBaseMs, b.releaseBaseMs);
    EXPECT_EQ(a.releaseDecaySpanMs, b.releaseDecaySpanMs);
    EXPECT_EQ(a.releaseMinMs, b.releaseMinMs);
    EXPECT_EQ(a.kneeBaseDb, b.kneeBaseDb);
    EXPECT_EQ(a.mixCeiling, b.mixCeiling);
    EXPECT_EQ(a.mixFloor, b.mixFloor);
    EXPECT_EQ(a.autoRelease, b.autoRelease);
    EXPECT_EQ(a.character, b.character);
    EXPECT_EQ(a.driveLevelDb, b.driveLevelDb);
    EXPECT_EQ(a.driveType, b.driveType);
}

} // namespace

TEST(SourceCatalogue, NamesAreInParameterOrder)
{
    EXPECT_EQ(tq4::characterNames(), juce::StringArray("AUTO", "OPTO", "FET", "VCA"));

    const juce::StringArray expectedSources{"Universal", "Vocal",    "Drum", "Percussion", "Bass",
                                            "Guitar",    "Piano",    "Keys", "Synth",      "Strings",
                                            "Brass",     "Woodwind", "MIX"};
    EXPECT_EQ(tq4::sourceNames(), expectedSources);
}

TEST(SourceCatalogue, EverySourceHasItsDetailList)
{
    struct Case
    {
        int source;
        int count;
        const char* first;
        const char* last;
    };
    const Case cases[] = {
        {0, 3, "Gentle", "Strong"},
        {1, 2, "Lead", "Backing"},
        {2, 7, "Kick", "Loop"},
        {3, 7, "Hand Drum", "Full Perc"},
        {4, 5, "Finger-Pick", "808-Sub"},
        {5, 5, "Lead", "DI"},
        {6, 2, "Backing", "Solo"},
        {7, 3, "EP", "Clav"},
        {8, 4, "Pad", "Arp"},
        {9, 3, "Legato", "Section"},
        {10, 3, "Legato", "Section"},
        {11, 3, "Legato", "Section"},
        {12, 2, "Bus", "Master"},
        {13, 3, "Gentle", "Strong"},
        {-1, 3, "Gentle", "Strong"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.source);
        const auto names = tq4::detailNames(c.source);
        ASSERT_EQ(names.size(), c.count);
        EXPECT_EQ(names[0], c.first);
        EXPECT_EQ(names[c.count - 1], c.last);
        EXPECT_EQ(tq4::clampDetail(c.source, 100), c.count - 1);
    }
    EXPECT_EQ(tq4::detailNames(13), juce::StringArray("Gentle", "Natural", "Strong"));
}

TEST(SourceCatalogue, DetailIndexIsKeptInsideTheList)
{
    struct Case
    {
        int source;
        int detail;
        int clamped;
        const char* name;
    };
    const Case cases[] = {
        {2, 7, 6, "Loop"},        {1, 7, 1, "Backing"},  {0, -1, 0, "Gentle"},
        {12, 5, 1, "Master"},     {0, 3, 2, "Strong"},   {3, 2, 2, "Wood-Click"},
        {4, 0, 0, "Finger-Pick"}, {-5, 1, 1, "Natural"}, {13, 9, 2, "Strong"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.source) + "/" + juce::String(c.detail));
        EXPECT_EQ(tq4::clampDetail(c.source, c.detail), c.clamped);
        EXPECT_EQ(tq4::detailName(c.source, c.detail), c.name);
    }
}

TEST(SourceCatalogue, DetailIndexMatchesTextIgnoringCase)
{
    struct Case
    {
        int source;
        const char* text;
        int index;
    };
    const Case cases[] = {
        {4, "Slap", 1},      {4, "slap", 1}, {4, "Kick", 0}, {4, "", 0},        {2, "hi-hat", 2},
        {3, "FULL PERC", 6}, {5, "di", 4},   {4, "di", 2},   {2, "Hi-Hat ", 0}, {13, "strong", 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.source) + " '" + c.text + "'");
        EXPECT_EQ(tq4::detailIndex(c.source, c.text), c.index);
    }
}

TEST(SourceCatalogue, UnknownSourceGetsTheFallbackProfile)
{
    const auto fallback = tq4::sourceProfile(13, 0);
    EXPECT_EQ(fallback.ratioMax, 5.0f);
    EXPECT_EQ(fallback.defaultTargetDb, 4.0f);
    EXPECT_EQ(fallback.character, 3);
    EXPECT_EQ(fallback.driveLevelDb, -6.0f);
    EXPECT_EQ(fallback.releaseDecaySpanMs, 150.0f);

    for (const int source : {13, 14, -1, 1000})
        for (const int detail : {-3, 0, 2, 7})
        {
            SCOPED_TRACE(juce::String(source) + "/" + juce::String(detail));
            expectSameProfile(tq4::sourceProfile(source, detail), fallback);
        }

    // The fallback is its own row, not the first "Universal" one.
    EXPECT_NE(tq4::sourceProfile(0, 0).ratioMax, fallback.ratioMax);
}

TEST(SourceCatalogue, ProfilesKeepTheirExactSinglePrecisionValues)
{
    const auto brassSection = tq4::sourceProfile(10, 2);
    EXPECT_EQ(static_cast<double>(brassSection.releaseBaseMs), 120.0 + 1.0 / 131072.0);
    EXPECT_EQ(static_cast<double>(brassSection.releaseDecaySpanMs), 240.0 + 1.0 / 65536.0);
    EXPECT_EQ(brassSection.ratioSpread, 1.2800001f);
    EXPECT_NE(brassSection.ratioSpread, 1.28f);

    const auto stringsLegato = tq4::sourceProfile(9, 0);
    EXPECT_EQ(stringsLegato.defaultTargetDb, 2.9750001f);
    EXPECT_NE(stringsLegato.defaultTargetDb, 2.975f);

    EXPECT_EQ(tq4::sourceProfile(9, 2).defaultTargetDb, 3.1499999f);
    EXPECT_NE(tq4::sourceProfile(9, 2).defaultTargetDb, 3.15f);
    EXPECT_EQ(tq4::sourceProfile(11, 0).attackRiseFactor, 1.9499999f);
    EXPECT_NE(tq4::sourceProfile(11, 0).attackRiseFactor, 1.95f);
}

TEST(SourceCatalogue, ProfileRowsBelongToTheirDetails)
{
    struct Case
    {
        int source;
        int detail;
        float ratioBase;
        float mixFloor;
        bool autoRelease;
        int character;
        int driveType;
    };
    // One distinctive row per source, so a row shifted against its name shows up.
    const Case cases[] = {
        {0, 2, 3.5f, 100.0f, false, 3, 0}, {1, 1, 3.0f, 100.0f, false, 1, 0},
        {2, 5, 2.0f, 55.0f, true, 2, 3},   {2, 99, 1.8f, 70.0f, true, 2, 3},
        {3, 3, 2.2f, 100.0f, false, 1, 3}, {3, 6, 2.0f, 70.0f, true, 3, 3},
        {4, 1, 3.5f, 100.0f, false, 2, 0}, {5, 4, 2.5f, 100.0f, false, 1, 3},
        {6, 1, 1.8f, 100.0f, false, 1, 2}, {7, 2, 2.2f, 100.0f, false, 2, 2},
        {8, 1, 2.8f, 100.0f, false, 2, 0}, {9, 2, 2.0f, 85.0f, false, 1, 0},
        {10, 2, 2.2f, 85.0f, false, 3, 0}, {11, 2, 2.0f, 85.0f, false, 1, 0},
        {12, 1, 1.3f, 70.0f, true, 3, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(juce::String(c.source) + "/" + juce::String(c.detail));
        const auto p = tq4::sourceProfile(c.source, c.detail);
        EXPECT_EQ(p.ratioBase, c.ratioBase);
        EXPECT_EQ(p.mixFloor, c.mixFloor);
        EXPECT_EQ(p.autoRelease, c.autoRelease);
        EXPECT_EQ(p.character, c.character);
        EXPECT_EQ(p.driveType, c.driveType);
    }
}

TEST(SourceCatalogue, EveryProfileIsUsable)
{
    for (int source = -1; source <= 13; ++source)
    {
        const int count = tq4::detailNames(source).size();
        for (int detail = 0; detail < count; ++detail)
        {
            SCOPED_TRACE(tq4::detailName(source, detail));
            const auto p = tq4::sourceProfile(source, detail);
            EXPECT_GE(p.ratioMax, 2.0f);
            EXPECT_GE(p.ratioMax, p.ratioBase);
            EXPECT_LT(p.attackMinMs, p.attackMaxMs);
            EXPECT_GT(p.attackRiseFactor, 0.0f);
            EXPECT_GT(p.releaseBaseMs, 0.0f);
            EXPECT_EQ(p.mixCeiling, 100.0f);
            EXPECT_LE(p.mixFloor, p.mixCeiling);
            EXPECT_GE(p.character, 1);
            EXPECT_LE(p.character, 3);
            EXPECT_GE(p.driveType, 0);
            EXPECT_LE(p.driveType, 3);
        }
    }
}
