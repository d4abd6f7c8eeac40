// test-label: threads
// FirConvolver: every routine (scalar, SSE, AVX2, AVX-512, with and without
// the worker pool) against a double-precision model that keeps the whole
// input history, plus the pool's own hand-over.
#include "dsp/ConvolverPool.h"
#include "dsp/CpuFeatures.h"
#include "dsp/FirConvolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace stravik::dsp {
namespace {

using Path = FirConvolver::Path;
using Threading = FirConvolver::Threading;

const char* pathName(Path p)
{
    switch (p) {
    case Path::Auto: return "Auto";
    case Path::Scalar: return "Scalar";
    case Path::Sse: return "Sse";
    case Path::Avx2: return "Avx2";
    case Path::Avx512: return "Avx512";
    }
    return "?";
}

// The routines this processor runs: a forced routine it lacks falls back to a
// narrower one, so only those that stay as asked are distinct.
std::vector<Path> supportedPaths()
{
    std::vector<Path> paths;
    FirConvolver probe(Threading::CallerOnly);
    for (Path p : {Path::Scalar, Path::Sse, Path::Avx2, Path::Avx512}) {
        probe.setPathOverride(p);
        if (probe.activePath() == p) paths.push_back(p);
    }
    return paths;
}

std::vector<double> randomValues(int n, unsigned seed, double lo = -1.0, double hi = 1.0)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = dist(rng);
    return v;
}

// Direct convolution in double precision over the whole input so far, with
// inputs and coefficients rounded to single precision as the convolver stores
// them. Also gives sum |h[k] x[n-k]|, the scale for rounding tolerances.
class Reference {
public:
    void setCoefficients(const std::vector<double>& h, int count)
    {
        h_.assign(h.begin(), h.begin() + std::min<size_t>(h.size(), static_cast<size_t>(count)));
        for (double& c : h_) c = static_cast<float>(c);
    }
    void clearHistory() { std::fill(x_.begin(), x_.end(), 0.0); }

    // Appends the block and returns the full-rate outputs and their scales.
    void process(const std::vector<double>& in, std::vector<double>& y, std::vector<double>& scale)
    {
        y.resize(in.size());
        scale.resize(in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            x_.push_back(static_cast<float>(in[i]));
            const size_t newest = x_.size() - 1;
            double sum = 0.0, abs = 0.0;
            for (size_t k = 0; k < h_.size() && k <= newest; ++k) {
                const double p = h_[k] * x_[newest - k];
                sum += p;
                abs += std::fabs(p);
            }
            y[i] = sum;
            scale[i] = abs;
        }
    }

private:
    std::vector<double> h_;
    std::vector<double> x_;
};

// Single-precision sums of up to 16384 products in any order stay well inside
// this bound; a wrong tap, a shifted history or a lost block is far outside.
bool closeEnough(double got, double want, double scale, double factor = 1.0)
{
    return std::fabs(got - want) <= factor * 1e-5 * scale + 1e-30;
}

// Restores the EnableSSE setting however a test ends.
struct SimdSettingGuard {
    bool saved = cpu::simdEnabled();
    ~SimdSettingGuard() { cpu::setSimdEnabled(saved); }
};

struct Config {
    Path path;
    bool pool;
    std::string name() const { return std::string(pathName(path)) + (pool ? "+pool" : ""); }
};

std::vector<Config> allConfigs()
{
    std::vector<Config> configs;
    for (Path p : supportedPaths()) {
        configs.push_back({p, false});
        configs.push_back({p, true});
    }
    return configs;
}

std::unique_ptr<FirConvolver> makeConvolver(const Config& c)
{
    auto conv = std::make_unique<FirConvolver>(c.pool ? Threading::WorkerPool : Threading::CallerOnly);
    conv->setPathOverride(c.path);
    return conv;
}

// ------------------------------------------------------------------ basics

