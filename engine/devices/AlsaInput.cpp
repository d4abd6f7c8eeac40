#include "engine/devices/AlsaInput.h"

#include <alsa/asoundlib.h>

#include <cerrno>

namespace stravik {

namespace {
// Short enough that a stop is seen at once, long enough not to spin.
constexpr int kWaitMs = 5;
// Overruns one after another with nothing read in between: the device is
// not coming back.
constexpr int kMaxFailuresInARow = 20;
} // namespace

AlsaInput::AlsaInput(snd_pcm_t* pcm, int deviceRate, int blockFrames, int channels,
                     std::unique_ptr<int16_t[]> block)
    : pcm_(pcm), deviceRate_(deviceRate), blockFrames_(blockFrames), channels_(channels), block_(std::move(block))
{
    watch_.reset();
}

AlsaInput::~AlsaInput()
{
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
}

bool AlsaInput::start(UserMessages& messages)
{
    watch_.reset();
    failuresInARow_ = 0;
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) snd_pcm_prepare(pcm_);
    const int err = snd_pcm_start(pcm_);
    if (err < 0) {
        messages.show("Error opening audio input device!", {}, MessageIcon::Warning);
        return false;
    }
    return true;
}

void AlsaInput::stop()
{
    snd_pcm_drop(pcm_);
}

void AlsaInput::fail(int error)
{
    int expected = 0;
    failure_.compare_exchange_strong(expected, error);
}

std::string AlsaInput::failureText() const
{
    const int code = failure_.load();
    if (code == 0) return {};
    if (code == alsa::kStalled) return "The audio input device stopped delivering sound.";
    return std::string("The audio input device failed: ") + snd_strerror(code) + ".";
}

bool AlsaInput::restart(int error)
{
    if (++failuresInARow_ > kMaxFailuresInARow) return false;
    xruns_.fetch_add(1, std::memory_order_relaxed);
    // The time spent falling behind is no sign of a dead device.
    watch_.reset();
    if (error == -ESTRPIPE && snd_pcm_resume(pcm_) == 0) return true;
    return snd_pcm_prepare(pcm_) >= 0 && snd_pcm_start(pcm_) >= 0;
}

int AlsaInput::fetch(const int16_t*& data, const std::atomic<bool>& stop)
{
    if (failed()) return 0;
    long filled = 0;
    while (filled < blockFrames_) {
        if (stop.load(std::memory_order_relaxed)) return 0;
        const snd_pcm_sframes_t r =
            snd_pcm_readi(pcm_, block_.get() + filled * channels_, static_cast<snd_pcm_uframes_t>(blockFrames_ - filled));
        if (r > 0) {
            filled += r;
            captured_ += r;
            failuresInARow_ = 0;
            continue;
        }
        if (r == 0 || r == -EAGAIN) {
            const snd_pcm_state_t state = snd_pcm_state(pcm_);
            if (state == SND_PCM_STATE_DISCONNECTED) {
                fail(-ENODEV);
                return 0;
            }
            if (watch_.stalled(captured_, state == SND_PCM_STATE_RUNNING)) {
                fail(alsa::kStalled);
                return 0;
            }
            // An error here shows again in the next read, which deals with it.
            snd_pcm_wait(pcm_, kWaitMs);
            continue;
        }
        if (r == -EPIPE || r == -ESTRPIPE) {
            // The run fell behind (or the system was suspended): what was
            // captured meanwhile is gone; go on with what comes now.
            if (restart(static_cast<int>(r))) continue;
        }
        fail(static_cast<int>(r));
        return 0;
    }
    data = block_.get();
    return blockFrames_;
}

} // namespace stravik
