// How ALSA's failures reach the user.
//
// The program's messages were written for other sound interfaces; each ALSA
// failure is shown with the message whose meaning is nearest.
//
// Capture (no title, warning icon unless said):
//   list index out of range               "Error opening audio input device!"
//   snd_pcm_open -EBUSY, or -EBUSY when
//     the parameters are installed        "Audio input device is allocated by another application!\n
//                                          Close this application and try again."
//   snd_pcm_open, any other error         "Error opening audio input device!"
//   rate refused (ALSA may not resample):
//     at 22050 Hz: open at 44100 Hz with 256-frame blocks instead; when that
//     fails too, for whatever reason      "Error opening audio input device!\n
//                                          Specified sample rate is not supported by the hardware."
//     at any other rate                   the same
//   access, format (S16_LE), channels (1),
//     period or buffer refused, any other
//     failure installing the parameters   "Error opening audio input device!"
//   -ENOMEM installing the parameters, or
//     no memory for the block buffer      "Memory alloc failed!" (stop icon)
//   software parameters or prepare fail   "Error setting up WAVE input header!"
//   snd_pcm_start fails at start()        "Error opening audio input device!"
//
// Playback (title "Stravik - error opening device", information icon):
//   -EBUSY at open or when the
//     parameters are installed            "DirectSound device allready allocated."
//   list index out of range, or
//     snd_pcm_open any other error        "This programm requires Windows DirectSound driver installed!!\n..."
//                                         (the device is missing or cannot be opened at all; the
//                                          run follows every failed open with "Error initializing
//                                          direct sound!")
//   interleaved access refused            "Could not setup DirectSound output mode (format not supported
//                                          by sound card driver)\nTry 'Alt Duplex' option in setup dialog."
//   S16_LE refused                        "Direct sound driver does NOT support 16bits!"
//   1 or 2 channels refused               "Direct sound driver does NOT support MONO sound buffer!" /
//                                         "Direct sound driver does NOT support STEREO sound buffer!"
//   rate refused (even with ALSA's
//     resampling, which playback allows)  the format message above
//   any other failure: the hardware
//     parameters, period or buffer size,
//     software parameters, prepare, or
//     start()                             the result table's text for the error (outputResultText):
//       -ENOMEM                  "The DirectSound subsystem could not allocate\nsufficient memory ..."
//       -EINVAL                  "An invalid parameter was passed to the returning function."
//       -EBADFD, -EPIPE,
//       -ESTRPIPE                "This function is not valid for the current state of this object."
//       -ENODEV, -ENOENT, -ENXIO "No sound driver is available for use."
//       -ENOSYS, -EOPNOTSUPP     "The function called is not supported by DitectX at this time."
//       -EPERM, -EACCES          "The caller does not have the priority level required\n..."
//       anything else            "An undetermined error occurred inside the DirectSound subsystem."
#include "engine/devices/AlsaBackend.h"

#include "engine/devices/AlsaDirect.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace stravik {