TEST(FirConvolver, ZeroTapsLeavesBlocksBitExact)
{
    const std::vector<double> in = {0.1, -1e-300, 3.141592653589793, 1e300, -0.0, 123456.789};
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        std::vector<double> buf = in;
        conv->process(buf.data(), static_cast<int>(buf.size()));
        EXPECT_EQ(0, std::memcmp(buf.data(), in.data(), in.size() * sizeof(double)));

        // Back to zero taps after a real filter: a pass-through again.
        const double h[] = {0.5, 0.5};
        conv->setCoefficients(h, 2);
        std::vector<double> other = randomValues(50, 1);
        conv->process(other.data(), 50);
        conv->setCoefficients(h, 0);
        EXPECT_EQ(0, conv->taps());
        conv->process(buf.data(), static_cast<int>(buf.size()));
        EXPECT_EQ(0, std::memcmp(buf.data(), in.data(), in.size() * sizeof(double)));
        conv->processDecimating(buf.data(), static_cast<int>(buf.size()), 2);
        EXPECT_EQ(0, std::memcmp(buf.data(), in.data(), in.size() * sizeof(double)));
    }
}

TEST(FirConvolver, UnitTapReturnsInputRoundedToFloat)
{
    const std::vector<double> in = randomValues(1000, 1, -10.0, 10.0);
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        const double one = 1.0;
        conv->setCoefficients(&one, 1);
        std::vector<double> buf = in;
        conv->process(buf.data(), static_cast<int>(buf.size()));
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(static_cast<double>(static_cast<float>(in[i])), buf[i]) << "sample " << i;
    }
}

TEST(FirConvolver, ShortFilterMatchesHandComputedValuesAcrossBlocks)
{
    // Inputs and coefficients are exact in single precision and every sum is
    // too, so each routine must give these values exactly.
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        const double h[] = {0.5, 0.25, 0.125};
        conv->setCoefficients(h, 3);

        std::vector<double> a = {8.0};
        conv->process(a.data(), 1);
        EXPECT_EQ(4.0, a[0]); // 0.5*8

        std::vector<double> b = {16.0, -8.0};
        conv->process(b.data(), 2);
        EXPECT_EQ(0.5 * 16 + 0.25 * 8, b[0]);
        EXPECT_EQ(0.5 * -8 + 0.25 * 16 + 0.125 * 8, b[1]);

        std::vector<double> d = {0.0, 0.0, 4.0};
        conv->process(d.data(), 3);
        EXPECT_EQ(0.25 * -8 + 0.125 * 16, d[0]);
        EXPECT_EQ(0.125 * -8, d[1]);
        EXPECT_EQ(0.5 * 4, d[2]);

        // New coefficients: the history (..., 0, 0, 4) carries over.
        const double g[] = {1.0, -1.0, 2.0};
        conv->setCoefficients(g, 3);
        std::vector<double> e = {1.0, 2.0};
        conv->process(e.data(), 2);
        EXPECT_EQ(1.0 - 4.0 + 2.0 * 0.0, e[0]);
        EXPECT_EQ(2.0 - 1.0 + 2.0 * 4.0, e[1]);

        // Cleared history: as if nothing came before.
        conv->clearHistory();
        std::vector<double> f = {3.0, 5.0};
        conv->process(f.data(), 2);
        EXPECT_EQ(3.0, f[0]);
        EXPECT_EQ(5.0 - 3.0, f[1]);
    }
}

TEST(FirConvolver, ResetWriteIndexReadsHistoryFromTheRingsEnd)
{
    // After some input the ring's top end has never been written, so once the
    // write index is back at 0 the history the next block sees is all zeros.
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        const std::vector<double> h = randomValues(40, 2);
        conv->setCoefficients(h.data(), 40);
        std::vector<double> warm = randomValues(500, 3);
        conv->process(warm.data(), 500);
        conv->resetWriteIndex();

        const std::vector<double> in = randomValues(64, 4);
        std::vector<double> got = in;
        conv->process(got.data(), 64);

        Reference ref;
        ref.setCoefficients(h, 40);
        std::vector<double> want, scale;
        ref.process(in, want, scale);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_TRUE(closeEnough(got[i], want[i], scale[i])) << "sample " << i;
    }
}

// ------------------------------------------------------------------ random filters

