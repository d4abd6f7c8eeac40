// Designs the low-pass kernels of the factor-4 oversampler and writes them as
// C++ tables. Run at build time:
//
//     design_oversampling_kernels <output directory>
//
// writes <dir>/dsp/OversamplingKernels.h and <dir>/dsp/OversamplingKernels.cpp.
// Nothing is written, and the exit status is non-zero, when a designed kernel
// misses the figures below.
//
// What the kernels have to do
// ---------------------------
// All frequencies here are fractions of the oversampled rate 4*fs (0.5 is its
// Nyquist frequency 2*fs).
//   - pass-band: flat up to 0.3*fs = 0.075;
//   - stop-band: at least 80 dB down from 0.5*fs = 0.125 up to 0.5. For the
//     interpolator this removes the images of the zero-stuffed signal, for the
//     decimator everything that would fold back when three samples in four are
//     dropped;
//   - symmetric taps (linear phase, so the oversampled section adds a pure
//     delay), gain 1 at DC.
// Pass-band ripple accepted: +-0.25 dB up to 0.3*fs, relative to unity gain.
// The 66-tap decimators need most of that (about +-0.2 dB): with a transition
// band only 0.05 of the oversampled rate wide, 66 taps cannot have both a
// much flatter pass-band and 80 dB. The longer kernels stay far inside it.
//
// Method
// ------
// Equiripple design by the Remez exchange (the Parks-McClellan method),
// written out below. A windowed sinc of 66 taps gets nowhere near 80 dB
// across so narrow a transition; a minimax design spreads the error evenly
// and trades pass-band ripple against stop-band depth through band weights.
//
// A symmetric kernel of N taps has the response e^{-jw(N-1)/2} A(w), with a
// real amplitude A:
//   - N odd  (type I):  A(w) = sum_{k=0}^{(N-1)/2} a_k cos(k w);
//   - N even (type II): A(w) = cos(w/2) * P(w), P(w) = sum_{k=0}^{N/2-1} b_k cos(k w).
//     A(pi) is forced to zero, which suits a low-pass. The exchange works on P
//     against the desired response D/cos(w/2) with weight W*cos(w/2).
// In x = cos(w) the amplitude is a polynomial of degree r-1 (r basis
// functions). The exchange keeps r+1 trial extremal frequencies, solves for
// the polynomial that alternates +-delta/W around the desired response at
// them (barycentric Lagrange form, which stays well conditioned), evaluates
// the weighted error on a dense grid, and moves the trial set to the new
// alternating error peaks until the peaks no longer exceed |delta|. The taps
// then come from sampling A at the N frequencies 2*pi*k/N (frequency
// sampling is exact for a kernel of N taps).
//
// Unity gain at DC: a plain equiripple low-pass has a ripple peak at DC, so
// scaling its taps to sum to 1 would double the ripple seen relative to
// unity. Instead the point f = 0 gets its own large weight (kDcPinWeight),
// which pins A(0) to 1 within about delta/1000 for about 2 % more ripple;
// the final scaling to a sum of exactly 1 is then negligible.
//
// The kernels
// -----------
//   interpolation, 85 taps (every rate): pass 0..0.075 weight 1, stop
//     0.125..0.5 weight 300. The taps to spare go into a deep stop-band (about
//     97 dB) while the pass-band stays within +-0.04 dB: the images of the
//     zero-stuffed signal are the first thing the distortion sees.
//   decimation at 22050 Hz, 72 taps: pass 0..0.075 weight 1, stop 0.125..0.5
//     weight 200 (about 87 dB, +-0.08 dB).
//   decimation at 44100 and 48000 Hz, 66 taps each, placed for the absolute
//     frequencies of the rate. After the decimator drops three samples in
//     four, a component at f between fs/2 and fs folds to fs - f. Between
//     fs/2 and fs - 20 kHz it folds to above 20 kHz, where nobody hears it;
//     from fs - 20 kHz up it (like most of what lies higher still) lands in
//     the audible band. So the stop-band is
//     split at fs - 20 kHz: the lower part gets weight 300 (holding the
//     80 dB floor with about 2 dB to spare), the upper part twice that, which
//     buys about 6 dB more rejection exactly where aliases become audible.
//       44100 Hz: stop 0.125..0.13662 (22.05..24.1 kHz), then 0.13662..0.5;
//       48000 Hz: stop 0.125..0.14583 (24..28 kHz), then 0.14583..0.5.
//     The split lies at different fractions of the oversampled rate, so the
//     two kernels are different designs meeting the same figures. At 22050
//     Hz, fs - 20 kHz lies below fs/2 and every alias is audible: no split.
//
// Everything is deterministic: fixed grids, fixed starting set, no random
// numbers. The whole run takes a few milliseconds.
#include "dsp/MathConstants.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using stravik::dsp::kPi;
using stravik::dsp::kTwoPi;

