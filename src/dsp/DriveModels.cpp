#include "dsp/DriveModels.h"

#include "dsp/VectorClones.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace tq4
{

namespace
{
constexpr float inactiveAmount = 1.0e-4f;
constexpr double twoPi = 6.283185307179586;

bool stageIsIdentity(const DriveShape& shape) noexcept
{
    return !(shape.amount >= inactiveAmount);
}
} // namespace

DriveCurveConstants driveCurveConstants(double kneeR) noexcept
{
    DriveCurveConstants c;
    c.r = kneeR;
    c.P = kneeR * std::sqrt(kneeR);
    c.u = 1.5 * std::sqrt(kneeR);
    c.v = 0.44 * c.u;
    c.E = c.P + c.u - c.v;
    c.s1 = 0.12 * c.u;
    c.I0 = 0.4 * kneeR * kneeR * std::sqrt(kneeR);
    c.I1 = c.I0 + c.P + c.u / 2.0 - c.v / 3.0;
    c.halfU = c.u / 2.0;
    c.thirdV = c.v / 3.0;
    c.halfS1 = c.s1 / 2.0;
    return c;
}

double driveCurve(double a, const DriveCurveConstants& c) noexcept
{
    if (a <= 0.0)
        return 0.06 * a;

    if (a <= c.r)
        return a * std::sqrt(a);

    const double t = a - c.r;

    if (t < 1.0)
        return c.P + c.u * t - c.v * t * t;

    return c.E + c.s1 * (t - 1.0);
}

double driveCurveIntegral(double a, const DriveCurveConstants& c) noexcept
{
    if (a <= 0.0)
        return 0.03 * a * a;

    if (a <= c.r)
        return 0.4 * a * a * std::sqrt(a);

    const double t = a - c.r;

    if (t < 1.0)
        return c.I0 + t * (c.P + t * (c.halfU - t * c.thirdV));

    const double beyond = t - 1.0;
    return c.I1 + beyond * (c.E + beyond * c.halfS1);
}

namespace
{
// The per-sample forms: one reciprocal of l serves both signs of x.
struct Scale
{
    double l, inverse, twoThirdsL;

    explicit Scale(double scaleL) noexcept
        : l(scaleL), inverse(1.0 / scaleL), twoThirdsL(scaleL * (2.0 / 3.0))
    {
    }
};

double raw(double x, const Scale& k, const DriveCurveConstants& curve) noexcept
{
    return (driveCurve(1.0 + x * k.inverse, curve) - 1.0) * k.twoThirdsL;
}

double rawIntegral(double x, const Scale& k, const DriveCurveConstants& curve) noexcept
{
    return (k.l * driveCurveIntegral(1.0 + x * k.inverse, curve) - x) * k.twoThirdsL;
}

double stage(double x, const Scale& k, const DriveShape& shape) noexcept
{
    if (stageIsIdentity(shape))
        return x;

    const double gx = raw(x, k, shape.curve);

    if (shape.symmetry <= 0.0f)
        return gx;

    // Written as a weighted sum so that full symmetry gives an exactly odd function.
    const double s = std::min(1.0, static_cast<double>(shape.symmetry));
    const double odd = 0.5 * (gx - raw(-x, k, shape.curve));
    return (1.0 - s) * gx + s * odd;
}

double differenceIntegral(double x, const Scale& k, const DriveShape& shape) noexcept
{
    if (stageIsIdentity(shape))
        return 0.0;

    // The same operations as rawIntegral (0, ...), so Φ(0) is exactly 0.
    const double atZero = (k.l * 0.4) * k.twoThirdsL;
    const double gammaX = rawIntegral(x, k, shape.curve);
    double d = gammaX - atZero;

    if (shape.symmetry > 0.0f)
    {
        const double s = std::min(1.0, static_cast<double>(shape.symmetry));
        const double even = 0.5 * (gammaX + rawIntegral(-x, k, shape.curve)) - atZero;
        d = (1.0 - s) * d + s * even;
    }

    return d - 0.5 * x * x;
}
} // namespace

double curveStageRaw(double x, double scaleL, const DriveCurveConstants& curve) noexcept
{
    return raw(x, Scale(scaleL), curve);
}

double curveStageRawIntegral(double x, double scaleL, const DriveCurveConstants& curve) noexcept
{
    return rawIntegral(x, Scale(scaleL), curve);
}

double curveStage(double x, double scaleL, const DriveShape& shape) noexcept
{
    return stage(x, Scale(scaleL), shape);
}

double curveStageDifferenceIntegral(double x, double scaleL, const DriveShape& shape) noexcept
{
    return differenceIntegral(x, Scale(scaleL), shape);
}

float antiAliasedStageStep(CurveStageMemory& memory, float m, float scaleL, const DriveShape& shape) noexcept
{
    const float previous = memory.previousInput;
    memory.previousInput = m;

    const float delta = m - previous;
    const float largest = std::max(std::abs(previous), std::abs(m));
    const float threshold = std::max(0.024f * largest * largest, 1.0e-5f);

    const Scale k(scaleL);

    if (threshold > std::abs(delta))
    {
        memory.valid = false;
        const double mid = 0.5 * (static_cast<double>(previous) + static_cast<double>(m));
        return static_cast<float>(stage(mid, k, shape) - mid);
    }

    const double before =
        memory.valid ? static_cast<double>(memory.previousIntegral) : differenceIntegral(previous, k, shape);
    const double after = differenceIntegral(m, k, shape);
    memory.previousIntegral = static_cast<float>(after);
    memory.valid = true;
    return static_cast<float>((after - before) / static_cast<double>(delta));
}

void primeCurveStage(CurveStageMemory& memory, float scaleL, const DriveShape& shape) noexcept
{
    memory.previousIntegral =
        static_cast<float>(curveStageDifferenceIntegral(memory.previousInput, scaleL, shape));
    memory.valid = true;
}

DriveCurveBlockConstants driveCurveBlockConstants(const DriveCurveConstants& c) noexcept
{
    constexpr double twoThirds = 2.0 / 3.0;
    DriveCurveBlockConstants k;
    k.r = static_cast<float>(c.r);

    const auto set = [](float* out, std::initializer_list<double> values)
    {
        for (const double v : values)
            *out++ = static_cast<float>(v);
    };

    set(k.jBelow, {twoThirds * -0.15, twoThirds * 0.5, twoThirds * -0.72});
    set(k.kBelow, {1.0 / 3.0, -0.96});

    // The values at the knee from the power piece's own form, the slopes from the curve's constants.
    const double d = std::sqrt(c.r) - 1.0;
    const double jKnee[4] = {d * d * d * (twoThirds + d * (5.0 / 6.0 + d * (4.0 / 15.0))),
                             twoThirds * (c.P - 1.0 - 1.5 * (c.r - 1.0)), twoThirds * (0.5 * c.u - 0.75),
                             twoThirds * (-c.v / 3.0)};
    const double kKnee[3] = {d * d * (1.0 + twoThirds * d), twoThirds * (c.u - 1.5), twoThirds * -c.v};
    set(k.jKnee, {jKnee[0], jKnee[1], jKnee[2], jKnee[3]});
    set(k.kKnee, {kKnee[0], kKnee[1], kKnee[2]});
    set(k.jLinear, {jKnee[0] + jKnee[1] + jKnee[2] + jKnee[3], twoThirds * (c.E - 1.0 - 1.5 * c.r),
                    twoThirds * (0.5 * c.s1 - 0.75)});
    set(k.kLinear, {kKnee[0] + kKnee[1] + kKnee[2], twoThirds * (c.s1 - 1.5)});
    return k;
}

namespace
{
// √x for x ≥ 0 in plain arithmetic, so that the compiler vectorises it without errno in the way: a
// guess from the exponent bits, then Newton steps on 1/√x and one on √x, which lands within an ulp.
// Two steps on 1/√x leave 5e-6 of it, which the step on √x squares away (1 ulp at most).
inline __attribute__((always_inline)) float blockSqrt(float x) noexcept
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = 0x5f375a86u - (bits >> 1);
    float r;
    std::memcpy(&r, &bits, sizeof r);
    const float half = 0.5f * x;
    r = r * (1.5f - half * r * r);
    r = r * (1.5f - half * r * r);
    const float s = x * r;
    return selectBits(x > 0.0f, s + 0.5f * r * (x - s * s), 0.0f);
}

struct Pieces
{
    float j, k;
};

// J and K at y, every piece computed and one selected, so that a loop over samples vectorises.
inline __attribute__((always_inline)) Pieces blockPieces(float y, const DriveCurveBlockConstants& c) noexcept
{
    const float a = 1.0f + y;
    const float root = blockSqrt(std::abs(a));
    const float d = y / (root + 1.0f);
    const float jPower = d * d * d * ((2.0f / 3.0f) + d * ((5.0f / 6.0f) + d * (4.0f / 15.0f)));
    const float kPower = d * d * (1.0f + d * (2.0f / 3.0f));
    const float t = a - c.r;
    const float jKnee = c.jKnee[0] + t * (c.jKnee[1] + t * (c.jKnee[2] + t * c.jKnee[3]));
    const float kKnee = c.kKnee[0] + t * (c.kKnee[1] + t * c.kKnee[2]);
    const float b = t - 1.0f;
    const float jLinear = c.jLinear[0] + b * (c.jLinear[1] + b * c.jLinear[2]);
    const float kLinear = c.kLinear[0] + b * c.kLinear[1];
    const float jBelow = c.jBelow[0] + a * (c.jBelow[1] + a * c.jBelow[2]);
    const float kBelow = c.kBelow[0] + a * c.kBelow[1];

    Pieces p;
    const bool below = a <= 0.0f, power = t <= 0.0f, knee = b < 0.0f;
    p.j = selectBits(below, jBelow, selectBits(power, jPower, selectBits(knee, jKnee, jLinear)));
    p.k = selectBits(below, kBelow, selectBits(power, kPower, selectBits(knee, kKnee, kLinear)));
    return p;
}

// The pieces at 1 + u and 1 − u for u = |y|: the first never lies below 0 and the second never beyond the
// power piece (r > 1), so each evaluates only the pieces it can reach; the same operations as blockPieces.
inline __attribute__((always_inline)) Pieces upperPieces(float u, const DriveCurveBlockConstants& c) noexcept
{
    const float a = 1.0f + u;
    const float root = blockSqrt(a);
    const float d = u / (root + 1.0f);
    const float jPower = d * d * d * ((2.0f / 3.0f) + d * ((5.0f / 6.0f) + d * (4.0f / 15.0f)));
    const float kPower = d * d * (1.0f + d * (2.0f / 3.0f));
    const float t = a - c.r;
    const float jKnee = c.jKnee[0] + t * (c.jKnee[1] + t * (c.jKnee[2] + t * c.jKnee[3]));
    const float kKnee = c.kKnee[0] + t * (c.kKnee[1] + t * c.kKnee[2]);
    const float b = t - 1.0f;
    const float jLinear = c.jLinear[0] + b * (c.jLinear[1] + b * c.jLinear[2]);
    const float kLinear = c.kLinear[0] + b * c.kLinear[1];
    const bool power = t <= 0.0f, knee = b < 0.0f;
    return {selectBits(power, jPower, selectBits(knee, jKnee, jLinear)),
            selectBits(power, kPower, selectBits(knee, kKnee, kLinear))};
}

inline __attribute__((always_inline)) Pieces lowerPieces(float u, const DriveCurveBlockConstants& c) noexcept
{
    const float y = -u;
    const float a = 1.0f + y;
    const float root = blockSqrt(std::abs(a));
    const float d = y / (root + 1.0f);
    const float jPower = d * d * d * ((2.0f / 3.0f) + d * ((5.0f / 6.0f) + d * (4.0f / 15.0f)));
    const float kPower = d * d * (1.0f + d * (2.0f / 3.0f));
    const float jBelow = c.jBelow[0] + a * (c.jBelow[1] + a * c.jBelow[2]);
    const float kBelow = c.kBelow[0] + a * c.kBelow[1];
    const bool below = a <= 0.0f;
    return {selectBits(below, jBelow, jPower), selectBits(below, kBelow, kPower)};
}

// J_s and K_s: the pieces blended towards their even (J) and odd (K) parts by the symmetry.
template <bool symmetric>
inline __attribute__((always_inline)) Pieces blendedPieces(float y, const DriveCurveBlockConstants& c,
                                                           float keep, float mirror) noexcept
{
    if constexpr (!symmetric)
        return blockPieces(y, c);

    const float u = std::abs(y);
    const Pieces upper = upperPieces(u, c);
    const Pieces lower = lowerPieces(u, c);
    const bool negative = y < 0.0f;
    const Pieces plus{selectBits(negative, lower.j, upper.j), selectBits(negative, lower.k, upper.k)};
    const Pieces minus{selectBits(negative, upper.j, lower.j), selectBits(negative, upper.k, lower.k)};
    return {plus.j * keep + minus.j * mirror, plus.k * keep - minus.k * mirror};
}

template <bool symmetric>
inline __attribute__((always_inline)) void
stagePieces(const float* __restrict line, const float* __restrict scaleL, const float* __restrict inverseL,
            const float* __restrict squaredL, int n, const DriveCurveBlockConstants& c, float keep,
            float mirror, float* __restrict integral, float* __restrict midpoint,
            unsigned char* __restrict useMidpoint) noexcept
{
    for (int j = 0; j < n; ++j)
    {
        const float previous = line[j];
        const float x = line[j + 1];
        const float delta = x - previous;
        const float largest = std::max(std::abs(previous), std::abs(x));
        const float threshold = std::max(0.024f * largest * largest, 1.0e-5f);
        const bool mid = threshold > std::abs(delta);
        // Only one of the two is used, so both come from one evaluation at the point that one needs.
        const float at = selectBits(mid, 0.5f * (previous + x), x);
        const Pieces p = blendedPieces<symmetric>(at * inverseL[j], c, keep, mirror);
        integral[j] = squaredL[j] * p.j;
        midpoint[j] = scaleL[j] * p.k;
        useMidpoint[j] = mid ? 1 : 0;
    }
}

template <bool symmetric>
inline __attribute__((always_inline)) void
integralsAt(const float* __restrict argument, const float* __restrict scaleL, int n,
            const DriveCurveBlockConstants& c, float keep, float mirror, float* __restrict out) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        const float l = scaleL[i];
        out[i] = (l * l) * blendedPieces<symmetric>(argument[i] * (1.0f / l), c, keep, mirror).j;
    }
}