// Runs the block sequence through a convolver and checks every output against
// the double model and against the scalar routine's output.
void checkAgainstReference(int count, const std::vector<int>& blocks, unsigned seed)
{
    const std::vector<double> h = randomValues(std::max(count, 1), seed);
    const int used = std::min(count, FirConvolver::kMaxTaps);
    std::vector<std::vector<double>> inputs;
    for (size_t b = 0; b < blocks.size(); ++b)
        inputs.push_back(randomValues(blocks[b], seed * 100 + static_cast<unsigned>(b)));

    Reference ref;
    ref.setCoefficients(h, used);
    std::vector<std::vector<double>> want(blocks.size()), scale(blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b) ref.process(inputs[b], want[b], scale[b]);

    std::vector<std::vector<double>> scalar;
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name() + " taps " + std::to_string(count));
        auto conv = makeConvolver(c);
        conv->setCoefficients(h.data(), count);
        ASSERT_EQ(used, conv->taps());
        ASSERT_EQ(c.path, conv->activePath());
        std::vector<std::vector<double>> outs;
        for (size_t b = 0; b < blocks.size(); ++b) {
            std::vector<double> buf = inputs[b];
            conv->process(buf.data(), static_cast<int>(buf.size()));
            for (size_t i = 0; i < buf.size(); ++i) {
                ASSERT_TRUE(closeEnough(buf[i], want[b][i], scale[b][i]))
                    << "block " << b << " sample " << i << ": " << buf[i] << " vs " << want[b][i];
                if (!scalar.empty()) {
                    ASSERT_TRUE(closeEnough(buf[i], scalar[b][i], scale[b][i], 2.0))
                        << "block " << b << " sample " << i << " differs from scalar";
                }
            }
            outs.push_back(std::move(buf));
        }
        if (c.path == Path::Scalar && !c.pool) scalar = std::move(outs);
    }
}

// Blocks of 1, 7, 128 and 512 samples and one longer than both the SIMD
// block limit (4096) and taps + n <= 16896.
const std::vector<int> kMixedBlocks = {1, 7, 128, 512, 5000, 128};

TEST(FirConvolver, RandomFiltersShortAgreeWithReferenceOnEveryPath)
{
    for (int taps : {1, 3, 4, 5, 85}) checkAgainstReference(taps, kMixedBlocks, static_cast<unsigned>(taps));
}

TEST(FirConvolver, RandomFiltersLongAgreeWithReferenceOnEveryPath)
{
    for (int taps : {1000, 4000}) checkAgainstReference(taps, kMixedBlocks, static_cast<unsigned>(taps));
}

TEST(FirConvolver, MaximumLengthFilterAgreesWithReferenceOnEveryPath)
{
    checkAgainstReference(16384, {1, 7, 128, 512, 600}, 16384);
}

TEST(FirConvolver, OverlongFilterIsCutToMaximum)
{
    checkAgainstReference(20000, {128, 513}, 20000);
}

TEST(FirConvolver, HistorySurvivesRingWrapOverManyBlocks)
{
    // Just over 65536 samples in uneven blocks, so the ring wraps in the
    // middle of a block; the last blocks are checked against the model.
    const int taps = 700;
    std::vector<int> blocks;
    int total = 0;
    const int sizes[] = {100, 7, 128, 333};
    for (int i = 0; total < 67000; ++i) {
        blocks.push_back(sizes[i % 4]);
        total += blocks.back();
    }
    const std::vector<double> h = randomValues(taps, 77);
    Reference ref;
    ref.setCoefficients(h, taps);
    std::vector<std::vector<double>> inputs, want(blocks.size()), scale(blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b) {
        inputs.push_back(randomValues(blocks[b], 1000 + static_cast<unsigned>(b)));
        ref.process(inputs[b], want[b], scale[b]);
    }
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        conv->setCoefficients(h.data(), taps);
        int seen = 0;
        for (size_t b = 0; b < blocks.size(); ++b) {
            std::vector<double> buf = inputs[b];
            conv->process(buf.data(), blocks[b]);
            seen += blocks[b];
            if (seen < 60000) continue; // check around and after the wrap
            for (int i = 0; i < blocks[b]; ++i)
                ASSERT_TRUE(closeEnough(buf[i], want[b][i], scale[b][i])) << "block " << b << " sample " << i;
        }
    }
}

