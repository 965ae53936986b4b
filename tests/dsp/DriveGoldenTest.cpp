// Holds the drive's sound while its inner loops are rewritten: fixed material goes through the engine
// (stereo, compressing, drive on) and through a lone drive stage at every type and at 25, 50 and 100 %,
// and a few figures of each output are compared with those recorded from the straightforward
// per-sample implementation. Only float rounding may move them.
//
// Set TQ4_PRINT_DRIVE_GOLDEN=1 to print the figures of the code under test as a table.

#include "dsp/CompressorEngine.h"
#include "dsp/DriveStage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

using namespace tq4;

constexpr double rate = 48000.0;
constexpr int length = 14400; // 300 ms
constexpr int blockSize = 512;
constexpr int segments = 4;
constexpr int excerptStarts[] = {7000, 13000};
constexpr int excerptLength = 6;
constexpr int excerptValues = 2 * excerptLength;

// Rounding differences grow a little through the curve's difference quotients and the hysteresis
// recursion, but stay far below anything audible (-100 dBFS).
constexpr float tolerance = 1.0e-5f;

// Deterministic on every platform: a fixed LCG instead of a library generator.
struct Lcg
{
    uint32_t state;
    float next() noexcept
    {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
    }
};

// A kick, a bass chord and bright noise that differ left and right, fading in, with a hard
// transient and a quiet tail: loud enough to compress and to reach every piece of the curve.
std::vector<std::vector<float>> material()
{
    std::vector<std::vector<float>> x(2, std::vector<float>(length));
    Lcg noise{12345u};
    float bright[2] = {0.0f, 0.0f};
    const double twoPi = 6.283185307179586;

    for (int i = 0; i < length; ++i)
    {
        const double t = i / rate;
        const double sinceKick = std::fmod(t, 0.15);
        const double kick = 0.6 * std::exp(-sinceKick * 30.0) *
                            std::sin(twoPi * (50.0 + 40.0 * std::exp(-sinceKick * 40.0)) * sinceKick);
        const double fadeIn = std::min(1.0, t / 0.05);
        const double tail = t > 0.25 ? 0.01 : 1.0;
        const double hit = (t > 0.2 && t < 0.203) ? 0.9 * std::sin(twoPi * 2500.0 * t) : 0.0;

        for (int c = 0; c < 2; ++c)
        {
            const double chord = 0.25 * std::sin(twoPi * 110.0 * t + c) +
                                 (c == 0 ? 0.15 : 0.08) * std::sin(twoPi * 165.0 * t) +
                                 (c == 0 ? 0.05 : 0.12) * std::sin(twoPi * 440.0 * t + 0.3);
            const float white = noise.next();
            bright[c] = white - 0.6f * bright[c];
            const double value = (kick + chord + 0.08 * bright[c]) * fadeIn * tail + hit;
            x[static_cast<size_t>(c)][static_cast<size_t>(i)] = static_cast<float>(value);
        }
    }

    return x;
}

struct Figures
{
    float rms;
    float peak;
    float checksum; // mean of the samples under a fixed ±1 pattern
    float segmentRms[segments];
    float excerpt[excerptValues];
};

Figures figuresOf(const std::vector<float>& y)
{
    Figures f{};
    Lcg signs{777u};
    double sum = 0.0, projection = 0.0;
    double segmentSums[segments] = {};
    float peak = 0.0f;

    for (size_t i = 0; i < y.size(); ++i)
    {
        const double v = y[i];
        sum += v * v;
        projection += signs.next() >= 0.0f ? v : -v;
        segmentSums[i * segments / y.size()] += v * v;
        peak = std::max(peak, std::abs(y[i]));
    }

    f.rms = static_cast<float>(std::sqrt(sum / static_cast<double>(y.size())));
    f.peak = peak;
    f.checksum = static_cast<float>(projection / static_cast<double>(y.size()));

    for (int s = 0; s < segments; ++s)
        f.segmentRms[s] =
            static_cast<float>(std::sqrt(segmentSums[s] * segments / static_cast<double>(y.size())));

    for (int e = 0; e < 2; ++e)
        for (int k = 0; k < excerptLength; ++k)
            f.excerpt[e * excerptLength + k] = y[static_cast<size_t>(excerptStarts[e] + k)];

    return f;
}