// Band edges as fractions of the oversampled rate.
constexpr double kPassEdge = 0.075;  // 0.3 * fs
constexpr double kStopEdge = 0.125;  // 0.5 * fs

// The figures every kernel must meet.
constexpr double kMaxRippleDb = 0.25;    // |gain in dB| up to kPassEdge
constexpr double kMinStopDb = 80.0;      // below the DC gain from kStopEdge
constexpr double kMinDcSum = 0.97;
constexpr double kMaxDcSum = 1.03;

// Weight of the single grid point at DC, relative to the pass-band weight.
constexpr double kDcPinWeight = 1000.0;
// Rejection the split decimators must reach above fs - 20 kHz.
constexpr double kMinAudibleAliasDb = 86.0;

struct Band {
    double lo;       // cycles per sample
    double hi;
    double desired;  // amplitude
    double weight;
};

struct KernelPlan {
    const char* symbol;       // table name in the generated code
    const char* description;  // one line for the generated header
    int taps;
    std::vector<Band> bands;  // the first one starts at DC
    double audibleAliasFrom = 0.0;  // fs - 20 kHz where the stop-band is split, else 0
};

// Bands of a decimator whose stop-band is split at fs - 20 kHz.
std::vector<Band> splitDecimatorBands(double sampleRate)
{
    const double split = (sampleRate - 20000.0) / (4.0 * sampleRate);
    return {{0.0, kPassEdge, 1.0, 1.0}, {kStopEdge, split, 0.0, 300.0}, {split, 0.5, 0.0, 600.0}};
}

// ---------------------------------------------------------------------------
// Remez exchange

struct GridPoint {
    double f;  // cycles per sample
    double x;  // cos(2 pi f)
    double desired;
    double weight;
    int band;  // -1 for the pinned DC point, which stands on its own
};

// Barycentric weights of the nodes x[0..n): 1 / prod_{j != i} 2 (x_i - x_j).
// The factor 2 keeps the products near 1 for nodes spread over [-1, 1].
std::vector<double> barycentricWeights(const std::vector<double>& x, int n)
{
    std::vector<double> w(n);
    for (int i = 0; i < n; ++i) {
        double p = 1.0;
        for (int j = 0; j < n; ++j)
            if (j != i) p *= 2.0 * (x[i] - x[j]);
        w[i] = 1.0 / p;
    }
    return w;
}

// The polynomial through (x[i], c[i]), i < n, evaluated at t.
double barycentricEval(const std::vector<double>& x, const std::vector<double>& c,
                       const std::vector<double>& w, int n, double t)
{
    double num = 0.0;
    double den = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = t - x[i];
        if (std::fabs(d) < 1e-15) return c[i];
        const double q = w[i] / d;
        num += q * c[i];
        den += q;
    }
    return num / den;
}

struct Design {
    std::vector<double> taps;
    double delta = 0.0;  // final weighted ripple
    int iterations = 0;
    bool converged = false;
};