TEST(FirConvolver, BlockLongerThanTheRingIsFilteredCompletely)
{
    // One call with more samples than the history ring holds.
    const int taps = 50, n = 70000;
    const std::vector<double> h = randomValues(taps, 5);
    const std::vector<double> in = randomValues(n, 6);
    Reference ref;
    ref.setCoefficients(h, taps);
    std::vector<double> want, scale;
    ref.process(in, want, scale);
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        conv->setCoefficients(h.data(), taps);
        std::vector<double> buf = in;
        conv->process(buf.data(), n);
        for (int i = 0; i < n; ++i) ASSERT_TRUE(closeEnough(buf[i], want[i], scale[i])) << "sample " << i;
    }
}

TEST(FirConvolver, ShorterResponseLeavesNoStaleCoefficients)
{
    // A long response followed by a short one: the vector routines read past
    // the last tap, which must find zeros.
    const std::vector<double> longH = randomValues(1000, 8, 5.0, 10.0);
    const std::vector<double> shortH = randomValues(5, 9);
    const std::vector<double> in = randomValues(300, 10);
    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        for (int shortLen : {5, 1}) {
            auto conv = makeConvolver(c);
            conv->setCoefficients(longH.data(), 1000);
            conv->setCoefficients(shortH.data(), shortLen);
            Reference r;
            r.setCoefficients(shortH, shortLen);
            std::vector<double> w, s;
            r.process(in, w, s);
            std::vector<double> buf = in;
            conv->process(buf.data(), 300);
            for (int i = 0; i < 300; ++i)
                ASSERT_TRUE(closeEnough(buf[i], w[i], s[i])) << shortLen << " taps, sample " << i;
        }
    }
}

TEST(FirConvolver, NonFiniteInputStopsMatteringOnceOlderThanTheResponse)
{
    // A NaN in the input spoils the outputs within the response's reach; once
    // it is older than that, nothing left over from an earlier block (such as
    // the linear history of a longer block) may bring it back.
    const int taps = 100;
    const std::vector<double> h = randomValues(taps, 81);
    std::vector<double> first = randomValues(512, 82);
    // Placed so that the linear history of this block holds it just behind where
    // the next, shorter block's history ends.
    first[281] = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::vector<double>> later;
    for (int b = 0; b < 3; ++b) later.push_back(randomValues(128, 83 + static_cast<unsigned>(b)));

    Reference ref;
    ref.setCoefficients(h, taps);
    std::vector<double> want, scale;
    ref.process(first, want, scale);
    std::vector<std::vector<double>> laterWant(3), laterScale(3);
    for (int b = 0; b < 3; ++b) ref.process(later[static_cast<size_t>(b)], laterWant[static_cast<size_t>(b)], laterScale[static_cast<size_t>(b)]);

    for (const Config& c : allConfigs()) {
        SCOPED_TRACE(c.name());
        auto conv = makeConvolver(c);
        conv->setCoefficients(h.data(), taps);
        std::vector<double> buf = first;
        conv->process(buf.data(), 512);
        // The vector routines multiply a few samples just outside the
        // response by zero coefficients, so the spoilt stretch may be a few
        // samples longer there; well past it everything is clean again.
        EXPECT_TRUE(std::isnan(buf[281]));
        EXPECT_TRUE(std::isnan(buf[281 + taps - 1]));
        for (size_t i = 281 + taps + 32; i < 512; ++i)
            ASSERT_TRUE(closeEnough(buf[i], want[i], scale[i])) << "sample " << i;
        for (int b = 0; b < 3; ++b) {
            const size_t bi = static_cast<size_t>(b);
            buf = later[bi];
            conv->process(buf.data(), 128);
            for (size_t i = 0; i < 128; ++i)
                ASSERT_TRUE(closeEnough(buf[i], laterWant[bi][i], laterScale[bi][i])) << "block " << b << " sample " << i;
        }
    }
}