std::vector<std::vector<float>> renderEngine(int type, float percent)
{
    auto x = material();
    EngineSettings settings;
    settings.thresholdDb = -30.0f;
    settings.ratio = 4.0f;
    settings.character = 3;
    settings.autoMakeup = true;
    settings.driveOn = true;
    settings.drivePercent = percent;
    settings.driveType = type;

    CompressorEngine engine;
    engine.prepare(rate, 2);

    for (int start = 0; start < length; start += blockSize)
    {
        const int n = std::min(blockSize, length - start);
        float* channels[] = {x[0].data() + start, x[1].data() + start};
        juce::AudioBuffer<float> block(channels, 2, n);
        engine.process(block, 2, settings);
    }

    return x;
}

std::vector<float> renderStage(int type, float percent)
{
    const auto x = material();
    std::vector<float> mid(static_cast<size_t>(length));

    for (size_t i = 0; i < mid.size(); ++i)
        mid[i] = 0.5f * (x[0][i] + x[1][i]);

    DriveStage stage;
    stage.prepare(rate);
    stage.setVoicing(type, percent * 0.01f);

    for (int start = 0; start < length; start += blockSize)
        stage.process(mid.data() + start, std::min(blockSize, length - start));

    return mid;
}

struct GoldenCase
{
    int type;
    float percent;
    Figures engineLeft, engineRight, stage;
};

