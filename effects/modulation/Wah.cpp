#include "effects/modulation/Wah.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace stravik::effects {

namespace {

double held(double v, double lo, double hi)
{
    if (!(v >= lo)) return lo; // NaN lands low
    return v > hi ? hi : v;
}

int toWholeHertz(double f)
{
    // Truncation toward zero, kept inside int for any input.
    if (!(f > -1e9)) return -1000000000;
    if (f > 1e9) return 1000000000;
    return static_cast<int>(f);
}

} // namespace

// ---------------------------------------------------------------- helpers

WahFilterType wahFilterType(int mode)
{
    switch (mode) {
    case kWahModern: return WahFilterType::Modern;
    case kWahLegacy: return WahFilterType::Legacy;
    default: return WahFilterType::Circuit;
    }
}

WahActiveSettings wahActiveSettings(const WahParams& wah, const EnvWahParams& env)
{
    WahActiveSettings s;
    if (!wah.wah_enabled && env.ewah_enabled) {
        s.mode = env.ewah_mode;
        s.gain = env.ewah_gain;
        s.resonance = env.ewah_q;
    } else {
        s.mode = wah.wah_mode;
        s.gain = wah.wah_range;
        s.resonance = wah.wah_sel;
    }
    if (s.mode < kWahSixties || s.mode > kWahTalkBox) s.mode = kWahSixties;
    s.gain = held(s.gain, 0.0, 1.0);
    s.resonance = held(s.resonance, 0.0, 10.0);
    return s;
}

int wahModeFromTalkBox(int legacyTalkBox)
{
    return legacyTalkBox == 1 ? kWahTalkBox : kWahLegacy;
}

int presetWahMode(int storedMode, int legacyTalkBox)
{
    return storedMode < 0 ? wahModeFromTalkBox(legacyTalkBox) : storedMode;
}

int storedWahSel(float wahSel)
{
    if (std::isnan(wahSel)) return 0;
    if (wahSel <= static_cast<float>(INT_MIN)) return INT_MIN;
    if (wahSel >= static_cast<float>(INT_MAX)) return INT_MAX;
    return static_cast<int>(wahSel); // toward zero, as the preset stores it
}

float wahSelFromStored(int stored)
{
    return static_cast<float>(stored);
}

int wahSweepFrequency(double t, double period, int f1, int f2, bool talkBox)
{
    const bool rising = t < period / 2.0;
    const double phase = rising ? 2.0 * t : 2.0 * (period - t); // 0..P
    double f;
    if (talkBox) {
        f = f1 + static_cast<double>(f2 - f1) / period * phase;
    } else {
        const double lo = std::min(f1, f2);
        const double hi = std::max(f1, f2);
        f = std::pow(10.0, std::log10(hi / lo) * phase / period + std::log10(lo));
    }
    return toWholeHertz(f);
}

int wahControllerFrequency(double position, int f1, int f2)
{
    const double lo = std::min(f1, f2);
    const double hi = std::max(f1, f2);
    return toWholeHertz(lo * std::pow(hi / lo, position));
}

// ---------------------------------------------------------------- the unit

Wah::Wah(WahParams& wah, EnvWahParams& env, EffectContext& context) : wah_(wah), env_(env), context_(context)
{
    // The circuit gets louder towards the top of its range; this evens it
    // out: 0 dB up to 440 Hz, -5 dB from 2200 Hz, a smooth step between.
    const double x[2] = {std::log10(440.0), std::log10(2200.0)};
    const double y[2] = {0.0, -5.0};
    levelCurve_.build(x, y, 2, 0.0f, 0.0f);
    levelCurve_.setClamp(true);
    follower_.reset(fs_);
}

int Wah::heldF1() const
{
    return static_cast<int>(held(wah_.wah_f1, kLowestFrequency, kHighestFrequency));
}

int Wah::heldF2() const
{
    return static_cast<int>(held(wah_.wah_f2, kLowestFrequency, kHighestFrequency));
}

void Wah::start(int sampleRate)
{
    // Before the run's first block.
    if (sampleRate > 0) fs_ = sampleRate;
    fa_.reset();
    fb_.reset();
    fc_.reset();
    circuitHighPass220_.reset();
    circuitHighPass50_.reset();
    circuit_.reset();
    talkBox_.reset();
    updateRequested_.store(false, std::memory_order_relaxed);
    updateLocked(wahActiveSettings(wah_, env_));
    // No glide from wherever the last run left the pot.
    previousPosition_ = position_;
    resetEnvelope();
    std::lock_guard hold(snapshotLock_);
    observerTable_ = table_;
    snapshotInto(published_);
}

void Wah::resetEnvelope() { follower_.reset(fs_); }

void Wah::followEnvelope(const double* buf, int n)
{
    follower_.follow(buf, n);
}

void Wah::updateCoefficients() { updateRequested_.store(true, std::memory_order_release); }

