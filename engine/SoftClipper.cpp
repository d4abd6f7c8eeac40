#include "engine/SoftClipper.h"

namespace stravik {

const double SoftClipper::kWidth = 1.03 - 0.97;

SoftClipper::SoftClipper() { setup(); }

void SoftClipper::setup()
{
    static const double x[3] = {0.0, 0.415932, 1.0};
    static const double y[3] = {0.0, 0.337724, 0.5};
    curve_.build(x, y, 3, 1.0f, 0.0f);
    curve_.setClamp(true);
}

void SoftClipper::process(double* buf, int count, float outputVolume)
{
    const double vol = outputVolume;
    for (int i = 0; i < count; ++i) {
        double y = vol * buf[i];
        if (y > kKnee)
            y = kKnee + kWidth * curve_((y - kKnee) / kWidth);
        else if (y < -kKnee)
            y = -kKnee - kWidth * curve_((-y - kKnee) / kWidth);
        else
            continue;
        buf[i] = y / vol;
    }
}

} // namespace stravik