// Recorded from the per-sample implementation (JUCE oversamplers, double-precision curve evaluated per
// oversampled sample), baseline x86-64.
const GoldenCase golden[] = {
    {0,
     25.0f,
     {0.207753927,
      0.907371879,
      -0.000879278465,
      {0.284816951, 0.196501568, 0.217698142, 0.074301675},
      {-0.221751362, -0.106856063, -0.233827025, -0.0917421654, -0.257850885, -0.0754907653, -0.0020966481,
       -0.00211045728, -0.00271562953, -0.00228091911, -0.00224588066, -0.0024696344}},
     {0.210408852,
      1.16796792,
      -0.000711257453,
      {0.285229385, 0.189531133, 0.233031362, 0.0742029473},
      {0.0177704617, -0.0767203271, 0.0822917446, -0.0735149309, 0.0975740701, 0.023753874, -0.0026371351,
       -0.00221110578, -0.00242721243, -0.00152783073, -0.00273803342, -0.00136657059}},
     {0.0503226668,
      0.479783118,
      -4.25856779e-05,
      {0.0342798084, 0.0339403674, 0.0858724564, 0.0206966475},
      {-0.0234721415, -0.0275284033, -0.0297870319, -0.0294858906, -0.027883701, -0.0371984765,
       3.68665824e-05, 3.33496428e-05, 4.14682218e-05, 2.66585375e-05, 3.80830679e-05, 2.67051328e-05}}},
    {0,
     50.0f,
     {0.202214658,
      0.844579399,
      -0.000855740451,
      {0.273671955, 0.196992606, 0.210401475, 0.0747787058},
      {-0.230263829, -0.119504794, -0.245003551, -0.105500758, -0.268121064, -0.0926750898, -0.00207223673,
       -0.00208765687, -0.00268631172, -0.00226003816, -0.00222061411, -0.00244791363}},
     {0.205150664,
      1.00959051,
      -0.000750877545,
      {0.274154752, 0.190889686, 0.226347104, 0.0742594972},
      {0.00428631157, -0.0899629742, 0.0652353764, -0.0875924677, 0.0814559311, 0.00506819412, -0.00260979659,
       -0.00218775682, -0.0023994802, -0.00151110138, -0.00271003391, -0.0013509891}},
     {0.0657746494,
      0.553269148,
      -0.000302715751,
      {0.0507753342, 0.0554008149, 0.102634132, 0.0335271098},
      {-0.0393168777, -0.0462334603, -0.0502841808, -0.0496512242, -0.0470203944, -0.0635243729,
       9.62324193e-05, 8.63254172e-05, 0.000106979904, 6.97513024e-05, 9.91580018e-05, 6.94539776e-05}}},
    {0,
     100.0f,
     {0.160916835,
      0.678210437,
      -0.000321230182,
      {0.221273795, 0.154854089, 0.160440147, 0.0699569806},
      {-0.238838032, -0.156483144, -0.268628269, -0.150802851, -0.284903944, -0.16081357, -0.00179792172,
       -0.00183250848, -0.00235863752, -0.00202468433, -0.001937074, -0.00220371666}},
     {0.146215707,
      0.576841235,
      -9.74242357e-05,
      {0.200687617, 0.127604187, 0.158059359, 0.063047789},
      {-0.044192031, -0.131845206, -0.00845947862, -0.135703743, 0.0113179386, -0.0774005651, -0.00230215467,
       -0.00192636764, -0.00208984199, -0.001322967, -0.00239542429, -0.00117657962}},
     {0.110069737,
      1.01397824,
      -0.000292864308,
      {0.0722790584, 0.0914050043, 0.179249391, 0.0524585992},
      {-0.0486871973, -0.0639270619, -0.0771429092, -0.0745820701, -0.0696250498, -0.116631277,
       0.000479843293, 0.000427442457, 0.000527622993, 0.000349012611, 0.0004931945, 0.000345654989}}},
    {1,
     25.0f,
     {0.197178811,
      0.78282392,
      -0.000592897355,
      {0.263239115, 0.195273086, 0.206269845, 0.0744597837},
      {-0.220124945, -0.103740871, -0.231639117, -0.0878411159, -0.255470544, -0.0709300488, -0.0020654602,
       -0.00207726401, -0.00267496053, -0.00225149235, -0.00221456541, -0.002438389}},
     {0.19800815,
      0.963050842,
      -0.000430753164,
      {0.260374725, 0.187792718, 0.219598576, 0.0744598284},
      {0.0217386633, -0.0733193606, 0.0873795673, -0.0694528297, 0.102977522, 0.0291215722, -0.00259980466,
       -0.00217676978, -0.0023898161, -0.00150691834, -0.00270116748, -0.00134772109}},
     {0.0593306646,
      0.761165619,
      0.000250915386,
      {0.021596089, 0.0169026908, 0.114926703, 0.0109667862},
      {-0.00885886326, -0.0105510773, -0.010940061, -0.00908953696, -0.00815544371, -0.0116089983,
       0.000126909857, 0.000119924473, 0.000156253867, 6.27164991e-05, 0.000123086647, 5.97366889e-05}}},
    {1,
     50.0f,
     {0.162281469,
      0.615420997,
      -0.000326792477,
      {0.211034149, 0.167370319, 0.167014971, 0.0699919313},
      {-0.220645547, -0.114578068, -0.232416242, -0.0988616496, -0.25333944, -0.0816332698, -0.00200211303,
       -0.00200898969, -0.00258398498, -0.00219796691, -0.00215093931, -0.00238051079}},
     {0.162019894,
      0.715134144,
      -0.000172025786,
      {0.209456846, 0.157205895, 0.178092614, 0.068548806},
      {0.00268778205, -0.0864472091, 0.0629868507, -0.0818117261, 0.0794348344, 0.0113653652, -0.00252057798,
       -0.00210555061, -0.00230725179, -0.00147518818, -0.00262337597, -0.00132135069}},
     {0.115387894,
      0.957054973,
      0.00028518925,
      {0.0716617703, 0.0819442272, 0.197892413, 0.0473897904},
      {-0.0254625268, -0.0329072736, -0.0347327553, -0.0320443138, -0.029234089, -0.0398302115,
       0.000328459777, 0.000318897131, 0.000383314909, 0.000208312384, 0.000316439546, 0.000200772978}}},
    {1,
     100.0f,
     {0.0752569586,
      0.30772686,
      -0.000180776755,
      {0.10659717, 0.0683649406, 0.0741635263, 0.0334288515},
      {-0.121037737, -0.0859079435, -0.135409862, -0.0862350613, -0.146099359, -0.0891133696, -0.00209292956,
       -0.00196985877, -0.00277870544, -0.00223960588, -0.00235655112, -0.00246435264}},
     {0.0663114786,
      0.357865334,
      -9.93269205e-05,
      {0.0975884199, 0.0489713252, 0.0707070157, 0.0258394685},
      {-0.0220882744, -0.0733682737, -0.00301029533, -0.0785380453, 0.00494203717, -0.0465265065,
       -0.00270223664, -0.00208303123, -0.00245501543, -0.00139618595, -0.00290701305, -0.00123300357}},
     {0.169707179,
      1.06843483,
      -0.000308648072,
      {0.122077294, 0.151666582, 0.264365375, 0.0860664546},
      {0.0322520658, 0.010668382, 0.00377855636, -0.00326432637, 0.00753851654, -0.0527445935, 1.15995354e-05,
       0.000241281974, -2.82888941e-05, 0.000152622626, -0.00018376809, 0.000106750143}}},
    {2,
     25.0f,
     {0.201187506,
      0.839208722,
      -0.000684529427,
      {0.272014678, 0.195623979, 0.210079879, 0.0742386132},
      {-0.220684916, -0.10529644, -0.232779801, -0.0895269066, -0.256840706, -0.073355794, -0.0020707245,
       -0.00208370318, -0.00268392311, -0.00226169731, -0.00221986789, -0.00245165103}},
     {0.201927826,
      1.01301503,
      -0.000516405504,
      {0.268505007, 0.188148782, 0.223836318, 0.0741740614},
      {0.0195447281, -0.0750756338, 0.0841933712, -0.0712535977, 0.0994407535, 0.0261114873, -0.00260700006,
       -0.0021835661, -0.00239776168, -0.00151447312, -0.00270818593, -0.00135713001}},
     {0.0466646999,
      0.647905171,
      -4.37461567e-05,
      {0.018660672, 0.0182192232, 0.0888190642, 0.0118907467},
      {-0.0165471453, -0.019559348, -0.0223564804, -0.0185491815, -0.0208733939, -0.0257806461,
       0.000141304699, 0.000132480753, 0.000159172472, 6.29213755e-05, 0.000140108343, 4.70964005e-05}}},
    {2,
     50.0f,
     {0.185021624,
      0.756832302,
      -0.000467499514,
      {0.246823817, 0.185777396, 0.189879209, 0.0737742633},
      {-0.22824502, -0.116845913, -0.243220493, -0.100761235, -0.266405493, -0.08830145, -0.00198087003,
       -0.0019927579, -0.00257459702, -0.00219349284, -0.00212968746, -0.00238696206}},
     {0.182865202,
      0.826392889,
      -0.000303835142,
      {0.240094155, 0.174927264, 0.200500831, 0.0728930682},
      {0.00673828274, -0.0872556493, 0.0674787015, -0.0828327239, 0.0835154653, 0.00950615853, -0.00250368705,
       -0.00209010718, -0.00229566544, -0.00146509137, -0.00260567991, -0.00131993927}},
     {0.0815748498,
      0.880956829,
      4.46431404e-05,
      {0.043735709, 0.0474219918, 0.147038892, 0.028908981},
      {-0.0337067433, -0.039309267, -0.0449142829, -0.0380377397, -0.0424246974, -0.0521030687,
       0.000268144038, 0.000250620913, 0.000302147004, 0.000118121563, 0.000264219183, 8.62174202e-05}}},
    {2,
     100.0f,
     {0.149315581,
      0.653666854,
      -0.000339275575,
      {0.202952743, 0.144880474, 0.149823189, 0.0674789771},
      {-0.24610585, -0.156097114, -0.276735783, -0.143638611, -0.306253374, -0.148966491, -0.00254526641,
       -0.00247736485, -0.00322796218, -0.0027730437, -0.00274171727, -0.00303795817}},
     {0.13481243,
      0.505169749,
      -9.17282159e-05,
      {0.185998127, 0.113721028, 0.147112638, 0.0593941286},
      {-0.0428495184, -0.130384922, -0.00530433655, -0.1279037, 0.0026755482, -0.0621093288, -0.00312715722,
       -0.00258579454, -0.00291689811, -0.00195987569, -0.00327375391, -0.00184383034}},
     {0.120664075,
      1.02542424,
      -0.000269526034,
      {0.0811274424, 0.098621659, 0.196884409, 0.0562842228},
      {-0.0491924323, -0.0602026992, -0.0768883824, -0.0628018975, -0.0846649557, -0.0982401222,
       -0.00101526023, -0.000875525177, -0.00106410123, -0.00101449876, -0.00109162356, -0.00110751879}}},
    {3,
     25.0f,
     {0.197348699,
      0.785195053,
      -0.000603083055,
      {0.263815224, 0.194974512, 0.206628188, 0.0740088075},
      {-0.218121052, -0.102013722, -0.229051337, -0.0864927843, -0.25337255, -0.0687522367, -0.00210967264,
       -0.00212292396, -0.00273083569, -0.00229280558, -0.00225934852, -0.00248198258}},
     {0.198120967,
      0.965088665,
      -0.000441821932,
      {0.26075089, 0.187561974, 0.219897106, 0.0740432888},
      {0.02246923, -0.0717548579, 0.0882319361, -0.0682056472, 0.103086531, 0.0307315364, -0.00265151937,
       -0.00222382811, -0.00244167633, -0.00153776584, -0.00275278976, -0.00137601164}},
     {0.0566663183,
      0.747359931,
      0.000209418416,
      {0.0199023131, 0.0148253543, 0.110169053, 0.009548489},
      {-0.00298667722, -0.00337657752, -0.00339009683, -0.00347049441, -0.00329576735, -0.00336397486,
       -8.64447284e-05, -8.33934828e-05, -8.87817223e-05, -7.94288499e-05, -8.7245644e-05, -7.91699131e-05}}},
    {3,
     50.0f,
     {0.169965044,
      0.633511364,
      -0.000315282901,
      {0.219977304, 0.176666394, 0.17558375, 0.0715666115},
      {-0.217709988, -0.106843524, -0.227490962, -0.0916677192, -0.251072347, -0.0719142333, -0.00217845337,
       -0.00219077757, -0.00280686375, -0.00236124825, -0.00232936419, -0.00255244505}},
     {0.17011641,
      0.740419388,
      -0.000162888187,
      {0.218368411, 0.167534158, 0.187017128, 0.0709261373},
      {0.0119405314, -0.0779403374, 0.0757712498, -0.0741769746, 0.0900838077, 0.0233426485, -0.00272614276,
       -0.00229278859, -0.00251447875, -0.00159765687, -0.00282848091, -0.00143357599}},
     {0.0992225036,
      0.910236835,
      0.000322158303,
      {0.0585163571, 0.061821688, 0.175619245, 0.0359474123},
      {-0.0147729553, -0.0165041275, -0.0164253134, -0.0168140363, -0.0160667859, -0.0164503157,
       -0.000264305505, -0.000253228849, -0.000273174664, -0.000238935376, -0.000267806696,
       -0.000238260429}}},
    {3,
     100.0f,
     {0.110677786,
      0.376461506,
      1.39242802e-05,
      {0.136267215, 0.120099336, 0.110363409, 0.0618514381},
      {-0.205101907, -0.133626685, -0.23124063, -0.130257562, -0.247077197, -0.107485645, -0.00472510839,
       -0.00465208665, -0.00577931292, -0.00480310805, -0.00498227961, -0.00510016643}},
     {0.108863696,
      0.401953936,
      0.00013973318,
      {0.138802186, 0.105242252, 0.117505692, 0.0570583194},
      {-0.0273160636, -0.111142375, 0.00588082522, -0.116505206, 0.0224149227, -0.0318754092, -0.00558107859,
       -0.0048118839, -0.00532002375, -0.00360150007, -0.00576966442, -0.00333216437}},
     {0.134992659,
      0.997723043,
      3.32564778e-05,
      {0.0924974382, 0.108536318, 0.220878005, 0.0613928065},
      {-0.0122877918, -0.0317901969, -0.0402740724, -0.044505395, -0.0350739025, -0.0593361259,
       -0.00332018966, -0.00301245064, -0.00359807443, -0.00262318738, -0.00346577959, -0.00262602489}}},
};