// ------------------------------------------------------------------ decimation

TEST(FirConvolver, DecimatingGivesEveryStepthOutputOfTheFullForm)
{
    struct Case {
        int taps;
        int n;
        int step;
    };
    // The 16384-tap cases run in 512-sample pieces on the vector paths, which
    // 3 and 5 do not divide: the phase must carry from piece to piece.
    const Case cases[] = {{66, 512, 4}, {72, 513, 4}, {85, 10, 3}, {1, 9, 2},
                          {16384, 3000, 3}, {16384, 1500, 5}, {300, 9000, 4}};
    for (const Case& k : cases) {
        const std::vector<double> h = randomValues(k.taps, 11 + static_cast<unsigned>(k.taps));
        // Two consecutive blocks, so history also carries between calls.
        Reference ref;
        ref.setCoefficients(h, k.taps);
        std::vector<double> inputs[2], want[2], scale[2];
        for (int block = 0; block < 2; ++block) {
            inputs[block] = randomValues(k.n, 500 + static_cast<unsigned>(block));
            ref.process(inputs[block], want[block], scale[block]);
        }
        for (const Config& c : allConfigs()) {
            SCOPED_TRACE(c.name() + " taps " + std::to_string(k.taps) + " n " + std::to_string(k.n) +
                         " step " + std::to_string(k.step));
            auto full = makeConvolver(c);
            auto dec = makeConvolver(c);
            full->setCoefficients(h.data(), k.taps);
            dec->setCoefficients(h.data(), k.taps);
            for (int block = 0; block < 2; ++block) {
                std::vector<double> a = inputs[block], b = inputs[block];
                full->process(a.data(), k.n);
                dec->processDecimating(b.data(), k.n, k.step);
                const int outputs = (k.n + k.step - 1) / k.step;
                for (int j = 0; j < outputs; ++j) {
                    const size_t i = static_cast<size_t>(j * k.step), jj = static_cast<size_t>(j);
                    if (c.path == Path::Scalar) {
                        // The same sums in the same order.
                        ASSERT_EQ(a[i], b[jj]) << "block " << block << " output " << j;
                    } else {
                        ASSERT_TRUE(closeEnough(b[jj], a[i], scale[block][i], 2.0))
                            << "block " << block << " output " << j;
                    }
                    ASSERT_TRUE(closeEnough(b[jj], want[block][i], scale[block][i]))
                        << "block " << block << " output " << j;
                }
            }
        }
    }
}

// ------------------------------------------------------------------ pool

// Sets the pool's work threshold for one test and restores it.
struct SplitThresholdGuard {
    explicit SplitThresholdGuard(double us) { ConvolverPool::instance().setSplitThresholdMicros(us); }
    ~SplitThresholdGuard() { ConvolverPool::instance().setSplitThresholdMicros(saved); }
    double saved = ConvolverPool::instance().splitThresholdMicros();
};

// Both convolvers see the same input; the one limited to the caller is the
// yardstick for the one that splits its blocks (every block, whatever its
// size, with the threshold at zero).
void checkPoolMatchesCallerOnly(Path path, bool decimating)
{
    SplitThresholdGuard everyBlock(0.0);
    const int taps = 4000;
    const std::vector<double> h = randomValues(taps, 21);
    FirConvolver alone(Threading::WorkerPool);
    FirConvolver split(Threading::WorkerPool);
    for (FirConvolver* c : {&alone, &split}) {
        c->setPathOverride(path);
        c->setCoefficients(h.data(), taps);
    }
    alone.setWorkerLimit(0);
    split.setWorkerLimit(ConvolverPool::kMaxWorkers);

    ConvolverPool& pool = ConvolverPool::instance();
    for (int block = 0; block < 4; ++block) {
        const std::uint64_t before = pool.splitBlocks();
        const int n = block == 3 ? 4999 : block == 2 ? 1 : 512; // odd: shares of unequal size
        const std::vector<double> in = randomValues(n, 30 + static_cast<unsigned>(block));
        std::vector<double> a = in, b = in;
        if (decimating) {
            alone.processDecimating(a.data(), n, 4);
            split.processDecimating(b.data(), n, 4);
        } else {
            alone.process(a.data(), n);
            split.process(b.data(), n);
        }
        ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(double))) << "block " << block;
        // With a second processor the block must really have been split
        // (a single output cannot be).
        if (pool.workerCount() > 0 && n > 1) {
            EXPECT_GT(pool.splitBlocks(), before) << "block " << block;
        }
    }
}

