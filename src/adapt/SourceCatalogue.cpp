#include "adapt/SourceCatalogue.h"

#include <iterator>

namespace tq4
{
namespace
{

constexpr int opto = 1;
constexpr int fet = 2;
constexpr int vca = 3;

constexpr int tube = 0;
constexpr int tape = 2;
constexpr int fetDrive = 3;

// Arguments in the column order of the two profile tables, so rows can be checked against them;
// the mix ceiling is the same for every pair.
constexpr SourceProfile makeProfile(float ratioBase, float ratioSpread, float ratioMax,
                                    float attackRiseFactor, float attackMinMs, float attackMaxMs,
                                    float releaseBaseMs, float releaseDecaySpanMs, float releaseMinMs,
                                    float kneeBaseDb, float defaultTargetDb, float mixFloor, bool autoRelease,
                                    int character, float driveLevelDb, int driveType)
{
    SourceProfile p;
    p.defaultTargetDb = defaultTargetDb;
    p.ratioBase = ratioBase;
    p.ratioSpread = ratioSpread;
    p.ratioMax = ratioMax;
    p.attackRiseFactor = attackRiseFactor;
    p.attackMinMs = attackMinMs;
    p.attackMaxMs = attackMaxMs;
    p.releaseBaseMs = releaseBaseMs;
    p.releaseDecaySpanMs = releaseDecaySpanMs;
    p.releaseMinMs = releaseMinMs;
    p.kneeBaseDb = kneeBaseDb;
    p.mixCeiling = 100.0f;
    p.mixFloor = mixFloor;
    p.autoRelease = autoRelease;
    p.character = character;
    p.driveLevelDb = driveLevelDb;
    p.driveType = driveType;
    return p;
}

// A detail's name lives beside its profile so that the two lists cannot drift apart.
struct Detail
{
    const char* name;
    SourceProfile profile;
};

struct Source
{
    const char* name;
    const Detail* details;
    int numDetails;
};

template <size_t N>
constexpr Source makeSource(const char* name, const Detail (&details)[N])
{
    return {name, details, static_cast<int>(N)};
}

// Values such as 1.2800001f, 120.00001f or 2.9750001f are exact single-precision values, not typos
// for shorter decimals: shortening them changes the float.
// clang-format off
constexpr Detail universalDetails[] = {
    { "Gentle", makeProfile(2.0f, 1.0f, 3.5f, 2.0f, 10.0f, 40.0f, 80.0f, 140.0f, 40.0f, 8.0f, 2.5f, 100.0f, false, vca, -4.5f, tube) },
    { "Natural", makeProfile(2.5f, 1.5f, 5.0f, 2.0f, 10.0f, 40.0f, 80.0f, 140.0f, 40.0f, 6.0f, 4.0f, 100.0f, false, vca, -4.5f, tube) },
    { "Strong", makeProfile(3.5f, 2.5f, 8.0f, 2.0f, 10.0f, 40.0f, 80.0f, 140.0f, 40.0f, 4.0f, 6.5f, 100.0f, false, vca, -4.5f, tube) },
};

constexpr Detail vocalDetails[] = {
    { "Lead", makeProfile(3.0f, 1.5f, 6.0f, 1.0f, 8.0f, 35.0f, 60.0f, 100.0f, 40.0f, 6.0f, 4.5f, 100.0f, false, opto, -4.5f, tube) },
    { "Backing", makeProfile(3.0f, 2.5f, 7.0f, 0.7f, 5.0f, 35.0f, 80.0f, 100.0f, 40.0f, 6.0f, 6.0f, 100.0f, false, opto, -4.5f, tube) },
};

constexpr Detail drumDetails[] = {
    { "Kick", makeProfile(3.0f, 1.5f, 6.0f, 3.0f, 4.0f, 20.0f, 60.0f, 90.0f, 30.0f, 3.0f, 4.5f, 100.0f, false, fet, -7.5f, fetDrive) },
    { "Snare", makeProfile(3.0f, 2.0f, 6.0f, 2.5f, 4.0f, 20.0f, 60.0f, 140.0f, 30.0f, 3.0f, 5.0f, 100.0f, false, fet, -7.5f, fetDrive) },
    { "Hi-Hat", makeProfile(2.5f, 1.0f, 4.0f, 1.5f, 2.0f, 12.0f, 40.0f, 80.0f, 30.0f, 3.0f, 3.0f, 100.0f, false, fet, -7.5f, fetDrive) },
    { "Toms", makeProfile(3.0f, 1.5f, 6.0f, 3.0f, 4.0f, 25.0f, 80.0f, 150.0f, 30.0f, 3.0f, 4.5f, 100.0f, false, fet, -7.5f, fetDrive) },
    { "OH-Room", makeProfile(2.5f, 1.5f, 4.5f, 4.0f, 8.0f, 35.0f, 80.0f, 170.0f, 30.0f, 5.0f, 4.0f, 60.0f, false, fet, -7.5f, fetDrive) },
    { "Full Kit", makeProfile(2.0f, 1.5f, 4.0f, 4.0f, 10.0f, 35.0f, 100.0f, 150.0f, 60.0f, 5.0f, 4.0f, 55.0f, true, fet, -7.5f, fetDrive) },
    { "Loop", makeProfile(1.8f, 1.2f, 3.5f, 4.0f, 10.0f, 35.0f, 100.0f, 150.0f, 60.0f, 6.0f, 3.0f, 70.0f, true, fet, -7.5f, fetDrive) },
};

constexpr Detail percussionDetails[] = {
    { "Hand Drum", makeProfile(2.5f, 1.5f, 5.0f, 3.0f, 4.0f, 25.0f, 60.0f, 140.0f, 30.0f, 3.0f, 4.5f, 100.0f, false, fet, -9.5f, fetDrive) },
    { "Shaker-Tamb", makeProfile(2.5f, 1.0f, 4.0f, 1.5f, 2.0f, 12.0f, 40.0f, 80.0f, 30.0f, 3.0f, 3.0f, 100.0f, false, fet, -9.5f, fetDrive) },
    { "Wood-Click", makeProfile(2.5f, 1.5f, 4.5f, 1.0f, 1.0f, 8.0f, 30.0f, 60.0f, 20.0f, 2.0f, 3.5f, 100.0f, false, fet, -9.5f, fetDrive) },
    { "Mallet", makeProfile(2.2f, 1.3f, 4.0f, 2.5f, 5.0f, 30.0f, 80.0f, 180.0f, 50.0f, 5.0f, 3.5f, 100.0f, false, opto, -9.5f, fetDrive) },
    { "Low Perc", makeProfile(2.5f, 1.5f, 5.0f, 3.5f, 10.0f, 40.0f, 120.0f, 200.0f, 70.0f, 6.0f, 4.5f, 100.0f, false, fet, -9.5f, fetDrive) },
    { "Metal", makeProfile(2.0f, 1.0f, 3.5f, 2.0f, 3.0f, 20.0f, 150.0f, 250.0f, 80.0f, 6.0f, 3.0f, 100.0f, false, fet, -9.5f, fetDrive) },
    { "Full Perc", makeProfile(2.0f, 1.5f, 4.0f, 4.0f, 8.0f, 35.0f, 80.0f, 150.0f, 30.0f, 5.0f, 4.0f, 70.0f, true, vca, -9.5f, fetDrive) },
};

constexpr Detail bassDetails[] = {
    { "Finger-Pick", makeProfile(3.0f, 2.0f, 5.0f, 1.1f, 9.0f, 40.0f, 80.0f, 100.0f, 50.0f, 5.0f, 4.5f, 100.0f, false, opto, -2.0f, tube) },
    { "Slap", makeProfile(3.5f, 2.0f, 6.0f, 0.7f, 5.0f, 40.0f, 80.0f, 100.0f, 50.0f, 5.0f, 6.0f, 100.0f, false, fet, -2.0f, tube) },
    { "DI", makeProfile(2.5f, 1.5f, 4.5f, 1.5f, 12.0f, 45.0f, 120.0f, 180.0f, 70.0f, 8.0f, 4.0f, 100.0f, false, opto, -2.0f, tube) },
    { "Synth", makeProfile(2.5f, 1.5f, 4.0f, 1.2f, 10.0f, 40.0f, 80.0f, 100.0f, 50.0f, 5.0f, 3.5f, 100.0f, false, vca, -2.0f, tube) },
    { "808-Sub", makeProfile(3.0f, 2.0f, 5.0f, 2.0f, 15.0f, 60.0f, 150.0f, 250.0f, 80.0f, 6.0f, 4.5f, 100.0f, false, opto, -2.0f, tube) },
};

constexpr Detail guitarDetails[] = {
    { "Lead", makeProfile(2.0f, 1.0f, 3.5f, 1.5f, 5.0f, 50.0f, 60.0f, 140.0f, 40.0f, 6.0f, 2.5f, 100.0f, false, opto, -9.5f, fetDrive) },
    { "Clean", makeProfile(3.0f, 2.0f, 6.0f, 1.5f, 8.0f, 50.0f, 60.0f, 140.0f, 40.0f, 5.0f, 4.5f, 100.0f, false, opto, -9.5f, fetDrive) },
    { "Crunch", makeProfile(2.0f, 1.5f, 4.0f, 1.5f, 5.0f, 50.0f, 60.0f, 140.0f, 40.0f, 5.0f, 3.5f, 100.0f, false, opto, -9.5f, fetDrive) },
    { "Acoustic", makeProfile(2.5f, 1.5f, 4.5f, 1.5f, 8.0f, 50.0f, 60.0f, 140.0f, 40.0f, 5.0f, 4.5f, 100.0f, false, opto, -9.5f, fetDrive) },
    { "DI", makeProfile(2.5f, 1.5f, 4.5f, 2.0f, 8.0f, 40.0f, 120.0f, 200.0f, 60.0f, 9.0f, 4.0f, 100.0f, false, opto, -9.5f, fetDrive) },
};

constexpr Detail pianoDetails[] = {
    { "Backing", makeProfile(2.0f, 1.5f, 4.0f, 1.5f, 8.0f, 60.0f, 100.0f, 200.0f, 60.0f, 6.0f, 4.5f, 100.0f, false, opto, -11.0f, tape) },
    { "Solo", makeProfile(1.8f, 1.0f, 3.0f, 1.5f, 8.0f, 60.0f, 100.0f, 200.0f, 60.0f, 8.0f, 2.5f, 100.0f, false, opto, -11.0f, tape) },
};

constexpr Detail keysDetails[] = {
    { "EP", makeProfile(2.2f, 1.6f, 4.5f, 1.5f, 5.0f, 50.0f, 80.0f, 170.0f, 50.0f, 5.0f, 4.0f, 100.0f, false, opto, -10.0f, tape) },
    { "Organ", makeProfile(2.0f, 1.0f, 3.5f, 3.0f, 15.0f, 60.0f, 150.0f, 250.0f, 50.0f, 5.0f, 3.5f, 100.0f, false, opto, -10.0f, tape) },
    { "Clav", makeProfile(2.2f, 1.6f, 4.5f, 0.8f, 3.0f, 50.0f, 80.0f, 170.0f, 50.0f, 5.0f, 4.5f, 100.0f, false, fet, -10.0f, tape) },
};

constexpr Detail synthDetails[] = {
    { "Pad", makeProfile(1.8f, 1.0f, 3.0f, 4.0f, 20.0f, 60.0f, 150.0f, 250.0f, 40.0f, 8.0f, 3.0f, 100.0f, false, opto, -4.5f, tube) },
    { "Pluck", makeProfile(2.8f, 1.7f, 5.0f, 1.5f, 3.0f, 30.0f, 60.0f, 120.0f, 40.0f, 4.0f, 4.5f, 100.0f, false, fet, -4.5f, tube) },
    { "Lead", makeProfile(2.5f, 1.5f, 4.5f, 2.0f, 5.0f, 60.0f, 120.0f, 170.0f, 40.0f, 5.0f, 4.5f, 100.0f, false, vca, -4.5f, tube) },
    { "Arp", makeProfile(2.5f, 1.5f, 4.5f, 1.5f, 5.0f, 60.0f, 50.0f, 100.0f, 40.0f, 4.0f, 4.0f, 100.0f, false, vca, -4.5f, tube) },
};

constexpr Detail stringsDetails[] = {
    { "Legato", makeProfile(2.0f, 1.5f, 4.0f, 2.25f, 12.0f, 80.0f, 150.0f, 250.0f, 80.0f, 8.0f, 2.9750001f, 100.0f, false, opto, -5.5f, tube) },
    { "Staccato", makeProfile(2.0f, 1.5f, 4.0f, 1.05f, 5.0f, 80.0f, 105.0f, 175.0f, 80.0f, 8.0f, 4.375f, 100.0f, false, opto, -5.5f, tube) },
    { "Section", makeProfile(2.0f, 1.2f, 4.0f, 1.5f, 12.0f, 80.0f, 180.0f, 300.0f, 80.0f, 10.0f, 3.1499999f, 85.0f, false, opto, -5.5f, tube) },
};

constexpr Detail brassDetails[] = {
    { "Legato", makeProfile(2.2f, 1.6f, 4.5f, 1.8000001f, 8.0f, 60.0f, 100.0f, 200.0f, 60.0f, 7.0f, 3.4f, 100.0f, false, opto, -4.0f, tube) },
    { "Staccato", makeProfile(2.2f, 1.6f, 4.5f, 0.84000003f, 5.0f, 60.0f, 70.0f, 140.0f, 60.0f, 7.0f, 5.0f, 100.0f, false, opto, -4.0f, tube) },
    { "Section", makeProfile(2.2f, 1.2800001f, 4.5f, 1.2f, 8.0f, 60.0f, 120.00001f, 240.00002f, 60.0f, 9.0f, 3.6f, 85.0f, false, vca, -4.0f, tube) },
};

constexpr Detail woodwindDetails[] = {
    { "Legato", makeProfile(2.0f, 1.5f, 4.0f, 1.9499999f, 8.0f, 60.0f, 100.0f, 200.0f, 60.0f, 7.0f, 2.9750001f, 100.0f, false, opto, -5.5f, tube) },
    { "Staccato", makeProfile(2.0f, 1.5f, 4.0f, 0.90999997f, 5.0f, 60.0f, 70.0f, 140.0f, 60.0f, 7.0f, 4.375f, 100.0f, false, opto, -5.5f, tube) },
    { "Section", makeProfile(2.0f, 1.2f, 4.0f, 1.3f, 8.0f, 60.0f, 120.00001f, 240.00002f, 60.0f, 9.0f, 3.1499999f, 85.0f, false, opto, -5.5f, tube) },
};

constexpr Detail mixDetails[] = {
    { "Bus", makeProfile(1.6f, 0.9f, 2.5f, 2.5f, 20.0f, 45.0f, 150.0f, 150.0f, 100.0f, 9.0f, 2.5f, 70.0f, true, vca, -11.5f, tape) },
    { "Master", makeProfile(1.3f, 0.7f, 2.0f, 2.5f, 25.0f, 45.0f, 150.0f, 150.0f, 100.0f, 10.0f, 1.5f, 70.0f, true, vca, -11.5f, tape) },
};

constexpr SourceProfile fallbackProfile = makeProfile(2.5f, 1.5f, 5.0f, 1.5f, 5.0f, 50.0f, 80.0f, 150.0f, 40.0f, 5.0f, 4.0f, 100.0f, false, vca, -6.0f, tube);

constexpr Source sources[] = {
    makeSource("Universal", universalDetails),
    makeSource("Vocal", vocalDetails),
    makeSource("Drum", drumDetails),
    makeSource("Percussion", percussionDetails),
    makeSource("Bass", bassDetails),
    makeSource("Guitar", guitarDetails),
    makeSource("Piano", pianoDetails),
    makeSource("Keys", keysDetails),
    makeSource("Synth", synthDetails),
    makeSource("Strings", stringsDetails),
    makeSource("Brass", brassDetails),
    makeSource("Woodwind", woodwindDetails),
    makeSource("MIX", mixDetails),
};
// clang-format on

constexpr const char* characters[] = {"AUTO", "OPTO", "FET", "VCA"};

constexpr int numSources = static_cast<int>(std::size(sources));
static_assert(numSources == 13, "the source parameter is a choice over thirteen names");

bool isKnownSource(int source) noexcept
{
    return source >= 0 && source < numSources;
}

// Unknown sources borrow the "Universal" names; their profile is the fallback row instead.
const Source& sourceOrUniversal(int source) noexcept
{
    return sources[isKnownSource(source) ? source : 0];
}

} // namespace

juce::StringArray characterNames()
{
    juce::StringArray names;
    for (auto* name : characters)
        names.add(name);
    return names;
}

juce::StringArray sourceNames()
{
    juce::StringArray names;
    for (const auto& s : sources)
        names.add(s.name);
    return names;
}

juce::StringArray detailNames(int source)
{
    const auto& s = sourceOrUniversal(source);
    juce::StringArray names;
    for (int i = 0; i < s.numDetails; ++i)
        names.add(s.details[i].name);
    return names;
}

int clampDetail(int source, int detail)
{
    const int count = sourceOrUniversal(source).numDetails;
    if (detail < 0 || count < 2)
        return 0;
    return juce::jmin(detail, count - 1);
}

juce::String detailName(int source, int detail)
{
    return sourceOrUniversal(source).details[clampDetail(source, detail)].name;
}

int detailIndex(int source, const juce::String& text)
{
    const auto& s = sourceOrUniversal(source);
    // JUCE compares code point by code point after case conversion, which is the folding we want.
    for (int i = 0; i < s.numDetails; ++i)
        if (text.equalsIgnoreCase(s.details[i].name))
            return i;
    return 0;
}

SourceProfile sourceProfile(int source, int detail)
{
    if (!isKnownSource(source))
        return fallbackProfile;
    return sources[source].details[clampDetail(source, detail)].profile;
}

} // namespace tq4