Design remez(int taps, const std::vector<Band>& bands)
{
    const bool even = taps % 2 == 0;
    const int r = even ? taps / 2 : (taps + 1) / 2;  // basis functions
    constexpr int kDensity = 32;                    // grid points per extremum
    const double step = 0.5 / (kDensity * r);

    // Dense grid over the bands. A type II amplitude is zero at 0.5 whatever
    // the coefficients, so the last grid point stops one step short of it.
    std::vector<GridPoint> grid;
    for (int b = 0; b < static_cast<int>(bands.size()); ++b) {
        double lo = bands[b].lo;
        double hi = bands[b].hi;
        if (even && hi > 0.5 - step) hi = 0.5 - step;
        // A band with lo == hi is a single point (used to pin the DC gain).
        const int count =
            hi > lo ? std::max(2, static_cast<int>(std::ceil((hi - lo) / step)) + 1) : 1;
        for (int i = 0; i < count; ++i) {
            const double f = count == 1 ? lo : lo + (hi - lo) * i / (count - 1);
            // Adjacent bands share their edge, which then belongs to the upper
            // band (two equal nodes would break the interpolation).
            if (!grid.empty() && f <= grid.back().f) grid.pop_back();
            GridPoint g{f, std::cos(kTwoPi * f), bands[b].desired, bands[b].weight, b};
            if (f == 0.0) {
                g.weight *= kDcPinWeight;
                g.band = -1;
            }
            if (even) {
                const double c = std::cos(kPi * f);
                g.desired /= c;
                g.weight *= c;
            }
            grid.push_back(g);
        }
    }
    const int gridSize = static_cast<int>(grid.size());

    std::vector<int> ext(r + 1);
    for (int i = 0; i <= r; ++i)
        ext[i] = static_cast<int>(static_cast<long>(i) * (gridSize - 1) / r);

    // The trial set's levelled error delta and the polynomial that takes the
    // values D -+ delta/W at the trial points. It is interpolated through the
    // first r of them; the last one it meets by the choice of delta.
    std::vector<double> xe(r + 1), ce(r + 1), interpWeights;
    double delta = 0.0;
    auto solve = [&] {
        for (int i = 0; i <= r; ++i) xe[i] = grid[ext[i]].x;
        const std::vector<double> a = barycentricWeights(xe, r + 1);
        double num = 0.0, den = 0.0;
        for (int i = 0; i <= r; ++i) {
            const double sign = (i % 2 == 0) ? 1.0 : -1.0;
            num += a[i] * grid[ext[i]].desired;
            den += a[i] * sign / grid[ext[i]].weight;
        }
        delta = num / den;
        for (int i = 0; i <= r; ++i) {
            const double sign = (i % 2 == 0) ? 1.0 : -1.0;
            ce[i] = grid[ext[i]].desired - sign * delta / grid[ext[i]].weight;
        }
        interpWeights = barycentricWeights(xe, r);
    };

    Design out;
    std::vector<double> err(gridSize);
    for (int iter = 1; iter <= 200; ++iter) {
        out.iterations = iter;
        solve();

        for (int g = 0; g < gridSize; ++g) {
            const double p = barycentricEval(xe, ce, interpWeights, r, grid[g].x);
            err[g] = grid[g].weight * (grid[g].desired - p);
        }

        // Local peaks of the error, band edges included, at least |delta|
        // (less a margin for rounding: the error at the old trial points is
        // +-delta only up to the precision of the interpolation).
        const double level = std::fabs(delta) * (1.0 - 1e-6);
        std::vector<int> peaks;
        for (int g = 0; g < gridSize; ++g) {
            const double e = err[g];
            if (std::fabs(e) < level) continue;
            const double s = e >= 0 ? 1.0 : -1.0;
            const bool leftOk = g == 0 || grid[g - 1].band != grid[g].band ||
                                s * e > s * err[g - 1];
            const bool rightOk = g == gridSize - 1 || grid[g + 1].band != grid[g].band ||
                                 s * e >= s * err[g + 1];
            if (leftOk && rightOk) peaks.push_back(g);
        }
        // Alternation: of neighbours with the same sign keep the larger.
        std::vector<int> alt;
        for (int g : peaks) {
            if (!alt.empty() && (err[g] >= 0) == (err[alt.back()] >= 0)) {
                if (std::fabs(err[g]) > std::fabs(err[alt.back()])) alt.back() = g;
            } else {
                alt.push_back(g);
            }
        }
        // Too many: drop the weakest, keeping the signs alternating.
        while (static_cast<int>(alt.size()) > r + 1) {
            const int n = static_cast<int>(alt.size());
            int weakest = 0;
            for (int i = 1; i < n; ++i)
                if (std::fabs(err[alt[i]]) < std::fabs(err[alt[weakest]])) weakest = i;
            if (weakest == 0 || weakest == n - 1 || n - (r + 1) == 1) {
                // Removing an end keeps the alternation.
                if (std::fabs(err[alt.front()]) <= std::fabs(err[alt.back()]))
                    alt.erase(alt.begin());
                else
                    alt.pop_back();
            } else {
                // Removing an inner peak leaves two neighbours of one sign;
                // the smaller of them goes too.
                const int drop = std::fabs(err[alt[weakest - 1]]) < std::fabs(err[alt[weakest + 1]])
                                     ? weakest - 1
                                     : weakest + 1;
                alt.erase(alt.begin() + std::max(weakest, drop));
                alt.erase(alt.begin() + std::min(weakest, drop));
            }
        }
        if (static_cast<int>(alt.size()) < r + 1) break;  // degenerate; not converged

        double peak = 0.0;
        for (int g : alt) peak = std::max(peak, std::fabs(err[g]));
        const bool same = std::equal(alt.begin(), alt.end(), ext.begin());
        ext = alt;
        if (same || (peak - std::fabs(delta)) <= 1e-10 * std::fabs(delta)) {
            out.converged = true;
            break;
        }
    }

    // The polynomial on the final set gives the amplitude everywhere.
    solve();
    auto amplitude = [&](double f) {
        const double p = barycentricEval(xe, ce, interpWeights, r, std::cos(kTwoPi * f));
        return even ? std::cos(kPi * f) * p : p;
    };

    // Frequency sampling: with A_k = A(2 pi k / N) and centre c = (N-1)/2,
    //   h[n] = (A_0 + 2 sum_{k=1}^{K} A_k cos(2 pi k (n - c) / N)) / N,
    // K = (N-1)/2 for odd N, N/2 - 1 for even N (A at pi is zero then).
    const int n = taps;
    const int kMax = even ? n / 2 - 1 : (n - 1) / 2;
    std::vector<double> samples(kMax + 1);
    for (int k = 0; k <= kMax; ++k) samples[k] = amplitude(static_cast<double>(k) / n);
    const double centre = (n - 1) / 2.0;
    out.taps.assign(n, 0.0);
    for (int i = 0; i < (n + 1) / 2; ++i) {
        double s = samples[0];
        for (int k = 1; k <= kMax; ++k)
            s += 2.0 * samples[k] * std::cos(kTwoPi * k * (i - centre) / n);
        out.taps[i] = s / n;
        out.taps[n - 1 - i] = out.taps[i];  // exact symmetry
    }

    // Scale to a tap sum of 1; after pinning A(0) this is a tiny correction,
    // and dividing mirrored taps by one number keeps them equal.
    double sum = 0.0;
    for (double t : out.taps) sum += t;
    for (double& t : out.taps) t /= sum;

    out.delta = std::fabs(delta);
    return out;
}