// Clang cannot multiversion a template, so each case is a plain function.
TQ4_VECTOR_CLONES void stagePiecesOdd(const float* __restrict line, const float* __restrict scaleL,
                                      const float* __restrict inverseL, const float* __restrict squaredL,
                                      int n, const DriveCurveBlockConstants& c, float keep, float mirror,
                                      float* __restrict integral, float* __restrict midpoint,
                                      unsigned char* __restrict useMidpoint) noexcept
{
    stagePieces<true>(line, scaleL, inverseL, squaredL, n, c, keep, mirror, integral, midpoint, useMidpoint);
}

TQ4_VECTOR_CLONES void stagePiecesPlain(const float* __restrict line, const float* __restrict scaleL,
                                        const float* __restrict inverseL, const float* __restrict squaredL,
                                        int n, const DriveCurveBlockConstants& c, float keep, float mirror,
                                        float* __restrict integral, float* __restrict midpoint,
                                        unsigned char* __restrict useMidpoint) noexcept
{
    stagePieces<false>(line, scaleL, inverseL, squaredL, n, c, keep, mirror, integral, midpoint, useMidpoint);
}

TQ4_VECTOR_CLONES void integralsAtOdd(const float* __restrict argument, const float* __restrict scaleL, int n,
                                      const DriveCurveBlockConstants& c, float keep, float mirror,
                                      float* __restrict out) noexcept
{
    integralsAt<true>(argument, scaleL, n, c, keep, mirror, out);
}

