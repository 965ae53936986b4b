// What a finished learn leaves behind, held against figures recorded from the code as it was before
// the finish and the drive analysis were made faster: the applied settings, the makeup texts and the
// drive compensation must stay what they were, apart from float rounding.
//
// Tolerances: settings 0.001 (they sit on 0.01 to 0.1 grids, so a changed grid step fails);
// histogram weights 1e-4 relative, crests 0.0015 dB (stored with 3 decimals); curve points 0.0015 dB
// (4 decimals); drive compensation 0.005 dB (3 decimals, after seventeen full renders).
// TQ4_PRINT_GOLDEN=1 prints the figures of the code under test in the table's form.

#include "learn/LearnAnalyser.h"
#include "learn/LearnSolver.h"
#include "support/LearnDriver.h"
#include "support/LearnSignals.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace tq4test;

namespace
{

constexpr double rate = 48000.0;

struct Settings
{
    float threshold, ratio, attack, release, knee, mix, character, autoRelease, drive, driveType;
};

struct GoldenLearn
{
    LearnMaterial material;
    int source; // 1 Vocal, 2 Drum, 4 Bass, 12 MIX; detail 0
    Settings settings;
    const char* histogram;
    const char* curves;
    const char* driveEq;
};

// clang-format off
const GoldenLearn goldenLearns[] = {
    {LearnMaterial::drums, 2,
     {-7.5000f, 4.2900f, 3.5000f, 42.0000f, 8.0000f, 100.0000f, 0.0f, 0.0f, 61.9000f, 3.0f},
     "0:1.45381e-08:10.779 1:1.84691e-08:11.225 2:1.21485e-07:10.856 3:5.20222e-09:9.586 12:8.62688e-07:10.836 13:7.38669e-07:10.816 22:2.41151e-06:10.672 23:1.53849e-05:10.656 24:6.37941e-07:10.289 32:3.76244e-05:9.227 33:0.000140411:10.773 34:3.91068e-05:10.315 35:2.74839e-05:7.976 36:2.16676e-05:7.575 38:2.75501e-05:8.079 39:7.15924e-05:7.768 41:5.72919e-05:8.027 42:0.000196334:8.613 43:0.000599479:10.749 44:0.00160285:10.665 45:0.000416812:7.822 47:0.000421218:11.141 48:0.00275185:10.628 51:0.00175414:7.918 53:0.00185715:10.782 54:0.0120612:8.546 56:0.00083851:3.219 57:0.00871152:6.554 58:0.00226374:5.398 59:0.005318:3.206 60:0.00957595:5.491 61:0.0139053:7.005 62:0.00737475:3.161 63:0.036109:6.354 64:0.0142819:6.344 65:0.0150267:3.634 66:0.00718855:3.630 67:0.0912142:7.631 68:0.0450638:3.374 69:0.0786613:3.827 70:0.0262897:3.646 71:0.0448753:7.267 72:0.125421:3.471 73:0.152865:4.047 74:0.292911:4.597",
     "0.0000:0.0000 0.0000:0.0055 0.0000:0.0055 0.0000:0.0055 0.0000:0.0055 0.0532:-0.0478 0.5483:-0.4948 1.3208:-0.7091 2.1822:-0.7132 3.2389:-0.8240 4.9773:-0.8313 6.8812:-0.1373 10.8342:0.2410|0.0000:0.0000 0.0002:0.0091 0.0002:0.0091 0.1653:0.0029 0.7575:-0.0000 1.5769:0.0403 2.5736:0.2329 3.6667:0.2742 4.8599:0.9795 6.0994:1.1749 7.9540:1.4484 10.0457:1.2162 14.3306:0.9276|0.0000:0.0000 0.0000:0.0000 0.0000:0.0000 0.0000:0.0000 0.0903:0.0043 0.6083:0.1133 1.3642:0.1795 2.2495:0.4370 3.3425:0.4775 4.4465:1.1850 6.2585:1.8735 8.1118:1.8261 12.1800:1.6239",
     "0=-0.033,-0.057,0.458,2.825 1=0.148,0.772,2.887,10.078 2=0.058,0.504,1.513,4.350 3=0.204,0.743,2.456,7.302"},
    {LearnMaterial::vocal, 1,
     {-21.1000f, 3.1400f, 41.8300f, 160.0000f, 66.0000f, 100.0000f, 0.0f, 0.0f, 74.0000f, 0.0f},
     "28:3.18206e-05:3.109 29:7.09851e-05:2.948 37:8.50961e-06:16.208 39:2.78352e-05:14.562 40:3.86448e-05:13.559 41:2.10033e-05:12.075 42:2.37445e-05:12.583 43:3.53191e-05:13.347 44:3.88838e-05:11.555 45:0.00012595:12.261 46:0.000303764:13.023 47:0.000288433:12.977 49:0.000131405:11.001 50:0.000676292:11.931 51:0.000631804:11.561 52:0.00113616:11.301 53:0.000348751:11.659 54:0.00274455:10.685 55:0.00302831:10.980 56:0.00472951:10.127 57:0.00920556:9.485 58:0.0263362:9.554 59:0.0430949:9.339 60:0.0415373:9.061 61:0.0852346:9.161 62:0.128455:9.084 63:0.121896:9.086 64:0.396289:8.938 65:0.13351:8.827",
     "0.0000:0.0000 0.0385:-0.0006 0.3136:-0.0051 0.9368:-0.0286 1.5704:-0.0596 2.3898:-0.0952 3.4038:-0.0848 4.6203:-0.1150 6.0119:-0.1518 7.5185:-0.1945 9.8596:-0.2651 12.1848:-0.3509 16.7900:-0.5706|0.0000:0.0000 2.1539:-0.2737 3.5652:-0.3504 5.2917:-0.4959 6.5554:-0.5878 7.8553:-0.6733 9.1693:-0.7539 10.4864:-0.8030 11.8063:-0.8510 13.1302:-0.8993 15.1240:-0.9730 17.1257:-1.0496 21.1368:-1.2161|0.0000:0.0000 0.5678:-0.0014 1.3583:-0.0217 2.5155:-0.0559 3.4905:-0.0342 4.6251:-0.0731 5.8728:-0.1205 7.1804:-0.1616 8.5185:-0.2062 9.8678:-0.2523 11.8990:-0.3220 13.9336:-0.3937 18.0018:-0.5506",
     "0=0.005,-0.035,-0.015,5.948 1=0.032,0.224,1.783,7.095 2=0.031,0.191,1.430,5.837 3=0.031,0.246,1.694,5.219"},
    {LearnMaterial::bass, 4,
     {-18.2000f, 3.6900f, 47.4300f, 115.2000f, 51.0000f, 100.0000f, 0.0f, 0.0f, 93.9000f, 0.0f},
     "56:0.0053383:3.060 57:0.0127912:3.364 58:0.0122492:3.383 59:0.0160957:3.278 60:0.0124562:3.296 61:0.0243904:3.006 62:0.0450819:3.341 63:0.0248533:3.207 64:0.0480024:3.212 65:0.0851599:3.240 66:0.0824039:4.181 67:0.0743785:3.737 68:0.142193:3.720 69:0.171277:3.529 70:0.190509:4.069 71:0.0528205:3.164",
     "0.0000:0.0000 0.0865:-0.0740 0.4573:-0.2383 1.2242:-0.4436 1.9831:-0.5839 2.9471:-0.6991 4.0912:-0.7409 5.3822:-0.7084 6.7952:-0.6555 8.2940:-0.5790 10.6598:-0.4877 13.1040:-0.5258 17.9829:-0.7042|0.0000:0.0000 0.6749:-0.2831 1.5706:-0.5648 2.8515:-0.8810 3.8939:-1.0818 5.0467:-1.2519 6.2898:-1.3965 7.6071:-1.4976 8.9787:-1.5760 10.3868:-1.6320 12.5295:-1.6766 14.6750:-1.7025 18.9815:-1.8019|0.0000:0.0000 0.2742:-0.0653 0.8669:-0.1952 1.8557:-0.3781 2.7407:-0.5103 3.7796:-0.6360 4.9375:-0.7493 6.1925:-0.8229 7.5251:-0.8823 8.9167:-0.9274 11.0750:-0.9715 13.2613:-1.0002 17.6353:-1.0913",
     "0=-0.010,-0.042,0.087,1.519 1=0.048,0.361,2.088,8.328 2=0.023,0.157,0.779,2.125 3=0.056,0.347,1.673,5.068"},
    {LearnMaterial::noisyMix, 12,
     {-18.3000f, 1.8100f, 112.5000f, 200.4000f, 99.0000f, 92.2000f, 0.0f, 1.0f, 50.6000f, 2.0f},
     "52:0.00102303:6.898 53:0.000660254:6.660 54:0.00302356:6.213 55:0.00519264:6.528 56:0.0143239:6.429 57:0.0120155:6.368 58:0.0231721:6.336 59:0.0789814:6.468 60:0.106385:6.507 61:0.0916813:6.424 62:0.0772362:6.316 63:0.0758394:6.258 64:0.0806096:5.999 65:0.0990805:6.317 66:0.0709887:6.625 67:0.0503844:7.034 68:0.0231218:5.046 69:0.0789369:6.654 71:0.0482123:6.593 72:0.0591318:5.905",
     "0.0000:0.0000 0.1893:-0.1264 0.4137:-0.2246 0.7856:-0.3354 1.1267:-0.4126 1.5482:-0.4904 2.0550:-0.5672 2.6520:-0.6377 3.3417:-0.7013 4.1263:-0.7546 5.4695:-0.8025 6.9792:-0.8001 10.0856:-0.7864|0.0000:0.0000 1.0791:-0.6704 1.7113:-0.8916 2.4623:-1.0640 3.0012:-1.1430 3.5615:-1.2132 4.1506:-1.2838 4.7698:-1.3436 5.4177:-1.4027 6.0885:-1.4545 7.1130:-1.5023 8.1323:-1.5218 10.1231:-1.5326|0.0000:0.0000 0.4127:-0.2314 0.7653:-0.3610 1.2590:-0.4936 1.6665:-0.5797 2.1358:-0.6627 2.6645:-0.7415 3.2487:-0.8084 3.8841:-0.8689 4.5639:-0.9211 5.6447:-0.9801 6.7571:-1.0124 8.9262:-1.0301",
     "0=-0.018,-0.050,-0.003,1.426 1=0.030,0.187,1.157,5.765 2=0.019,0.122,0.600,1.321 3=0.033,0.172,0.830,1.194"},
};
// clang-format on

constexpr const char* settingIds[] = {"threshold", "ratio",     "attack",      "release", "knee",
                                      "mix",       "character", "autoRelease", "drive",   "driveType"};

struct Outcome
{
    bool finished = false;
    Settings settings{};
    juce::String histogram, curves, driveEq;
};

juce::String stateText(TQ4AudioProcessor& p, const juce::Identifier& id)
{
    const juce::ScopedLock lock(p.stateLock);
    return p.apvts.state[id].toString();
}

Outcome learn(const GoldenLearn& golden, bool withDriveAnalysis)
{
    TQ4AudioProcessor processor;
    processor.prepareToPlay(rate, 1920);
    setParameter(processor, "source", static_cast<float>(golden.source));
    processor.timerCallback();

    Outcome outcome;
    const auto material = golden.material;
    outcome.finished =
        runLearn(
            processor, [material](int c, int64_t i) { return learnMaterialSample(material, c, i, rate); },
            40.0)
            .finished;

    float* values = &outcome.settings.threshold;
    for (size_t i = 0; i < std::size(settingIds); ++i)
        values[i] = parameterValue(processor, settingIds[i]);
    outcome.histogram = stateText(processor, "tq4LearnMkHist");
    outcome.curves = stateText(processor, "tq4LearnMkCurve");
    if (withDriveAnalysis && waitForDriveEq(processor, 600.0))
        outcome.driveEq = stateText(processor, "tq4LearnDriveEq");
    return outcome;
}

bool printing()
{
    return std::getenv("TQ4_PRINT_GOLDEN") != nullptr;
}

// Every number of the text, in order; separators are the stored texts' own.
std::vector<double> numbersOf(const juce::String& text)
{
    std::vector<double> numbers;
    for (const auto& token : juce::StringArray::fromTokens(text, " :|=,", ""))
        if (token.isNotEmpty())
            numbers.push_back(token.getDoubleValue());
    return numbers;
}

// Returns the largest difference seen, for the report.
double expectNumbersNear(const juce::String& actual, const char* expected, double absolute, double relative,
                         const char* what)
{
    const auto a = numbersOf(actual);
    const auto e = numbersOf(expected);
    EXPECT_EQ(a.size(), e.size()) << what << ": " << actual;
    double largest = 0.0;
    for (size_t i = 0; i < std::min(a.size(), e.size()); ++i)
    {
        const double difference = std::abs(a[i] - e[i]);
        largest = std::max(largest, difference);
        EXPECT_LE(difference, absolute + relative * std::abs(e[i]))
            << what << " number " << i << ": " << actual;
    }
    return largest;
}

// Histogram pieces are index:weight:crest; the weights are compared relatively, the crests absolutely.
void expectHistogramNear(const juce::String& actual, const char* expected, const char* what)
{
    const auto a = numbersOf(actual);
    const auto e = numbersOf(expected);
    ASSERT_EQ(a.size(), e.size()) << what << ": " << actual;
    for (size_t i = 0; i + 2 < a.size(); i += 3)
    {
        EXPECT_EQ(a[i], e[i]) << what << " bin of piece " << i / 3;
        EXPECT_NEAR(a[i + 1], e[i + 1], 1.0e-4 * e[i + 1] + 1.0e-7) << what << " weight of bin " << e[i];
        EXPECT_NEAR(a[i + 2], e[i + 2], 0.0015) << what << " crest of bin " << e[i];
    }
}

void printOutcome(const GoldenLearn& golden, const Outcome& o)
{
    const Settings& s = o.settings;
    std::printf("    {LearnMaterial::%s, %d,\n     {%.4ff, %.4ff, %.4ff, %.4ff, %.4ff, %.4ff, %.1ff, %.1ff, "
                "%.4ff, %.1ff},\n"
                "     \"%s\",\n     \"%s\",\n     \"%s\"},\n",
                materialName(golden.material), golden.source, s.threshold, s.ratio, s.attack, s.release,
                s.knee, s.mix, s.character, s.autoRelease, s.drive, s.driveType, o.histogram.toRawUTF8(),
                o.curves.toRawUTF8(), o.driveEq.toRawUTF8());
}

} // namespace