void Wah::setPedalFrequency(double hz)
{
    if (!std::isfinite(hz)) return;
    pedalHz_.store(hz, std::memory_order_relaxed);
    updateCoefficients();
}

void Wah::setControllerPosition(double position)
{
    if (!std::isfinite(position)) return;
    controllerPosition_.store(held(position, 0.0, 1.0), std::memory_order_relaxed);
    updateCoefficients();
}

void Wah::switchWah(WahKind kind, bool on)
{
    // The other one goes off first, so that no block sees both on.
    if (kind == WahKind::Auto) {
        if (on) env_.ewah_enabled = 0;
        wah_.wah_enabled = on ? 1 : 0;
    } else {
        if (on) wah_.wah_enabled = 0;
        env_.ewah_enabled = on ? 1 : 0;
    }
    updateCoefficients();
}

int Wah::frequencyForUpdate(int current) const
{
    // The envelope wah alone drives with its own frequency; otherwise the
    // auto wah's source decides (also while both are off).
    if (!wah_.wah_enabled && env_.ewah_enabled) return current;
    switch (wah_.wah_auto) {
    case kWahFixed: return heldF1();
    case kWahPedal: {
        const double pedal = pedalHz_.load(std::memory_order_relaxed);
        if (pedal >= 0.0) return toWholeHertz(pedal);
        return wahControllerFrequency(0.5, heldF1(), heldF2());
    }
    case kWahMidi:
        return wahControllerFrequency(controllerPosition_.load(std::memory_order_relaxed), heldF1(), heldF2());
    default: return current;
    }
}

void Wah::updateLocked(const WahActiveSettings& s)
{
    design(s, fs_, current_,
           {&fa_, &fb_, &fc_, &circuitHighPass220_, &circuitHighPass50_, &talkBox_, &table_, &position_, &update_,
            &updatedMode_, &updatedRate_});
}

void Wah::design(const WahActiveSettings& s, int fs, int current, const Designs& d) const
{
    if (d.table->sampleRate() != fs) d.table->build(fs);
    // Every design below stays stable and meaningful inside this range.
    const int f = std::clamp(frequencyForUpdate(current), kLowestFrequency, fs / 2 - 50);
    *d.update = f;
    const double g = s.gain;
    const double r = s.resonance;

    if (s.mode == kWahTalkBox) d.talkBox->design(f, r, g, fs);

    switch (wahFilterType(s.mode)) {
    case WahFilterType::Legacy: {
        const double q = std::min(r * 200.0 / f + 0.7, 5.0);
        const double x = std::min(std::pow((2200.0 - f) / 1750.0, 4) * 9.0 + g * 25.0, 25.0);
        d.fa->designPeaking(f, q, x, std::pow(10.0, -x / 70.0), fs);
        const double shelfDb = std::clamp(((std::log10(static_cast<double>(f)) - 2.0) * 22.0 - 30.0) * 1.8, -35.0, 5.0);
        const int shelfHz = static_cast<int>(std::min(3.0 * f, 0.4 * fs));
        d.fb->designHighShelf(shelfHz, 0.6, shelfDb, 1.0, fs);
        d.fc->designLowShelf(100, 0.3, -10.0, 1.0, fs);
        break;
    }
    case WahFilterType::Modern: {
        double q = r / 5.0 + 0.5;
        if (f < 2000) q *= 1.0 + 2.0 * (1.0 - (f - 100) / 1900.0);
        d.fa->designPeaking(f, q, g * 30.0, 1.0, fs);
        d.fb->designFirstOrderLowPass(f, 1.0, fs);
        d.fc->designHighPass(50, 0.5, (1.0 + 2.0 * (1.0 - (f - 100) / 4000.0)) * 0.22, fs);
        break;
    }
    case WahFilterType::Circuit:
        *d.position = d.table->position(f);
        d.highPass220->designFirstOrderHighPass(220, 1.0, fs);
        d.highPass50->designFirstOrderHighPass(50, 1.0, fs);
        break;
    }
    *d.updatedMode = s.mode;
    *d.updatedRate = fs;
}

int Wah::envelopeFrequency()
{
    double e = wahEnvelopeVolume(follower_.envelope(), env_.ewah_log != 0);
    if (env_.ewah_peak) e = peak_.apply(e, env_.ewah_peakmode, env_.ewah_v1);
    const WahEnvelopeShape shape{env_.ewah_v1, env_.ewah_v2, env_.ewah_v3, env_.ewah_f1, env_.ewah_f2, env_.ewah_f3};
    return std::clamp(wahEnvelopeFrequency(e, shape), kEnvelopeLowest, kEnvelopeHighest);
}