TQ4_VECTOR_CLONES void integralsAtPlain(const float* __restrict argument, const float* __restrict scaleL,
                                        int n, const DriveCurveBlockConstants& c, float keep, float mirror,
                                        float* __restrict out) noexcept
{
    integralsAt<false>(argument, scaleL, n, c, keep, mirror, out);
}

TQ4_VECTOR_CLONES
void stageChanges(const float* __restrict line, const float* __restrict integral,
                  const float* __restrict midpoint, const float* __restrict before,
                  const unsigned char* __restrict useMidpoint, int n, float* __restrict signal,
                  float* __restrict accumulated) noexcept
{
    for (int j = 1; j < n; ++j)
    {
        const float previous = line[j];
        const float x = line[j + 1];
        // Φ at the previous input: stored unless that sample took the midpoint.
        const float fresh = before[j];
        const float stored = integral[j - 1];
        const float mid = midpoint[j];
        const float start = selectBits(useMidpoint[j - 1] != 0, fresh, stored);
        const float quotient = (integral[j] - start) / (x - previous);
        const float change = selectBits(useMidpoint[j] != 0, mid, quotient);
        signal[j] = x + change;
        accumulated[j] += change;
    }
}

float blockIntegral(float x, float scaleL, const DriveShape& shape) noexcept
{
    const float s = std::min(shape.symmetry, 1.0f);
    const float keep = 1.0f - 0.5f * s;
    const float mirror = 0.5f * s;
    const float y = x * (1.0f / scaleL);
    const Pieces p = shape.symmetry > 0.0f ? blendedPieces<true>(y, shape.block, keep, mirror)
                                           : blendedPieces<false>(y, shape.block, keep, mirror);
    return (scaleL * scaleL) * p.j;
}
} // namespace