namespace {

const char* const kInputBusy =
    "Audio input device is allocated by another application!\nClose this application and try again.";
const char* const kInputError = "Error opening audio input device!";
const char* const kInputRate =
    "Error opening audio input device!\nSpecified sample rate is not supported by the hardware.";
const char* const kNoMemory = "Memory alloc failed!";
const char* const kInputTransfer = "Error setting up WAVE input header!";

const char* const kOutputTitle = "Stravik - error opening device";
const char* const kOutputBusy = "DirectSound device allready allocated.";
const char* const kOutputNoDriver =
    "This programm requires Windows DirectSound driver installed!!\nCheck your sound card documentation for "
    "information on how to\nobtain/install DirectSound driver.";
const char* const kOutputFormat = "Could not setup DirectSound output mode (format not supported by sound card "
                                  "driver)\nTry 'Alt Duplex' option in setup dialog.";
const char* const kOutput16Bits = "Direct sound driver does NOT support 16bits!";
const char* const kOutputMono = "Direct sound driver does NOT support MONO sound buffer!";
const char* const kOutputStereo = "Direct sound driver does NOT support STEREO sound buffer!";

// Closes a PCM unless it was handed on.
struct PcmGuard {
    snd_pcm_t* pcm = nullptr;
    ~PcmGuard()
    {
        if (pcm) snd_pcm_close(pcm);
    }
    snd_pcm_t* release() { return std::exchange(pcm, nullptr); }
};

enum class CaptureSetup { Ok, RateRefused, Busy, NoMemory, Failed };

CaptureSetup configureCapture(snd_pcm_t* pcm, int rate, int blockFrames)
{
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(pcm, hw) < 0) return CaptureSetup::Failed;
    // A device that cannot take the rate itself must say so, so that the
    // 22050 Hz fall-back (and its own decimation filter) is used instead of
    // ALSA's resampler.
    snd_pcm_hw_params_set_rate_resample(pcm, hw, 0);
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0
        || snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0
        || snd_pcm_hw_params_set_channels(pcm, hw, 1) < 0)
        return CaptureSetup::Failed;
    if (snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(rate), 0) < 0) return CaptureSetup::RateRefused;
    snd_pcm_uframes_t period = static_cast<snd_pcm_uframes_t>(blockFrames);
    int dir = 0;
    if (snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir) < 0) return CaptureSetup::Failed;
    // A ring of a few blocks: a block that takes the chain a little longer
    // than usual does not overrun, while a long stall overruns and is
    // counted rather than piling up as latency that the run would carry on.
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(blockFrames) * AlsaBackend::kCaptureRingBlocks;
    if (snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer) < 0) return CaptureSetup::Failed;
    const int err = snd_pcm_hw_params(pcm, hw);
    if (err == -EBUSY) return CaptureSetup::Busy;
    if (err == -ENOMEM) return CaptureSetup::NoMemory;
    return err < 0 ? CaptureSetup::Failed : CaptureSetup::Ok;
}

} // namespace

const char* AlsaBackend::outputResultText(int alsaError)
{
    switch (-alsaError) {
    case ENOMEM:
        return "The DirectSound subsystem could not allocate\nsufficient memory to complete the caller's request.";
    case EBUSY:
        return "The request failed because resources, such as a priority\nlevel, were already in use by another "
               "caller.";
    case EINVAL:
        return "An invalid parameter was passed to the returning function.";
    case EBADFD:
    case EPIPE:
    case ESTRPIPE:
        return "This function is not valid for the current state of this object.";
    case ENODEV:
    case ENOENT:
    case ENXIO:
        return "No sound driver is available for use.";
    case ENOSYS:
    case EOPNOTSUPP:
        return "The function called is not supported by DitectX at this time.";
    case EPERM:
    case EACCES:
        return "The caller does not have the priority level required\nfor the function to succeed.";
    default:
        return "An undetermined error occurred inside the DirectSound subsystem.";
    }
}

std::vector<std::string> AlsaBackend::hintedPcms(bool capture, bool hardware)
{
    std::vector<std::string> names;
    if (!hardware) names.emplace_back("default");
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) return names;
    const char* const direction = capture ? "Input" : "Output";
    for (void** h = hints; *h != nullptr; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* ioid = snd_device_name_get_hint(*h, "IOID");
        const bool suits = ioid == nullptr || std::strcmp(ioid, direction) == 0;
        // "null" takes and gives silence as fast as it is asked: nothing a
        // user means to play through.
        if (name != nullptr && suits && std::strcmp(name, "null") != 0 && isDirect(name) == hardware
            && std::find(names.begin(), names.end(), name) == names.end())
            names.emplace_back(name);
        std::free(name);
        std::free(ioid);
    }
    snd_device_name_free_hint(hints);
    return names;
}

std::vector<std::string> AlsaBackend::captureDevices()
{
    std::lock_guard lock(mutex_);
    capture_ = hintedPcms(true);
    for (auto& name : hintedPcms(true, true)) capture_.push_back(std::move(name));
    captureListed_ = true;
    return capture_;
}

