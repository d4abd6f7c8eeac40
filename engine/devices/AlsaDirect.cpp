#include "engine/devices/AlsaDirect.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

namespace stravik {

namespace {

const char* const kInputError = "Error opening audio input device!";
const char* const kOutputError = "Error opening audio output device!";
const char* const kFormat = "\nSelected format is not supported.";
const char* const kStreaming = "\nStandard streaming interface is not supported.";
// The rate adapter made more than a packet holds.
constexpr int kInternalError = -100001;
// Short waits, so that a stop is seen at once.
constexpr int kWaitStepMs = 5;

struct PcmGuard {
    snd_pcm_t* pcm = nullptr;
    ~PcmGuard()
    {
        if (pcm) snd_pcm_close(pcm);
    }
    snd_pcm_t* release() { return std::exchange(pcm, nullptr); }
};

enum class Setup { Ok, Format, Streaming };

// Interleaved 16-bit packets of 128 frames at the rate, in a ring of
// `packets`, with no conversion: the hardware takes it as it is or not at all.
Setup configure(snd_pcm_t* pcm, int rate, int channels, int packets)
{
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(pcm, hw) < 0) return Setup::Streaming;
    snd_pcm_hw_params_set_rate_resample(pcm, hw, 0);
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return Setup::Streaming;
    if (snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0
        || snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(channels)) < 0
        || snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(rate), 0) < 0)
        return Setup::Format;
    snd_pcm_uframes_t period = AlsaDirectInput::kPacketFrames;
    int dir = 0;
    if (snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir) < 0) return Setup::Streaming;
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(packets) * AlsaDirectInput::kPacketFrames;
    if (snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer) < 0) return Setup::Streaming;
    return snd_pcm_hw_params(pcm, hw) < 0 ? Setup::Streaming : Setup::Ok;
}

std::string describe(int error, const char* device)
{
    if (error == kInternalError) return "Internal error: 0001!";
    if (error == alsa::kStalled) return std::string("The audio ") + device + " device stopped moving.";
    return std::string("The audio ") + device + " device failed: " + snd_strerror(error) + ".";
}

double now()
{
    return alsa::StallWatch::now();
}

} // namespace

// ---- capture

std::unique_ptr<AlsaDirectInput> AlsaDirectInput::open(const std::string& name, int rate, UserMessages& messages)
{
    PcmGuard guard;
    if (snd_pcm_open(&guard.pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
        guard.pcm = nullptr;
        messages.show(kInputError, {}, MessageIcon::Warning);
        return nullptr;
    }
    int channels = 1;
    Setup setup = configure(guard.pcm, rate, channels, kPackets);
    if (setup == Setup::Format) {
        // Some hardware records only in stereo.
        channels = 2;
        setup = configure(guard.pcm, rate, channels, kPackets);
    }
    if (setup != Setup::Ok) {
        messages.show(std::string(kInputError) + (setup == Setup::Format ? kFormat : kStreaming), {},
                      MessageIcon::Warning);
        return nullptr;
    }
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(guard.pcm, sw) < 0
        || snd_pcm_sw_params_set_avail_min(guard.pcm, sw, kPacketFrames) < 0
        || snd_pcm_sw_params_set_stop_threshold(guard.pcm, sw,
                                                static_cast<snd_pcm_uframes_t>(kOutstandingPackets) * kPacketFrames) < 0
        || snd_pcm_sw_params(guard.pcm, sw) < 0 || snd_pcm_prepare(guard.pcm) < 0) {
        messages.show(std::string(kInputError) + kStreaming, {}, MessageIcon::Warning);
        return nullptr;
    }
    return std::unique_ptr<AlsaDirectInput>(new AlsaDirectInput(guard.release(), rate, channels));
}

AlsaDirectInput::AlsaDirectInput(snd_pcm_t* pcm, int rate, int channels) : pcm_(pcm), rate_(rate), channels_(channels) {}

AlsaDirectInput::~AlsaDirectInput()
{
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
}