namespace
{

// For every byte of flags: how many are set, and at which bits.
struct FlagPositions
{
    int count = 0;
    uint8_t at[8] = {};
};

constexpr std::array<FlagPositions, 256> makeFlagPositions() noexcept
{
    std::array<FlagPositions, 256> table{};
    for (int byte = 0; byte < 256; ++byte)
        for (int bit = 0; bit < 8; ++bit)
            if ((byte >> bit) & 1)
                table[static_cast<size_t>(byte)].at[table[static_cast<size_t>(byte)].count++] =
                    static_cast<uint8_t>(bit);
    return table;
}

constexpr std::array<FlagPositions, 256> flagPositions = makeFlagPositions();

} // namespace

void CurveStageWorkspace::prepare(int maxLength)
{
    const auto n = static_cast<size_t>(std::max(maxLength, 1));
    line.assign(n + 1, 0.0f);
    integral.assign(n, 0.0f);
    midpoint.assign(n, 0.0f);
    before.assign(n, 0.0f);
    fixArgument.assign(n, 0.0f);
    fixScale.assign(n, 0.0f);
    fixValue.assign(n, 0.0f);
    fixIndex.assign(n + 8, 0);    // the scan writes a whole word's eight candidates
    useMidpoint.assign(n + 8, 0); // the scan for midpoints reads a word past the run
}