std::vector<std::string> AlsaBackend::playbackDevices()
{
    std::lock_guard lock(mutex_);
    playback_ = hintedPcms(false);
    for (auto& name : hintedPcms(false, true)) playback_.push_back(std::move(name));
    playbackListed_ = true;
    return playback_;
}

std::unique_ptr<InputDevice> AlsaBackend::openInput(int index, int processingRate, UserMessages& messages)
{
    std::string name;
    {
        std::lock_guard lock(mutex_);
        if (!captureListed_) {
            capture_ = hintedPcms(true);
            for (auto& n : hintedPcms(true, true)) capture_.push_back(std::move(n));
            captureListed_ = true;
        }
        if (index >= 0 && index < static_cast<int>(capture_.size())) name = capture_[static_cast<size_t>(index)];
    }
    if (name.empty()) {
        messages.show(kInputError, {}, MessageIcon::Warning);
        return nullptr;
    }
    if (isDirect(name)) return AlsaDirectInput::open(name, processingRate, messages);
    return openInputNamed(name, processingRate, messages);
}

std::unique_ptr<LiveOutputDevice> AlsaBackend::openOutput(int index, const OutputRequest& request,
                                                          UserMessages& messages)
{
    std::string name;
    {
        std::lock_guard lock(mutex_);
        if (!playbackListed_) {
            playback_ = hintedPcms(false);
            for (auto& n : hintedPcms(false, true)) playback_.push_back(std::move(n));
            playbackListed_ = true;
        }
        if (index >= 0 && index < static_cast<int>(playback_.size())) name = playback_[static_cast<size_t>(index)];
    }
    if (name.empty()) {
        messages.show(kOutputNoDriver, kOutputTitle, MessageIcon::Information);
        return nullptr;
    }
    if (isDirect(name)) return AlsaDirectOutput::open(name, request, messages);
    return openOutputNamed(name, request, messages);
}