TEST(FirConvolver, PoolGivesTheSameResultsAsTheCallerAlone)
{
    for (Path p : supportedPaths()) {
        SCOPED_TRACE(pathName(p));
        checkPoolMatchesCallerOnly(p, false);
        checkPoolMatchesCallerOnly(p, true);
    }
}

TEST(FirConvolver, SmallBlocksStayOnTheCaller)
{
    // Waking helpers for a short filter costs more than it saves: with the
    // default threshold such blocks are not split, long scalar ones are.
    ConvolverPool& pool = ConvolverPool::instance();
    if (pool.workerCount() == 0) GTEST_SKIP() << "no helpers on a single processor";
    for (const auto& [taps, expectSplit] : {std::pair{85, false}, std::pair{8000, true}}) {
        FirConvolver conv(Threading::WorkerPool);
        conv.setPathOverride(Path::Scalar);
        const std::vector<double> h = randomValues(taps, 91);
        conv.setCoefficients(h.data(), taps);
        std::vector<double> buf = randomValues(128, 92);
        const std::uint64_t before = pool.splitBlocks();
        conv.process(buf.data(), 128);
        EXPECT_EQ(expectSplit, pool.splitBlocks() > before) << taps << " taps";
    }
}

TEST(FirConvolver, PoolComputesEveryUnitExactlyOnce)
{
    // Straight through the pool: every unit of every block is computed once,
    // whichever thread gets it (a helper, or the caller taking back a share
    // whose helper has not woken up yet).
    ConvolverPool& pool = ConvolverPool::instance();
    constexpr int kMaxUnits = 50;
    struct Counts {
        std::atomic<int> hits[kMaxUnits];
    } counts;
    const ConvolverPool::ShareFn fn = [](void* self, double*, int count, int first, int stride) {
        auto* c = static_cast<Counts*>(self);
        for (int i = first; i < count; i += stride) c->hits[i].fetch_add(1, std::memory_order_relaxed);
    };
    for (int round = 0; round < 400; ++round) {
        const int units = 1 + round % kMaxUnits;
        const int workers = round % (ConvolverPool::kMaxWorkers + 1);
        for (auto& h : counts.hits) h.store(0, std::memory_order_relaxed);
        const int used = pool.run(&counts, fn, nullptr, units, workers);
        EXPECT_LE(used, std::min(workers, pool.workerCount()));
        EXPECT_LT(used, units);
        for (int i = 0; i < kMaxUnits; ++i)
            ASSERT_EQ(i < units ? 1 : 0, counts.hits[i].load()) << "round " << round << " unit " << i;
    }
    RecordProperty("SharesTakenBack", static_cast<int>(pool.sharesTakenBack()));
}

TEST(FirConvolver, WorkerCountFollowsProcessorCount)
{
    const int expected = std::clamp(cpu::processorCount() - 1, 0, ConvolverPool::kMaxWorkers);
    EXPECT_EQ(expected, ConvolverPool::instance().workerCount());
}