bool AlsaDirectInput::start(UserMessages& messages)
{
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) snd_pcm_prepare(pcm_);
    if (snd_pcm_start(pcm_) < 0) {
        messages.show(kInputError, {}, MessageIcon::Warning);
        return false;
    }
    return true;
}

void AlsaDirectInput::stop() { snd_pcm_drop(pcm_); }

void AlsaDirectInput::fail(int error)
{
    int expected = 0;
    failure_.compare_exchange_strong(expected, error);
}

std::string AlsaDirectInput::failureText() const
{
    const int code = failure_.load();
    return code == 0 ? std::string() : describe(code, "input");
}

int AlsaDirectInput::fetch(const int16_t*& data, const std::atomic<bool>& stop)
{
    if (failed()) return 0;
    data = packet_;
    long filled = 0;
    int waited = 0;
    while (filled < kPacketFrames) {
        if (stop.load(std::memory_order_relaxed)) return 0;
        const snd_pcm_sframes_t r = snd_pcm_readi(pcm_, packet_ + filled * channels_,
                                                  static_cast<snd_pcm_uframes_t>(kPacketFrames - filled));
        if (r > 0) {
            filled += r;
            continue;
        }
        if (r == 0 || r == -EAGAIN) {
            if (snd_pcm_state(pcm_) == SND_PCM_STATE_DISCONNECTED) {
                fail(-ENODEV);
                return 0;
            }
            if (waited >= kWaitLimitMs) {
                // Nothing came: the packet is processed as it is.
                timeouts_.fetch_add(1, std::memory_order_relaxed);
                return kPacketFrames;
            }
            snd_pcm_wait(pcm_, kWaitStepMs);
            waited += kWaitStepMs;
            continue;
        }
        if (r == -EPIPE || r == -ESTRPIPE) {
            // 45 packets waited: the run fell behind. Go on with what comes now.
            xruns_.fetch_add(1, std::memory_order_relaxed);
            if ((r == -ESTRPIPE && snd_pcm_resume(pcm_) == 0)
                || (snd_pcm_prepare(pcm_) >= 0 && snd_pcm_start(pcm_) >= 0))
                continue;
        }
        fail(static_cast<int>(r));
        return 0;
    }
    return kPacketFrames;
}

// ---- render

long AlsaDirectOutput::Pcm::queuedFrames()
{
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) {
        const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
        if (room < 0) return room;
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_uframes_t buffer = 0;
        if (snd_pcm_hw_params_current(pcm_, hw) < 0 || snd_pcm_hw_params_get_buffer_size(hw, &buffer) < 0)
            return -EINVAL;
        return static_cast<long>(buffer) - room;
    }
    const int err = snd_pcm_delay(pcm_, &delay);
    return err < 0 ? err : std::max<long>(0, delay);
}

bool AlsaDirectOutput::Pcm::hasRoom(long frames)
{
    const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
    return room < 0 || room >= frames; // an error shows in the write
}

int AlsaDirectOutput::Pcm::submit(const int16_t* data, long frames)
{
    long done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t r =
            snd_pcm_writei(pcm_, data + done * channels_, static_cast<snd_pcm_uframes_t>(frames - done));
        if (r == -EAGAIN) return 0; // hasRoom said it fits; a race with the hardware loses the rest
        if (r < 0) return static_cast<int>(r);
        done += r;
    }
    return 0;
}

int AlsaDirectOutput::Pcm::startPlaying()
{
    return snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING ? 0 : snd_pcm_start(pcm_);
}