std::unique_ptr<AlsaInput> AlsaBackend::openInputNamed(const std::string& name, int processingRate,
                                                       UserMessages& messages)
{
    const auto refuse = [&messages](const char* text, MessageIcon icon = MessageIcon::Warning) {
        messages.show(text, {}, icon);
        return nullptr;
    };
    std::lock_guard lock(mutex_);
    PcmGuard guard;
    const int opened = snd_pcm_open(&guard.pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (opened < 0) {
        guard.pcm = nullptr;
        return refuse(opened == -EBUSY ? kInputBusy : kInputError);
    }

    int deviceRate = processingRate;
    int blockFrames = kBlockFrames;
    CaptureSetup setup = configureCapture(guard.pcm, deviceRate, blockFrames);
    if (setup == CaptureSetup::RateRefused && processingRate == 22050) {
        // Many devices do not run at 22050 Hz; twice the rate is decimated
        // back, in blocks twice as long so the chain still gets 128 frames.
        deviceRate = 44100;
        blockFrames = 44100 * kBlockFrames / processingRate;
        setup = configureCapture(guard.pcm, deviceRate, blockFrames);
        if (setup != CaptureSetup::Ok) setup = CaptureSetup::RateRefused;
    }
    switch (setup) {
    case CaptureSetup::Ok:
        break;
    case CaptureSetup::RateRefused:
        return refuse(kInputRate);
    case CaptureSetup::Busy:
        return refuse(kInputBusy);
    case CaptureSetup::NoMemory:
        return refuse(kNoMemory, MessageIcon::Error);
    case CaptureSetup::Failed:
        return refuse(kInputError);
    }

    const int channels = 1;
    std::unique_ptr<int16_t[]> block(new (std::nothrow) int16_t[static_cast<size_t>(blockFrames * channels)]);
    if (!block) return refuse(kNoMemory, MessageIcon::Error);

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    // Wake the waiting fetch when a whole block is there.
    if (snd_pcm_sw_params_current(guard.pcm, sw) < 0
        || snd_pcm_sw_params_set_avail_min(guard.pcm, sw, static_cast<snd_pcm_uframes_t>(blockFrames)) < 0
        || snd_pcm_sw_params(guard.pcm, sw) < 0 || snd_pcm_prepare(guard.pcm) < 0)
        return refuse(kInputTransfer);

    return std::make_unique<AlsaInput>(guard.release(), deviceRate, blockFrames, channels, std::move(block));
}

std::unique_ptr<AlsaOutput> AlsaBackend::openOutputNamed(const std::string& name, const OutputRequest& request,
                                                         UserMessages& messages)
{
    const auto refuse = [&messages](const char* text) {
        messages.show(text, kOutputTitle, MessageIcon::Information);
        return nullptr;
    };
    const auto refuseWith = [&refuse](int error) { return refuse(error == -EBUSY ? kOutputBusy : outputResultText(error)); };

    std::lock_guard lock(mutex_);
    PcmGuard guard;
    const int opened = snd_pcm_open(&guard.pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (opened < 0) {
        guard.pcm = nullptr;
        return refuse(opened == -EBUSY ? kOutputBusy : kOutputNoDriver);
    }
    snd_pcm_t* pcm = guard.pcm;

    const int channels = request.channels == 2 ? 2 : 1;
    AlsaOutput::Config config;
    config.rate = request.rate;
    config.channels = channels;
    config.outFast = request.outFast;
    config.fileInput = request.fileInput;
    // The file-input writer fills half the ring while the other half plays:
    // no write-ahead.
    const int writeAhead = request.fileInput ? 0 : LiveWriter::writeAheadFrames(request.maxDelayMs, request.rate);

    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err < 0) return refuseWith(err);
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return refuse(kOutputFormat);
    if (snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0) return refuse(kOutput16Bits);
    if (snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(channels)) < 0)
        return refuse(channels == 1 ? kOutputMono : kOutputStereo);
    if (snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(request.rate), 0) < 0)
        return refuse(kOutputFormat);
    snd_pcm_uframes_t period = kPlaybackPeriodFrames;
    int dir = 0;
    err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
    if (err < 0) return refuseWith(err);
    // The ring holds the write-ahead four times over: room for the drift
    // compensation to work in and for the blocks that arrive in a bunch
    // after a late one, and never fewer than 8 periods.
    const long periodFrames = static_cast<long>(period);
    const long wanted = std::max(kMinPlaybackPeriods * periodFrames,
                                 (4L * writeAhead + periodFrames - 1) / periodFrames * periodFrames);
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(wanted);
    err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (err < 0) return refuseWith(err);
    err = snd_pcm_hw_params(pcm, hw);
    if (err < 0) return refuseWith(err);
    snd_pcm_hw_params_get_period_size(hw, &period, &dir);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    config.periodFrames = static_cast<long>(period);
    config.bufferFrames = static_cast<long>(buffer);
    // A device whose ring is smaller than asked for (the JACK plugin stops at
    // 64 periods) keeps as much write-ahead as leaves room for the cursor
    // gap and two blocks.
    const long gap = request.outFast ? 0 : config.periodFrames;
    const long roomForAhead = std::max(0L, config.bufferFrames - gap - 2L * kBlockFrames);
    config.writeAheadFrames = static_cast<int>(std::min<long>(writeAhead, roomForAhead));

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    err = snd_pcm_sw_params_current(pcm, sw);
    if (err < 0) return refuseWith(err);
    // Live: playback starts with the first block (behind its write-ahead).
    // File input: once half the ring is full, and the waits for room wake
    // when half of it is free again.
    const snd_pcm_uframes_t half = static_cast<snd_pcm_uframes_t>(config.bufferFrames / 2);
    err = snd_pcm_sw_params_set_start_threshold(pcm, sw, request.fileInput ? half : 1);
    if (err >= 0) err = snd_pcm_sw_params_set_avail_min(pcm, sw, request.fileInput ? half : period);
    if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
    if (err >= 0) err = snd_pcm_prepare(pcm);
    if (err < 0) return refuseWith(err);

    return std::make_unique<AlsaOutput>(guard.release(), config);
}

} // namespace stravik
