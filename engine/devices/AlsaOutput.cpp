#include "engine/devices/AlsaOutput.h"

#include "engine/devices/AlsaBackend.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>

namespace stravik {

namespace {
constexpr int kWaitMs = 5;
// The end of a run fades from the last frame written to silence over this
// many frames (about 1.3 ms), so stopping does not click.
constexpr int kFadeFrames = 64;
} // namespace

// ---- the PCM behind the live writer

long AlsaOutput::Queue::queuedFrames()
{
    snd_pcm_sframes_t delay = 0;
    const int err = snd_pcm_delay(pcm_, &delay);
    if (err < 0) return err;
    delay = std::max<snd_pcm_sframes_t>(delay, 0);
    if (const int w = watch(delay); w < 0) return w;
    return delay;
}

long AlsaOutput::Queue::write(const int16_t* data, long frames)
{
    const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
    if (room < 0) return room;
    const long n = std::min<long>(room, frames);
    if (n <= 0) return 0;
    const snd_pcm_sframes_t r = snd_pcm_writei(pcm_, data, static_cast<snd_pcm_uframes_t>(n));
    if (r == -EAGAIN) return 0;
    if (r <= 0) return r;
    written_ += r;
    for (int c = 0; c < channels_; ++c) last_[c] = data[(r - 1) * channels_ + c];
    return r;
}

int AlsaOutput::Queue::recover(int error)
{
    resetWatch();
    if (error == -ESTRPIPE && snd_pcm_resume(pcm_) == 0) return 0;
    // Prepared and empty: the next write starts it again.
    return snd_pcm_prepare(pcm_);
}

int AlsaOutput::Queue::watch(long queued)
{
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state == SND_PCM_STATE_DISCONNECTED) return -ENODEV;
    // How far playback got: what was taken minus what still waits.
    const bool playing = state == SND_PCM_STATE_RUNNING && queued > 0;
    return watch_.stalled(written_ - queued, playing) ? alsa::kStalled : 0;
}

// ---- AlsaOutput

AlsaOutput::AlsaOutput(snd_pcm_t* pcm, const Config& config)
    : pcm_(pcm), config_(config), queue_(pcm, config.channels)
{
    LiveWriter::Setup setup;
    setup.rate = config.rate;
    setup.channels = config.channels;
    setup.writeAheadFrames = config.writeAheadFrames;
    // The device has taken a period it is about to play: the position
    // behind which nothing can be written any more.
    setup.cursorGapFrames = config.outFast ? 0 : static_cast<int>(config.periodFrames);
    writer_.begin(setup);
    queue_.resetWatch();
}

AlsaOutput::~AlsaOutput()
{
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
}

int AlsaOutput::bufferBytes() const
{
    return static_cast<int>(config_.bufferFrames) * 2 * config_.channels;
}

bool AlsaOutput::start(UserMessages& messages)
{
    if (failed()) return false;
    writer_.begin(writer_.setup());
    queue_.resetWatch();
    stopped_ = false;
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state != SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_prepare(pcm_);
        if (err < 0) {
            messages.show(AlsaBackend::outputResultText(err), "Stravik - error opening device",
                          MessageIcon::Information);
            return false;
        }
    }
    return true;
}

void AlsaOutput::fail(int error)
{
    int expected = 0;
    failure_.compare_exchange_strong(expected, error);
}

std::string AlsaOutput::failureText() const
{
    const int code = failure_.load();
    if (code == 0) return {};
    if (code == alsa::kStalled) return "The audio output device stopped playing.";
    return std::string("The audio output device failed: ") + snd_strerror(code) + ".";
}

long AlsaOutput::xruns() const
{
    return writer_.xruns() + fileXruns_.load(std::memory_order_relaxed);
}

long AlsaOutput::droppedFrames() const
{
    return writer_.droppedFrames() + fileDropped_.load(std::memory_order_relaxed);
}