TEST(LearnGolden, FinishedLearnAppliesTheRecordedSettingsAndMakeupTexts)
{
    for (const auto& golden : goldenLearns)
    {
        SCOPED_TRACE(materialName(golden.material));
        const Outcome o = learn(golden, printing());
        ASSERT_TRUE(o.finished);
        if (printing())
        {
            printOutcome(golden, o);
            continue;
        }

        const float* actual = &o.settings.threshold;
        const float* expected = &golden.settings.threshold;
        for (size_t i = 0; i < std::size(settingIds); ++i)
            EXPECT_NEAR(actual[i], expected[i], 0.001f) << settingIds[i];
        expectHistogramNear(o.histogram, golden.histogram, "histogram");
        const double curveDifference = expectNumbersNear(o.curves, golden.curves, 0.0015, 0.0, "curves");
        std::printf("[ %s ] largest curve difference %.6f dB\n", materialName(golden.material),
                    curveDifference);
    }
}

TEST(LearnGolden, DriveAnalysisGivesTheRecordedCompensation)
{
    if (printing())
        GTEST_SKIP() << "printed with the settings";
    for (const auto& golden : goldenLearns)
    {
        SCOPED_TRACE(materialName(golden.material));
        const Outcome o = learn(golden, true);
        ASSERT_TRUE(o.finished);
        ASSERT_TRUE(o.driveEq.isNotEmpty());
        const double difference =
            expectNumbersNear(o.driveEq, golden.driveEq, 0.005, 0.0, "drive compensation");
        std::printf("[ %s ] largest compensation difference %.4f dB\n", materialName(golden.material),
                    difference);
    }
}

// A learn with a character set by the user keeps the solver's own choice as its base; the finish asks
// for that choice alone instead of solving everything.
TEST(LearnGolden, SolvedCharacterIsTheCharacterTheSolverChooses)
{
    for (const auto material :
         {LearnMaterial::drums, LearnMaterial::vocal, LearnMaterial::bass, LearnMaterial::noisyMix})
    {
        const auto capture = learnMaterial(material, 0, 10.0, rate);
        tq4::LearnAnalyser analyser;
        analyser.prepare(rate);
        analyser.analyseSamples(capture.data(), nullptr, nullptr, static_cast<int>(capture.size()));
        const tq4::LearnStats stats = analyser.computeLearnStats();
        ASSERT_TRUE(stats.valid) << materialName(material);

        for (int source = 0; source < 13; ++source)
            EXPECT_EQ(tq4::solvedCharacter(stats, source, 0), tq4::solveLearn(stats, source, 0, 0).character)
                << materialName(material) << ", source " << source;
    }
    EXPECT_EQ(tq4::solvedCharacter(tq4::LearnStats{}, 0, 0),
              tq4::solveLearn(tq4::LearnStats{}, 0, 0, 0).character);
}