void curveStagePass(CurveStageMemory& memory, float* signal, float* accumulated, const float* scaleL,
                    const float* inverseL, const float* squaredL, int n, const DriveShape& shape,
                    CurveStageWorkspace& w) noexcept
{
    if (n <= 0)
        return;

    if (stageIsIdentity(shape))
    {
        memory.previousInput = signal[n - 1];
        memory.previousIntegral = 0.0f;
        memory.valid = true;
        return;
    }

    float* line = w.line.data();
    line[0] = memory.previousInput;
    std::copy(signal, signal + n, line + 1);

    const float s = std::min(shape.symmetry, 1.0f);
    const float keep = 1.0f - 0.5f * s;
    const float mirror = 0.5f * s;
    float* integral = w.integral.data();
    float* midpoint = w.midpoint.data();
    unsigned char* useMidpoint = w.useMidpoint.data();

    if (shape.symmetry > 0.0f)
        stagePiecesOdd(line, scaleL, inverseL, squaredL, n, shape.block, keep, mirror, integral, midpoint,
                       useMidpoint);
    else
        stagePiecesPlain(line, scaleL, inverseL, squaredL, n, shape.block, keep, mirror, integral, midpoint,
                         useMidpoint);

    // Where a difference quotient follows a midpoint, Φ at the previous input is needed afresh for this
    // sample's scale: gathered, evaluated together and put back.
    // They are few, so the flags are scanned eight at a time.
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the scan reads the flags as words");
    // Each word's eight flags gather into one byte, and a table lists where its set ones are: how many a
    // word holds follows no pattern, so a branch per flag or per word mispredicted.
    int fixes = 0;
    int* fixIndex = w.fixIndex.data();
    for (int j = 1; j < n; j += 8)
    {
        uint64_t previousFlags, flags;
        std::memcpy(&previousFlags, useMidpoint + j - 1, sizeof previousFlags);
        std::memcpy(&flags, useMidpoint + j, sizeof flags);
        uint64_t follows = previousFlags & ~flags & 0x0101010101010101u;
        if (n - j < 8)
            follows &= (uint64_t{1} << (8 * (n - j))) - 1u;

        // Bit k of the byte is flag k: the products of distinct flags and multiplier bits never meet.
        const auto& set = flagPositions[(follows * 0x0102040810204080u) >> 56];
        for (int b = 0; b < 8; ++b)
            fixIndex[fixes + b] = j + set.at[b];
        fixes += set.count;
    }

    for (int f = 0; f < fixes; ++f)
    {
        const auto j = static_cast<size_t>(w.fixIndex[static_cast<size_t>(f)]);
        w.fixArgument[static_cast<size_t>(f)] = line[j];
        w.fixScale[static_cast<size_t>(f)] = scaleL[j];
    }

    if (shape.symmetry > 0.0f)
        integralsAtOdd(w.fixArgument.data(), w.fixScale.data(), fixes, shape.block, keep, mirror,
                       w.fixValue.data());
    else
        integralsAtPlain(w.fixArgument.data(), w.fixScale.data(), fixes, shape.block, keep, mirror,
                         w.fixValue.data());

    for (int f = 0; f < fixes; ++f)
        w.before[static_cast<size_t>(w.fixIndex[static_cast<size_t>(f)])] =
            w.fixValue[static_cast<size_t>(f)];

    // The first sample continues from the memory.
    {
        const float previous = line[0];
        const float x = line[1];
        float change = midpoint[0];

        if (useMidpoint[0] == 0)
        {
            const float start =
                memory.valid ? memory.previousIntegral : blockIntegral(previous, scaleL[0], shape);
            change = (integral[0] - start) / (x - previous);
        }

        signal[0] = x + change;
        accumulated[0] += change;
    }

    stageChanges(line, integral, midpoint, w.before.data(), useMidpoint, n, signal, accumulated);

    memory.previousInput = line[n];
    memory.valid = useMidpoint[n - 1] == 0;

    if (memory.valid)
        memory.previousIntegral = integral[n - 1];
}