void AlsaOutput::writeLive(const int16_t* samples, int bytes)
{
    if (failed() || stopped_) return;
    const int frames = bytes / (2 * config_.channels);
    const int err = writer_.write(samples, frames, queue_);
    if (err < 0) fail(err);
}

void AlsaOutput::fileInputUnderrun(int error)
{
    const int err = queue_.recover(error);
    if (err < 0)
        fail(err);
    else
        fileXruns_.fetch_add(1, std::memory_order_relaxed);
}

void AlsaOutput::writeFileInput(const int16_t* samples, int bytes)
{
    if (failed() || stopped_) return;
    const long frames = bytes / (2 * config_.channels);
    long done = 0;
    bool recovered = false;
    while (done < frames) {
        const long r = queue_.write(samples + done * config_.channels, frames - done);
        if ((r == -EPIPE || r == -ESTRPIPE) && !recovered) {
            fileInputUnderrun(static_cast<int>(r));
            if (failed()) return;
            recovered = true;
            continue;
        }
        if (r < 0) {
            fail(static_cast<int>(r));
            return;
        }
        if (r == 0) break;
        done += r;
    }
    // waitForRoom() made room for a block; more than a block does not fit.
    if (done < frames) fileDropped_.fetch_add(frames - done, std::memory_order_relaxed);
}

void AlsaOutput::waitForRoom(const std::atomic<bool>& stopRequest)
{
    const long half = config_.bufferFrames / 2;
    while (!stopRequest.load(std::memory_order_relaxed) && !failed()) {
        const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
        if (room == -EPIPE || room == -ESTRPIPE) {
            fileInputUnderrun(static_cast<int>(room));
            continue;
        }
        if (room < 0) {
            fail(static_cast<int>(room));
            return;
        }
        if (room >= half) return;
        if (const int w = queue_.watch(config_.bufferFrames - room); w < 0) {
            fail(w);
            return;
        }
        snd_pcm_wait(pcm_, kWaitMs);
    }
}

void AlsaOutput::playOut()
{
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED) return;
    snd_pcm_sframes_t queued = 0;
    if (snd_pcm_delay(pcm_, &queued) < 0 || queued <= 0) return;

    // What is queued plays to its end, then a short fade to silence and a
    // period of silence follow. The JACK plugin, like some drivers, repeats
    // its last period when it runs dry, and the drop below must land in
    // silence: it takes the PCM back the moment only the silence is left.
    const int channels = config_.channels;
    const auto put = [this, channels](const int16_t* data, long frames) {
        long done = 0;
        while (done < frames) {
            const long r = queue_.write(data + done * channels, frames - done);
            if (r <= 0) break;
            done += r;
        }
        return done;
    };
    int16_t fade[2 * kFadeFrames] = {};
    const int16_t* last = queue_.lastFrame();
    for (int i = 0; i < kFadeFrames; ++i)
        for (int c = 0; c < channels; ++c)
            fade[i * channels + c] = static_cast<int16_t>(last[c] * (kFadeFrames - 1 - i) / kFadeFrames);
    const long faded = put(fade, kFadeFrames);
    static const int16_t kZeros[2 * kFadeFrames] = {};
    long silence = 0;
    while (faded == kFadeFrames && silence < config_.periodFrames) {
        const long r = put(kZeros, std::min<long>(kFadeFrames, config_.periodFrames - silence));
        if (r == 0) break;
        silence += r;
    }
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm_);

    const double limit = alsa::StallWatch::now()
                         + static_cast<double>(queued + faded + silence) / config_.rate
                         + alsa::StallWatch::kLimitSeconds;
    queue_.resetWatch();
    while (alsa::StallWatch::now() < limit) {
        const long left = queue_.queuedFrames();
        if (left <= silence) break; // only the silence is left (or the device failed)
        snd_pcm_wait(pcm_, kWaitMs);
    }
}

void AlsaOutput::stop()
{
    if (stopped_) return;
    stopped_ = true;
    if (!failed()) playOut();
    snd_pcm_drop(pcm_);
}

} // namespace stravik