void printFigures(const Figures& f)
{
    std::printf("{%.9g, %.9g, %.9g, {", f.rms, f.peak, f.checksum);
    for (int s = 0; s < segments; ++s)
        std::printf("%s%.9g", s == 0 ? "" : ", ", f.segmentRms[s]);
    std::printf("}, {");
    for (int k = 0; k < excerptValues; ++k)
        std::printf("%s%.9g", k == 0 ? "" : ", ", f.excerpt[k]);
    std::printf("}}");
}

// Largest difference between the figures, for the report.
float compare(const Figures& actual, const Figures& expected, const char* what, int type, float percent)
{
    float worst = 0.0f;
    const auto check = [&](float a, float e, const char* name, int index)
    {
        const float d = std::abs(a - e);
        worst = std::max(worst, d);
        EXPECT_LE(d, tolerance) << what << " type " << type << " at " << percent << " %: " << name << " "
                                << index << " is " << a << ", recorded " << e;
    };

    check(actual.rms, expected.rms, "rms", 0);
    check(actual.peak, expected.peak, "peak", 0);
    check(actual.checksum, expected.checksum, "checksum", 0);
    for (int s = 0; s < segments; ++s)
        check(actual.segmentRms[s], expected.segmentRms[s], "segment rms", s);
    for (int k = 0; k < excerptValues; ++k)
        check(actual.excerpt[k], expected.excerpt[k], "excerpt sample", k);
    return worst;
}

} // namespace