// ---------------------------------------------------------------------------
// Independent measurement of the finished taps on a dense grid.

struct Figures {
    double dcSum = 0.0;
    double rippleDb = 0.0;    // max |20 log10 |H|| up to kPassEdge
    double stopDb = 0.0;      // min attenuation below DC from kStopEdge to 0.5
    double audibleAliasDb = 0.0;  // the same from audibleAliasFrom (when split)
    bool symmetric = false;
};

double magnitude(const std::vector<double>& h, double f)
{
    double re = 0.0, im = 0.0;
    for (int n = 0; n < static_cast<int>(h.size()); ++n) {
        re += h[n] * std::cos(kTwoPi * f * n);
        im -= h[n] * std::sin(kTwoPi * f * n);
    }
    return std::hypot(re, im);
}

Figures measure(const std::vector<double>& h, double audibleAliasFrom)
{
    Figures fig;
    const int n = static_cast<int>(h.size());
    fig.symmetric = true;
    for (int i = 0; i < n; ++i)
        if (h[i] != h[n - 1 - i]) fig.symmetric = false;
    for (double t : h) fig.dcSum += t;

    constexpr int kPoints = 20000;  // over 0..0.5
    const double dc = std::fabs(fig.dcSum);
    double worstStop = 0.0;
    double worstAudible = 0.0;
    for (int i = 0; i <= kPoints; ++i) {
        const double f = 0.5 * i / kPoints;
        const bool pass = f <= kPassEdge;
        const bool stop = f >= kStopEdge;
        if (!pass && !stop) continue;
        const double m = magnitude(h, f);
        if (pass) fig.rippleDb = std::max(fig.rippleDb, std::fabs(20.0 * std::log10(m)));
        if (stop) worstStop = std::max(worstStop, m);
        if (audibleAliasFrom > 0.0 && f >= audibleAliasFrom) worstAudible = std::max(worstAudible, m);
    }
    // The band edges themselves, in case the grid steps over them.
    fig.rippleDb = std::max(fig.rippleDb, std::fabs(20.0 * std::log10(magnitude(h, kPassEdge))));
    worstStop = std::max(worstStop, magnitude(h, kStopEdge));
    fig.stopDb = 20.0 * std::log10(dc / worstStop);
    if (audibleAliasFrom > 0.0) {
        worstAudible = std::max(worstAudible, magnitude(h, audibleAliasFrom));
        fig.audibleAliasDb = 20.0 * std::log10(dc / worstAudible);
    }
    return fig;
}