void primeCurveStageBlock(CurveStageMemory& memory, float scaleL, const DriveShape& shape) noexcept
{
    memory.previousIntegral =
        stageIsIdentity(shape) ? 0.0f : blockIntegral(memory.previousInput, scaleL, shape);
    memory.valid = true;
}

float sagScale(float envelope, float amount, float sagDepth, float sagKnee, float headroom) noexcept
{
    return (1.0f - amount * sagDepth * envelope / (envelope + sagKnee)) * headroom;
}

namespace
{
// e^z for z ≤ 0 in plain arithmetic (vectorises): 2^k from the bits, e^r by its series for |r| ≤ ln 2 / 2.
inline __attribute__((always_inline)) float expOfNegative(float z) noexcept
{
    constexpr float shifter = 12582912.0f; // 1.5 × 2^23: adding it rounds to an integer
    const float x = selectBits(z < -80.0f, -80.0f, z);
    const float t = x * 1.44269504f + shifter;
    const float k = t - shifter;
    const float r = (x - k * 0.693145752f) - k * 1.42860677e-6f;
    float p = 1.0f / 5040.0f;
    p = 1.0f / 720.0f + r * p;
    p = 1.0f / 120.0f + r * p;
    p = 1.0f / 24.0f + r * p;
    p = 1.0f / 6.0f + r * p;
    p = 0.5f + r * p;
    p = 1.0f + r * p;
    p = 1.0f + r * p;
    uint32_t tBits, shifterBits;
    std::memcpy(&tBits, &t, sizeof tBits);
    std::memcpy(&shifterBits, &shifter, sizeof shifterBits);
    const uint32_t scaleBits = (tBits - shifterBits + 127u) << 23;
    float scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return p * scale;
}

struct Langevin
{
    float value, slope, half2, sixth3; // L, L′, L″ / 2, L‴ / 6
};

// L(x) = coth x − 1/x and its first three derivatives, to about float rounding: by its series below 0.5,
// from e^(−2|x|) above.
inline __attribute__((always_inline)) Langevin langevinTaylor(float x) noexcept
{
    const bool negative = x < 0.0f;
    const float ax = std::abs(x);
    const float sign = selectBits(negative, -1.0f, 1.0f);

    constexpr float a0 = 1.0f / 3.0f, a1 = -1.0f / 45.0f, a2 = 2.0f / 945.0f, a3 = -1.0f / 4725.0f,
                    a4 = 2.0f / 93555.0f, a5 = -1382.0f / 638512875.0f;
    const float x2 = x * x;
    const float sValue = x * (a0 + x2 * (a1 + x2 * (a2 + x2 * (a3 + x2 * (a4 + x2 * a5)))));
    const float sSlope = a0 + x2 * (3 * a1 + x2 * (5 * a2 + x2 * (7 * a3 + x2 * (9 * a4 + x2 * 11 * a5))));
    const float sSecond = x * (6 * a1 + x2 * (20 * a2 + x2 * (42 * a3 + x2 * (72 * a4 + x2 * 110 * a5))));
    const float sThird = 6 * a1 + x2 * (60 * a2 + x2 * (210 * a3 + x2 * (504 * a4 + x2 * 990 * a5)));

    const bool series = ax < 0.5f;
    const float outer = selectBits(series, 0.5f, ax);
    const float e = expOfNegative(-2.0f * outer);
    // One division for the three reciprocals.
    const float reciprocal = 1.0f / ((1.0f - e) * outer);
    const float overOneMinusE = reciprocal * outer;
    const float coth = (1.0f + e) * overOneMinusE;
    const float csch2 = 4.0f * e * (overOneMinusE * overOneMinusE);
    const float inv = reciprocal * (1.0f - e);
    const float inv2 = inv * inv;
    const float eValue = sign * (coth - inv);
    const float eSlope = inv2 - csch2;
    const float eSecond = sign * (2.0f * coth * csch2 - 2.0f * inv2 * inv);
    const float eThird = 6.0f * inv2 * inv2 - csch2 * (2.0f * csch2 + 4.0f * coth * coth);

    return {selectBits(series, sValue, eValue), selectBits(series, sSlope, eSlope),
            0.5f * selectBits(series, sSecond, eSecond), selectBits(series, sThird, eThird) * (1.0f / 6.0f)};
}

// Every sample's expansion in one pass; the arrays are parameters so that the compiler can take them as
// unaliased.
TQ4_VECTOR_CLONES
void coefficients(const float* __restrict inputH, const float* __restrict step, int n, float inverseA,
                  float kappa, float slopeScale, float* __restrict q0, float* __restrict q1,
                  float* __restrict q2, float* __restrict q3, float* __restrict w0, float* __restrict w1,
                  float* __restrict w2) noexcept
{
    const float kappa2 = kappa * kappa;
    const float kappa3 = kappa2 * kappa;

    for (int j = 0; j < n; ++j)
    {
        const float deltaH = step[j];
        const float h = selectBits(deltaH != 0.0f, inputH[j], 0.0f);
        const Langevin l = langevinTaylor((h - deltaH * 0.5f) * inverseA);
        const float s = deltaH * slopeScale;
        q0[j] = l.value;
        q1[j] = kappa * l.slope - 1.0f;
        q2[j] = kappa2 * l.half2;
        q3[j] = kappa3 * l.sixth3;
        w0[j] = s * l.slope;
        w1[j] = 2.0f * kappa * s * l.half2;
        w2[j] = 3.0f * kappa2 * s * l.sixth3;
    }
}

TQ4_VECTOR_CLONES
void differences(const float* __restrict inputH, float previous, int n, float* __restrict step,
                 unsigned& nonFinite) noexcept
{
    unsigned bad = 0;

    for (int j = 0; j < n; ++j)
    {
        const float h = inputH[j];
        step[j] = h - (j == 0 ? previous : inputH[j - 1]);
        uint32_t bits;
        std::memcpy(&bits, &h, sizeof bits);
        bad |= (bits & 0x7f800000u) == 0x7f800000u ? 1u : 0u;
    }

    nonFinite = bad;
}

} // namespace