TEST(FirConvolver, TwoThreadsConvolvingAtOnceStayCorrect)
{
    // Two engines on two threads, both asking the pool for help with every
    // block; each must get exactly what it gets when it runs alone on the
    // caller, whether it got the pool or found it taken.
    SplitThresholdGuard everyBlock(0.0);
    const std::uint64_t splitBefore = ConvolverPool::instance().splitBlocks();
    struct Job {
        int taps;
        unsigned seed;
        std::vector<double> h;
        std::vector<std::vector<double>> inputs;
        std::vector<std::vector<double>> expected;
        bool ok = true;
    };
    Job jobs[2] = {{3000, 41, {}, {}, {}}, {5000, 42, {}, {}, {}}};
    const Path path = supportedPaths().back();
    for (Job& j : jobs) {
        j.h = randomValues(j.taps, j.seed);
        FirConvolver alone(Threading::CallerOnly);
        alone.setPathOverride(path);
        alone.setCoefficients(j.h.data(), j.taps);
        for (int b = 0; b < 40; ++b) {
            j.inputs.push_back(randomValues(256, j.seed * 1000 + static_cast<unsigned>(b)));
            std::vector<double> buf = j.inputs.back();
            alone.process(buf.data(), 256);
            j.expected.push_back(std::move(buf));
        }
    }
    auto runJob = [path](Job* j) {
        FirConvolver conv(Threading::WorkerPool);
        conv.setPathOverride(path);
        conv.setCoefficients(j->h.data(), j->taps);
        for (size_t b = 0; b < j->inputs.size(); ++b) {
            std::vector<double> buf = j->inputs[b];
            conv.process(buf.data(), 256);
            if (std::memcmp(buf.data(), j->expected[b].data(), buf.size() * sizeof(double)) != 0) j->ok = false;
        }
    };
    std::thread t1(runJob, &jobs[0]);
    std::thread t2(runJob, &jobs[1]);
    t1.join();
    t2.join();
    EXPECT_TRUE(jobs[0].ok);
    EXPECT_TRUE(jobs[1].ok);
    if (ConvolverPool::instance().workerCount() > 0) {
        EXPECT_GT(ConvolverPool::instance().splitBlocks(), splitBefore);
    }
}

TEST(FirConvolver, CoefficientChangeFromAnotherThreadNeverSplitsABlock)
{
    // One thread filters while another swaps between two responses. The lock
    // covers a whole block, so every block is filtered by one response or the
    // other, never by a mix, and the shared history stays intact.
    const int taps = 64, n = 128, blocks = 200;
    const std::vector<double> h1 = randomValues(taps, 51, 0.5, 1.0);
    const std::vector<double> h2 = randomValues(taps, 52, -1.0, -0.5);
    std::vector<std::vector<double>> inputs, want1(blocks), want2(blocks), scale1(blocks), scale2(blocks);
    Reference r1, r2;
    r1.setCoefficients(h1, taps);
    r2.setCoefficients(h2, taps);
    for (int b = 0; b < blocks; ++b) {
        inputs.push_back(randomValues(n, 600 + static_cast<unsigned>(b)));
        r1.process(inputs.back(), want1[static_cast<size_t>(b)], scale1[static_cast<size_t>(b)]);
        r2.process(inputs.back(), want2[static_cast<size_t>(b)], scale2[static_cast<size_t>(b)]);
    }

    FirConvolver conv(Threading::WorkerPool);
    conv.setCoefficients(h1.data(), taps);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        for (int i = 0; !done.load(std::memory_order_relaxed); ++i) {
            conv.setCoefficients(i % 2 ? h1.data() : h2.data(), taps);
            std::this_thread::yield();
        }
    });
    int mixed = 0;
    for (int b = 0; b < blocks; ++b) {
        std::vector<double> buf = inputs[static_cast<size_t>(b)];
        conv.process(buf.data(), n);
        bool all1 = true, all2 = true;
        for (int i = 0; i < n; ++i) {
            const size_t bi = static_cast<size_t>(b), ii = static_cast<size_t>(i);
            all1 = all1 && closeEnough(buf[ii], want1[bi][ii], scale1[bi][ii]);
            all2 = all2 && closeEnough(buf[ii], want2[bi][ii], scale2[bi][ii]);
        }
        if (!all1 && !all2) ++mixed;
    }
    done.store(true);
    swapper.join();
    EXPECT_EQ(0, mixed);
}

// ------------------------------------------------------------------ path choice

