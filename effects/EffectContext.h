#pragma once
// What every effect unit may need from the engine that owns it besides its
// own parameters: the background worker for slow designs and the channel for
// messages towards the user.
namespace stravik {
class UserMessages;
namespace dsp {
class BackgroundWorker;
}
} // namespace stravik

namespace stravik::effects {

struct EffectContext {
    dsp::BackgroundWorker& worker;
    UserMessages& messages;
};

} // namespace stravik::effects