void hysteresisSteps(HysteresisState& state, const float* inputH, int n, HysteresisBlockWorkspace& w) noexcept
{
    if (n <= 0)
        return;

    float* step = w.step.data();
    unsigned nonFinite = 0;
    differences(inputH, state.previousInput, n, step, nonFinite);

    if (nonFinite == 0)
    {
        state.previousInput = inputH[n - 1];
        return;
    }

    // A non-finite input is skipped: the next step starts from the last finite one.
    float previous = state.previousInput;

    for (int j = 0; j < n; ++j)
    {
        const float h = inputH[j];
        step[j] = std::isfinite(h) ? h - previous : 0.0f;
        previous = std::isfinite(h) ? h : previous;
    }

    state.previousInput = previous;
}

void hysteresisPrepare(const HysteresisParameters& p, const float* inputH, int n,
                       HysteresisBlockWorkspace& w) noexcept
{
    const float inverseA = 1.0f / std::max(p.a, 1.0e-5f);
    const float kappa = p.alpha * inverseA;
    const float slopeScale = p.c * inverseA;
    coefficients(inputH, w.step.data(), n, inverseA, kappa, slopeScale, w.q0.data(), w.q1.data(), w.q2.data(),
                 w.q3.data(), w.w0.data(), w.w1.data(), w.w2.data());
}

void HysteresisBlockWorkspace::prepare(int maxLength)
{
    const auto n = static_cast<size_t>(std::max(maxLength, 1));
    for (auto* v : {&step, &q0, &q1, &q2, &q3, &w0, &w1, &w2})
        v->assign(n, 0.0f);
}

void hysteresisRun(HysteresisState& state, const HysteresisParameters& params, const float* inputH,
                   float* magnetisation, int n, HysteresisBlockWorkspace& w) noexcept
{
    hysteresisSteps(state, inputH, n, w);
    hysteresisPrepare(params, inputH, n, w);
    const HysteresisRecursion recursion(params, w);
    float m = state.magnetisation;
    float average = state.averageStep;

    for (int j = 0; j < n; ++j)
    {
        m = hysteresisAdvance(m, average, recursion, static_cast<size_t>(j));
        magnetisation[j] = m;
    }

    state.magnetisation = m;
    state.averageStep = average;
}

void initialiseHysteresis(HysteresisState& state, float f, float hysteresisGain) noexcept
{
    const float start = hysteresisGain > 0.0f ? f / hysteresisGain : f;
    state.magnetisation = std::isfinite(start) ? std::clamp(start, -1.0f, 1.0f) : 0.0f;
    state.previousInput = std::isfinite(f) ? f : 0.0f;
}