TEST(FirConvolver, EnableSseOffSelectsTheScalarRoutine)
{
    SimdSettingGuard guard;
    const std::vector<double> h = randomValues(200, 61);
    const std::vector<double> in = randomValues(256, 62);

    FirConvolver scalar(Threading::CallerOnly);
    scalar.setPathOverride(Path::Scalar);
    scalar.setCoefficients(h.data(), 200);
    std::vector<double> want = in;
    scalar.process(want.data(), 256);

    FirConvolver conv(Threading::CallerOnly);
    conv.setCoefficients(h.data(), 200);
    cpu::setSimdEnabled(false);
    EXPECT_EQ(Path::Scalar, conv.activePath());
    conv.setPathOverride(Path::Avx512);
    EXPECT_EQ(Path::Scalar, conv.activePath());
    std::vector<double> got = in;
    conv.process(got.data(), 256);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(double)));
}

TEST(FirConvolver, ResponseLoadedWithSimdOffIsStillRightWhenSimdComesBack)
{
    // Only the first coefficient copy is filled while SIMD is off; switching
    // it on again must not let a vector routine read stale shifted copies.
    SimdSettingGuard guard;
    const std::vector<double> longH = randomValues(1000, 71, 2.0, 3.0);
    const std::vector<double> h = randomValues(10, 72);
    const std::vector<double> h20 = randomValues(20, 73);
    const std::vector<double> in = randomValues(300, 74);

    FirConvolver conv(Threading::CallerOnly);
    conv.setCoefficients(longH.data(), 1000);
    cpu::setSimdEnabled(false);
    conv.setCoefficients(h.data(), 10);
    cpu::setSimdEnabled(true);

    Reference ref;
    ref.setCoefficients(h, 10);
    std::vector<double> want, scale;
    ref.process(in, want, scale);
    std::vector<double> buf = in;
    conv.process(buf.data(), 300);
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(closeEnough(buf[i], want[i], scale[i])) << "sample " << i;

    // Reloaded with SIMD on: the shifted copies are rebuilt from scratch,
    // including clearing what the 1000-tap response left in them.
    conv.setCoefficients(h20.data(), 20);
    conv.clearHistory();
    Reference ref20;
    ref20.setCoefficients(h20, 20);
    ref20.process(in, want, scale);
    buf = in;
    conv.process(buf.data(), 300);
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(closeEnough(buf[i], want[i], scale[i])) << "sample " << i;
}

TEST(FirConvolver, ForcedRoutineFallsBackToTheWidestTheProcessorHas)
{
    const int f = cpu::features();
#if defined(__x86_64__)
    const bool sse = (f & cpu::kSse) != 0;
    const bool avx2 = sse && (f & cpu::kAvx2Fma) != 0;
    const bool avx512 = avx2 && (f & cpu::kAvx512) != 0;
#else
    (void)f;
    const bool sse = false, avx2 = false, avx512 = false;
#endif
    const Path widest = avx512 ? Path::Avx512 : avx2 ? Path::Avx2 : sse ? Path::Sse : Path::Scalar;
    FirConvolver conv(Threading::CallerOnly);
    // Automatic choice: the widest for long responses; AVX2 rather than
    // AVX-512 below 512 taps, where it is faster.
    std::vector<double> longResponse(2000, 0.001), shortResponse(85, 0.01);
    conv.setCoefficients(longResponse.data(), 2000);
    EXPECT_EQ(widest, conv.activePath());
    conv.setCoefficients(shortResponse.data(), 85);
    EXPECT_EQ(widest == Path::Avx512 ? Path::Avx2 : widest, conv.activePath());
    conv.setPathOverride(Path::Avx512);
    EXPECT_EQ(widest, conv.activePath());
    conv.setPathOverride(Path::Avx2);
    EXPECT_EQ(avx2 ? Path::Avx2 : sse ? Path::Sse : Path::Scalar, conv.activePath());
    conv.setPathOverride(Path::Sse);
    EXPECT_EQ(sse ? Path::Sse : Path::Scalar, conv.activePath());
    conv.setPathOverride(Path::Scalar);
    EXPECT_EQ(Path::Scalar, conv.activePath());
}

} // namespace
} // namespace stravik::dsp