// ---------------------------------------------------------------------------
// Output

bool writeFileAtomically(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) {
        std::remove(tmp.c_str());
        return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string format(const char* fmt, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];

    const std::vector<KernelPlan> plans = {
        {"kInterpolation", "interpolation, all rates", 85,
         {{0.0, kPassEdge, 1.0, 1.0}, {kStopEdge, 0.5, 0.0, 300.0}}},
        {"kDecimation22050", "decimation at 22050 Hz", 72,
         {{0.0, kPassEdge, 1.0, 1.0}, {kStopEdge, 0.5, 0.0, 200.0}}},
        {"kDecimation44100", "decimation at 44100 Hz, stop-band split at 24.1 kHz", 66,
         splitDecimatorBands(44100.0), (44100.0 - 20000.0) / (4 * 44100.0)},
        {"kDecimation48000", "decimation at 48000 Hz, stop-band split at 28 kHz", 66,
         splitDecimatorBands(48000.0), (48000.0 - 20000.0) / (4 * 48000.0)},
    };

    bool allOk = true;
    std::vector<std::vector<double>> kernels;
    std::vector<Figures> figures;
    for (const KernelPlan& plan : plans) {
        const Design d = remez(plan.taps, plan.bands);
        const Figures fig = measure(d.taps, plan.audibleAliasFrom);
        const bool ok = d.converged && fig.symmetric &&
                        static_cast<int>(d.taps.size()) == plan.taps &&
                        fig.dcSum >= kMinDcSum && fig.dcSum <= kMaxDcSum &&
                        fig.rippleDb <= kMaxRippleDb && fig.stopDb >= kMinStopDb &&
                        (plan.audibleAliasFrom == 0.0 || fig.audibleAliasDb >= kMinAudibleAliasDb);
        std::printf("%-17s %2d taps, %2d iterations%s: DC sum %.9f, ripple +-%.4f dB, "
                    "stop-band %.2f dB",
                    plan.symbol, plan.taps, d.iterations, d.converged ? "" : " (no convergence)",
                    fig.dcSum, fig.rippleDb, fig.stopDb);
        if (plan.audibleAliasFrom > 0.0)
            std::printf(" (%.2f dB from fs - 20 kHz)", fig.audibleAliasDb);
        std::printf("%s\n", ok ? "" : "  <-- FAILS");
        allOk = allOk && ok;
        kernels.push_back(d.taps);
        figures.push_back(fig);
    }
    if (kernels[2] == kernels[3]) {
        std::fprintf(stderr, "the 44100 and 48000 Hz decimation kernels came out identical\n");
        allOk = false;
    }
    if (!allOk) {
        std::fprintf(stderr, "design_oversampling_kernels: a kernel misses its figures; "
                             "nothing written\n");
        return 1;
    }

    std::string header =
        "// Generated by dsp/tools/design_oversampling_kernels.cpp at build time; do not edit.\n"
        "// Linear-phase low-passes of the factor-4 oversampler. Frequencies are fractions\n"
        "// of the oversampled rate 4*fs: pass-band to 0.3*fs, stop-band (80 dB or more)\n"
        "// from 0.5*fs. Measured on the finished taps:\n";
    for (size_t i = 0; i < plans.size(); ++i) {
        header += "//   " + std::string(plans[i].symbol) + ": " + plans[i].description + ", " +
                  std::to_string(plans[i].taps) + " taps, DC sum " +
                  format("%.6f", figures[i].dcSum) + ", ripple +-" +
                  format("%.3f", figures[i].rippleDb) + " dB, stop-band " +
                  format("%.1f", figures[i].stopDb) + " dB";
        if (plans[i].audibleAliasFrom > 0.0)
            header += " (" + format("%.1f", figures[i].audibleAliasDb) + " dB above the split)";
        header += "\n";
    }
    header += "#pragma once\n\nnamespace stravik::dsp::oversampling_kernels {\n\n";
    for (const KernelPlan& plan : plans) {
        header += "inline constexpr int " + std::string(plan.symbol) + "Taps = " +
                  std::to_string(plan.taps) + ";\n";
        header += "extern const double " + std::string(plan.symbol) + "[" +
                  std::string(plan.symbol) + "Taps];\n";
    }
    header += "\n} // namespace stravik::dsp::oversampling_kernels\n";

    std::string source =
        "// Generated by dsp/tools/design_oversampling_kernels.cpp at build time; do not edit.\n"
        "#include \"dsp/OversamplingKernels.h\"\n\n"
        "namespace stravik::dsp::oversampling_kernels {\n";
    for (size_t i = 0; i < plans.size(); ++i) {
        source += "\n// " + std::string(plans[i].description) + "\n";
        source += "const double " + std::string(plans[i].symbol) + "[" +
                  std::string(plans[i].symbol) + "Taps] = {\n";
        const std::vector<double>& h = kernels[i];
        for (size_t n = 0; n < h.size(); ++n) {
            if (n % 3 == 0) source += "   ";
            source += " " + format("%.17g", h[n]) + ",";
            if (n % 3 == 2 || n + 1 == h.size()) source += "\n";
        }
        source += "};\n";
    }
    source += "\n} // namespace stravik::dsp::oversampling_kernels\n";

    const std::string base = dir + "/dsp/OversamplingKernels";
    if (!writeFileAtomically(base + ".h", header) || !writeFileAtomically(base + ".cpp", source)) {
        std::fprintf(stderr, "design_oversampling_kernels: cannot write %s.{h,cpp}\n", base.c_str());
        return 1;
    }
    return 0;
}