DriveTable driveTestSine() noexcept
{
    DriveTable sine{};

    for (int j = 0; j < driveTestSineLength; ++j)
        sine[static_cast<size_t>(j)] = static_cast<float>(
            driveTestSineAmplitude * std::sin(twoPi * j / static_cast<double>(driveTestSineLength)));

    return sine;
}

float calibrateHysteresisGain(const HysteresisParameters& params, float hysteresisAmount,
                              const DriveTable& testSine, DriveTable& hysteresisTable,
                              HysteresisCalibrationCache& cache) noexcept
{
    if (!(hysteresisAmount > 0.0f))
        return 1.0f;

    if (cache.valid && cache.params == params)
        return cache.gain;

    // Three periods settle the loop; the fourth is the one measured.
    HysteresisState state;
    double sumX = 0.0;
    double sumM = 0.0;

    for (int pass = 0; pass < 4; ++pass)
    {
        for (size_t j = 0; j < testSine.size(); ++j)
        {
            const float m = hysteresisStep(state, params, testSine[j]);

            if (pass == 3)
            {
                hysteresisTable[j] = m;
                sumX += static_cast<double>(testSine[j]) * testSine[j];
                sumM += static_cast<double>(m) * m;
            }
        }
    }

    cache.params = params;
    cache.gain = sumM < 1.0e-12 ? 1.0f : static_cast<float>(std::sqrt(sumX / sumM));
    cache.valid = true;
    return cache.gain;
}

float outputNormalisationGain(const DriveShape& shape, int stages, float scaleL, float hysteresisAmount,
                              float hysteresisGain, const DriveTable& testSine,
                              const DriveTable& hysteresisTable) noexcept
{
    if (stageIsIdentity(shape))
        return 1.0f;

    double sumX = 0.0;
    double sumH = 0.0;

    for (size_t j = 0; j < testSine.size(); ++j)
    {
        const double x = testSine[j];
        double h = x;

        if (hysteresisAmount > 0.0f)
            h = x + (static_cast<double>(hysteresisGain) * hysteresisTable[j] - x) * hysteresisAmount;

        for (int s = 0; s < stages; ++s)
            h = curveStage(h, scaleL, shape);

        sumX += x * x;
        sumH += h * h;
    }

    return sumH < 1.0e-12 ? 1.0f : static_cast<float>(std::sqrt(sumX / sumH));
}

DriveEnvelopeConstants driveEnvelopeConstants(double oversampledRateHz) noexcept
{
    const double fs = oversampledRateHz;
    DriveEnvelopeConstants k;
    k.attack = static_cast<float>(std::exp(-1.0 / (0.015 * fs)));
    k.release = static_cast<float>(std::exp(-1.0 / (0.12 * fs)));
    k.lowBandCoefficient = static_cast<float>(1.0 - std::exp(-twoPi * 120.0 / fs));

    const double attack = k.attack;
    const double release = k.release;
    const double lowBand = k.lowBandCoefficient;
    const auto follow = [attack, release](double envelope, double level)
    { return level + (envelope - level) * (level > envelope ? attack : release); };

    const long length = std::max(16L, static_cast<long>(std::floor(0.3 * fs)));
    const long settled = length / 2;
    double full = 0.0, low = 0.0, lowState = 0.0;
    double sumFull = 0.0, sumLow = 0.0;
    long counted = 0;

    // The tone by rotation, started afresh from sin and cos every 256 samples: a call of each per sample
    // was most of an engine's preparation, and the rotation drifts by a few units in the last place.
    constexpr long anchorEvery = 256;
    const double step = twoPi * 1000.0 / fs;
    const double stepCos = std::cos(step), stepSin = std::sin(step);
    double s = 0.0, c = 1.0;
    for (long v = 0; v < length; ++v)
    {
        if (v % anchorEvery == 0)
        {
            const double phase = twoPi * 1000.0 * static_cast<double>(v) / fs;
            s = std::sin(phase);
            c = std::cos(phase);
        }
        else
        {
            const double next = s * stepCos + c * stepSin;
            c = c * stepCos - s * stepSin;
            s = next;
        }
        full = follow(full, std::abs(s));
        lowState += (s - lowState) * lowBand;
        low = follow(low, std::abs(lowState));

        if (v >= settled)
        {
            sumFull += full;
            sumLow += low;
            ++counted;
        }
    }

    if (counted > 0)
    {
        k.fullBandCalibration = static_cast<float>(sumFull / static_cast<double>(counted));
        k.lowBandCalibration = static_cast<float>(sumLow / static_cast<double>(counted));
    }

    return k;
}

} // namespace tq4
