#include "engine/Meters.h"

#include <algorithm>

namespace stravik {

int meterDelayLength(int outputBufferBytes, int channels)
{
    const int blockBytes = 128 * 2 * channels;
    const int total = outputBufferBytes > 0 ? outputBufferBytes : 100 * blockBytes;
    return std::clamp(total / (2 * blockBytes), 1, MeterDelayLine::kCapacity);
}

void LevelMeters::add(Meter& m, MeterDisplay::Meter which, int value, MeterDisplay* d)
{
    m.sum += value;
    if (++m.count < 5) return;
    const int average = std::clamp(static_cast<int>(m.sum / 5.0), 0, 100);
    m.sum = 0.0;
    m.count = 0;
    const int step = average * 16 / 100;
    if (step != m.step) {
        m.step = step;
        if (d) d->showLevel(which, average, step);
    }
}

void LevelMeters::setValues(int inputValue, int outputValue)
{
    MeterDisplay* d = display_.load();
    add(meters_[0], MeterDisplay::kInput, inputValue, d);
    add(meters_[1], MeterDisplay::kOutput, outputValue, d);
}

void LevelMeters::setClip(bool inputLit, bool outputLit)
{
    const int state = (inputLit ? 1 : 0) | (outputLit ? 2 : 0);
    if (state == clipState_) return;
    clipState_ = state;
    if (MeterDisplay* d = display_.load()) d->showClip(inputLit, outputLit);
}

void LevelMeters::reset()
{
    for (Meter& m : meters_) m = Meter{};
    meters_[0].step = meters_[1].step = 0;
    clipState_ = 0;
    if (MeterDisplay* d = display_.load()) d->resetMeters();
}

void MeterDelayLine::clear()
{
    std::fill(std::begin(input_), std::end(input_), 0);
    std::fill(std::begin(output_), std::end(output_), 0);
    index_ = 0;
}

void MeterDelayLine::setLength(int blocks)
{
    length_ = std::clamp(blocks, 1, kCapacity);
    if (index_ >= length_) index_ = 0;
}

void MeterDelayLine::push(int inputValue, int outputValue, int& delayedInput, int& delayedOutput)
{
    input_[index_] = inputValue;
    output_[index_] = outputValue;
    index_ = (index_ + 1) % length_;
    delayedInput = input_[index_];
    delayedOutput = output_[index_];
}

} // namespace stravik
