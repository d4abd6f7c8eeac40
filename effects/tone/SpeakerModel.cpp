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

void SpeakerModel::process(double* buf, int n, double drive)
{
    buildSuspension();
    inputHighPass_.process1(buf, n);
    const double dt = dt_, dt2 = dt * dt, dt3 = dt2 * dt;
    // The acceleration is linear in the stiffness k: a = (k N1 + N0) / (k D1 + D0).
    // With k = 13.5 q / suspension(q), numerator and denominator are both
    // multiplied by suspension(q), so one division per sample does.
    const double d1 = dt2 * kCompliance + dt3 * kCoupling;
    const double d0 = (dt * kResistance + kMass) * kCompliance + (dt * kMass + dt2 * kResistance) * kCoupling
                      + dt2 * kDamping;
    const double qScale = drive / 0.003;
    int cursor = suspensionCursor_;
    // The terms grouped so that what the previous sample's acceleration,
    // velocity and position feed into is as short as it can be.
    const double fromA = kMass * kCompliance;
    const double fromW0 = -dt * kResistance * kCoupling - dt * kDamping;
    const double fromW1 = -dt * kCompliance - dt2 * kCoupling;
    const double fromP1 = -dt * kCoupling;
    const double fromX = dt * kDrive;
    double p = p_, w = w_, a = a_;
    for (int i = 0; i < n; ++i) {
        const double p0 = p, w0 = w, a0 = a;
        const double n1 = w0 * fromW1 + p0 * fromP1;
        const double n0 = a0 * fromA + (w0 * fromW0 + buf[i] * fromX);
        const double q = std::fabs(p0) * qScale;
        double kq, s;
        if (q >= 0.1) {
            kq = kRestStiffness * q;
            s = suspensionCurve_.following(q, cursor);
        } else {
            kq = kRestStiffness;
            s = 1.0;
        }
        a = (kq * n1 + s * n0) / (kq * d1 + s * d0);
        w = a * dt + w0;
        p = (p0 + w0 * dt) + a * dt2;
        buf[i] = w;
    }
    suspensionCursor_ = cursor;
    p_ = p;
    w_ = w;
    a_ = a;
    radiation_.process1(buf, n);
}

} // namespace stravik::effects
