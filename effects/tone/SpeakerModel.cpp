#include "effects/tone/SpeakerModel.h"

#include <cmath>

namespace stravik::effects {

namespace generated {
// From the generated sources in the build tree (assets/ir/design_speaker_correction).
extern const double kSpeakerCorrection22050[kSpeakerCorrectionTaps];
extern const double kSpeakerCorrection44100[kSpeakerCorrectionTaps];
extern const double kSpeakerCorrectionOther[kSpeakerCorrectionTaps];
} // namespace generated

const double* speakerCorrectionTable(int sampleRate)
{
    if (sampleRate == 22050) return generated::kSpeakerCorrection22050;
    if (sampleRate == 44100) return generated::kSpeakerCorrection44100;
    return generated::kSpeakerCorrectionOther;
}

namespace {

// How the suspension gives way: stiffness grows less than the excursion.
constexpr double kSuspensionX[] = {0.0, 0.2, 0.656619, 1.76127, 3.780301, 10.194331};
constexpr double kSuspensionY[] = {0.0, 0.2, 0.543529, 0.980055, 1.240159, 1.385776};

// The cone's constants (see the header).
constexpr double kMass = 5.4675e-05;
constexpr double kResistance = 0.004602272727272727;
constexpr double kCompliance = 0.001;
constexpr double kCoupling = 14.4;
constexpr double kDrive = 0.45;
constexpr double kDamping = 0.2025;
constexpr double kRestStiffness = 13.5;

} // namespace

SpeakerModel::SpeakerModel()
{
    suspension_.setClamp(true);
    buildSuspension();
    setup(192000);
}

void SpeakerModel::buildSuspension()
{
    suspension_.build(kSuspensionX, kSuspensionY, 6, 1.0f, 0.0f);
    suspensionCurve_.fromCubicSpline(suspension_, kSuspensionX, kSuspensionY, 6);
}

void SpeakerModel::setup(int oversampledRate)
{
    inputHighPass_.designFirstOrderHighPass(50, 1.0, oversampledRate);
    radiation_.designFirstOrderHighPass(8000, 100.0, oversampledRate);
    dt_ = 1.0 / oversampledRate;
    buildSuspension();
}

void SpeakerModel::reset()
{
    inputHighPass_.reset();
    radiation_.reset();
    p_ = w_ = a_ = 0.0;
}

double SpeakerModel::stiffness(double p0, double drive)
{
    const double q = std::fabs(p0) / 0.003 * drive;
    return q >= 0.1 ? kRestStiffness * q / suspensionCurve_(q) : kRestStiffness;
}

namespace {

struct ConeConstants {
    double d1, d0;            // the denominator's parts: k d1 + s d0
    double restInverse;       // 1 / (13.5 d1 + d0), for the spring at rest
    double qScale;            // q = |p| qScale
    double fromA, fromW0, fromW1, fromP1, fromX;
    double dt, dt2;
};

// The cone, sample after sample. The acceleration is linear in the
// stiffness k: a = (k N1 + N0) / (k D1 + D0); with k = 13.5 q / suspension(q),
// numerator and denominator are both multiplied by suspension(q), so one
// division per sample does, and while the cone stays near rest (q < 0.1,
// k = 13.5) the denominator is a constant and the division a multiplication.
// The terms are grouped so that what the previous sample's acceleration,
// velocity and position feed into is as short as it can be: this chain is
// the whole cost of the model.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void runCone(double* buf, int n, const ConeConstants& k, const PiecewiseCubic& suspension, int& cursor, double& pIo,
             double& wIo, double& aIo)
{
    double p = pIo, w = wIo, a = aIo;
    int c = cursor;
    for (int i = 0; i < n; ++i) {
        const double p0 = p, w0 = w, a0 = a;
        const double n1 = w0 * k.fromW1 + p0 * k.fromP1;
        const double n0 = a0 * k.fromA + (w0 * k.fromW0 + buf[i] * k.fromX);
        const double q = std::fabs(p0) * k.qScale;
        if (q >= 0.1) {
            const double kq = kRestStiffness * q;
            const double s = suspension.following(q, c);
            a = (kq * n1 + s * n0) / (kq * k.d1 + s * k.d0);
        } else {
            a = (kRestStiffness * n1 + n0) * k.restInverse;
        }
        w = a * k.dt + w0;
        p = (p0 + w0 * k.dt) + a * k.dt2;
        buf[i] = w;
    }
    cursor = c;
    pIo = p;
    wIo = w;
    aIo = a;
}

} // namespace

void SpeakerModel::process(double* buf, int n, double drive)
{
    // (The suspension curve is made from constants: built at setup, it is
    // the same curve a rebuild at every block would give.)
    inputHighPass_.processFast(buf, n);
    const double dt = dt_, dt2 = dt * dt, dt3 = dt2 * dt;
    ConeConstants k;
    k.d1 = dt2 * kCompliance + dt3 * kCoupling;
    k.d0 = (dt * kResistance + kMass) * kCompliance + (dt * kMass + dt2 * kResistance) * kCoupling + dt2 * kDamping;
    k.restInverse = 1.0 / (kRestStiffness * k.d1 + k.d0);
    k.qScale = drive / 0.003;
    k.fromA = kMass * kCompliance;
    k.fromW0 = -dt * kResistance * kCoupling - dt * kDamping;
    k.fromW1 = -dt * kCompliance - dt2 * kCoupling;
    k.fromP1 = -dt * kCoupling;
    k.fromX = dt * kDrive;
    k.dt = dt;
    k.dt2 = dt2;
    runCone(buf, n, k, suspensionCurve_, suspensionCursor_, p_, w_, a_);
    radiation_.processFast(buf, n);
}

} // namespace stravik::effects