void Wah::process(double* buf, int n)
{
    if (n <= 0) return;
    const WahActiveSettings s = wahActiveSettings(wah_, env_);
    const int source = wah_.wah_auto;
    // An update asked for by a control, the pedal or MIDI since the last block.
    if (updateRequested_.exchange(false, std::memory_order_acq_rel)) updateLocked(s);

    if (wah_.wah_enabled && source == kWahSweep) {
        const double period = held(wah_.wah_period, kShortestPeriod, 1e6);
        if (sweepTime_ > period) sweepTime_ = 0.0; // the period was shortened
        current_ = wahSweepFrequency(sweepTime_, period, heldF1(), heldF2(), s.mode == kWahTalkBox);
        sweepTime_ += static_cast<double>(n) / fs_;
        if (sweepTime_ > period) sweepTime_ = 0.0;
        updateLocked(s);
    } else if (env_.ewah_enabled) {
        current_ = envelopeFrequency();
        updateLocked(s);
    } else if (source == kWahFixed) {
        updateLocked(s);
    } else if (s.mode != updatedMode_ || fs_ != updatedRate_) {
        // Pedal and controller update on their own events; but a mode chosen
        // since then has never been designed and would filter with stale or
        // empty coefficients (silence) until the next event.
        updateLocked(s);
    }
    filterBlock(buf, n, s);
    // For state(): never waited for (a reader holds the mutex only while it
    // copies; then this block's state is simply not published).
    std::unique_lock hold(snapshotLock_, std::try_to_lock);
    if (hold.owns_lock()) snapshotInto(published_);
}

void Wah::filterBlock(double* buf, int n, const WahActiveSettings& s)
{
    if (s.mode == kWahTalkBox) {
        talkBox_.process(buf, n);
        return;
    }
    switch (wahFilterType(s.mode)) {
    case WahFilterType::Legacy:
        fb_.process(buf, n);
        fa_.process(buf, n);
        fc_.process(buf, n);
        break;
    case WahFilterType::Modern:
        fb_.process(buf, n);
        fc_.process(buf, n);
        fa_.process(buf, n);
        break;
    case WahFilterType::Circuit: {
        circuitHighPass220_.process(buf, n);
        circuitHighPass50_.process(buf, n);
        circuit_.setPolynomials(WahCircuitPolynomials::design(s.resonance / 10.0, fs_));
        const double levelDb = levelCurve_(std::log10(static_cast<double>(update_)));
        circuit_.setInputGain(std::pow(10.0, levelDb / 20.0));
        circuit_.process(buf, n, previousPosition_, position_);
        previousPosition_ = position_;
        break;
    }
    }
}

WahState Wah::state() const
{
    std::lock_guard hold(snapshotLock_);
    WahState st = published_;
    if (updateRequested_.load(std::memory_order_acquire)) {
        // What the next block's update will design, worked out on copies.
        double position = st.position;
        int update = st.updateFrequency, mode = st.mode, rate = st.sampleRate;
        design(wahActiveSettings(wah_, env_), st.sampleRate, st.currentFrequency,
               {&st.fa, &st.fb, &st.fc, &st.circuitHighPass220, &st.circuitHighPass50, &observerTalkBox_,
                &observerTable_, &position, &update, &mode, &rate});
        st.position = position;
        st.updateFrequency = update;
        st.mode = mode;
        if (mode == kWahTalkBox) {
            for (int k = 0; k < WahTalkBox::kFormants; ++k) {
                st.formantHz[k] = observerTalkBox_.formantFrequency(k);
                st.formantBandPass[k] = observerTalkBox_.bandPass(k);
            }
            st.talkBoxPreFilter = observerTalkBox_.preFilter();
        }
    }
    st.pedalFrequency = pedalHz_.load(std::memory_order_relaxed);
    st.controllerPosition = controllerPosition_.load(std::memory_order_relaxed);
    return st;
}

// Written over the published state in place: no state is made and copied
// on the audio thread.
void Wah::snapshotInto(WahState& st) const
{
    st.sampleRate = fs_;
    st.mode = updatedMode_;
    st.currentFrequency = current_;
    st.updateFrequency = update_;
    st.sweepTime = sweepTime_;
    st.position = position_;
    st.previousPosition = previousPosition_;
    st.pedalFrequency = pedalHz_.load(std::memory_order_relaxed);
    st.controllerPosition = controllerPosition_.load(std::memory_order_relaxed);
    st.peakHold = peak_.hold();
    st.circuitInputGain = circuit_.inputGain();
    st.fa = fa_;
    st.fb = fb_;
    st.fc = fc_;
    st.circuitHighPass220 = circuitHighPass220_;
    st.circuitHighPass50 = circuitHighPass50_;
    for (int k = 0; k < WahTalkBox::kFormants; ++k) {
        st.formantHz[k] = talkBox_.formantFrequency(k);
        st.formantBandPass[k] = talkBox_.bandPass(k);
    }
    st.talkBoxPreFilter = talkBox_.preFilter();
}

} // namespace stravik::effects