std::unique_ptr<AlsaDirectOutput> AlsaDirectOutput::open(const std::string& name, const OutputRequest& request,
                                                         UserMessages& messages)
{
    PcmGuard guard;
    if (snd_pcm_open(&guard.pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        guard.pcm = nullptr;
        messages.show(kOutputError, {}, MessageIcon::Warning);
        return nullptr;
    }
    const int channels = request.channels == 2 ? 2 : 1;
    const Setup setup = configure(guard.pcm, request.rate, channels, kPackets);
    if (setup != Setup::Ok) {
        messages.show(std::string(kOutputError) + (setup == Setup::Format ? kFormat : kStreaming), {},
                      MessageIcon::Warning);
        return nullptr;
    }
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_uframes_t boundary = 0;
    // Playback starts when the writer says so, never by itself.
    if (snd_pcm_sw_params_current(guard.pcm, sw) < 0 || snd_pcm_sw_params_get_boundary(sw, &boundary) < 0
        || snd_pcm_sw_params_set_start_threshold(guard.pcm, sw, boundary) < 0
        || snd_pcm_sw_params_set_avail_min(guard.pcm, sw, kPacketFrames) < 0 || snd_pcm_sw_params(guard.pcm, sw) < 0
        || snd_pcm_prepare(guard.pcm) < 0) {
        messages.show(std::string(kOutputError) + kStreaming, {}, MessageIcon::Warning);
        return nullptr;
    }
    OutputRequest r = request;
    r.channels = channels;
    return std::unique_ptr<AlsaDirectOutput>(new AlsaDirectOutput(guard.release(), r));
}

AlsaDirectOutput::AlsaDirectOutput(snd_pcm_t* pcm, const OutputRequest& request)
    : pcm_(pcm), request_(request), queue_(pcm, request.channels)
{
}

AlsaDirectOutput::~AlsaDirectOutput()
{
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
}

bool AlsaDirectOutput::start(UserMessages& messages)
{
    // One silent packet goes first; the start delay counts from here.
    static const int16_t kSilence[2 * kPacketFrames] = {};
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) snd_pcm_prepare(pcm_);
    if (queue_.submit(kSilence, kPacketFrames) < 0) {
        messages.show(kOutputError, {}, MessageIcon::Warning);
        return false;
    }
    writer_.begin(request_.rate, request_.channels, request_.maxDelayMs, now());
    return true;
}

void AlsaDirectOutput::stop() { snd_pcm_drop(pcm_); }

void AlsaDirectOutput::fail(int error)
{
    int expected = 0;
    failure_.compare_exchange_strong(expected, error);
}

std::string AlsaDirectOutput::failureText() const
{
    const int code = failure_.load();
    return code == 0 ? std::string() : describe(code, "output");
}

bool AlsaDirectOutput::restartAfterUnderrun()
{
    // The queue ran dry: it starts again from its start delay.
    static const int16_t kSilence[2 * kPacketFrames] = {};
    xruns_.fetch_add(1, std::memory_order_relaxed);
    if (snd_pcm_prepare(pcm_) < 0 || queue_.submit(kSilence, kPacketFrames) < 0) return false;
    writer_.begin(request_.rate, request_.channels, request_.maxDelayMs, now());
    return true;
}

void AlsaDirectOutput::handle(DirectRenderWriter::Result result, int error)
{
    if (result == DirectRenderWriter::Result::InternalError) {
        internalError_ = true;
        fail(kInternalError);
    } else if (result == DirectRenderWriter::Result::Failed) {
        if ((error == -EPIPE || error == -ESTRPIPE) && restartAfterUnderrun()) return;
        fail(error);
    }
}

void AlsaDirectOutput::writeLive(const int16_t* samples, int bytes)
{
    if (failed()) return;
    int error = 0;
    const auto result = writer_.writeLive(samples, bytes / (2 * request_.channels), now(), queue_, &error);
    handle(result, error);
}

void AlsaDirectOutput::writeFileInput(const int16_t* samples, int bytes)
{
    if (failed()) return;
    const long frames = bytes / (2 * request_.channels);
    // The device sets the pace: wait until the block fits.
    for (int waited = 0; waited < kWaitLimitMs && !queue_.hasRoom(frames); waited += kWaitStepMs)
        snd_pcm_wait(pcm_, kWaitStepMs);
    int error = 0;
    const auto result = writer_.writeFileInput(samples, static_cast<int>(frames), queue_, &error);
    handle(result, error);
}

} // namespace stravik