TEST(DriveGolden, EveryTypeAndAmountSoundsAsRecorded)
{
    const bool print = std::getenv("TQ4_PRINT_DRIVE_GOLDEN") != nullptr;
    float worstEngine = 0.0f, worstStage = 0.0f;

    for (const auto& g : golden)
    {
        const auto engineOut = renderEngine(g.type, g.percent);
        const Figures left = figuresOf(engineOut[0]);
        const Figures right = figuresOf(engineOut[1]);
        const Figures stage = figuresOf(renderStage(g.type, g.percent));

        // A drive that left the signal alone would match nothing below; make sure the material drives.
        EXPECT_GT(stage.rms, 1.0e-3f) << "type " << g.type << " at " << g.percent << " %";

        if (print)
        {
            std::printf("    {%d, %.1ff, ", g.type, static_cast<double>(g.percent));
            printFigures(left);
            std::printf(",\n     ");
            printFigures(right);
            std::printf(",\n     ");
            printFigures(stage);
            std::printf("},\n");
            continue;
        }

        const float e = std::max(compare(left, g.engineLeft, "engine left", g.type, g.percent),
                                 compare(right, g.engineRight, "engine right", g.type, g.percent));
        const float s = compare(stage, g.stage, "stage", g.type, g.percent);
        std::printf("drive type %d at %3.0f %%: largest difference engine %.3g, stage %.3g\n", g.type,
                    g.percent, static_cast<double>(e), static_cast<double>(s));
        worstEngine = std::max(worstEngine, e);
        worstStage = std::max(worstStage, s);
    }

    if (!print)
        std::printf("largest difference over all cases: engine %.3g, stage %.3g (tolerance %.3g)\n",
                    static_cast<double>(worstEngine), static_cast<double>(worstStage),
                    static_cast<double>(tolerance));
}
